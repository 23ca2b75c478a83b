// Test application: starts MgmtAgentDxe on a firmware whose HOB list has no
// management-device HOB. The entry point must return EFI_NOT_FOUND and the
// firmware must unload the image; then everything the agent would have
// waited for happens (the protocols it watches are installed, an image is
// loaded, ready-to-boot is signalled) and nothing may answer: no interface
// of ours is called, the link record keeps its Transact slot and stays
// installed. The unloaded image's pages are taken back and filled with int3
// first, so that a notification left behind would stop the machine instead
// of running stale code unseen.
#include "Harness.h"

#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/MgmtTriggers.h>
#include <Protocol/PciIo.h>

using namespace OvmfTest;

namespace {

constexpr UINT8 kInt3 = 0xCC;
constexpr UINTN kRecorderSlots = 32; // more members than any watched interface has

UINTN mCalls;

// Stands in for every member of every interface installed here.
EFI_STATUS EFIAPI Recorded() {
  mCalls++;
  return EFI_UNSUPPORTED;
}

VOID *mRecorder[kRecorderSlots];
MGMT_LINK_PROTOCOL mLink;

struct Trigger {
  EFI_GUID *Protocol;
  CONST CHAR8 *Name;
  VOID *Interface;
  EFI_HANDLE Handle;
};

BOOLEAN ImageAt(VOID *Base) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  HandlesWith(&gEfiLoadedImageProtocolGuid, &Count, &Handles);
  BOOLEAN Found = FALSE;
  for (UINTN I = 0; I < Count; I++) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = NULL;
    if (!EFI_ERROR(
            gBS->HandleProtocol(Handles[I], &gEfiLoadedImageProtocolGuid, (VOID **)&Image)) &&
        Image->ImageBase == Base) {
      Found = TRUE;
    }
  }
  if (Handles != NULL) {
    gBS->FreePool(Handles);
  }
  return Found;
}

} // namespace

extern "C" EFI_STATUS EFIAPI AgentWithoutHobCheckEntryPoint(EFI_HANDLE ImageHandle,
                                                            EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  EFI_HANDLE Agent = NULL;
  EFI_STATUS Status = LoadFromOwnDisk((CONST CHAR16 *)u"\\MgmtAgentDxe.efi", &Agent);
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = NULL;
  if (!EFI_ERROR(Status)) {
    Status = gBS->HandleProtocol(Agent, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded);
  }
  if (EFI_ERROR(Status)) {
    Line().Text("agent not loaded ").Status(Status);
    Verdict("agent-entry-not-found", FALSE);
    return Status;
  }
  VOID *Base = Loaded->ImageBase;
  UINT64 Size = Loaded->ImageSize;
  Line().Text("agent loaded at ").Hex((UINTN)Base).Text(" size ").Hex(Size);

  Status = gBS->StartImage(Agent, NULL, NULL);
  Line().Text("agent entry returned ").Status(Status);
  Verdict("agent-entry-not-found", Status == EFI_NOT_FOUND);

  EFI_STATUS HandleStatus =
      gBS->HandleProtocol(Agent, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded);
  BOOLEAN Resident = ImageAt(Base);
  Line()
      .Text("agent handle after start ")
      .Status(HandleStatus)
      .Text(Resident ? ", an image still at its base" : ", no image at its base");
  Verdict("agent-image-unloaded", EFI_ERROR(HandleStatus) && !Resident);

  EFI_PHYSICAL_ADDRESS Pages = (EFI_PHYSICAL_ADDRESS)(UINTN)Base;
  UINTN PageCount = EFI_SIZE_TO_PAGES((UINTN)Size);
  Status = gBS->AllocatePages(AllocateAddress, EfiBootServicesCode, PageCount, &Pages);
  if (!EFI_ERROR(Status)) {
    gBS->SetMem((VOID *)(UINTN)Pages, EFI_PAGES_TO_SIZE(PageCount), kInt3);
  }
  Line().Text("agent pages filled with int3 ").Status(Status);

  for (VOID *&Slot : mRecorder) {
    Slot = (VOID *)Recorded;
  }
  mLink.SetOobMode = (MGMT_LINK_SET_OOB_MODE)Recorded;
  mLink.ConfigureOob = (MGMT_LINK_CONFIGURE_OOB)Recorded;
  mLink.Send = (MGMT_LINK_SEND)Recorded;
  mLink.GetStatus = (MGMT_LINK_GET_STATUS)Recorded;
  mLink.Open = (MGMT_LINK_OPEN)Recorded;
  mLink.Transact = (MGMT_LINK_TRANSACT)Recorded;
  MGMT_LINK_TRANSACT Transact = mLink.Transact;

  Trigger Triggers[] = {
      {&gMgmtLinkProtocolGuid, "MGMT_LINK_PROTOCOL", &mLink, NULL},
      {&gEfiPciIoProtocolGuid, "EFI_PCI_IO_PROTOCOL", mRecorder, NULL},
      {&gLogoTriggerProtocolGuid, "logo trigger", mRecorder, NULL},
      {&gEfiGraphicsOutputProtocolGuid, "EFI_GRAPHICS_OUTPUT_PROTOCOL", mRecorder, NULL},
      {&gSetupPullTriggerProtocolGuid, "setup-pull trigger", mRecorder, NULL},
      {&gSetupPushTriggerProtocolGuid, "setup-push trigger", mRecorder, NULL},
  };
  BOOLEAN AllInstalled = TRUE;
  for (Trigger &T : Triggers) {
    Status =
        gBS->InstallProtocolInterface(&T.Handle, T.Protocol, EFI_NATIVE_INTERFACE, T.Interface);
    Line().Text("installed ").Text(T.Name).Text(" ").Status(Status);
    AllInstalled = AllInstalled && !EFI_ERROR(Status);
  }
  // Loading an image installs EFI_LOADED_IMAGE_PROTOCOL; it is never started.
  EFI_HANDLE Other = NULL;
  Status = LoadFromOwnDisk((CONST CHAR16 *)u"\\QemuExit.efi", &Other);
  Line().Text("loaded an image ").Status(Status);
  AllInstalled = AllInstalled && !EFI_ERROR(Status);
  if (!EFI_ERROR(Status)) {
    gBS->UnloadImage(Other);
  }
  Status = SignalReadyToBoot();
  Line().Text("signalled ready-to-boot ").Status(Status);
  AllInstalled = AllInstalled && !EFI_ERROR(Status);

  VOID *Still = NULL;
  EFI_STATUS LinkStatus = gBS->HandleProtocol(Triggers[0].Handle, &gMgmtLinkProtocolGuid, &Still);
  Line()
      .Text("interface calls ")
      .Dec(mCalls)
      .Text(", link record ")
      .Text(!EFI_ERROR(LinkStatus) && Still == &mLink ? "still installed" : "gone")
      .Text(mLink.Transact == Transact ? ", Transact slot kept" : ", Transact slot changed");
  Verdict("agent-nothing-fires", AllInstalled && mCalls == 0 && !EFI_ERROR(LinkStatus) &&
                                     Still == &mLink && mLink.Transact == Transact);

  for (Trigger &T : Triggers) {
    if (T.Handle != NULL) {
      gBS->UninstallProtocolInterface(T.Handle, T.Protocol, T.Interface);
    }
  }
  return EFI_SUCCESS;
}
