// Native hardware access for EFI images: each function is the one instruction
// it names. Volatile accesses keep the compiler from merging, reordering or
// dropping device register accesses; the "memory" clobbers keep surrounding
// memory operations (DMA descriptors) on their side of a port access.
#include <Hw.h>

extern "C" {

UINT8 IoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

UINT16 IoRead16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

UINT32 IoRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %k0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

void IoWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

void IoWrite16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

void IoWrite32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %k0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

UINT8 MmioRead8(UINTN Address) { return *(volatile UINT8 *)Address; }

UINT16 MmioRead16(UINTN Address) { return *(volatile UINT16 *)Address; }

UINT32 MmioRead32(UINTN Address) { return *(volatile UINT32 *)Address; }

UINT64 MmioRead64(UINTN Address) { return *(volatile UINT64 *)Address; }

void MmioWrite8(UINTN Address, UINT8 Value) { *(volatile UINT8 *)Address = Value; }

void MmioWrite16(UINTN Address, UINT16 Value) { *(volatile UINT16 *)Address = Value; }

void MmioWrite32(UINTN Address, UINT32 Value) { *(volatile UINT32 *)Address = Value; }

void MmioWrite64(UINTN Address, UINT64 Value) { *(volatile UINT64 *)Address = Value; }

UINT64 ReadMsr(UINT32 Index) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return ((UINT64)High << 32) | Low;
}

void CpuPause(void) { __asm__ __volatile__("pause" : : : "memory"); }

void ReadIdtr(IDT_REGISTER *Idtr) { __asm__ __volatile__("sidt %0" : "=m"(*Idtr)); }

} // extern "C"
