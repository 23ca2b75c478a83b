// One simulated board: its clock, bus, trace and RAM, and the way a run of
// firmware ends early (a reset request, a watchdog on virtual time, a fault
// such as a service the simulator does not emulate). The hardware functions of
// Hw.h reach the machine made current by a MachineScope.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Bus.h"
#include "Clock.h"
#include "GuestMemory.h"
#include "Trace.h"

namespace sim {

enum class StopReason { Reset, Watchdog, Fault, PowerOff };
const char *StopReasonName(StopReason reason);

struct StopRecord {
  StopReason reason;
  uint64_t value = 0; // the reset-control value for Reset
  std::string detail;
  uint64_t timeNs = 0;
};

class Machine {
public:
  Machine();
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  Clock &clock() { return clock_; }
  Bus &bus() { return bus_; }
  Trace &trace() { return trace_; }
  GuestMemory &memory() { return memory_; }

  // Inline: every hardware access of module code asks for it.
  static Machine *Current() { return current_; }

  // Ends the current firmware run. On a firmware fiber this switches straight
  // back to the runner and never returns. Outside a run, a Reset is recorded
  // and returns (a host-side test wrote the reset register); a Watchdog or a
  // Fault aborts the process with the detail, since there is no run to end.
  void Stop(StopReason reason, std::string detail, uint64_t value = 0);
  // Who else can say where a fault happened: the emulated CPU names the
  // image code that called a failing service. Non-empty answers are added
  // to a Fault's detail.
  void SetFaultContext(const void *owner, std::function<std::string()> describe) {
    faultContexts_[owner] = std::move(describe);
  }
  void ClearFaultContext(const void *owner) { faultContexts_.erase(owner); }

  // The last stop since ClearStop() (the runner clears it when a run starts).
  const std::optional<StopRecord> &LastStop() const { return lastStop_; }
  void ClearStop() { lastStop_.reset(); }

  // Virtual-time budget of each firmware run (0: none). The runner arms it
  // when a run starts; the run ends with Watchdog once the clock passes it.
  void SetWatchdog(uint64_t limitNs) { watchdogNs_ = limitNs; }
  uint64_t Watchdog() const { return watchdogNs_; }

  // What ReadIdtr returns to firmware (set by the PEI emulation).
  void SetIdtr(uint64_t base, uint16_t limit) {
    idtrBase_ = base;
    idtrLimit_ = limit;
  }
  uint64_t IdtrBase() const { return idtrBase_; }
  uint16_t IdtrLimit() const { return idtrLimit_; }

  static constexpr uint64_t kDefaultWatchdogNs = 60ull * 1000 * 1000 * 1000;

private:
  friend class MachineScope;
  class RamTarget;

  static inline Machine *current_ = nullptr;

  Clock clock_;
  Trace trace_;
  GuestMemory memory_;
  Bus bus_;
  std::vector<std::unique_ptr<RamTarget>> ram_;
  std::optional<StopRecord> lastStop_;
  std::map<const void *, std::function<std::string()>> faultContexts_;
  uint64_t watchdogNs_ = kDefaultWatchdogNs;
  uint64_t idtrBase_ = 0;
  uint16_t idtrLimit_ = 0;
};

// Makes a machine current for its lifetime; scopes nest.
class MachineScope {
public:
  explicit MachineScope(Machine &machine);
  ~MachineScope();
  MachineScope(const MachineScope &) = delete;
  MachineScope &operator=(const MachineScope &) = delete;

private:
  Machine *previous_;
};

} // namespace sim
