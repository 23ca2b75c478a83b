// Keeping the firmware's copies of the shared settings in step with the
// management controller: the display mode (which may reset the board), the
// controller's one-shot request word (into AcceVar), and the address ranges
// and text item, pulled into or pushed from the Setup buffer that the setup
// front end is editing.
#include "AgentInternal.h"

#include <Board/BoardConfig.h>
#include <Guid/SetupVariable.h>
#include <Hw.h>
#include <MgmtLink/Commands.h>
#include <Protocol/SetupBuffer.h>

namespace {

constexpr UINT32 kIpv4Bytes = 4;

// The live Setup buffer of the setup front end; it must cover every field
// the exchanges touch.
[[nodiscard]] EFI_STATUS GetLiveSetup(UINT8 **Buffer) {
  SETUP_BUFFER_PROTOCOL *SetupBuffer = NULL;
  EFI_STATUS Status =
      mBootServices->LocateProtocol(&gSetupBufferProtocolGuid, NULL, (VOID **)&SetupBuffer);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (SetupBuffer == NULL || SetupBuffer->GetBuffer == NULL) {
    return EFI_NOT_FOUND;
  }
  VOID *Live = NULL;
  UINTN Size = 0;
  Status = SetupBuffer->GetBuffer(kSetupVariableName, &gSetupVariableGuid, &Live, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Live == NULL || Size < kSetupVariableSize) {
    return EFI_NOT_FOUND;
  }
  *Buffer = (UINT8 *)Live;
  return EFI_SUCCESS;
}

BOOLEAN SameAddress(CONST UINT8 *A, CONST UINT8 *B) {
  for (UINT32 Byte = 0; Byte < kIpv4Bytes; Byte++) {
    if (A[Byte] != B[Byte]) {
      return FALSE;
    }
  }
  return TRUE;
}

// Reads range Index from the controller into Range (first address, then
// last). Fails unless the controller accepted the read and answered with
// exactly one range: the addresses of a shorter answer are not known, and
// zeros standing in for them would be written to Setup as 0.0.0.0.
[[nodiscard]] EFI_STATUS ReadRange(UINT8 Index, UINT8 *Range) {
  UINT8 Request[kMgmtCommandCodeSize + kMgmtRangeReadParamSize];
  AgentWriteUint32(Request, kMgmtReadRange);
  Request[kMgmtCommandCodeSize] = Index;
  AgentZeroMem(Range, kMgmtRangeAnswerSize);
  UINT16 Size = kMgmtRangeAnswerSize;
  EFI_STATUS Status = AgentReadItemWithParameter(Request, sizeof(Request), Range, &Size);
  if (!EFI_ERROR(Status) && Size != kMgmtRangeAnswerSize) {
    Status = EFI_DEVICE_ERROR;
  }
  if (EFI_ERROR(Status)) {
    AgentZeroMem(Range, kMgmtRangeAnswerSize);
  }
  return Status;
}

} // namespace

