// Services and stops shared by the DXE and PEI emulations, and the named trap
// of slots neither emulates.
#include "ServiceCommon.h"

#include "Trap.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

VOID EFIAPI CopyMemService(VOID *destination, VOID *source, UINTN length) {
  if (length != 0) {
    std::memmove(destination, source, length);
  }
}

VOID EFIAPI SetMemService(VOID *buffer, UINTN size, UINT8 value) {
  if (size != 0) {
    std::memset(buffer, value, size);
  }
}

void *TakeRecord(Machine &machine, GuestArena &arena, size_t bytes, const char *owner) {
  void *record = arena.Take(bytes);
  if (record == nullptr) {
    StopForFault(machine, std::string("guest memory is exhausted: no room for ") + owner +
                              "' own records");
  }
  std::memset(record, 0, bytes);
  return record;
}

void StopForReset(Machine &machine, EFI_RESET_TYPE type, std::string_view detail) {
  // A shutdown puts the board into its soft-off state: nothing boots after.
  if (type == EfiResetShutdown) {
    machine.Stop(StopReason::PowerOff, std::string(detail));
    std::abort();
  }
  const uint64_t value = type == EfiResetWarm ? 0x06 : 0x0E;
  machine.Stop(StopReason::Reset, std::string(detail), value);
  // A reset outside a run is recorded and returns; a service cannot.
  std::fprintf(stderr, "mgmt-sim: %.*s outside a firmware run\n", static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void StopForFault(Machine &machine, std::string detail) {
  machine.Stop(StopReason::Fault, std::move(detail));
  std::abort();
}

void StopOnUnemulatedSlot(const char *slot) {
  Machine *machine = Machine::Current();
  if (machine == nullptr) {
    std::fprintf(stderr, "mgmt-sim: %s is not emulated (no machine is current)\n", slot);
    std::abort();
  }
  machine->Stop(StopReason::Fault, std::string(slot) + " is not emulated");
}

void StopOnSlotAfterExitBootServices(const char *slot) {
  Machine *machine = Machine::Current();
  if (machine == nullptr) {
    std::fprintf(stderr, "mgmt-sim: %s called after ExitBootServices (no machine is current)\n",
                 slot);
    std::abort();
  }
  machine->Stop(StopReason::Fault, std::string(slot) + " called after ExitBootServices");
}

} // namespace sim
