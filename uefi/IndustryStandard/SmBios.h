// SMBIOS table layout: the 2.x and 3.x entry points and the header every
// structure starts with. A structure's formatted area (Length bytes) is
// followed by its strings, each zero-terminated, the set ended by an extra
// zero byte.
#pragma once

#include <Uefi/UefiBaseType.h>

typedef UINT16 SMBIOS_HANDLE;
typedef UINT8 SMBIOS_TYPE;

#define SMBIOS_TYPE_BIOS_INFORMATION 0
#define SMBIOS_TYPE_SYSTEM_INFORMATION 1
#define SMBIOS_TYPE_BASEBOARD_INFORMATION 2
#define SMBIOS_TYPE_PROCESSOR_INFORMATION 4
#define SMBIOS_TYPE_PHYSICAL_MEMORY_ARRAY 16
#define SMBIOS_TYPE_MEMORY_DEVICE 17
#define SMBIOS_TYPE_END_OF_TABLE 127

#pragma pack(push, 1)

typedef struct {
  SMBIOS_TYPE Type;
  UINT8 Length; // formatted area only, header included
  SMBIOS_HANDLE Handle;
} SMBIOS_STRUCTURE;

// "_SM_" entry point (SMBIOS 2.x) with its "_DMI_" intermediate part.
typedef struct {
  UINT8 AnchorString[4];
  UINT8 EntryPointStructureChecksum;
  UINT8 EntryPointLength;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
  UINT16 MaxStructureSize;
  UINT8 EntryPointRevision;
  UINT8 FormattedArea[5];
  UINT8 IntermediateAnchorString[5];
  UINT8 IntermediateChecksum;
  UINT16 TableLength;
  UINT32 TableAddress;
  UINT16 NumberOfSmbiosStructures;
  UINT8 SmbiosBcdRevision;
} SMBIOS_TABLE_ENTRY_POINT;

// "_SM3_" entry point (SMBIOS 3.x): 64-bit table address, no structure count.
typedef struct {
  UINT8 AnchorString[5];
  UINT8 EntryPointStructureChecksum;
  UINT8 EntryPointLength;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
  UINT8 DocRev;
  UINT8 EntryPointRevision;
  UINT8 Reserved;
  UINT32 TableMaximumSize;
  UINT64 TableAddress;
} SMBIOS_TABLE_3_0_ENTRY_POINT;

#pragma pack(pop)

static_assert(sizeof(SMBIOS_STRUCTURE) == 4, "SMBIOS structure header");
static_assert(sizeof(SMBIOS_TABLE_ENTRY_POINT) == 31, "SMBIOS 2.x entry point");
static_assert(OFFSET_OF(SMBIOS_TABLE_ENTRY_POINT, TableAddress) == 0x18, "SMBIOS 2.x entry point");
static_assert(sizeof(SMBIOS_TABLE_3_0_ENTRY_POINT) == 24, "SMBIOS 3.x entry point");
static_assert(OFFSET_OF(SMBIOS_TABLE_3_0_ENTRY_POINT, TableAddress) == 0x10,
              "SMBIOS 3.x entry point");
