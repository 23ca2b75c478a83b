// Board constants that more than one module (and the simulator's default
// board) must agree on. The NIC subsystem identifier is the one value a board
// port changes; the rest are fixed by the chipset and the board's wiring.
#pragma once

#include <Uefi/UefiBaseType.h>

// The Ethernet controller that carries the management link: configuration
// DWORD 0 (vendor 0x10EC, device 0x8168) and DWORD 0x2C (subsystem vendor in
// the low half, subsystem in the high half) as this board programs it.
constexpr UINT32 kBoardNicPciId = 0x816810EC;
constexpr UINT32 kBoardNicSubsystemId = 0x3A7C10EC;
constexpr UINT32 kBoardPciIdOffset = 0x00;
constexpr UINT32 kBoardPciSubsystemOffset = 0x2C;

// The management controller's own display controller (configuration DWORD 0).
constexpr UINT32 kBoardMgmtDisplayPciId = 0x816F10EF;

// PCI configuration space, memory-mapped.
constexpr UINTN kBoardPciConfigBase = 0xE0000000;
constexpr UINTN BoardPciConfigAddress(UINT8 Bus, UINT8 Device, UINT8 Function, UINT32 Register) {
  return kBoardPciConfigBase + ((UINTN)Bus << 20) + ((UINTN)Device << 15) +
         ((UINTN)Function << 12) + Register;
}

// PCH private-configuration (sideband) window: port << 16 | offset.
constexpr UINTN kBoardPchPcrBase = 0xFD000000;

// ACPI power-management timer: 24-bit counter at 3.579545 MHz.
constexpr UINT16 kBoardPmTimerPort = 0x1808;
constexpr UINT32 kBoardPmTimerHz = 3579545;

// Reset control: writing kBoardFullReset requests a full reset.
constexpr UINT16 kBoardResetControlPort = 0xCF9;
constexpr UINT8 kBoardFullReset = 0x0E;

static_assert(BoardPciConfigAddress(0, 31, 0, 2) == 0xE00F8002);
static_assert(BoardPciConfigAddress(0, 31, 1, 0) == 0xE00F9000);
