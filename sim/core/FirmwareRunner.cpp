// Fibers for firmware runs. The run's context lives on the host stack of
// Run(); the fiber's stack comes from guest memory (below 4 GiB, as the
// firmware's stack is on a board) and goes back to it when the run ends,
// whether the body returned, was abandoned by a stop or faulted.
#include "FirmwareRunner.h"

#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>

#include "Machine.h"

#include "Sanitizers.h"

#if MGMT_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define MGMT_RUNNER_ASAN 1
#endif

namespace sim {

namespace {
// AddressSanitizer keeps its own idea of which stack the code runs on; every
// switch between the host's stack and a fiber's is announced to it, or it
// takes frames on the other stack for overflows. Abandoned fibers leave
// their frames' redzones poisoned, so a stack is cleaned before it is reused.
#if defined(MGMT_RUNNER_ASAN)
void StartSwitch(void **fakeStack, const void *bottom, size_t size) {
  __sanitizer_start_switch_fiber(fakeStack, bottom, size);
}
void FinishSwitch(void *fakeStack, const void **bottom, size_t *size) {
  __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
}
void CleanStack(void *stack, size_t size) { __asan_unpoison_memory_region(stack, size); }
#else
void StartSwitch(void **, const void *, size_t) {}
void FinishSwitch(void *, const void **, size_t *) {}
void CleanStack(void *, size_t) {}
#endif

// The switch between the owner's stack and a fiber's. A run enters its fiber
// once and leaves it once, never to resume it, so two routines do: one saves
// the owner's callee-saved registers and floating-point control words on the
// owner's stack, moves to the fiber's stack and calls the entry; the other
// goes back to that stack pointer and returns from the first. The C library's
// context functions do the same but also read or write the signal mask, a
// system call each, four per run; the mask never changes here, except in the
// fault handler, whose return restores it.
#if !defined(__x86_64__)
#error "the fiber switch is written for x86-64 hosts"
#endif
extern "C" void MgmtFiberEnter(void **ownerSp, void *fiberTop, void (*entry)());
extern "C" [[noreturn]] void MgmtFiberReturn(void *ownerSp);
asm(R"(
  .text
  .p2align 4
  .globl MgmtFiberEnter
  .type MgmtFiberEnter, @function
MgmtFiberEnter:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $16, %rsp
  stmxcsr 8(%rsp)
  fnstcw (%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  .cfi_undefined rip
  xorl %ebp, %ebp
  callq *%rdx
  ud2
  .cfi_endproc
  .size MgmtFiberEnter, .-MgmtFiberEnter

  .p2align 4
  .globl MgmtFiberReturn
  .type MgmtFiberReturn, @function
MgmtFiberReturn:
  .cfi_startproc
  movq %rdi, %rsp
  ldmxcsr 8(%rsp)
  fldcw (%rsp)
  addq $16, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size MgmtFiberReturn, .-MgmtFiberReturn
)");

// Where LeaveAfterHostFault runs: the fiber's stack may be what overflowed,
// and the signal stack is the kernel's until the handler has returned.
constexpr size_t kFaultExitStackBytes = 16 * 1024;
alignas(16) thread_local unsigned char gFaultExitStack[kFaultExitStackBytes];

FirmwareRunner *gInnermost = nullptr;
FirmwareRunner *gStarting = nullptr;

struct CodeRange {
  uint64_t begin;
  uint64_t end;
  std::string module;
};
// A deque: the names stay where they are, ModuleAt hands out pointers.
std::deque<CodeRange> &CodeRanges() {
  static std::deque<CodeRange> ranges;
  return ranges;
}

// The signals a faulting instruction raises, and what was there before us:
// a fault that is not on a firmware fiber goes back to it.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction gPreviousActions[std::size(kFaultSignals)];
// The handler runs on a stack of its own: after a stack overflow the
// fiber's stack has no room left for it.
constexpr size_t kSignalStackBytes = 64 * 1024;
// How far below its fiber's stack a stack pointer still belongs to it: a
// frame larger than the guard page may step past the guard.
constexpr uint64_t kBelowStackSlack = 64 * 1024;

void InstallSignalStack() {
  thread_local bool haveSignalStack = false;
  // Lives as long as the thread; held here too, not only by the kernel, so
  // that the leak checker sees it is still in use.
  thread_local char *signalStack = nullptr;
  if (!haveSignalStack) {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0 ||
        current.ss_size < kSignalStackBytes) {
      signalStack = new char[kSignalStackBytes];
      stack_t mine{};
      mine.ss_sp = signalStack;
      mine.ss_size = kSignalStackBytes;
      sigaltstack(&mine, nullptr);
    }
    haveSignalStack = true;
  }
}

// Installed before main: a handler a program installs later for its own
// purposes (and puts back afterwards) comes first while it is in place.
[[maybe_unused]] const bool gFaultHandlerInstalled = [] {
  struct sigaction action {};
  action.sa_sigaction = [](int signal, siginfo_t *info, void *context) {
    FirmwareRunner::OnHostFaultEntry(signal, info, context);
  };
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  for (size_t i = 0; i < std::size(kFaultSignals); ++i) {
    sigaction(kFaultSignals[i], &action, &gPreviousActions[i]);
  }
  return true;
}();

// Puts back the action that was there before ours, so that the faulting
// instruction, executed again when the handler returns, meets it.
void HandBack(int signal) {
  for (size_t i = 0; i < std::size(kFaultSignals); ++i) {
    if (kFaultSignals[i] == signal) {
      sigaction(signal, &gPreviousActions[i], nullptr);
    }
  }
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// "Module+0x1f3" inside a named module, else the bare address.
std::string CodeText(uint64_t pc) {
  const std::deque<CodeRange> &ranges = CodeRanges();
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
    if (pc >= it->begin && pc < it->end) {
      return it->module + "+" + Hex(pc - it->begin);
    }
  }
  return Hex(pc);
}

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
  case RunOutcome::PowerOff:
    return "power-off";
  }
  return "?";
}

