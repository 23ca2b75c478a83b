// Opening the chipset's LPC decode for the EC: the generic I/O range
// 0xA00-0xAFF and the I/O decode-enable bits, each written to its DMI sideband
// mirror first and to the LPC/eSPI bridge (PCI 0:31.0) second, and only while
// the chipset has not locked them. Also the PCH series query those steps need.
#pragma once

#include <Uefi/UefiBaseType.h>

// Answer of the last PchSeries() query; kPchSeriesUnknown (0xFF) also means
// "not asked yet", so an unknown series is asked again every time.
extern UINT8 mPchSeries;

// kPchSeriesH, kPchSeriesLp or kPchSeriesUnknown (Register/EcLpcDecode.h).
// Correct even when the store into mPchSeries does not stick (code executing
// in place from flash): the answer returned is the one just read.
UINT8 PchSeries();

// TRUE when the chipset refuses changes to the decode registers.
[[nodiscard]] BOOLEAN DecodeRegistersLocked();

// Makes 0xA00-0xAFF reach the LPC bus through a free generic range.
// @retval EFI_SUCCESS           Open (already, or now).
// @retval EFI_UNSUPPORTED       The second eSPI device decodes part of the window,
//                               or the registers are locked.
// @retval EFI_OUT_OF_RESOURCES  All four generic ranges are in use.
[[nodiscard]] EFI_STATUS OpenEcIoWindow();

// Sets the I/O decode enables to Wanted (with the second eSPI device's enables
// kept on series H while that device is on).
// @retval EFI_SUCCESS      Set (already, or now).
// @retval EFI_UNSUPPORTED  Locked.
[[nodiscard]] EFI_STATUS UpdateIoDecodeEnables(UINT16 Wanted);

// The bridge's current I/O decode enables.
UINT16 ReadIoDecodeEnables();
