// Fibers for firmware runs. The run's context lives on the host stack of
// Run(); the fiber's stack comes from guest memory (below 4 GiB, as the
// firmware's stack is on a board) and goes back to it when the run ends,
// whether the body returned or was abandoned by a stop.
#include "FirmwareRunner.h"

#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "Machine.h"

namespace sim {

namespace {
FirmwareRunner *gInnermost = nullptr;
FirmwareRunner *gStarting = nullptr;

void ArmWatchdog(Machine &machine, uint64_t atNs) {
  if (atNs == Clock::kNever) {
    machine.clock().CancelAlarm();
    return;
  }
  Machine *m = &machine;
  machine.clock().SetAlarm(atNs, [m] {
    char detail[96];
    std::snprintf(detail, sizeof(detail), "virtual time passed the watchdog limit of %llu us",
                  static_cast<unsigned long long>(m->Watchdog() / 1000));
    m->Stop(StopReason::Watchdog, detail);
  });
}
} // namespace

const char *RunOutcomeName(RunOutcome::Kind kind) {
  switch (kind) {
  case RunOutcome::Completed:
    return "completed";
  case RunOutcome::Reset:
    return "reset";
  case RunOutcome::Watchdog:
    return "watchdog";
  case RunOutcome::Fault:
    return "fault";
  }
  return "?";
}

FirmwareRunner::FirmwareRunner(Machine &machine, std::function<void()> body)
    : machine_(machine), body_(std::move(body)) {}

FirmwareRunner *FirmwareRunner::Current() { return gInnermost; }

RunOutcome FirmwareRunner::Run(Machine &machine, std::function<void()> body) {
  FirmwareRunner runner(machine, std::move(body));
  MachineScope scope(machine);
  Clock &clock = machine.clock();

  ucontext_t fiber;
  ucontext_t back;
  getcontext(&fiber);
  runner.stack_ = machine.memory().AllocateStack(kStackSize);
  fiber.uc_stack.ss_sp = runner.stack_;
  fiber.uc_stack.ss_size = kStackSize;
  fiber.uc_link = nullptr;
  makecontext(&fiber, &FirmwareRunner::Trampoline, 0);
  runner.fiberContext_ = &fiber;
  runner.returnContext_ = &back;

  machine.ClearStop();
  runner.outcome_.startNs = clock.NowNs();
  const uint64_t outerAlarm = clock.AlarmNs();
  if (machine.Watchdog() != 0) {
    ArmWatchdog(machine, std::min(outerAlarm, clock.NowNs() + machine.Watchdog()));
  }

  runner.outer_ = gInnermost;
  gInnermost = &runner;
  gStarting = &runner;
  swapcontext(&back, &fiber);
  // Here after the body returned or a stop abandoned the fiber.
  gInnermost = runner.outer_;

  ArmWatchdog(machine, outerAlarm);
  machine.memory().FreeStack(runner.stack_);
  runner.outcome_.endNs = clock.NowNs();
  return runner.outcome_;
}

void FirmwareRunner::Trampoline() {
  FirmwareRunner *self = gStarting;
  gStarting = nullptr;
  try {
    self->body_();
    self->outcome_.kind = RunOutcome::Completed;
  } catch (const std::exception &e) {
    self->outcome_.kind = RunOutcome::Fault;
    self->outcome_.detail = std::string("exception escaped the firmware run: ") + e.what();
  } catch (...) {
    self->outcome_.kind = RunOutcome::Fault;
    self->outcome_.detail = "exception escaped the firmware run";
  }
  setcontext(static_cast<ucontext_t *>(self->returnContext_));
  std::abort(); // setcontext does not return on success
}

void FirmwareRunner::Abandon() {
  const auto &stop = machine_.LastStop();
  if (stop) {
    switch (stop->reason) {
    case StopReason::Reset:
      outcome_.kind = RunOutcome::Reset;
      break;
    case StopReason::Watchdog:
      outcome_.kind = RunOutcome::Watchdog;
      break;
    case StopReason::Fault:
      outcome_.kind = RunOutcome::Fault;
      break;
    }
    outcome_.resetValue = stop->value;
    outcome_.detail = stop->detail;
  } else {
    outcome_.kind = RunOutcome::Fault;
    outcome_.detail = "run abandoned without a stop record";
  }
  setcontext(static_cast<ucontext_t *>(returnContext_));
  std::abort();
}

} // namespace sim