FirmwareRunner::FirmwareRunner(Machine &machine, std::function<void()> body)
    : machine_(machine), body_(std::move(body)) {}

FirmwareRunner *FirmwareRunner::Current() { return gInnermost; }

void FirmwareRunner::NameCode(const std::string &module, uint64_t begin, uint64_t end) {
  for (CodeRange &range : CodeRanges()) {
    if (range.begin == begin && range.end == end) {
      range.module = module;
      return;
    }
  }
  CodeRanges().push_back(CodeRange{begin, end, module});
}

const std::string *FirmwareRunner::ModuleAt(uint64_t address) {
  const std::deque<CodeRange> &ranges = CodeRanges();
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
    if (address >= it->begin && address < it->end) {
      return &it->module;
    }
  }
  return nullptr;
}

RunOutcome FirmwareRunner::Run(Machine &machine, std::function<void()> body,
                               uint64_t stackBytes) {
  FirmwareRunner runner(machine, std::move(body));
  MachineScope scope(machine);
  Clock &clock = machine.clock();
  InstallSignalStack();

  runner.stackBytes_ = stackBytes;
  runner.stack_ = machine.memory().AllocateStack(stackBytes);

  machine.ClearStop();
  runner.outcome_.startNs = clock.NowNs();
  const uint64_t outerAlarm = clock.AlarmNs();
  if (machine.Watchdog() != 0) {
    ArmWatchdog(machine, std::min(outerAlarm, clock.NowNs() + machine.Watchdog()));
  }

  runner.outer_ = gInnermost;
  gInnermost = &runner;
  gStarting = &runner;
  void *fakeStack = nullptr;
  StartSwitch(&fakeStack, runner.stack_, stackBytes);
  // Stacks are whole pages, so the top is aligned as a call wants it.
  MgmtFiberEnter(&runner.ownerSp_, static_cast<char *>(runner.stack_) + stackBytes,
                 &FirmwareRunner::Trampoline);
  // Here after the body returned, a stop abandoned the fiber or a fault
  // left it.
  FinishSwitch(fakeStack, nullptr, nullptr);
  gInnermost = runner.outer_;
  // The fiber is dead: its redzones go before the host-fault text reads
  // its stack for a return address.
  CleanStack(runner.stack_, stackBytes);
  if (runner.hostFault_) {
    runner.EndWithHostFault();
  }

  ArmWatchdog(machine, outerAlarm);
  machine.memory().FreeStack(runner.stack_);
  runner.outcome_.endNs = clock.NowNs();
  return runner.outcome_;
}

void FirmwareRunner::Trampoline() {
  FirmwareRunner *self = gStarting;
  gStarting = nullptr;
  FinishSwitch(nullptr, &self->ownerStack_, &self->ownerStackBytes_);
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
  self->LeaveFiber();
}

