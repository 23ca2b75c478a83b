// MGMT_LINK_PROTOCOL: out-of-band firmware control, status, opening and
// closing the link, notices (Send) and request/answer exchanges (Transact).
// One operation at a time: they share the frame buffer and the rings.
#include "Protocol.h"
#include "BringUp.h"
#include "ChipId.h"
#include "Frames.h"
#include "RegisterAccess.h"
#include "Rings.h"

namespace {

enum TX_OUTCOME { TxSent, TxRefused, TxStillQueued };

// Queues the frame in the frame buffer, lets it go out, and collects what the
// controller has finished. A frame whose descriptor the controller still owns
// after the delay has not left: its transmitter is stalled.
TX_OUTCOME TransmitFrame(NIC_DEVICE_CONTEXT *Ctx, UINT32 FrameLength) {
  NIC_TX_REQUEST Request = {(UINT64)(UINTN)mFrameBuffer, FrameLength, 0};
  UINT32 Descriptor = Ctx->Adapter.TxIndex;
  UINT32 Code = NicTransmit(Ctx, &Request);
  NicStall(Ctx, kTxSettleUs);
  NicReclaim(Ctx);
  NicEmptyCompleted(Ctx);
  if (Code != NicHwOk) {
    return TxRefused;
  }
  return NicTxDescriptorOwned(Ctx, Descriptor) ? TxStillQueued : TxSent;
}

// Closing, and an opening that failed: the engines stop, so nothing more is
// written by DMA into the rings, and the transmit configuration this context
// saved goes back. A context that never saved one (its open state adopted
// from the controller) leaves the register alone.
void StopAndRestore(NIC_DEVICE_CONTEXT *Ctx) {
  NicStop(Ctx);
  if (Ctx->TxConfigSaved) {
    NicWrite32(Ctx, kNicRegTxConfig, Ctx->SavedTxConfig);
  }
}

void FreeStaging(NIC_DEVICE_CONTEXT *Ctx, VOID *Staging) {
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  (void)PciIo->FreeBuffer(PciIo, kStagingPages, Staging); // nothing to do if it fails
}

} // namespace

const MGMT_LINK_PROTOCOL kLinkProtocolTemplate = {SetOobMode, ConfigureOob, Send,
                                                  GetStatus,  Open,         Transact};

BOOLEAN NicLinkWait(NIC_DEVICE_CONTEXT *Ctx) {
  for (UINT32 I = 1;; I++) {
    NicStall(Ctx, kLinkWaitPollUs);
    UINT8 Status = NicRead8(Ctx, kNicRegLinkStatus);
    if (I > kLinkWaitPolls) {
      return FALSE;
    }
    // An absent controller reads all ones, link bit included: no link.
    if (Status != kNicLinkStatusAbsent && (Status & kNicLinkUp)) {
      return TRUE;
    }
  }
}

EFI_STATUS EFIAPI SetOobMode(MGMT_LINK_PROTOCOL *This, UINT8 Mode) {
  if (Mode > 1) {
    return EFI_INVALID_PARAMETER; // neither on nor off: leave the firmware alone
  }
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  BOOLEAN WantOn = Mode == 1;
  BOOLEAN On = (NicType3Read(Ctx, kNicOobState) & kNicOobStateOn) != 0;
  if (On == WantOn) {
    return EFI_SUCCESS;
  }
  NicOobWrite32(Ctx, kNicOobCommand, WantOn ? kNicOobCommandOn : kNicOobCommandOff);
  NicOobWrite32(Ctx, kNicOob30, kNicOob30Kick);
  for (UINT32 I = 0; I < kOobModePolls; I++) {
    On = (NicType3Read(Ctx, kNicOobState) & kNicOobStateOn) != 0;
    if (On == WantOn) {
      return EFI_SUCCESS;
    }
    NicStall(Ctx, kOobModePollUs);
  }
  return EFI_DEVICE_ERROR;
}

