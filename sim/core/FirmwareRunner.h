// Runs firmware code on its own fiber (ucontext, stack in guest memory). A
// stop requested while it runs (reset write, watchdog, fault) switches
// straight back here: module frames are abandoned, never unwound or resumed,
// as when a board resets. Host objects living on the abandoned frames are not
// destroyed, so simulator code that can stop keeps no owning locals there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sim {

class Machine;

struct RunOutcome {
  enum Kind { Completed, Reset, Watchdog, Fault } kind = Completed;
  uint64_t resetValue = 0;
  std::string detail;
  uint64_t startNs = 0; // virtual time when the run began and ended
  uint64_t endNs = 0;
};
const char *RunOutcomeName(RunOutcome::Kind kind);

class FirmwareRunner {
public:
  static constexpr uint64_t kStackSize = 1 << 20;

  // Makes `machine` current, arms its watchdog, runs `body` on a fresh fiber
  // and reports how the run ended. Runs may nest (a body may call Run); a
  // stop ends the innermost run only. An exception escaping the body ends the
  // run as a Fault with its message.
  static RunOutcome Run(Machine &machine, std::function<void()> body);

  // The innermost active run, or nullptr on the host's own stack.
  static FirmwareRunner *Current();
  static bool InFirmware() { return Current() != nullptr; }

  Machine &machine() const { return machine_; }

  // Called by Machine::Stop on the fiber; never returns.
  [[noreturn]] void Abandon();

private:
  FirmwareRunner(Machine &machine, std::function<void()> body);
  static void Trampoline();

  Machine &machine_;
  std::function<void()> body_;
  RunOutcome outcome_;
  void *stack_ = nullptr;
  void *fiberContext_ = nullptr;
  void *returnContext_ = nullptr;
  FirmwareRunner *outer_ = nullptr;
};

} // namespace sim
