// The descriptor rings and the DMA area: layout, transmit (queue one frame),
// reclaim (collect finished transmit descriptors into the completed-buffer
// queue) and receive (take one frame off the receive ring).
#pragma once

#include "DeviceContext.h"

typedef struct {
  UINT64 FrameAddress;
  UINT32 DataLength;
  UINT16 MediaHeaderLength; // always 0: the frame carries its own header
} NIC_TX_REQUEST;

// Computes the ring and buffer addresses from the DMA area's first
// 256-byte-aligned address.
void NicRingsLocate(NIC_DEVICE_CONTEXT *Ctx);

// Whether the rings have their place in the DMA area: a bring-up that found
// the area usable has located them.
BOOLEAN NicRingsLocated(const NIC_DEVICE_CONTEXT *Ctx);

// Lays both rings out afresh and resets the ring state; does nothing before
// the rings are located.
void NicRingsSetUp(NIC_DEVICE_CONTEXT *Ctx);

// Queues one frame and rings the doorbell. NicHwOk, NicHwRingFull (after a
// reclaim) or NicHwAddressUnusable.
[[nodiscard]] UINT32 NicTransmit(NIC_DEVICE_CONTEXT *Ctx, const NIC_TX_REQUEST *Request);

// Whether the controller still owns transmit descriptor Index.
BOOLEAN NicTxDescriptorOwned(NIC_DEVICE_CONTEXT *Ctx, UINT32 Index);

// Moves finished transmit descriptors into the completed-buffer queue.
void NicReclaim(NIC_DEVICE_CONTEXT *Ctx);

// Drops every entry of the completed-buffer queue.
void NicEmptyCompleted(NIC_DEVICE_CONTEXT *Ctx);

// Takes at most one frame off the receive ring, skipping errored descriptors.
// On NicHwOk *Length holds its length without the frame check sequence, cut to
// kMgmtReceivedFrameMax, and the bytes are in Staging. NicHwNothingReceived
// otherwise.
[[nodiscard]] UINT32 NicReceive(NIC_DEVICE_CONTEXT *Ctx, UINT8 *Staging, UINT32 *Length);

// Reads 0x3E and writes a non-zero value back.
void NicInterruptAcknowledge(NIC_DEVICE_CONTEXT *Ctx);
