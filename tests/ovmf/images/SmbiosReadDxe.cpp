// Test driver: SMBIOS_READ_PROTOCOL served from the firmware's standard
// EFI_SMBIOS_PROTOCOL, so that InventoryDxe reads the tables QEMU handed to
// OVMF. ReadStructure walks the structures of the asked type and copies the
// n-th one whole (formatted area and string set) into a pool buffer. Each
// read is also written to the debug port with the bytes it delivered.
#include "Harness.h"

#include <IndustryStandard/SmBios.h>
#include <Protocol/SmbiosRead.h>

using namespace OvmfTest;

namespace {

// EFI_SMBIOS_PROTOCOL, the firmware's standard access to its SMBIOS tables
// (a PI interface); only GetNext is called here.
constexpr UINT16 kSmbiosHandleFirst = 0xFFFE; // start a GetNext walk

typedef struct EFI_SMBIOS_PROTOCOL EFI_SMBIOS_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_GET_NEXT)(IN CONST EFI_SMBIOS_PROTOCOL *This,
                                                IN OUT UINT16 *SmbiosHandle,
                                                IN UINT8 *Type OPTIONAL,
                                                OUT SMBIOS_STRUCTURE **Record,
                                                OUT EFI_HANDLE *ProducerHandle OPTIONAL);
struct EFI_SMBIOS_PROTOCOL {
  VOID *Add;
  VOID *UpdateString;
  VOID *Remove;
  EFI_SMBIOS_GET_NEXT GetNext;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
};
static_assert(OFFSET_OF(EFI_SMBIOS_PROTOCOL, GetNext) == 24);

EFI_GUID kEfiSmbiosProtocolGuid = {
    0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};

EFI_SMBIOS_PROTOCOL *mSmbios;

// Formatted area plus string set, up to and including the double zero.
UINTN StructureSize(CONST SMBIOS_STRUCTURE *Record) {
  CONST UINT8 *Bytes = (CONST UINT8 *)Record;
  UINTN End = Record->Length;
  while (Bytes[End] != 0 || Bytes[End + 1] != 0) {
    End++;
  }
  return End + 2;
}

EFI_STATUS EFIAPI ReadStructure(UINT8 Type, UINT8 Instance, VOID **Structure, UINT64 *Reserved) {
  (VOID) Reserved;
  EFI_STATUS Status = EFI_NOT_FOUND;
  SMBIOS_STRUCTURE *Found = NULL;
  if (Structure == NULL) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Instance != 0) {
    UINT16 Handle = kSmbiosHandleFirst;
    UINT8 Seen = 0;
    for (;;) {
      UINT8 WantedType = Type;
      SMBIOS_STRUCTURE *Record = NULL;
      if (EFI_ERROR(mSmbios->GetNext(mSmbios, &Handle, &WantedType, &Record, NULL))) {
        break;
      }
      if (++Seen == Instance) {
        Found = Record;
        break;
      }
    }
  }
  UINTN Size = 0;
  if (Found != NULL) {
    Size = StructureSize(Found);
    Status = gBS->AllocatePool(EfiBootServicesData, Size, Structure);
    if (!EFI_ERROR(Status)) {
      gBS->CopyMem(*Structure, Found, Size);
    }
  }
  Line Out;
  Out.Text("smbios ").Dec(Type).Text(" ").Dec(Instance).Text(" ").Status(Status);
  if (!EFI_ERROR(Status)) {
    Out.Text(" ").Bytes(*Structure, Size);
  }
  return Status;
}

// The firmware core's own members: nothing in this system calls them, so a
// call means a caller took the wrong slot.
EFI_STATUS EFIAPI CoreMemberCalled() {
  Line().Text("note SMBIOS_READ_PROTOCOL firmware-core member called");
  MarkFailed();
  return EFI_UNSUPPORTED;
}

SMBIOS_READ_PROTOCOL mSmbiosRead;

} // namespace

extern "C" EFI_STATUS EFIAPI SmbiosReadDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  EFI_STATUS Status = gBS->LocateProtocol(&kEfiSmbiosProtocolGuid, NULL, (VOID **)&mSmbios);
  if (!EFI_ERROR(Status)) {
    for (VOID *&Member : mSmbiosRead.CoreMembers) {
      Member = (VOID *)CoreMemberCalled;
    }
    mSmbiosRead.ReadStructure = ReadStructure;
    EFI_HANDLE Handle = NULL;
    Status = gBS->InstallProtocolInterface(&Handle, &gSmbiosReadProtocolGuid, EFI_NATIVE_INTERFACE,
                                           &mSmbiosRead);
  }
  Line().Text("smbios-read installed ").Status(Status);
  if (EFI_ERROR(Status)) {
    MarkFailed();
  }
  return Status;
}
