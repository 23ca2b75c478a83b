// PCH GPIO pads as the firmware and the simulator's GPIO model both see them:
// the 32-bit pad identifier, the bits of a pad's configuration words, where a
// pad's registers sit inside its community's sideband port, and the registers
// of the sideband bridge (PCI 0:31.1) through which lock registers change.
#pragma once

#include <Board/BoardConfig.h>
#include <Uefi/UefiBaseType.h>

// ---------------------------------------------------------------------------
// Pad identifier: chipset id in bits 31..24, group index into the series'
// group table in bits 23..16, pad number within the group in bits 15..0.

constexpr UINT8 kGpioChipsetIdH = 3;  // PCH series H (also used while the series is unknown)
constexpr UINT8 kGpioChipsetIdLp = 4; // PCH series LP

constexpr UINT32 GpioPad(UINT8 ChipsetId, UINT8 Group, UINT16 PadNumber) {
  return ((UINT32)ChipsetId << 24) | ((UINT32)Group << 16) | PadNumber;
}
constexpr UINT8 GpioPadChipsetId(UINT32 Pad) { return (UINT8)(Pad >> 24); }
constexpr UINT8 GpioPadGroup(UINT32 Pad) { return (UINT8)(Pad >> 16); }
constexpr UINT16 GpioPadNumber(UINT32 Pad) { return (UINT16)Pad; }

static_assert(GpioPad(3, 2, 21) == 0x03020015);

// ---------------------------------------------------------------------------
// Register addressing inside a community's sideband port. A group without a
// register of some kind has kGpioNoRegister as its offset.

constexpr UINT16 kGpioNoRegister = 0xFFFF;

constexpr UINTN GpioPcrAddress(UINT8 Port, UINT16 Offset) {
  return kBoardPchPcrBase | ((UINTN)Port << 16) | Offset;
}

constexpr UINT32 kGpioPadConfigWords = 3;      // words 0..2 are used
constexpr UINT32 kGpioPadConfigPadStride = 16; // bytes per pad
constexpr UINT16 GpioPadConfigOffset(UINT16 Base, UINT16 PadNumber, UINT32 Word) {
  return (UINT16)(Base + ((UINT32)PadNumber * 4 + Word) * 4);
}

// Pad ownership: a 4-bit field per pad, eight pads per register; the pad
// belongs to the host when the field's two low bits are 0.
constexpr UINT32 kGpioPadsPerOwnershipRegister = 8;
constexpr UINT32 kGpioOwnershipMask = 0x3;
constexpr UINT16 GpioOwnershipOffset(UINT16 Base, UINT16 PadNumber) {
  return (UINT16)(Base + (PadNumber / kGpioPadsPerOwnershipRegister) * 4);
}
constexpr UINT32 GpioOwnershipShift(UINT16 PadNumber) {
  return (PadNumber % kGpioPadsPerOwnershipRegister) * 4;
}

// One bit per pad, 32 pads per register: host software ownership, interrupt
// and event statuses and enables.
constexpr UINT32 kGpioPadsPerBitRegister = 32;
constexpr UINT16 GpioBitRegisterOffset(UINT16 Base, UINT16 PadNumber) {
  return (UINT16)(Base + (PadNumber / kGpioPadsPerBitRegister) * 4);
}
constexpr UINT32 GpioPadBit(UINT16 PadNumber) {
  return 1u << (PadNumber % kGpioPadsPerBitRegister);
}

// Lock registers (configuration lock, TX lock): 32 pads per register, the
// pair of registers for the next 32 pads eight bytes further on.
constexpr UINT16 GpioLockOffset(UINT16 Base, UINT16 PadNumber) {
  return (UINT16)(Base + (PadNumber / kGpioPadsPerBitRegister) * 8);
}

// ---------------------------------------------------------------------------
// Pad configuration word 0.

constexpr UINT32 kGpioDw0TxState = 1u << 0;   // output level
constexpr UINT32 kGpioDw0RxState = 1u << 1;   // input level, read-only
constexpr UINT32 kGpioDw0TxDisable = 1u << 8; // output buffer off
constexpr UINT32 kGpioDw0RxDisable = 1u << 9; // input buffer off
constexpr UINT32 kGpioDw0PadMode = 7u << 10;  // 0 = GPIO, else a native function
constexpr UINT32 kGpioDw0RouteNmi = 1u << 17; // interrupt routing bits 17..20
constexpr UINT32 kGpioDw0RouteSmi = 1u << 18;
constexpr UINT32 kGpioDw0RouteSci = 1u << 19; // general-purpose event
constexpr UINT32 kGpioDw0RouteIoxApic = 1u << 20;
constexpr UINT32 kGpioDw0Routing = 0xFu << 17;
constexpr UINT32 kGpioDw0RxInvert = 1u << 23;
constexpr UINT32 kGpioDw0RxEvent = 3u << 25; // level, edge, ...
constexpr UINT32 kGpioDw0RxRaw = 1u << 28;
constexpr UINT32 kGpioDw0PadReset = 3u << 30; // which reset restores the pad

// Pad configuration word 1.
constexpr UINT32 kGpioDw1Termination = 0xFu << 10; // pull-up/down selection

// ---------------------------------------------------------------------------
// Sideband bridge, PCI 0:31.1: carries messages to sideband ports. A message
// is prepared in the address, data, routing and status registers and started
// by setting the busy bit, which the bridge clears when the port answered.

constexpr UINT8 kSbBridgeBus = 0;
constexpr UINT8 kSbBridgeDevice = 31;
constexpr UINT8 kSbBridgeFunction = 1;

constexpr UINT16 kSbBridgeAddress = 0xD0;    // 32 bits: port << 24 | offset
constexpr UINT16 kSbBridgeData = 0xD4;       // 32 bits
constexpr UINT16 kSbBridgeStatus = 0xD8;     // 16 bits
constexpr UINT16 kSbBridgeRouting = 0xDA;    // 16 bits
constexpr UINT16 kSbBridgeExtAddress = 0xDC; // 32 bits: upper part of the offset
constexpr UINT16 kSbBridgeHide = 0xE1;       // 8 bits: bit 0 hides the bridge

constexpr UINT32 kSbBridgeAddressPortShift = 24;
constexpr UINT16 kSbBridgeStatusBusy = 1u << 0;     // write 1 to start
constexpr UINT16 kSbBridgeStatusResponse = 3u << 1; // 0 = successful
constexpr UINT32 kSbBridgeStatusResponseShift = 1;
constexpr UINT16 kSbBridgeStatusPosted = 1u << 7;
constexpr UINT16 kSbBridgeStatusKeep = 0x7F; // bits kept when a message is prepared
constexpr UINT32 kSbBridgeStatusOpcodeShift = 8;
constexpr UINT8 kSbBridgeOpcodeLock = 0x13; // lock/unlock message
constexpr UINT16 kSbBridgeRoutingDefault = 0xF000;
constexpr UINT8 kSbBridgeHideBit = 0x01;

// Bound on polls of the busy bit, before and after a message.
constexpr UINT32 kSbBridgeBusyPolls = 0x0FFFFFFF;

static_assert(BoardPciConfigAddress(kSbBridgeBus, kSbBridgeDevice, kSbBridgeFunction, 0) ==
              0xE00F9000);
