// The one seam between module code and hardware: port I/O, memory-mapped I/O,
// model-specific registers, the pause hint and the interrupt descriptor table
// register. On a board these are single instructions (hw/x86/Hw.cpp); the
// simulator links its own implementation that dispatches to device models.
// Plain C calling convention: these never cross an image boundary.
#pragma once

#include <Uefi/UefiBaseType.h>

// Layout stored by SIDT: a 16-bit limit followed by a pointer-wide base.
typedef struct {
  UINT16 Limit;
  UINTN Base;
} __attribute__((packed)) IDT_REGISTER;

static_assert(sizeof(IDT_REGISTER) == 2 + sizeof(UINTN), "SIDT image");

#ifdef __cplusplus
extern "C" {
#endif

UINT8 IoRead8(UINT16 Port);
UINT16 IoRead16(UINT16 Port);
UINT32 IoRead32(UINT16 Port);
void IoWrite8(UINT16 Port, UINT8 Value);
void IoWrite16(UINT16 Port, UINT16 Value);
void IoWrite32(UINT16 Port, UINT32 Value);

UINT8 MmioRead8(UINTN Address);
UINT16 MmioRead16(UINTN Address);
UINT32 MmioRead32(UINTN Address);
UINT64 MmioRead64(UINTN Address);
void MmioWrite8(UINTN Address, UINT8 Value);
void MmioWrite16(UINTN Address, UINT16 Value);
void MmioWrite32(UINTN Address, UINT32 Value);
void MmioWrite64(UINTN Address, UINT64 Value);

UINT64 ReadMsr(UINT32 Index);
void CpuPause(void);

// The PEI foundation keeps its services pointer just below the interrupt
// descriptor table, so PEI code needs the table's location.
void ReadIdtr(IDT_REGISTER *Idtr);

#ifdef __cplusplus
}
#endif
