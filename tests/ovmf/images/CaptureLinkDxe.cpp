// Test driver: a MGMT_LINK_PROTOCOL that records instead of sending. Open
// keeps the open state as the real link does (asking for the present state
// is refused); each Send payload goes to the debug port as one line of hex,
// from which the host puts the documents together again.
#include "Harness.h"

#include <Protocol/MgmtLink.h>

using namespace OvmfTest;

namespace {

constexpr UINT16 kNoticeMaxPayload = 1468;

UINT8 mOpened;

EFI_STATUS EFIAPI SetOobMode(MGMT_LINK_PROTOCOL *, UINT8 Mode) {
  Line().Text("link set-oob-mode ").Dec(Mode);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI ConfigureOob(MGMT_LINK_PROTOCOL *, UINT8 Enable) {
  Line().Text("link configure-oob ").Dec(Enable);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Send(MGMT_LINK_PROTOCOL *, CONST VOID *Buffer, UINT16 Length) {
  if (Length > kNoticeMaxPayload || (Buffer == NULL && Length != 0)) {
    Line().Text("link send refused ").Dec(Length);
    return EFI_INVALID_PARAMETER;
  }
  Line().Text("link send ").Dec(Length).Text(" ").Bytes(Buffer, Length);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetStatus(MGMT_LINK_PROTOCOL *, UINT8 *Status) {
  if (Status == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  *Status = mOpened ? kMgmtLinkStatusOpen : 0;
  Line().Text("link get-status");
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *, UINT8 Enable, UINT32 Tag) {
  UINT8 Wanted = Enable != 0 ? 1 : 0;
  EFI_STATUS Status = Wanted == mOpened ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  if (!EFI_ERROR(Status)) {
    mOpened = Wanted;
  }
  Line().Text("link open ").Dec(Enable).Text(" ").Dec(Tag).Text(" ").Status(Status);
  return Status;
}

EFI_STATUS EFIAPI Transact(MGMT_LINK_PROTOCOL *, CONST VOID *Request, UINT16 RequestLength,
                           UINT32 Polls, VOID *, UINT16 *) {
  Line()
      .Text("link transact ")
      .Dec(Polls)
      .Text(" ")
      .Bytes(Request, Request == NULL ? 0 : RequestLength);
  return EFI_DEVICE_ERROR; // nobody answers
}

MGMT_LINK_PROTOCOL mLink = {SetOobMode, ConfigureOob, Send, GetStatus, Open, Transact};

} // namespace

extern "C" EFI_STATUS EFIAPI CaptureLinkDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                      EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  EFI_STATUS Status = gBS->InstallProtocolInterface(&ImageHandle, &gMgmtLinkProtocolGuid,
                                                    EFI_NATIVE_INTERFACE, &mLink);
  Line().Text("capture-link installed ").Status(Status);
  if (EFI_ERROR(Status)) {
    MarkFailed();
  }
  return Status;
}
