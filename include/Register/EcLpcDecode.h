// The chipset registers that decide whether the EC's I/O ports reach the LPC
// bus: the LPC/eSPI bridge (PCI 0:31.0) decode registers, their mirrors in the
// DMI sideband port and the lock bits that freeze both. EcPei opens the decode;
// the simulator's chipset model serves the same registers.
#pragma once

#include <Uefi/UefiBaseType.h>

// LPC/eSPI bridge, PCI bus 0 device 31 function 0.
constexpr UINT8 kLpcBus = 0;
constexpr UINT8 kLpcDevice = 31;
constexpr UINT8 kLpcFunction = 0;

constexpr UINT16 kLpcDeviceIdRegister = 0x02; // 16 bits, tells the PCH series
constexpr UINT16 kLpcIoDecodeEnables = 0x82;  // 16 bits
constexpr UINT16 kLpcGenericRange1 = 0x84;    // 32 bits each, ranges 1..4 in a row
constexpr UINT32 kLpcGenericRangeCount = 4;
constexpr UINT16 kLpcSecondIoDecodeEnables = 0xA0; // 16 bits, eSPI chip select 1
constexpr UINT16 kLpcSecondGenericRange = 0xA4;    // 32 bits, eSPI chip select 1

constexpr UINT16 LpcGenericRangeRegister(UINT32 Index) {
  return (UINT16)(kLpcGenericRange1 + 4 * Index);
}

// I/O decode-enable bit of the EC's ports 0x62 and 0x66.
constexpr UINT16 kLpcDecodeEcPorts = 0x0800;

// Generic I/O range register: bit 0 enables, bits 15..2 hold the base, bits
// 23..18 hold address-mask bits 7..2 (a set mask bit ignores that address bit).
constexpr UINT32 kLpcRangeEnable = 0x00000001;
constexpr UINT32 kLpcRangeBaseMask = 0x0000FFFC;
constexpr UINT32 kLpcRangeMaskShift = 16;
constexpr UINT32 kLpcRangeMaskField = 0xFC; // after the shift
constexpr UINT32 kLpcRangeWritable = 0x00FCFFFD;

constexpr UINT32 LpcRangeBase(UINT32 Register) { return Register & kLpcRangeBaseMask; }
constexpr UINT32 LpcRangeSize(UINT32 Register) {
  return ((Register >> kLpcRangeMaskShift) & kLpcRangeMaskField) + 4;
}

// The window EcPei opens: 0xA00..0xAFF (mask 0xFC: 256 bytes), enabled.
constexpr UINT32 kLpcEcWindowRange = 0x00FC0A01;
constexpr UINT32 kLpcEcWindowBase = 0xA00;
constexpr UINT32 kLpcEcWindowEnd = 0xB00;
static_assert(LpcRangeBase(kLpcEcWindowRange) == kLpcEcWindowBase);
static_assert(LpcRangeBase(kLpcEcWindowRange) + LpcRangeSize(kLpcEcWindowRange) == kLpcEcWindowEnd);

// Sideband (private configuration) ports and registers: 0xFD000000 | port << 16
// | offset (kBoardPchPcrBase in Board/BoardConfig.h).
constexpr UINT8 kPcrPortDmi = 0x88;
constexpr UINT16 kDmiGenericRangeMirror1 = 0x2730; // 32 bits each, ranges 1..4 in a row
constexpr UINT16 kDmiIoDecodeMirror = 0x2774;      // 16 bits
constexpr UINT16 kDmiLockH = 0x20D8;               // series H
constexpr UINT32 kDmiLockHBit = 1U << 23;
constexpr UINT16 kDmiLock = 0x2234; // every other series
constexpr UINT32 kDmiLockBit = 1U << 31;

constexpr UINT16 DmiGenericRangeMirror(UINT32 Index) {
  return (UINT16)(kDmiGenericRangeMirror1 + 4 * Index);
}

constexpr UINT8 kPcrPortEspi = 0x72;
constexpr UINT16 kEspiSecondDeviceControl = 0xC210; // read on series H only
constexpr UINT32 kEspiSecondDeviceEnable = 1U << 12;

constexpr UINTN PcrAddress(UINTN Base, UINT8 Port, UINT16 Offset) {
  return Base | ((UINTN)Port << 16) | Offset;
}

// PCH series from the bridge's device ID (the low five bits are the stepping
// and SKU): answers of the series query, 0xFF also meaning "not asked yet".
constexpr UINT16 kPchDeviceIdMask = 0xFFE0;
constexpr UINT16 kPchDeviceIdH1 = 0x0680;
constexpr UINT16 kPchDeviceIdH2 = 0xA300;
constexpr UINT16 kPchDeviceIdLp1 = 0x0280;
constexpr UINT16 kPchDeviceIdLp2 = 0x9D80;
constexpr UINT8 kPchSeriesH = 1;
constexpr UINT8 kPchSeriesLp = 2;
constexpr UINT8 kPchSeriesUnknown = 0xFF;

constexpr UINT8 PchSeriesOfDeviceId(UINT16 DeviceId) {
  switch (DeviceId & kPchDeviceIdMask) {
  case kPchDeviceIdH1:
  case kPchDeviceIdH2:
    return kPchSeriesH;
  case kPchDeviceIdLp1:
  case kPchDeviceIdLp2:
    return kPchSeriesLp;
  default:
    return kPchSeriesUnknown;
  }
}
static_assert(PchSeriesOfDeviceId(0xA305) == kPchSeriesH);
static_assert(PchSeriesOfDeviceId(0x9D84) == kPchSeriesLp);
static_assert(PchSeriesOfDeviceId(0x06A0) == kPchSeriesUnknown);
