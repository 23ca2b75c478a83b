// Controller bring-up at each opening of the link (DMA area cleared, station
// address read, rings laid out, engines configured by chip version), and the
// soft reset and start that the opening issues afterwards.
#pragma once

#include "DeviceContext.h"

constexpr UINT32 kSoftResetPolls = 200;
constexpr UINTN kSoftResetPollUs = 50;
constexpr UINTN kSoftResetSettleUs = 200;
constexpr UINTN kRingAddressWriteUs = 1; // after each ring-address register write
constexpr UINT32 kQuirkResetPolls = 3000;
constexpr UINTN kQuirkResetPollUs = 10;
constexpr UINT32 kReadyWaitPolls = 20; // waits A and B
constexpr UINTN kReadyWaitPollUs = 50;
constexpr UINTN kReadyWaitSettleUs = 2000; // after wait A
constexpr UINTN kF2SettleUs = 2000;        // after setting bit 3 of 0xF2
constexpr UINTN kOobReadyFirstUs = 100;    // version 54 with OOB firmware
constexpr UINT32 kOobReadyPolls = 10;
constexpr UINTN kOobReadyPollUs = 10000;

// Writes the reset bit and waits for it to clear (or for an absent device).
void NicSoftReset(NIC_DEVICE_CONTEXT *Ctx);

// Lays the rings out again and starts the receive and transmit engines.
void NicStart(NIC_DEVICE_CONTEXT *Ctx);

// The whole bring-up. NicHwOk, NicHwDmaAreaTooSmall or NicHwAddressUnusable.
[[nodiscard]] UINT32 NicBringUp(NIC_DEVICE_CONTEXT *Ctx);
