// Chip identification and preparation: the chip version from the revision
// bits of the transmit configuration register, the flags each version sets,
// OOB firmware detection, the stop, and what the driver does to a controller
// when it creates a device context.
#pragma once

#include "DeviceContext.h"

constexpr UINT32 kStopIdleReads = 10; // reads of OOB 0x34 / 0x35 before giving up
constexpr UINT32 kOobStartPolls = 10; // looks at OOB 0x124 after starting the firmware
constexpr UINTN kOobStartPollUs = 10000;

// The chip version the version table gives for a value of I/O register 0x40
// (0: unrecognised).
UINT32 NicChipVersionFromTxConfig(UINT32 TxConfig);

// Reads register 0x40 and stores the chip version; returns it.
UINT32 NicIdentify(NIC_DEVICE_CONTEXT *Ctx);

// Sets the per-version flags of Ctx->Adapter.ChipVersion (class, GPHY access,
// 0xF2 handling, register lock, PHY quirk, OOB access type and kind).
void NicSetVersionFlags(NIC_ADAPTER *Adapter);

// Whether OOB firmware runs, by the OOB kind.
BOOLEAN NicOobFirmwarePresent(NIC_DEVICE_CONTEXT *Ctx);

// Waits for the OOB firmware where that applies, then stops the controller.
void NicStop(NIC_DEVICE_CONTEXT *Ctx);

// Preparation at creation: configuration header, identification, per-version
// set-up, stop, OOB firmware start, PHY set-up. EFI_DEVICE_ERROR for an
// unrecognised chip (after identification).
[[nodiscard]] EFI_STATUS NicPrepare(NIC_DEVICE_CONTEXT *Ctx);

// Version ranges that several layers test.
constexpr BOOLEAN NicVersionIn(UINT32 Version, UINT32 First, UINT32 Last) {
  return Version >= First && Version <= Last;
}