EFI_STATUS AgentReadSetup(UINT8 *Buffer, UINT32 *Attributes, UINTN *Size) {
  AgentZeroMem(Buffer, kSetupVariableSize);
  *Attributes = 0;
  *Size = kSetupVariableSize;
  EFI_STATUS Status = mRuntimeServices->GetVariable((CHAR16 *)kSetupVariableName,
                                                    &gSetupVariableGuid, Attributes, Size, Buffer);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (*Size != kSetupVariableSize) {
    // The fields sit at fixed offsets of the full layout; a variable of
    // another size does not hold them.
    AgentZeroMem(Buffer, kSetupVariableSize);
    return EFI_BAD_BUFFER_SIZE;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SyncDisplayMode(MGMT_LINK_PROTOCOL *Link) {
  UINT8 Setup[kSetupVariableSize];
  UINT32 Attributes;
  UINTN Size;
  // Without a Setup that was really read there is nothing to compare with,
  // to count resets in, or to write back.
  EFI_STATUS Status = AgentReadSetup(Setup, &Attributes, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // Opening an already open link is refused without effect; nothing to act on.
  (void)Link->Open(Link, 1, kAgentLinkTag);
  UINT8 Mode = 0;
  UINT16 ModeSize = sizeof(Mode);
  Status = AgentReadItem(kMgmtReadDisplayMode, &Mode, &ModeSize);
  if (EFI_ERROR(Status)) {
    (void)Link->Open(Link, 0, kAgentLinkTag);
    return Status;
  }
  UINT8 &SetupMode = Setup[SetupOffset::MgmtDisplayMode];
  if (ModeSize >= sizeof(Mode) && (Mode & kMgmtDisplayModeHeld) != 0) {
    UINT8 Held = Mode & kMgmtDisplayModeMask;
    SetupMode = Held > kMgmtDisplayModeMax ? kMgmtDisplayModeMax : Held;
  }
  // The controller's copy of the mode is refreshed on a best-effort basis;
  // a refusal changes nothing here.
  (void)AgentWriteItem(kMgmtWriteDisplayMode, &SetupMode, sizeof(SetupMode));

  UINT8 Pair[kMgmtDisplayEnableWriteSize] = {
      (UINT8)(SetupMode != kMgmtDisplayModeLeaveAlone ? 1 : 0), 1};
  UINT8 Copy[kMgmtDisplayEnableReadSize] = {0, 0, 0, 0};
  UINT16 CopySize = sizeof(Copy);
  BOOLEAN Changed = FALSE;
  // Only an answer that really carries the compared byte can show a change:
  // a silent or refusing controller must not cost the board a reset.
  if (!EFI_ERROR(AgentReadItem(kMgmtReadDisplayEnable, Copy, &CopySize)) &&
      CopySize > kMgmtDisplayEnableCompareIndex &&
      Copy[kMgmtDisplayEnableCompareIndex] != Pair[0]) {
    Changed = TRUE;
    (void)AgentWriteItem(kMgmtWriteDisplayEnable, Pair, sizeof(Pair));
  }
  (void)Link->Open(Link, 0, kAgentLinkTag);

  // Every fourth change in a row completes without a reset, so a controller
  // that keeps disagreeing cannot hold the board in a reset loop.
  UINT32 Count = Setup[SetupOffset::MgmtResetCount];
  if (Changed) {
    Count++;
  }
  if (Count > kMgmtResetCountMax) {
    Count = 0;
    Changed = FALSE;
  }
  Setup[SetupOffset::MgmtResetCount] = (UINT8)Count;

  Status = mRuntimeServices->SetVariable((CHAR16 *)kSetupVariableName, &gSetupVariableGuid,
                                         Attributes, Size, Setup);
  if (Changed) {
    IoWrite8(kBoardResetControlPort, kBoardFullReset);
    for (;;) {
      CpuPause();
    }
  }
  return Status;
}

VOID SyncRequestWord(MGMT_LINK_PROTOCOL *Link) {
  UINT8 Stored[kAcceVarSize] = {0, 0, 0, 0};
  UINT32 Attributes = 0;
  UINTN Size = sizeof(Stored);
  EFI_STATUS Status = mRuntimeServices->GetVariable((CHAR16 *)kAcceVarName, &gAcceVarGuid,
                                                    &Attributes, &Size, Stored);
  if (Status == EFI_NOT_FOUND) {
    AgentZeroMem(Stored, sizeof(Stored));
    Attributes = kAcceVarAttributes;
  } else if (EFI_ERROR(Status)) {
    // A variable that exists but cannot be read (too large, a device error)
    // must not be rewritten from 0, losing the bits it holds; and a request
    // whose bits cannot be kept is left unacknowledged, so the controller
    // asks again.
    return;
  }
  UINT32 Value = AgentReadUint32(Stored);

  (void)Link->Open(Link, 1, kAgentLinkTag);
  UINT8 Word[sizeof(UINT32)] = {0, 0, 0, 0};
  UINT16 WordSize = sizeof(Word);
  if (!EFI_ERROR(AgentReadItem(kMgmtReadRequestWord, Word, &WordSize)) &&
      AgentReadUint32(Word) != 0) {
    UINT32 Requests = AgentReadUint32(Word);
    if ((Requests & kMgmtRequestWordFirstPair) != 0) {
      Value |= kAcceVarRequestPair;
    }
    if ((Requests & kMgmtRequestWordThird) != 0) {
      Value |= kAcceVarRequestThird;
    }
    AgentWriteUint32(Word, Requests & ~kMgmtRequestWordPending);
    // The acknowledgement is best effort: the controller repeats requests
    // it does not see acknowledged, and setting bits again is harmless.
    (void)AgentWriteItem(kMgmtWriteRequestWord, Word, WordSize);
    AgentWriteUint32(Stored, Value);
    (void)mRuntimeServices->SetVariable((CHAR16 *)kAcceVarName, &gAcceVarGuid, Attributes,
                                        kAcceVarSize, Stored);
  }
  (void)Link->Open(Link, 0, kAgentLinkTag);
}

VOID EFIAPI PullRanges(EFI_EVENT Event, VOID *Context) {
  (void)Context;
  UINT8 *Setup;
  if (EFI_ERROR(GetLiveSetup(&Setup))) {
    return; // stays registered: a later installation may find the buffer
  }
  AgentSetLinkOpen(TRUE);
  for (UINT32 K = 0; K < kSetupMgmtRangeCount; K++) {
    UINT8 Range[kMgmtRangeAnswerSize];
    // A range the controller did not give (no link, no answer, a refusal)
    // keeps the firmware's value; an accepted answer is the controller's
    // word, zeros included.
    if (EFI_ERROR(ReadRange((UINT8)K, Range))) {
      continue;
    }
    UINT8 First[kIpv4Bytes];
    UINT8 Last[kIpv4Bytes];
    // A text that does not parse reads as 0.0.0.0, which is what the
    // comparison needs.
    (void)ParseIpv4Text(Setup + MgmtRangeFirst(K), First);
    (void)ParseIpv4Text(Setup + MgmtRangeLast(K), Last);
    if (!SameAddress(First, Range) || !SameAddress(Last, Range + kIpv4Bytes)) {
      FormatIpv4Text(Range, Setup + MgmtRangeFirst(K));
      FormatIpv4Text(Range + kIpv4Bytes, Setup + MgmtRangeLast(K));
    }
  }

  UINT8 Rows = 1;
  for (UINT32 K = kSetupMgmtRangeCount; K-- > 0;) {
    UINT8 Address[kIpv4Bytes];
    if (!EFI_ERROR(ParseIpv4Text(Setup + MgmtRangeFirst(K), Address)) ||
        !EFI_ERROR(ParseIpv4Text(Setup + MgmtRangeLast(K), Address))) {
      Rows = (UINT8)(K + 1);
      break;
    }
  }
  Setup[SetupOffset::MgmtRangeRows] = Rows;

  UINT8 Option = 0;
  UINT16 OptionSize = sizeof(Option);
  if (!EFI_ERROR(AgentReadItem(kMgmtReadRangeOption, &Option, &OptionSize)) &&
      OptionSize == sizeof(Option)) {
    Setup[SetupOffset::MgmtRangeOption] = Option;
  }
  AgentSetLinkOpen(FALSE);
  // One pull per boot: later installations of the trigger find no event.
  (void)mBootServices->CloseEvent(Event);
}

VOID EFIAPI PushRanges(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  UINT8 *Setup;
  if (EFI_ERROR(GetLiveSetup(&Setup))) {
    return;
  }
  AgentSetLinkOpen(TRUE);
  // Valid ranges go first, in their order; the remaining records are sent
  // empty so the controller drops whatever it held there. Single writes are
  // best effort: a refusal leaves that record as the controller had it.
  UINT8 Sent = 0;
  for (UINT32 K = 0; K < kSetupMgmtRangeCount; K++) {
    UINT8 Record[kMgmtRangeRecordSize];
    UINT8 *First = Record + 1;
    UINT8 *Last = Record + 1 + kIpv4Bytes;
    if (EFI_ERROR(ParseIpv4Text(Setup + MgmtRangeFirst(K), First)) ||
        EFI_ERROR(ParseIpv4Text(Setup + MgmtRangeLast(K), Last))) {
      continue;
    }
    if (First[0] != Last[0] || First[1] != Last[1] || First[2] != Last[2] || First[3] > Last[3]) {
      continue;
    }
    Record[0] = Sent++;
    (void)AgentWriteItem(kMgmtWriteRange, Record, sizeof(Record));
  }
  for (UINT32 Index = Sent; Index < kMgmtRangeCount; Index++) {
    UINT8 Record[kMgmtRangeRecordSize];
    AgentZeroMem(Record, sizeof(Record));
    Record[0] = (UINT8)Index;
    (void)AgentWriteItem(kMgmtWriteRange, Record, sizeof(Record));
  }
  (void)AgentWriteItem(kMgmtWriteRangeOption, &Setup[SetupOffset::MgmtRangeOption], 1);
  AgentSetLinkOpen(FALSE);
}

VOID EFIAPI PushTextItem(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  UINT8 *Setup;
  if (EFI_ERROR(GetLiveSetup(&Setup))) {
    return;
  }
  AgentSetLinkOpen(TRUE);
  // Low bytes of the UTF-16 text; a longer text is cut so that the record
  // always ends in a terminator.
  UINT8 Record[kMgmtTextItemRecordSize];
  AgentZeroMem(Record, sizeof(Record));
  CONST UINT8 *Text = Setup + SetupOffset::MgmtTextItem;
  for (UINT32 Index = 0; Index < kMgmtTextItemRecordSize - 1; Index++) {
    CHAR16 Unit = (CHAR16)(Text[2 * Index] | ((CHAR16)Text[2 * Index + 1] << 8));
    if (Unit == 0) {
      break;
    }
    Record[Index] = (UINT8)Unit;
  }
  (void)AgentWriteItem(kMgmtWriteTextItem, Record, sizeof(Record));
  AgentSetLinkOpen(FALSE);
}