EFI_STATUS EFIAPI ConfigureOob(MGMT_LINK_PROTOCOL *This, UINT8 Enable) {
  if (Enable == 0) {
    return EFI_INVALID_PARAMETER;
  }
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  if (Ctx->OobConfigured) {
    return EFI_SUCCESS;
  }
  UINT32 Value = NicOobRead32(Ctx, kNicOob184);
  NicOobWrite32(Ctx, kNicOob184, kNicOob184Configure + (Value != 0 ? 1 : 0));
  NicOobWrite32(Ctx, kNicOobCommand, kNicOobCommandConfigure);
  NicOobWrite32(Ctx, kNicOob30, kNicOob30Kick);
  Ctx->OobConfigured = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetStatus(MGMT_LINK_PROTOCOL *This, UINT8 *Status) {
  if (Status == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  UINT32 Oob = NicType3Read(Ctx, kNicOobState);
  UINT32 TxConfig = NicRead32(Ctx, kNicRegTxConfig);
  Ctx->Opened = (TxConfig & kNicTxConfigOpen) != 0 ? 1 : 0;
  *Status = (UINT8)((Ctx->Opened ? kMgmtLinkStatusOpen : 0) | ((Oob & kNicOobStateBits) >> 8));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *This, UINT8 Enable, UINT32 Tag) {
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  // Any non-zero Enable asks for the open state, so an open link refuses it.
  UINT8 Wanted = Enable != 0 ? 1 : 0;
  if (Wanted == Ctx->Opened) {
    return EFI_INVALID_PARAMETER;
  }
  if (Wanted) {
    // A refused DMA area (too small, or out of the controller's reach)
    // leaves no rings to start the engines on: they would write the first
    // frame that arrives to address 0.
    if (NicBringUp(Ctx) != NicHwOk) {
      return EFI_DEVICE_ERROR;
    }
    NicStop(Ctx);
    NicSoftReset(Ctx);
    UINT32 TxConfig = NicRead32(Ctx, kNicRegTxConfig);
    Ctx->SavedTxConfig = TxConfig;
    Ctx->TxConfigSaved = 1;
    NicWrite32(Ctx, kNicRegTxConfig, TxConfig | kNicTxConfigOpenExtra);
    NicWrite32(Ctx, kNicRegTxConfig, TxConfig | kNicTxConfigOpen);
    NicSoftReset(Ctx);
    NicStart(Ctx);
    if (!NicLinkWait(Ctx)) {
      // Take the open mark back (left in place the controller would look
      // open and be saved by the next opening as the closed state), and the
      // engines must not run on behind a link that is not open.
      StopAndRestore(Ctx);
      return EFI_DEVICE_ERROR;
    }
    NicInterruptAcknowledge(Ctx);
    Ctx->Opened = 1;
  } else {
    StopAndRestore(Ctx);
    Ctx->Opened = 0;
  }
  Ctx->LinkTag = Tag;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Send(MGMT_LINK_PROTOCOL *This, CONST VOID *Buffer, UINT16 Length) {
  if (Length > kMgmtNoticeMaxPayload || (Buffer == NULL && Length != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  if (!NicRingsLocated(Ctx)) {
    return EFI_NOT_READY; // no descriptor to fill or look at yet
  }
  UINT32 FrameLength = BuildNoticeFrame(mFrameBuffer, Ctx->Adapter.StationAddress, Ctx->LinkTag,
                                        (const UINT8 *)Buffer, Length);
  NicInterruptAcknowledge(Ctx);
  if (!NicLinkWait(Ctx)) {
    return EFI_DEVICE_ERROR;
  }
  // Callers take success to mean the notice went out, so a frame the
  // transmit step refused (ring full, unusable address) or one the
  // controller has not sent by now is a device error.
  if (TransmitFrame(Ctx, FrameLength) != TxSent) {
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Transact(MGMT_LINK_PROTOCOL *This, CONST VOID *Request, UINT16 RequestLength,
                           UINT32 Polls, VOID *Response, UINT16 *ResponseLength) {
  if (Request == NULL || RequestLength == 0 || RequestLength > kMgmtRequestMaxPayload ||
      Response == NULL || ResponseLength == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromLink(This);
  if (!NicRingsLocated(Ctx)) {
    return EFI_NOT_READY; // no descriptor to fill or look at yet
  }
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  VOID *StagingBuffer = NULL;
  EFI_STATUS Status = PciIo->AllocateBuffer(PciIo, AllocateAnyPages, EfiBootServicesData,
                                            kStagingPages, &StagingBuffer, 0);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 *Staging = (UINT8 *)StagingBuffer;

  UINT32 Received = 0;
  for (UINT32 I = 0; I < kStaleFrameDrains; I++) {
    (void)NicReceive(Ctx, Staging, &Received); // stale frames are dropped
  }

  UINT32 FrameLength = BuildRequestFrame(mFrameBuffer, Ctx->Adapter.StationAddress,
                                         (const UINT8 *)Request, RequestLength);
  NicInterruptAcknowledge(Ctx);
  if (!NicLinkWait(Ctx)) {
    FreeStaging(Ctx, Staging);
    return EFI_DEVICE_ERROR;
  }
  // A refused request can bring no answer: no point polling for one. One
  // still queued may yet go out, and its answer come within the polls.
  if (TransmitFrame(Ctx, FrameLength) == TxRefused) {
    FreeStaging(Ctx, Staging);
    return EFI_DEVICE_ERROR;
  }
  NicStall(Ctx, kTxSettleUs);

  for (UINT64 J = 1;; J++) { // 64-bit: Polls may be the largest UINT32
    UINT32 Code = NicReceive(Ctx, Staging, &Received);
    NicStall(Ctx, kReceivePollUs);
    if (J > Polls) {
      FreeStaging(Ctx, Staging);
      return EFI_DEVICE_ERROR;
    }
    if (Code != NicHwOk) {
      continue;
    }
    MGMT_ANSWER_MATCH Match = MatchAnswer(Staging, Received, (UINT8 *)Response, ResponseLength);
    if (Match == MgmtAnswerDelivered) {
      FreeStaging(Ctx, Staging);
      return EFI_SUCCESS;
    }
    if (Match == MgmtAnswerTooLarge) {
      // *ResponseLength now holds the length the answer states.
      FreeStaging(Ctx, Staging);
      return EFI_BUFFER_TOO_SMALL;
    }
  }
}
