// The agent's protocol notifications that concern the link itself: putting
// the retry wrapper into a newly installed link, removing every link when the
// link is not to be used, tearing the link down and hiding the management
// devices when a particular firmware-core driver loads, and following the
// controller to the location PCI enumeration gave it.
#include "AgentInternal.h"
#include "NicIo.h"

#include <Board/BoardConfig.h>
#include <Guid/MgmtFiles.h>
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>

namespace {

// The newest handle carrying Protocol, and its interface there.
[[nodiscard]] EFI_STATUS NewestInterface(EFI_GUID *Protocol, VOID **Interface) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  EFI_STATUS Status =
      mBootServices->LocateHandleBuffer(ByProtocol, Protocol, NULL, &Count, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = EFI_NOT_FOUND;
  *Interface = NULL;
  if (Count != 0 && Handles != NULL) {
    Status = mBootServices->HandleProtocol(Handles[Count - 1], Protocol, Interface);
    if (!EFI_ERROR(Status) && *Interface == NULL) {
      Status = EFI_NOT_FOUND;
    }
  }
  if (Handles != NULL) {
    (void)mBootServices->FreePool(Handles);
  }
  return Status;
}

// Uninstalls MGMT_LINK_PROTOCOL from every handle that carries it, each
// handle's own interface, and forgets the saved Transact so that a caller
// still holding an old interface gets EFI_UNSUPPORTED from the wrapper.
// FALSE when no handle carried a link.
BOOLEAN UninstallEveryLink() {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  BOOLEAN Listed = FALSE;
  if (!EFI_ERROR(mBootServices->LocateHandleBuffer(ByProtocol, &gMgmtLinkProtocolGuid, NULL, &Count,
                                                   &Handles))) {
    Listed = Count != 0 ? TRUE : FALSE;
    for (UINTN Index = 0; Index < Count; Index++) {
      VOID *Link = NULL;
      if (EFI_ERROR(mBootServices->HandleProtocol(Handles[Index], &gMgmtLinkProtocolGuid, &Link))) {
        continue;
      }
      // A link that cannot be removed stays; nothing else can be done here.
      (void)mBootServices->UninstallProtocolInterface(Handles[Index], &gMgmtLinkProtocolGuid, Link);
    }
    if (Handles != NULL) {
      (void)mBootServices->FreePool(Handles);
    }
  }
  mSavedTransact = NULL;
  return Listed;
}

// The loaded image comes from the firmware-core driver file whose loading
// means the management devices must go. Only a path whose first node is a
// complete firmware-volume file node carries a file name to compare.
BOOLEAN IsFirmwareCoreDriver(CONST EFI_LOADED_IMAGE_PROTOCOL *Image) {
  CONST EFI_DEVICE_PATH_PROTOCOL *Node = Image->FilePath;
  if (Node == NULL || DevicePathType(Node) != MEDIA_DEVICE_PATH ||
      DevicePathSubType(Node) != MEDIA_PIWG_FW_FILE_DP ||
      DevicePathNodeLength(Node) < sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)) {
    return FALSE;
  }
  CONST MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *File = (CONST MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *)Node;
  return CompareGuid(&File->FvFileName, &gFirmwareCoreDriverFileGuid);
}

} // namespace

EFI_STATUS AgentRegisterNotify(EFI_GUID *Protocol, EFI_EVENT_NOTIFY Notify) {
  EFI_EVENT Event;
  EFI_STATUS Status =
      mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Notify, NULL, &Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  VOID *Registration;
  Status = mBootServices->RegisterProtocolNotify(Protocol, Event, &Registration);
  if (EFI_ERROR(Status)) {
    (void)mBootServices->CloseEvent(Event);
  }
  return Status;
}

VOID EFIAPI InstallRetryWrapper(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  MGMT_LINK_PROTOCOL *Link = NULL;
  if (EFI_ERROR(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, NULL, (VOID **)&Link)) ||
      Link == NULL) {
    return;
  }
  // Never wrap the wrapper: the saved pointer must stay the link's own.
  if (Link->Transact == AgentTransactWithRetry || Link->Transact == NULL) {
    return;
  }
  mSavedTransact = Link->Transact;
  Link->Transact = AgentTransactWithRetry;
}

VOID EFIAPI RemoveLink(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  (void)UninstallEveryLink();
}

VOID EFIAPI TeardownCheck(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  EFI_LOADED_IMAGE_PROTOCOL *Image;
  if (EFI_ERROR(NewestInterface(&gEfiLoadedImageProtocolGuid, (VOID **)&Image)) ||
      !IsFirmwareCoreDriver(Image)) {
    return;
  }
  // The devices go with the link: with no link to remove (the link not in
  // use, or an earlier teardown already acted) they stay as they are.
  if (!UninstallEveryLink()) {
    return;
  }
  (void)HideMgmtDevices(); // always succeeds
}

VOID EFIAPI RebindAfterEnumeration(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  EFI_PCI_IO_PROTOCOL *PciIo;
  if (EFI_ERROR(NewestInterface(&gEfiPciIoProtocolGuid, (VOID **)&PciIo))) {
    return;
  }
  UINT32 Id = 0;
  UINT32 Subsystem = 0;
  if (EFI_ERROR(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, kBoardPciIdOffset, 1, &Id)) ||
      EFI_ERROR(
          PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, kBoardPciSubsystemOffset, 1, &Subsystem)) ||
      Id != kBoardNicPciId || Subsystem != kBoardNicSubsystemId) {
    return;
  }
  // Decoding may still be off after enumeration; the link needs all three.
  if (EFI_ERROR(PciIo->Attributes(PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE,
                                  NULL))) {
    return;
  }
  (void)RebindNicIo(PciIo);
}