void FirmwareRunner::OnHostFaultEntry(int signal, void *info, void *context) {
  FirmwareRunner *runner = gInnermost;
  auto *uc = static_cast<ucontext_t *>(context);
  const uint64_t sp = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
  const uint64_t base = reinterpret_cast<uint64_t>(runner != nullptr ? runner->stack_ : nullptr);
  if (runner == nullptr || sp + kBelowStackSlack < base || sp > base + runner->stackBytes_) {
    HandBack(signal); // not firmware on its fiber: the host's own fault
    return;
  }
  // Only plain stores here; the run's owner makes the text once back on the
  // host stack.
  const auto *si = static_cast<const siginfo_t *>(info);
  runner->fault_.signal = signal;
  runner->fault_.code = si->si_code;
  runner->fault_.address = reinterpret_cast<uint64_t>(si->si_addr);
  runner->fault_.pc = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
  runner->fault_.sp = sp;
  runner->fault_.write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
  runner->hostFault_ = true;
  // Leave through the handler's return, which puts the signal mask back
  // (the faulting signal is blocked until then), into LeaveAfterHostFault
  // on a stack of its own.
  const uint64_t exitTop =
      (reinterpret_cast<uint64_t>(gFaultExitStack) + kFaultExitStackBytes) & ~uint64_t{15};
  uc->uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(exitTop - 8); // as if called
  uc->uc_mcontext.gregs[REG_RIP] =
      static_cast<greg_t>(reinterpret_cast<uint64_t>(&FirmwareRunner::LeaveAfterHostFault));
}

void FirmwareRunner::LeaveAfterHostFault() { gInnermost->LeaveFiber(); }

// On the owner's stack, once the fiber is left: the text of a host fault.
void FirmwareRunner::EndWithHostFault() {
  outcome_.kind = RunOutcome::Fault;
  outcome_.detail = DescribeHostFault();
  if (machine_.trace().Listening()) {
    machine_.trace().Emit("machine", ev::MachineStop{StopReasonName(StopReason::Fault), outcome_.detail});
  }
}

std::string FirmwareRunner::DescribeHostFault() const {
  const HostFault &f = fault_;
  const uint64_t base = reinterpret_cast<uint64_t>(stack_);
  const bool overflow =
      f.sp < base || (f.address < base && f.address + kBelowStackSlack >= base &&
                      (f.signal == SIGSEGV || f.signal == SIGBUS));
  // The innermost return address into a module, when the stack is readable:
  // whose code called the code that faulted (or jumped to nowhere).
  const std::string *caller = nullptr;
  if (!overflow) {
    for (uint64_t at = f.sp & ~uint64_t{7}; at + 8 <= base + stackBytes_; at += 8) {
      uint64_t word;
      std::memcpy(&word, reinterpret_cast<const void *>(at), sizeof word);
      if ((caller = ModuleAt(word)) != nullptr) {
        break;
      }
    }
  }
  const std::string *module = ModuleAt(f.pc);
  std::string where = module ? *module
                      : caller && f.address == f.pc ? *caller
                      : caller                      ? "simulator code called from " + *caller
                                                    : std::string("firmware");
  const std::string code = CodeText(f.pc);
  if (overflow) {
    return where + ": stack overflow: the " + std::to_string(stackBytes_ / 1024) +
           " KiB firmware stack ran out (stack pointer " + Hex(f.sp) + ")";
  }
  switch (f.signal) {
  case SIGSEGV:
  case SIGBUS:
    if (f.address == f.pc) {
      return where + ": jump to " + Hex(f.address) + ", where there is no code";
    }
    return where + ": bad memory " + (f.write ? "write" : "read") + " at " + Hex(f.address) +
           " (code at " + code + ")";
  case SIGILL:
    return where + ": illegal instruction at " + code;
  case SIGFPE:
    return where + (f.code == FPE_INTDIV ? ": integer division by zero" : ": arithmetic fault") +
           " at " + code;
  }
  return where + ": signal " + std::to_string(f.signal) + " at " + code;
}

void FirmwareRunner::LeaveFiber() {
  // The fiber is never resumed: nothing of its frames is kept.
  StartSwitch(nullptr, ownerStack_, ownerStackBytes_);
  MgmtFiberReturn(ownerSp_);
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
    case StopReason::PowerOff:
      outcome_.kind = RunOutcome::PowerOff;
      break;
    }
    outcome_.resetValue = stop->value;
    outcome_.detail = stop->detail;
  } else {
    outcome_.kind = RunOutcome::Fault;
    outcome_.detail = "run abandoned without a stop record";
  }
  LeaveFiber();
}

} // namespace sim
