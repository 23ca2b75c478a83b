// Decode set-up for the EC. Every change goes to the DMI mirror before the
// bridge register, so DMI already routes the cycles the bridge starts to
// decode.
#include "LpcDecode.h"

#include <Board/BoardConfig.h>
#include <Hw.h>
#include <Register/EcLpcDecode.h>

UINT8 mPchSeries = kPchSeriesUnknown;

namespace {

constexpr UINTN LpcRegister(UINT16 Register) {
  return BoardPciConfigAddress(kLpcBus, kLpcDevice, kLpcFunction, Register);
}

constexpr UINTN DmiRegister(UINT16 Offset) {
  return PcrAddress(kBoardPchPcrBase, kPcrPortDmi, Offset);
}

constexpr UINTN EspiRegister(UINT16 Offset) {
  return PcrAddress(kBoardPchPcrBase, kPcrPortEspi, Offset);
}

static_assert(LpcRegister(kLpcIoDecodeEnables) == 0xE00F8082);
static_assert(DmiRegister(kDmiIoDecodeMirror) == 0xFD882774);

BOOLEAN RangeEnabled(UINT32 Range) { return (Range & kLpcRangeEnable) != 0; }

} // namespace

UINT8 PchSeries() {
  if (mPchSeries != kPchSeriesUnknown) {
    return mPchSeries;
  }
  const UINT8 Series = PchSeriesOfDeviceId(MmioRead16(LpcRegister(kLpcDeviceIdRegister)));
  mPchSeries = Series;
  return Series;
}

BOOLEAN DecodeRegistersLocked() {
  if (PchSeries() == kPchSeriesH) {
    return (MmioRead32(DmiRegister(kDmiLockH)) & kDmiLockHBit) != 0 ? TRUE : FALSE;
  }
  return (MmioRead32(DmiRegister(kDmiLock)) & kDmiLockBit) != 0 ? TRUE : FALSE;
}

UINT16 ReadIoDecodeEnables() { return MmioRead16(LpcRegister(kLpcIoDecodeEnables)); }

EFI_STATUS OpenEcIoWindow() {
  UINT32 Ranges[kLpcGenericRangeCount];
  for (UINT32 Index = 0; Index < kLpcGenericRangeCount; ++Index) {
    Ranges[Index] = MmioRead32(LpcRegister(LpcGenericRangeRegister(Index)));
  }
  for (const UINT32 Range : Ranges) {
    if (RangeEnabled(Range) && LpcRangeBase(Range) <= kLpcEcWindowBase &&
        LpcRangeBase(Range) + LpcRangeSize(Range) >= kLpcEcWindowEnd) {
      return EFI_SUCCESS;
    }
  }

  // The second eSPI device must not decode any part of the window: a range
  // touching either end, or lying inside it, would make two devices answer.
  const UINT32 Second = MmioRead32(LpcRegister(kLpcSecondGenericRange));
  if (RangeEnabled(Second) && LpcRangeBase(Second) <= kLpcEcWindowEnd &&
      LpcRangeBase(Second) + LpcRangeSize(Second) >= kLpcEcWindowBase) {
    return EFI_UNSUPPORTED;
  }

  UINT32 Free = kLpcGenericRangeCount;
  for (UINT32 Index = 0; Index < kLpcGenericRangeCount; ++Index) {
    if (!RangeEnabled(Ranges[Index])) {
      Free = Index;
      break;
    }
  }
  if (Free == kLpcGenericRangeCount) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (DecodeRegistersLocked()) {
    return EFI_UNSUPPORTED;
  }
  MmioWrite32(DmiRegister(DmiGenericRangeMirror(Free)), kLpcEcWindowRange);
  MmioWrite32(LpcRegister(LpcGenericRangeRegister(Free)), kLpcEcWindowRange);
  return EFI_SUCCESS;
}

EFI_STATUS UpdateIoDecodeEnables(UINT16 Wanted) {
  const UINT16 Current = ReadIoDecodeEnables();
  if (PchSeries() == kPchSeriesH &&
      (MmioRead32(EspiRegister(kEspiSecondDeviceControl)) & kEspiSecondDeviceEnable) != 0) {
    Wanted |= MmioRead16(LpcRegister(kLpcSecondIoDecodeEnables));
  }
  if (Wanted == Current) {
    return EFI_SUCCESS;
  }
  if (DecodeRegistersLocked()) {
    return EFI_UNSUPPORTED;
  }
  MmioWrite16(DmiRegister(kDmiIoDecodeMirror), Wanted);
  MmioWrite16(LpcRegister(kLpcIoDecodeEnables), Wanted);
  return EFI_SUCCESS;
}
