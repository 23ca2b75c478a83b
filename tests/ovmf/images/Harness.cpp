// Debug-port lines, the failure mark and image loading for the OVMF test
// images (see Harness.h).
#include "Harness.h"

#include <Guid/EventGroup.h>
#include <Hw.h>
#include <Protocol/LoadedImage.h>

namespace OvmfTest {

EFI_HANDLE gImageHandle;
EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;

namespace {

constexpr UINT16 kDebugPort = 0x402; // QEMU's debugcon, as OVMF uses it

// A volatile variable: it lives until the machine stops, which is the run.
EFI_GUID kFailureMarkGuid = {
    0x5E2C8C1A, 0x2A57, 0x4B1E, {0x9F, 0x06, 0x3C, 0x61, 0x7D, 0x0B, 0x44, 0x90}};
CHAR16 kFailureMarkName[] = {'O', 'v', 'm', 'f', 'T', 'e', 's', 't',
                             'F', 'a', 'i', 'l', 'e', 'd', 0};

VOID Put(CHAR8 Character) { IoWrite8(kDebugPort, (UINT8)Character); }

CONST CHAR8 kDigits[] = "0123456789abcdef";

struct StatusName {
  EFI_STATUS Status;
  CONST CHAR8 *Name;
};

CONST StatusName kStatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_NOT_READY, "EFI_NOT_READY"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
};

VOID EFIAPI Nothing(EFI_EVENT, VOID *) {}

} // namespace

VOID Init(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
}

Line::Line() { Text("#mgmt "); }
Line::~Line() { Put('\n'); }

Line &Line::Text(CONST CHAR8 *Text) {
  while (*Text != '\0') {
    Put(*Text++);
  }
  return *this;
}

Line &Line::Dec(UINT64 Value) {
  CHAR8 Digits[20];
  UINTN Count = 0;
  do {
    Digits[Count++] = kDigits[Value % 10];
    Value /= 10;
  } while (Value != 0);
  while (Count > 0) {
    Put(Digits[--Count]);
  }
  return *this;
}

Line &Line::Hex(UINT64 Value) {
  Text("0x");
  INTN Shift = 60;
  while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
    Shift -= 4;
  }
  for (; Shift >= 0; Shift -= 4) {
    Put(kDigits[(Value >> Shift) & 0xF]);
  }
  return *this;
}

Line &Line::Bytes(CONST VOID *Buffer, UINTN Length) {
  CONST UINT8 *Byte = (CONST UINT8 *)Buffer;
  for (UINTN I = 0; I < Length; I++) {
    Put(kDigits[Byte[I] >> 4]);
    Put(kDigits[Byte[I] & 0xF]);
  }
  return *this;
}

Line &Line::Status(EFI_STATUS Status) {
  for (CONST StatusName &Entry : kStatusNames) {
    if (Entry.Status == Status) {
      return Text(Entry.Name);
    }
  }
  return Hex(Status);
}

VOID MarkFailed() {
  UINT8 Mark = 1;
  EFI_STATUS Status = gST->RuntimeServices->SetVariable(
      kFailureMarkName, &kFailureMarkGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof(Mark), &Mark);
  if (EFI_ERROR(Status)) {
    Line().Text("note failure mark not stored: ").Status(Status);
  }
}

BOOLEAN FailureMarked() {
  UINT8 Mark = 0;
  UINTN Size = sizeof(Mark);
  return EFI_ERROR(gST->RuntimeServices->GetVariable(kFailureMarkName, &kFailureMarkGuid, NULL,
                                                     &Size, &Mark))
             ? FALSE
             : TRUE;
}

BOOLEAN Verdict(CONST CHAR8 *Name, BOOLEAN Passed) {
  Line().Text("check ").Text(Name).Text(Passed ? " pass" : " fail");
  if (!Passed) {
    MarkFailed();
  }
  return Passed;
}

EFI_STATUS LoadFromOwnDisk(CONST CHAR16 *Name, EFI_HANDLE *Image) {
  EFI_LOADED_IMAGE_PROTOCOL *Self = NULL;
  EFI_STATUS Status =
      gBS->HandleProtocol(gImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Self);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_DEVICE_PATH_PROTOCOL *Device = NULL;
  Status = gBS->HandleProtocol(Self->DeviceHandle, &gEfiDevicePathProtocolGuid, (VOID **)&Device);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The disk's path up to its end node, a file-path node, a new end node.
  UINTN DeviceLength = 0;
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Device; !IsDevicePathEndType(Node);
       Node = NextDevicePathNode(Node)) {
    DeviceLength += DevicePathNodeLength(Node);
  }
  UINTN NameBytes = 0;
  while (Name[NameBytes / sizeof(CHAR16)] != 0) {
    NameBytes += sizeof(CHAR16);
  }
  NameBytes += sizeof(CHAR16);
  UINTN FileNodeLength = sizeof(EFI_DEVICE_PATH_PROTOCOL) + NameBytes;
  UINTN Total = DeviceLength + FileNodeLength + sizeof(EFI_DEVICE_PATH_PROTOCOL);
  UINT8 *Path = NULL;
  Status = gBS->AllocatePool(EfiBootServicesData, Total, (VOID **)&Path);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  gBS->CopyMem(Path, Device, DeviceLength);
  EFI_DEVICE_PATH_PROTOCOL *File = (EFI_DEVICE_PATH_PROTOCOL *)(Path + DeviceLength);
  File->Type = MEDIA_DEVICE_PATH;
  File->SubType = 4; // file path
  SetDevicePathNodeLength(File, FileNodeLength);
  gBS->CopyMem(File + 1, (VOID *)Name, NameBytes);
  SetDevicePathEndNode((EFI_DEVICE_PATH_PROTOCOL *)(Path + DeviceLength + FileNodeLength));
  Status = gBS->LoadImage(FALSE, gImageHandle, (EFI_DEVICE_PATH_PROTOCOL *)Path, NULL, 0, Image);
  gBS->FreePool(Path);
  return Status;
}

EFI_STATUS SignalReadyToBoot() {
  EFI_EVENT Event = NULL;
  EFI_STATUS Status = gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, NULL,
                                         &gEfiEventReadyToBootGuid, &Event);
  if (!EFI_ERROR(Status)) {
    Status = gBS->SignalEvent(Event);
    gBS->CloseEvent(Event);
  }
  return Status;
}

VOID HandlesWith(EFI_GUID *Protocol, UINTN *Count, EFI_HANDLE **Handles) {
  *Count = 0;
  *Handles = NULL;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, Protocol, NULL, Count, Handles))) {
    *Count = 0;
    *Handles = NULL;
  }
}

} // namespace OvmfTest
