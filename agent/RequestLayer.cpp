// The agent's request layer: one configuration item read or written per
// transaction on MGMT_LINK_PROTOCOL, the answer's status word checked and the
// item's data handed back; the link's Open bracket, the poll count from Setup
// and the retry wrapper that takes the place of the link's Transact.
#include "AgentInternal.h"

#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>

namespace {

[[nodiscard]] EFI_STATUS LocateLink(MGMT_LINK_PROTOCOL **Link) {
  *Link = NULL;
  EFI_STATUS Status = mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, NULL, (VOID **)Link);
  if (!EFI_ERROR(Status) && *Link == NULL) {
    return EFI_NOT_FOUND;
  }
  return Status;
}

UINT32 PollCountOrDefault() {
  UINT32 Polls = kMgmtDefaultPollCount;
  // A Setup that cannot be read leaves the default in place.
  (void)AgentGetPollCount(&Polls);
  return Polls;
}

// The status word of an answer; an answer too short to hold one, or longer
// than the buffer it was delivered into, is not an answer at all.
[[nodiscard]] EFI_STATUS CheckAnswer(CONST UINT8 *Answer, UINT16 AnswerLength) {
  if (AnswerLength < kMgmtAnswerStatusSize || AnswerLength > kMgmtAnswerBufferSize) {
    return EFI_DEVICE_ERROR;
  }
  UINT16 Word = (UINT16)(Answer[kMgmtAnswerStatusOffset] |
                         ((UINT16)Answer[kMgmtAnswerStatusOffset + 1] << 8));
  return Word == kMgmtAnswerAccepted ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

[[nodiscard]] EFI_STATUS ReadWithRequest(CONST UINT8 *Request, UINT16 RequestLength, VOID *Buffer,
                                         UINT16 *DataSize) {
  if (Buffer == NULL || DataSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  MGMT_LINK_PROTOCOL *Link;
  EFI_STATUS Status = LocateLink(&Link);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 Answer[kMgmtAnswerBufferSize];
  UINT16 AnswerLength = kMgmtAnswerBufferSize;
  Status =
      Link->Transact(Link, Request, RequestLength, PollCountOrDefault(), Answer, &AnswerLength);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_STATUS Check = CheckAnswer(Answer, AnswerLength);
  if (EFI_ERROR(Check)) {
    return Check;
  }
  UINT16 Capacity = *DataSize;
  UINT16 Length = (UINT16)(AnswerLength - kMgmtAnswerDataOffset);
  *DataSize = Length;
  if (Length > Capacity) {
    AgentZeroMem(Buffer, Capacity);
    return EFI_BUFFER_TOO_SMALL;
  }
  AgentCopyMem(Buffer, Answer + kMgmtAnswerDataOffset, Length);
  return Status;
}

} // namespace

EFI_STATUS AgentGetPollCount(UINT32 *PollCount) {
  UINT8 Setup[kSetupVariableSize];
  UINT32 Attributes;
  UINTN Size;
  EFI_STATUS Status = AgentReadSetup(Setup, &Attributes, &Size);
  if (!EFI_ERROR(Status)) {
    *PollCount = AgentReadUint32(Setup + SetupOffset::MgmtLinkPollCount);
  }
  return Status;
}

EFI_STATUS AgentReadItem(UINT32 Code, VOID *Buffer, UINT16 *DataSize) {
  UINT8 Request[kMgmtCommandCodeSize];
  AgentWriteUint32(Request, Code);
  return ReadWithRequest(Request, sizeof(Request), Buffer, DataSize);
}

EFI_STATUS AgentReadItemWithParameter(CONST UINT8 *Request, UINT16 RequestLength, VOID *Buffer,
                                      UINT16 *DataSize) {
  if (Request == NULL || RequestLength < kMgmtCommandCodeSize) {
    return EFI_INVALID_PARAMETER;
  }
  return ReadWithRequest(Request, RequestLength, Buffer, DataSize);
}

EFI_STATUS AgentWriteItem(UINT32 Code, CONST VOID *Data, UINT16 Length) {
  // The request is built in a buffer of kMgmtRequestBufferSize bytes; more
  // data than fits behind the code is refused, not cut.
  if (Length > kMgmtMaxWriteData || (Data == NULL && Length != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  MGMT_LINK_PROTOCOL *Link;
  EFI_STATUS Status = LocateLink(&Link);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 Request[kMgmtRequestBufferSize];
  AgentWriteUint32(Request, Code);
  AgentCopyMem(Request + kMgmtCommandCodeSize, Data, Length);
  UINT8 Answer[kMgmtAnswerBufferSize];
  UINT16 AnswerLength = kMgmtAnswerBufferSize;
  Status = Link->Transact(Link, Request, (UINT16)(Length + kMgmtCommandCodeSize),
                          PollCountOrDefault(), Answer, &AnswerLength);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_STATUS Check = CheckAnswer(Answer, AnswerLength);
  return EFI_ERROR(Check) ? Check : Status;
}

VOID AgentSetLinkOpen(BOOLEAN Enable) {
  MGMT_LINK_PROTOCOL *Link;
  if (!EFI_ERROR(LocateLink(&Link))) {
    // Opening an open link or closing a closed one is refused by the link
    // and changes nothing, so the status tells the caller nothing it needs.
    (void)Link->Open(Link, Enable ? 1 : 0, kAgentLinkTag);
  }
}

EFI_STATUS EFIAPI AgentTransactWithRetry(MGMT_LINK_PROTOCOL *This, CONST VOID *Request,
                                         UINT16 RequestLength, UINT32 Polls, VOID *Response,
                                         UINT16 *ResponseLength) {
  // A failed attempt may have changed the answer length; every attempt gets
  // the capacity the caller passed.
  UINT16 Capacity = ResponseLength != NULL ? *ResponseLength : 0;
  EFI_STATUS Status = EFI_UNSUPPORTED;
  for (UINT32 Attempt = 0; Attempt < kMgmtTransactAttempts; Attempt++) {
    // Read again each time: removing the link clears it.
    MGMT_LINK_TRANSACT Saved = mSavedTransact;
    if (Saved == NULL) {
      return EFI_UNSUPPORTED;
    }
    if (ResponseLength != NULL) {
      *ResponseLength = Capacity;
    }
    Status = Saved(This, Request, RequestLength, Polls, Response, ResponseLength);
    if (!EFI_ERROR(Status)) {
      return Status;
    }
  }
  return Status;
}
