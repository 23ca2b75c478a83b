// Descriptor rings in the DMA area. Ownership of a descriptor passes to the
// controller only by the last write, which sets bit 31 after every other word
// is in place; descriptors are volatile memory the controller reads and
// writes behind the driver's back.
#include "Rings.h"
#include "RegisterAccess.h"

#include <MgmtLink/Frames.h>

namespace {

volatile UINT32 *Descriptor(UINT64 Ring, UINT32 Index) {
  return (volatile UINT32 *)(UINTN)(Ring + (UINT64)Index * kNicDescriptorSize);
}

UINT32 NextDescriptor(UINT32 Index) { return (Index + 1) % kNicRingDescriptors; }
UINT16 NextCompleted(UINT16 Index) { return (UINT16)((Index + 1) % kNicCompletedQueueEntries); }

UINT32 EndOfRing(UINT32 Index) { return Index == kNicRingDescriptors - 1 ? kNicDescEndOfRing : 0; }

// Hands a receive descriptor back with its buffer size, ownership last.
void GiveBack(volatile UINT32 *Desc, UINT32 Index) {
  UINT32 Word0 = kNicRxBufferSize | EndOfRing(Index);
  Desc[0] = Word0;
  Desc[0] = Word0 | kNicDescOwn;
}

constexpr UINT32 kTxChecksumControl = kNicTxDescUdpChecksum | kNicTxDescIpChecksum |
                                      (kMgmtFrameUdpOffset << kNicTxDescTransportShift);
static_assert(kTxChecksumControl == 0xA0880000);

} // namespace

void NicInterruptAcknowledge(NIC_DEVICE_CONTEXT *Ctx) {
  UINT16 Status = NicRead16(Ctx, kNicRegInterruptStatus);
  if (Status != 0) {
    NicWrite16(Ctx, kNicRegInterruptStatus, Status);
  }
}

void NicRingsLocate(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  UINT64 Base = (A->DmaDeviceAddress + kNicRingAlignment - 1) & ~(UINT64)(kNicRingAlignment - 1);
  A->RxRing = Base + kNicDmaRxRingOffset;
  A->TxRing = Base + kNicDmaTxRingOffset;
  A->RxBuffers = Base + kNicDmaRxBufferOffset;
}

BOOLEAN NicRingsLocated(const NIC_DEVICE_CONTEXT *Ctx) { return Ctx->Adapter.TxRing != 0; }

void NicRingsSetUp(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  if (!NicRingsLocated(Ctx)) {
    return; // an unusable DMA area: the start after it must not write at address 0
  }
  for (UINT32 I = 0; I < kNicRingDescriptors; I++) {
    volatile UINT32 *Tx = Descriptor(A->TxRing, I);
    Tx[1] = 0;
    Tx[2] = 0;
    Tx[3] = 0;
    Tx[0] = EndOfRing(I);
    A->TxRecords[I].DescriptorAddress = A->TxRing + (UINT64)I * kNicDescriptorSize;
  }
  for (UINT32 I = 0; I < kNicRingDescriptors; I++) {
    volatile UINT32 *Rx = Descriptor(A->RxRing, I);
    UINT64 Buffer = A->RxBuffers + (UINT64)I * kNicRxBufferSize;
    Rx[1] = 0;
    Rx[2] = (UINT32)Buffer;
    Rx[3] = (UINT32)(Buffer >> 32);
    Rx[0] = kNicRxDescGiveBack | EndOfRing(I);
  }
  A->TxIndex = 0;
  A->RxIndex = 0;
  A->ReclaimIndex = kNicRingDescriptors - 1;
}

