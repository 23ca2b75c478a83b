// Firmware runs on fibers: how a run ends (completion, reset write, watchdog,
// fault), that code after a stop never runs, and that runs can follow each
// other by the hundred without leaking stacks.
#include <gtest/gtest.h>

#include <Hw.h>

#include <signal.h>
#include <xmmintrin.h>

#include <stdexcept>

#include "FirmwareRunner.h"
#include "Machine.h"
#include "PmTimer.h"
#include "ResetControl.h"

namespace {

using sim::FirmwareRunner;
using sim::RunOutcome;
using sim::TraceMatch;

constexpr uint64_t kMs = 1000000;

class FirmwareRunnerTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::PmTimer timer{machine.clock(), machine.bus()};
  sim::ResetControl resetControl{machine};
};

// Spins until the PM timer has moved `ticks` on, as firmware delays do.
void WaitTicks(UINT32 ticks) {
  const UINT32 start = IoRead32(sim::PmTimer::kPort);
  while (((start + ticks - IoRead32(sim::PmTimer::kPort)) & 0x800000u) == 0) {
    CpuPause();
  }
}

TEST_F(FirmwareRunnerTest, BodyThatReturnsCompletesWithItsVirtualTime) {
  int steps = 0;
  const RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    EXPECT_TRUE(FirmwareRunner::InFirmware());
    EXPECT_EQ(sim::Machine::Current(), &machine);
    WaitTicks(3580); // about 1 ms
    ++steps;
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Completed);
  EXPECT_EQ(steps, 1);
  // Within a PM-timer read and a poll (a read and a pause) of 1 ms.
  EXPECT_NEAR(static_cast<double>(outcome.endNs - outcome.startNs), 1e6, 2000);
  EXPECT_FALSE(FirmwareRunner::InFirmware());
  EXPECT_EQ(sim::Machine::Current(), nullptr);
}

TEST_F(FirmwareRunnerTest, FiberStackLiesInGuestMemoryBelow4GiB) {
  uint64_t local = 0;
  FirmwareRunner::Run(machine, [&] {
    volatile int onStack = 0;
    local = reinterpret_cast<uint64_t>(&onStack);
  });
  EXPECT_TRUE(machine.memory().Contains(local));
  EXPECT_LT(local, 0x100000000ull);
}

TEST_F(FirmwareRunnerTest, ResetWriteEndsTheRunAndLaterCodeNeverRuns) {
  bool afterWrite = false;
  const RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    IoWrite8(sim::ResetControl::kPort, 0x0E);
    afterWrite = true;
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Reset);
  EXPECT_EQ(outcome.resetValue, 0x0Eu);
  EXPECT_FALSE(afterWrite);
  EXPECT_EQ(resetControl.Requests(), std::vector<uint8_t>{0x0E});
  const auto seq = machine.trace().FindSequence(
      {TraceMatch::IoWr(0xCF9, 0x0E), TraceMatch::Is(sim::ev::ResetRequest{0x0E}).Dev("reset-control")});
  EXPECT_TRUE(seq) << seq.explanation;
}

TEST_F(FirmwareRunnerTest, WriteWithoutTheResetBitDoesNotReset) {
  const RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    IoWrite8(sim::ResetControl::kPort, 0x02);
    EXPECT_EQ(IoRead8(sim::ResetControl::kPort), 0x02u);
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Completed);
  EXPECT_TRUE(resetControl.Requests().empty());
  const auto second = FirmwareRunner::Run(machine, [] { IoWrite8(0xCF9, 0x06); });
  EXPECT_EQ(second.kind, RunOutcome::Reset);
  EXPECT_EQ(second.resetValue, 0x06u);
}

TEST_F(FirmwareRunnerTest, WatchdogEndsAWaitOnAStuckTimerAtTheLimit) {
  machine.SetWatchdog(10 * kMs);
  timer.SetStuck(true);
  bool returned = false;
  const RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    WaitTicks(3580);
    returned = true;
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Watchdog);
  EXPECT_FALSE(returned);
  EXPECT_GE(outcome.endNs - outcome.startNs, 10 * kMs);
  EXPECT_LT(outcome.endNs - outcome.startNs, 10 * kMs + 1000);
  EXPECT_NE(outcome.detail.find("watchdog"), std::string::npos);
}

TEST_F(FirmwareRunnerTest, WatchdogEndsAPollOfAnAbsentDevice) {
  machine.SetWatchdog(2 * kMs);
  const RunOutcome outcome = FirmwareRunner::Run(machine, [] {
    while ((IoRead8(0x66) & 0x02) != 0) { // nothing decodes 0x66: reads 0xFF forever
    }
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Watchdog);
}

TEST_F(FirmwareRunnerTest, WatchdogIsNotArmedOutsideRuns) {
  machine.SetWatchdog(1 * kMs);
  FirmwareRunner::Run(machine, [] {});
  sim::MachineScope scope(machine);
  machine.clock().AdvanceNs(5 * kMs); // would abort the process if still armed
  EXPECT_EQ(machine.clock().AlarmNs(), sim::Clock::kNever);
}

TEST_F(FirmwareRunnerTest, UnmodelledMsrIsAFaultThatNamesTheMsr) {
  machine.bus().SetMsr(0x198, 0x2400);
  UINT64 ratio = 0;
  const RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    ratio = ReadMsr(0x198);
    ReadMsr(0x1A2);
    ratio = 0;
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_EQ(ratio, 0x2400u);
  EXPECT_NE(outcome.detail.find("0x1a2"), std::string::npos) << outcome.detail;
}

TEST_F(FirmwareRunnerTest, ExceptionEscapingTheBodyIsAFault) {
  const RunOutcome outcome =
      FirmwareRunner::Run(machine, [] { throw std::runtime_error("slot not emulated"); });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("slot not emulated"), std::string::npos);
}

