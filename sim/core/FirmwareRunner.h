// Runs firmware code on its own fiber (ucontext, stack in guest memory). A
// stop requested while it runs (reset write, watchdog, fault) switches
// straight back here: module frames are abandoned, never unwound or resumed,
// as when a board resets. Host objects living on the abandoned frames are not
// destroyed, so simulator code that can stop keeps no owning locals there.
//
// A hardware fault on the fiber (a wild pointer, a jump to no code, a stack
// overflow into the guard page) ends the run the same way, as a Fault that
// names the module whose code faulted: the signal is taken on a stack of its
// own and the handler leaves the fiber, so the process goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Sanitizers.h"

namespace sim {

class Machine;

struct RunOutcome {
  enum Kind { Completed, Reset, Watchdog, Fault, PowerOff } kind = Completed;
  uint64_t resetValue = 0;
  std::string detail;
  uint64_t startNs = 0; // virtual time when the run began and ended
  uint64_t endNs = 0;
};
const char *RunOutcomeName(RunOutcome::Kind kind);

class FirmwareRunner {
public:
  // The stacks a reference platform gives its phases: PEI runs on a small
  // stack in temporary memory, DXE on 128 KiB. AddressSanitizer's redzones
  // make frames several times larger, so its builds scale both alike.
#if MGMT_ASAN
  static constexpr uint64_t kStackScale = 4;
#else
  static constexpr uint64_t kStackScale = 1;
#endif
  static constexpr uint64_t kPeiStackBytes = 32 * 1024 * kStackScale;
  static constexpr uint64_t kDxeStackBytes = 128 * 1024 * kStackScale;

  // Makes `machine` current, arms its watchdog, runs `body` on a fresh fiber
  // with a stack of `stackBytes` and reports how the run ended. Runs may nest
  // (a body may call Run); a stop ends the innermost run only. An exception
  // escaping the body ends the run as a Fault with its message.
  static RunOutcome Run(Machine &machine, std::function<void()> body,
                        uint64_t stackBytes = kDxeStackBytes);

  // Names the code in [begin, end) after a module, so that faults in it, and
  // services it calls, can say whose code it was. Later names win on overlap.
  static void NameCode(const std::string &module, uint64_t begin, uint64_t end);
  // The module whose code holds `address`, or nullptr. The name stays valid
  // for the life of the process.
  static const std::string *ModuleAt(uint64_t address);

  // The innermost active run, or nullptr on the host's own stack.
  static FirmwareRunner *Current();
  static bool InFirmware() { return Current() != nullptr; }

  Machine &machine() const { return machine_; }

  // Called by Machine::Stop on the fiber; never returns.
  [[noreturn]] void Abandon();

  // The handler of fault signals, installed by Run. On a run's fiber it
  // leaves the fiber for the run's owner; elsewhere it hands the signal back
  // to the handler that was there before.
  static void OnHostFaultEntry(int signal, void *info, void *context);

  // What the signal handler saw; plain data, filled inside the handler.
  struct HostFault {
    int signal = 0;
    int code = 0;
    uint64_t address = 0; // the faulting data address (or code, for a jump)
    uint64_t pc = 0;
    uint64_t sp = 0;
    uint64_t caller = 0;  // a return address into a module found on the stack
    bool write = false;
  };

private:
  FirmwareRunner(Machine &machine, std::function<void()> body);
  static void Trampoline();
  // Where a host fault's signal handler sends the fiber: off its stack, with
  // the signal mask back as it was.
  [[noreturn]] static void LeaveAfterHostFault();
  // Back to the run's owner for good (body done, stop or fault).
  [[noreturn]] void LeaveFiber();
  std::string DescribeHostFault() const;
  [[gnu::noinline]] void EndWithHostFault();

  Machine &machine_;
  std::function<void()> body_;
  RunOutcome outcome_;
  void *stack_ = nullptr;
  uint64_t stackBytes_ = 0;
  bool hostFault_ = false;
  HostFault fault_;
  // The owner's stack pointer while the fiber runs, where its registers
  // wait (see the switch in FirmwareRunner.cpp).
  void *ownerSp_ = nullptr;
  // The stack the run's owner is on, for the sanitizer's switch back.
  const void *ownerStack_ = nullptr;
  size_t ownerStackBytes_ = 0;
  FirmwareRunner *outer_ = nullptr;
};

} // namespace sim
