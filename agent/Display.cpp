// Which displays stay and where the logo goes. The management controller
// brings its own display (a PCI display controller the agent recognises by
// its identity register); with display mode 2 every display that arrives
// after it is withdrawn, and the logo trigger draws the logo on every display
// but the controller's.
#include "Display.h"

#include "AgentInternal.h"

#include <Board/BoardConfig.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LogoOutput.h>
#include <Protocol/PciIo.h>

UINT8 mMgmtDisplaySeen;

namespace {

constexpr UINT32 kFirstMode = 0;

enum class PciLookup {
  Found,
  NoPath,      // the display has no usable device path
  NotLocated,  // no PCI device lies on its path
  NoInterface, // the PCI device's handle gave no PCI I/O
  NoIdentity,  // its identity register could not be read
};

// The configuration DWORD 0 of the PCI device a display hangs off: its
// device path less the last node leads to the PCI I/O handle.
PciLookup DisplayPciId(EFI_HANDLE Display, UINT32 *Id) {
  EFI_DEVICE_PATH_PROTOCOL *Path = NULL;
  if (EFI_ERROR(
          mBootServices->HandleProtocol(Display, &gEfiDevicePathProtocolGuid, (VOID **)&Path)) ||
      Path == NULL) {
    return PciLookup::NoPath;
  }
  EFI_DEVICE_PATH_PROTOCOL *Parent = ParentDevicePath(Path);
  if (Parent == NULL) {
    return PciLookup::NoPath;
  }
  EFI_DEVICE_PATH_PROTOCOL *Remaining = Parent;
  EFI_HANDLE PciHandle = NULL;
  EFI_STATUS Status =
      mBootServices->LocateDevicePath(&gEfiPciIoProtocolGuid, &Remaining, &PciHandle);
  (void)mBootServices->FreePool(Parent);
  if (EFI_ERROR(Status)) {
    return PciLookup::NotLocated;
  }
  EFI_PCI_IO_PROTOCOL *PciIo = NULL;
  if (EFI_ERROR(
          mBootServices->HandleProtocol(PciHandle, &gEfiPciIoProtocolGuid, (VOID **)&PciIo)) ||
      PciIo == NULL) {
    return PciLookup::NoInterface;
  }
  if (EFI_ERROR(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, kBoardPciIdOffset, 1, Id))) {
    return PciLookup::NoIdentity;
  }
  return PciLookup::Found;
}

BOOLEAN ResolutionUnset(CONST EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop) {
  return Gop->Mode != NULL && Gop->Mode->Info != NULL &&
         (Gop->Mode->Info->HorizontalResolution == 0 || Gop->Mode->Info->VerticalResolution == 0);
}

// MgmtDisplayMode from Setup; FALSE when Setup cannot be read, so that an
// unreadable Setup never withdraws a display.
BOOLEAN ReadDisplayMode(UINT8 *Mode) {
  UINT8 Setup[kSetupVariableSize];
  UINT32 Attributes;
  UINTN Size;
  if (EFI_ERROR(AgentReadSetup(Setup, &Attributes, &Size))) {
    return FALSE;
  }
  *Mode = Setup[SetupOffset::MgmtDisplayMode];
  return TRUE;
}

} // namespace

EFI_DEVICE_PATH_PROTOCOL *ParentDevicePath(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  if (DevicePath == NULL) {
    return NULL;
  }
  CONST EFI_DEVICE_PATH_PROTOCOL *Node = DevicePath;
  CONST EFI_DEVICE_PATH_PROTOCOL *Last = NULL;
  UINTN Nodes = 0;
  while (!IsDevicePathEndType(Node)) {
    if (DevicePathNodeLength(Node) < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      return NULL; // a node that does not advance: not a path
    }
    Last = Node;
    Nodes++;
    Node = NextDevicePathNode(Node);
  }
  if (Nodes < 2) {
    return NULL;
  }
  UINTN Prefix = (UINTN)((CONST UINT8 *)Last - (CONST UINT8 *)DevicePath);
  EFI_DEVICE_PATH_PROTOCOL *Parent = NULL;
  if (EFI_ERROR(mBootServices->AllocatePool(EfiBootServicesData, Prefix + END_DEVICE_PATH_LENGTH,
                                            (VOID **)&Parent))) {
    return NULL;
  }
  AgentCopyMem(Parent, DevicePath, Prefix);
  SetDevicePathEndNode((EFI_DEVICE_PATH_PROTOCOL *)((UINT8 *)Parent + Prefix));
  return Parent;
}

VOID EFIAPI SelectDisplay(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(mBootServices->LocateHandleBuffer(ByProtocol, &gEfiGraphicsOutputProtocolGuid, NULL,
                                                  &Count, &Handles))) {
    return;
  }
  EFI_HANDLE Newest = NULL;
  if (Handles != NULL) {
    Newest = Count != 0 ? Handles[Count - 1] : NULL;
    (void)mBootServices->FreePool(Handles);
  }
  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = NULL;
  UINT32 Id = 0;
  if (Newest == NULL ||
      EFI_ERROR(
          mBootServices->HandleProtocol(Newest, &gEfiGraphicsOutputProtocolGuid, (VOID **)&Gop)) ||
      Gop == NULL || DisplayPciId(Newest, &Id) != PciLookup::Found) {
    return;
  }
  if (Id == kBoardMgmtDisplayPciId) {
    if (ResolutionUnset(Gop)) {
      // Nothing to do if the display refuses: it stays as it is.
      (void)Gop->SetMode(Gop, kFirstMode);
    }
    mMgmtDisplaySeen = 1;
    return;
  }
  UINT8 Mode;
  if (mMgmtDisplaySeen != 0 && ReadDisplayMode(&Mode) && Mode == kMgmtDisplayModeControllerOnly) {
    (void)mBootServices->UninstallProtocolInterface(Newest, &gEfiGraphicsOutputProtocolGuid, Gop);
  }
}

VOID EFIAPI DrawLogoOnOtherDisplays(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(mBootServices->LocateHandleBuffer(ByProtocol, &gEfiGraphicsOutputProtocolGuid, NULL,
                                                  &Count, &Handles)) ||
      Handles == NULL) {
    return;
  }
  // A single display is the one the controller mirrors or the only one there
  // is: no logo.
  for (UINTN Index = 0; Count >= 2 && Index < Count; Index++) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = NULL;
    if (EFI_ERROR(mBootServices->HandleProtocol(Handles[Index], &gEfiGraphicsOutputProtocolGuid,
                                                (VOID **)&Gop))) {
      break;
    }
    UINT32 Id = 0;
    PciLookup Lookup = DisplayPciId(Handles[Index], &Id);
    if (Lookup == PciLookup::NotLocated) {
      break;
    }
    // A display whose PCI identity is unknown might be the controller's.
    if (Lookup != PciLookup::Found || Id == kBoardMgmtDisplayPciId) {
      continue;
    }
    LOGO_OUTPUT_PROTOCOL *LogoOutput = NULL;
    if (!EFI_ERROR(mBootServices->HandleProtocol(Handles[Index], &gLogoOutputProtocolGuid,
                                                 (VOID **)&LogoOutput)) &&
        LogoOutput != NULL) {
      (void)DrawLogo(LogoOutput); // a logo that cannot be drawn is simply not shown
    }
  }
  (void)mBootServices->FreePool(Handles);
}