TEST_F(FirmwareRunnerTest, StopInANestedRunEndsOnlyThatRun) {
  bool outerContinued = false;
  RunOutcome inner;
  const RunOutcome outer = FirmwareRunner::Run(machine, [&] {
    inner = FirmwareRunner::Run(machine, [] {
      sim::Machine::Current()->Stop(sim::StopReason::Fault,
                                    "BootServices.LoadImage is not emulated");
    });
    outerContinued = true;
  });
  EXPECT_EQ(inner.kind, RunOutcome::Fault);
  EXPECT_EQ(outer.kind, RunOutcome::Completed);
  EXPECT_TRUE(outerContinued);
}

TEST_F(FirmwareRunnerTest, HundredsOfRunsInARowReuseTheirStacks) {
  int completed = 0;
  for (int i = 0; i < 600; ++i) {
    machine.SetWatchdog(i % 3 == 2 ? 50000 : sim::Machine::kDefaultWatchdogNs);
    const RunOutcome outcome = FirmwareRunner::Run(machine, [&, i] {
      volatile char frame[8192]; // touch a good part of the stack
      frame[(i * 97) % sizeof(frame)] = static_cast<char>(i);
      switch (i % 3) {
      case 0:
        ++completed;
        break;
      case 1:
        IoWrite8(sim::ResetControl::kPort, 0x0E);
        break;
      default:
        for (;;)
          CpuPause();
      }
    });
    ASSERT_EQ(outcome.kind, i % 3 == 0   ? RunOutcome::Completed
                            : i % 3 == 1 ? RunOutcome::Reset
                                         : RunOutcome::Watchdog)
        << "run " << i;
    ASSERT_EQ(machine.memory().StacksInUse(), 0u);
  }
  EXPECT_EQ(completed, 200);
  EXPECT_EQ(resetControl.Requests().size(), 200u);
}

// Whatever a run does to the floating-point modes, and however it ends (a
// host fault leaves through the signal handler), the owner gets back its own
// modes and signal mask: a fault signal left blocked would kill the process
// at the next fault instead of ending that run.
TEST_F(FirmwareRunnerTest, RunsGiveTheOwnerBackItsFloatingPointModesAndSignalMask) {
  auto x87Control = [] {
    uint16_t word = 0;
    asm volatile("fnstcw %0" : "=m"(word));
    return word;
  };
  sigset_t maskBefore;
  sigemptyset(&maskBefore);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &maskBefore), 0);
  const unsigned mxcsrBefore = _mm_getcsr();
  const uint16_t x87Before = x87Control();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const bool fault = round != 0;
    const RunOutcome outcome = FirmwareRunner::Run(machine, [fault] {
      _mm_setcsr((_mm_getcsr() & ~0x6000u) | 0x6000u); // round toward zero
      const uint16_t single = 0x007F;                 // single precision, toward nearest
      asm volatile("fldcw %0" : : "m"(single));
      if (fault) {
        *reinterpret_cast<volatile uint32_t *>(0x4bad0000f000) = 1;
      }
    });
    EXPECT_EQ(outcome.kind, fault ? RunOutcome::Fault : RunOutcome::Completed) << outcome.detail;
    EXPECT_EQ(_mm_getcsr(), mxcsrBefore);
    EXPECT_EQ(x87Control(), x87Before);
    sigset_t mask;
    sigemptyset(&mask);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &mask), 0);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
      EXPECT_EQ(sigismember(&mask, signal), sigismember(&maskBefore, signal)) << "signal " << signal;
    }
  }
  EXPECT_EQ(machine.memory().StacksInUse(), 0u);
}

TEST_F(FirmwareRunnerTest, ResetWriteFromHostCodeIsRecordedAndReturns) {
  sim::MachineScope scope(machine);
  IoWrite8(sim::ResetControl::kPort, 0x0E);
  ASSERT_TRUE(machine.LastStop().has_value());
  EXPECT_EQ(machine.LastStop()->reason, sim::StopReason::Reset);
  EXPECT_EQ(machine.LastStop()->value, 0x0Eu);
}

TEST_F(FirmwareRunnerTest, FaultOutsideARunAbortsWithItsReason) {
  EXPECT_DEATH(
      machine.Stop(sim::StopReason::Fault, "BootServices.ExitBootServices is not emulated"),
      "fault outside a firmware run.*ExitBootServices is not emulated");
}

} // namespace
