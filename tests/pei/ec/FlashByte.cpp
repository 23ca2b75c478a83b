// Store emulation for FlashByte: SIGSEGV opens the page and sets the trap
// flag, SIGTRAP after the one instruction restores the byte and closes the
// page again.
#include "FlashByte.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {

constexpr greg_t kTrapFlag = 0x100;

struct State {
  volatile uint8_t *byte = nullptr;
  uintptr_t page = 0;
  size_t pageSize = 0;
  uint8_t saved = 0;
  bool stepping = false;
  uint64_t dropped = 0;
  struct sigaction oldSegv {};
  struct sigaction oldTrap {};
};

// The state lives on the heap: the handlers write it while the byte's page,
// which may hold this file's own globals, is read-only. Handlers only read
// the pointer.
State *gState = nullptr;

// A fault that is not ours: crash as usual when the handler returns.
void RestoreDefault(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
}

void OnSegv(int signal, siginfo_t *info, void *context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (gState == nullptr || address < gState->page || address >= gState->page + gState->pageSize) {
    // Not ours: a real crash. Let the default action report it.
    RestoreDefault(signal);
    return;
  }
  gState->saved = *gState->byte;
  gState->stepping = true;
  mprotect(reinterpret_cast<void *>(gState->page), gState->pageSize, PROT_READ | PROT_WRITE);
  static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void OnTrap(int signal, siginfo_t *, void *context) {
  if (gState == nullptr || !gState->stepping) {
    RestoreDefault(signal);
    return;
  }
  if (*gState->byte != gState->saved) {
    *gState->byte = gState->saved;
    ++gState->dropped;
  }
  gState->stepping = false;
  mprotect(reinterpret_cast<void *>(gState->page), gState->pageSize, PROT_READ);
  static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
}

} // namespace

FlashByte::FlashByte(uint8_t *byte) {
  if (gState != nullptr) {
    throw std::logic_error("FlashByte: one at a time");
  }
  gState = new State;
  gState->byte = byte;
  gState->pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  gState->page = reinterpret_cast<uintptr_t>(byte) & ~(gState->pageSize - 1);

  struct sigaction action {};
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = OnSegv;
  sigaction(SIGSEGV, &action, &gState->oldSegv);
  action.sa_sigaction = OnTrap;
  sigaction(SIGTRAP, &action, &gState->oldTrap);
  if (mprotect(reinterpret_cast<void *>(gState->page), gState->pageSize, PROT_READ) != 0) {
    throw std::runtime_error("FlashByte: mprotect failed");
  }
}

FlashByte::~FlashByte() {
  mprotect(reinterpret_cast<void *>(gState->page), gState->pageSize, PROT_READ | PROT_WRITE);
  sigaction(SIGSEGV, &gState->oldSegv, nullptr);
  sigaction(SIGTRAP, &gState->oldTrap, nullptr);
  State *state = gState;
  gState = nullptr;
  dropped_ = state->dropped;
  delete state;
}

uint64_t FlashByte::DroppedWrites() const { return gState != nullptr ? gState->dropped : dropped_; }
