// PCI configuration space of a type-0 header: register offsets, command
// bits and BAR encoding, plus the memory-mapped (ECAM) address layout.
#pragma once

#include <Uefi/UefiBaseType.h>

#define PCI_VENDOR_ID_OFFSET 0x00
#define PCI_DEVICE_ID_OFFSET 0x02
#define PCI_COMMAND_OFFSET 0x04
#define PCI_PRIMARY_STATUS_OFFSET 0x06
#define PCI_REVISION_ID_OFFSET 0x08
#define PCI_CLASSCODE_OFFSET 0x09 // programming interface, subclass, base class
#define PCI_CACHELINE_SIZE_OFFSET 0x0C
#define PCI_LATENCY_TIMER_OFFSET 0x0D
#define PCI_HEADER_TYPE_OFFSET 0x0E
#define PCI_BIST_OFFSET 0x0F
#define PCI_BASE_ADDRESSREG_OFFSET 0x10 // six BARs, 0x10 .. 0x24
#define PCI_CARDBUS_CIS_OFFSET 0x28
#define PCI_SUBSYSTEM_VENDOR_ID_OFFSET 0x2C
#define PCI_SUBSYSTEM_ID_OFFSET 0x2E
#define PCI_EXPANSION_ROM_BASE 0x30
#define PCI_CAPBILITY_POINTER_OFFSET 0x34
#define PCI_INT_LINE_OFFSET 0x3C
#define PCI_INT_PIN_OFFSET 0x3D

#define PCI_MAX_BAR 6
#define PCI_BAR_OFFSET(Index) (PCI_BASE_ADDRESSREG_OFFSET + (Index)*4)

// Vendor id read from an absent function.
#define PCI_INVALID_VENDOR_ID 0xFFFF

// Command register bits.
#define EFI_PCI_COMMAND_IO_SPACE 0x0001
#define EFI_PCI_COMMAND_MEMORY_SPACE 0x0002
#define EFI_PCI_COMMAND_BUS_MASTER 0x0004
#define EFI_PCI_COMMAND_SPECIAL_CYCLE 0x0008
#define EFI_PCI_COMMAND_MEMORY_WRITE_AND_INVALIDATE 0x0010
#define EFI_PCI_COMMAND_VGA_PALETTE_SNOOP 0x0020
#define EFI_PCI_COMMAND_PARITY_ERROR_RESPOND 0x0040
#define EFI_PCI_COMMAND_STEPPING_CONTROL 0x0080
#define EFI_PCI_COMMAND_SERR 0x0100
#define EFI_PCI_COMMAND_FAST_BACK_TO_BACK 0x0200
#define EFI_PCI_COMMAND_INTERRUPT_DISABLE 0x0400

// BAR low bits: bit 0 selects I/O space; memory BARs carry type and prefetch.
#define PCI_BAR_IO_SPACE 0x00000001
#define PCI_BAR_IO_MASK 0xFFFFFFFC
#define PCI_BAR_MEM_TYPE_MASK 0x00000006
#define PCI_BAR_MEM_TYPE_64 0x00000004 // the next BAR holds the upper 32 bits
#define PCI_BAR_MEM_PREFETCHABLE 0x00000008
#define PCI_BAR_MEM_MASK 0xFFFFFFF0

#define HEADER_TYPE_MULTI_FUNCTION 0x80

// Base classes.
#define PCI_CLASS_NETWORK 0x02
#define PCI_CLASS_DISPLAY 0x03
#define PCI_CLASS_BRIDGE 0x06

#define PCI_MAX_DEVICE 31
#define PCI_MAX_FUNC 7

// Offset of a register inside the memory-mapped configuration window.
static inline UINTN PciEcamOffset(UINTN Bus, UINTN Device, UINTN Function, UINTN Register) {
  return (Bus << 20) | (Device << 15) | (Function << 12) | Register;
}
