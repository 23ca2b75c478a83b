// The simulator's side of Hw.h: every hardware access of module code goes to
// the bus of the current machine. Reads take the bus's low-bytes path, since
// each function keeps only its width of the value anyway.
#include <Hw.h>

#include <cstdio>
#include <cstdlib>

#include "Machine.h"

namespace {
[[noreturn, gnu::cold, gnu::noinline]] void NoMachine() {
  std::fprintf(stderr, "mgmt-sim: hardware access with no current machine "
                       "(missing sim::MachineScope or FirmwareRunner::Run)\n");
  std::abort();
}

sim::Machine &Current() {
  sim::Machine *machine = sim::Machine::Current();
  if (machine == nullptr) [[unlikely]]
    NoMachine();
  return *machine;
}
} // namespace

extern "C" {

UINT8 IoRead8(UINT16 Port) { return static_cast<UINT8>(Current().bus().IoReadLow(Port, 1)); }
UINT16 IoRead16(UINT16 Port) { return static_cast<UINT16>(Current().bus().IoReadLow(Port, 2)); }
UINT32 IoRead32(UINT16 Port) { return static_cast<UINT32>(Current().bus().IoReadLow(Port, 4)); }
void IoWrite8(UINT16 Port, UINT8 Value) { Current().bus().IoWrite(Port, 1, Value); }
void IoWrite16(UINT16 Port, UINT16 Value) { Current().bus().IoWrite(Port, 2, Value); }
void IoWrite32(UINT16 Port, UINT32 Value) { Current().bus().IoWrite(Port, 4, Value); }

UINT8 MmioRead8(UINTN Address) {
  return static_cast<UINT8>(Current().bus().MmioReadLow(Address, 1));
}
UINT16 MmioRead16(UINTN Address) {
  return static_cast<UINT16>(Current().bus().MmioReadLow(Address, 2));
}
UINT32 MmioRead32(UINTN Address) {
  return static_cast<UINT32>(Current().bus().MmioReadLow(Address, 4));
}
UINT64 MmioRead64(UINTN Address) { return Current().bus().MmioReadLow(Address, 8); }
void MmioWrite8(UINTN Address, UINT8 Value) { Current().bus().MmioWrite(Address, 1, Value); }
void MmioWrite16(UINTN Address, UINT16 Value) { Current().bus().MmioWrite(Address, 2, Value); }
void MmioWrite32(UINTN Address, UINT32 Value) { Current().bus().MmioWrite(Address, 4, Value); }
void MmioWrite64(UINTN Address, UINT64 Value) { Current().bus().MmioWrite(Address, 8, Value); }

UINT64 ReadMsr(UINT32 Index) { return Current().bus().ReadMsr(Index); }
void CpuPause(void) { Current().bus().CpuPause(); }

void ReadIdtr(IDT_REGISTER *Idtr) {
  sim::Machine &machine = Current();
  Idtr->Limit = machine.IdtrLimit();
  Idtr->Base = static_cast<UINTN>(machine.IdtrBase());
}

} // extern "C"