UINT32 NicTransmit(NIC_DEVICE_CONTEXT *Ctx, const NIC_TX_REQUEST *Request) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  UINT32 D = A->TxIndex;
  volatile UINT32 *Desc = Descriptor(A->TxRing, D);
  if (Desc[0] & kNicDescOwn) {
    NicReclaim(Ctx);
    return NicHwRingFull;
  }
  UINT32 Length = Request->DataLength + Request->MediaHeaderLength;
  UINT64 Address = Request->FrameAddress; // device address = host address
  // The frame must lie wholly below 4 GiB, and its length fit the
  // descriptor's 16-bit field.
  if (Address >= kNicDmaLimit || Length > kNicDmaLimit - Address || Length > kNicTxDescLengthMask) {
    return NicHwAddressUnusable;
  }
  A->TxRecords[D].Length = Length;
  A->TxRecords[D].BufferAddress = Address;
  UINT32 Word0 = Length | kNicTxDescFirst | kNicTxDescLast;
  Desc[2] = (UINT32)Address;
  Desc[1] = kTxChecksumControl;
  Desc[0] = Word0;
  Desc[3] = (UINT32)(Address >> 32);
  if (D == kNicRingDescriptors - 1) {
    Word0 |= kNicDescEndOfRing;
    Desc[0] = Word0;
  }
  Desc[0] = Word0 | kNicDescOwn;

  if (A->ChipClass == NicClass3) {
    NicWrite8(Ctx, kNicRegTxDoorbellAlt, kNicTxDoorbellAltRing);
  } else {
    NicWrite8(Ctx, kNicRegTxDoorbell, kNicTxDoorbellRing);
  }
  A->TxIndex = (UINT16)NextDescriptor(D);
  return NicHwOk;
}

BOOLEAN NicTxDescriptorOwned(NIC_DEVICE_CONTEXT *Ctx, UINT32 Index) {
  return (Descriptor(Ctx->Adapter.TxRing, Index)[0] & kNicDescOwn) != 0;
}

void NicReclaim(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  UINT16 Producer = A->CompletedProducer;
  UINT32 N = NextDescriptor(A->ReclaimIndex);
  while (N != A->TxIndex) {
    if (NextCompleted(Producer) == A->CompletedConsumer) {
      break; // queue full: the consumer's entry stays
    }
    if (Descriptor(A->TxRing, N)[0] & kNicDescOwn) {
      break; // still the controller's
    }
    A->CompletedQueue[Producer] = A->TxRecords[N].BufferAddress;
    Producer = NextCompleted(Producer);
    A->ReclaimIndex = (UINT16)N;
    N = NextDescriptor(N);
  }
  A->CompletedProducer = Producer;
}

void NicEmptyCompleted(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  while (A->CompletedConsumer != A->CompletedProducer) {
    A->CompletedConsumer = NextCompleted(A->CompletedConsumer);
  }
}

UINT32 NicReceive(NIC_DEVICE_CONTEXT *Ctx, UINT8 *Staging, UINT32 *Length) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  // Errored descriptors are skipped, at most one lap of the ring per call so
  // that a controller flagging errors without end cannot hold the caller.
  for (UINT32 Skipped = 0; Skipped < kNicRingDescriptors; Skipped++) {
    NicInterruptAcknowledge(Ctx);
    UINT32 R = A->RxIndex;
    volatile UINT32 *Desc = Descriptor(A->RxRing, R);
    UINT32 Word0 = Desc[0];
    if (Word0 & kNicDescOwn) {
      return NicHwNothingReceived;
    }
    if (Word0 & kNicRxDescError) {
      GiveBack(Desc, R);
      A->RxIndex = (UINT16)NextDescriptor(R);
      continue;
    }
    // The length counts the frame check sequence; a length that cannot even
    // hold it is an empty frame, not a negative one.
    UINT32 Field = Word0 & kNicRxDescLengthMask;
    UINT32 Received = Field > kMgmtFcsSize ? Field - kMgmtFcsSize : 0;
    if (Received > kMgmtReceivedFrameMax) {
      Received = kMgmtReceivedFrameMax;
    }
    const UINT8 *Buffer = (const UINT8 *)(UINTN)(A->RxBuffers + (UINT64)R * kNicRxBufferSize);
    if (Received != 0 && Staging != Buffer) {
      for (UINT32 I = 0; I < Received; I++) {
        Staging[I] = ((const volatile UINT8 *)Buffer)[I];
      }
    }
    *Length = Received;
    GiveBack(Desc, R);
    A->RxIndex = (UINT16)NextDescriptor(R);
    return NicHwOk;
  }
  return NicHwNothingReceived;
}
