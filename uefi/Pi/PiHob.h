// Hand-off blocks: the list PEI builds and DXE reads, its record types and
// small walkers. Each HOB starts with a generic header whose HobLength
// counts the whole record; the list ends with an END_OF_HOB_LIST record.
#pragma once

#include <Pi/PiBootMode.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>

#define EFI_HOB_TYPE_HANDOFF 0x0001
#define EFI_HOB_TYPE_MEMORY_ALLOCATION 0x0002
#define EFI_HOB_TYPE_RESOURCE_DESCRIPTOR 0x0003
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_FV 0x0005
#define EFI_HOB_TYPE_CPU 0x0006
#define EFI_HOB_TYPE_MEMORY_POOL 0x0007
#define EFI_HOB_TYPE_FV2 0x0009
#define EFI_HOB_TYPE_LOAD_PEIM_UNUSED 0x000A
#define EFI_HOB_TYPE_UEFI_CAPSULE 0x000B
#define EFI_HOB_TYPE_FV3 0x000C
#define EFI_HOB_TYPE_UNUSED 0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

typedef struct {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
} EFI_HOB_GENERIC_HEADER;
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "HOB header");

#define EFI_HOB_HANDOFF_TABLE_VERSION 0x0009

// First HOB of the list (PHIT): the memory PEI handed over.
typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  EFI_BOOT_MODE BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
} EFI_HOB_HANDOFF_INFO_TABLE;
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56, "PHIT HOB");
static_assert(OFFSET_OF(EFI_HOB_HANDOFF_INFO_TABLE, BootMode) == 12, "PHIT HOB");
static_assert(OFFSET_OF(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList) == 48, "PHIT HOB");

typedef struct {
  EFI_GUID Name;
  EFI_PHYSICAL_ADDRESS MemoryBaseAddress;
  UINT64 MemoryLength;
  EFI_MEMORY_TYPE MemoryType;
  UINT8 Reserved[4];
} EFI_HOB_MEMORY_ALLOCATION_HEADER;

typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_HOB_MEMORY_ALLOCATION_HEADER AllocDescriptor;
} EFI_HOB_MEMORY_ALLOCATION;
static_assert(sizeof(EFI_HOB_MEMORY_ALLOCATION) == 48, "memory allocation HOB");

typedef UINT32 EFI_RESOURCE_TYPE;
typedef UINT32 EFI_RESOURCE_ATTRIBUTE_TYPE;

#define EFI_RESOURCE_SYSTEM_MEMORY 0x00000000
#define EFI_RESOURCE_MEMORY_MAPPED_IO 0x00000001
#define EFI_RESOURCE_IO 0x00000002
#define EFI_RESOURCE_MEMORY_RESERVED 0x00000005

#define EFI_RESOURCE_ATTRIBUTE_PRESENT 0x00000001
#define EFI_RESOURCE_ATTRIBUTE_INITIALIZED 0x00000002
#define EFI_RESOURCE_ATTRIBUTE_TESTED 0x00000004

typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Owner;
  EFI_RESOURCE_TYPE ResourceType;
  EFI_RESOURCE_ATTRIBUTE_TYPE ResourceAttribute;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  UINT64 ResourceLength;
} EFI_HOB_RESOURCE_DESCRIPTOR;
static_assert(sizeof(EFI_HOB_RESOURCE_DESCRIPTOR) == 48, "resource descriptor HOB");
static_assert(OFFSET_OF(EFI_HOB_RESOURCE_DESCRIPTOR, PhysicalStart) == 32,
              "resource descriptor HOB");

// GUID extension HOB: the owner's data follows Name directly.
typedef struct {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
} EFI_HOB_GUID_TYPE;
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24, "GUID HOB");

typedef union {
  EFI_HOB_GENERIC_HEADER *Header;
  EFI_HOB_HANDOFF_INFO_TABLE *HandoffInformationTable;
  EFI_HOB_MEMORY_ALLOCATION *MemoryAllocation;
  EFI_HOB_RESOURCE_DESCRIPTOR *ResourceDescriptor;
  EFI_HOB_GUID_TYPE *Guid;
  UINT8 *Raw;
} EFI_HOB_POINTERS;

// ---- Walkers ----
// A HOB shorter than its own header cannot be stepped over; the walkers
// treat it like the end of the list instead of looping on it.

static inline UINT16 GetHobType(const VOID *Hob) {
  return ((const EFI_HOB_GENERIC_HEADER *)Hob)->HobType;
}

static inline UINT16 GetHobLength(const VOID *Hob) {
  return ((const EFI_HOB_GENERIC_HEADER *)Hob)->HobLength;
}

static inline BOOLEAN IsEndOfHobList(const VOID *Hob) {
  return GetHobType(Hob) == EFI_HOB_TYPE_END_OF_HOB_LIST ||
         GetHobLength(Hob) < sizeof(EFI_HOB_GENERIC_HEADER);
}

static inline VOID *GetNextHob(const VOID *Hob) {
  return (VOID *)((const UINT8 *)Hob + GetHobLength(Hob));
}

// First HOB of Type at or after HobStart, or NULL.
static inline VOID *GetNextHobOfType(UINT16 Type, const VOID *HobStart) {
  for (const VOID *Hob = HobStart; Hob != NULL && !IsEndOfHobList(Hob); Hob = GetNextHob(Hob)) {
    if (GetHobType(Hob) == Type) {
      return (VOID *)Hob;
    }
  }
  return NULL;
}

// First GUID extension HOB named Guid at or after HobStart, or NULL. A GUID
// HOB too short to hold its name is skipped, never matched.
static inline VOID *GetNextGuidHob(const EFI_GUID *Guid, const VOID *HobStart) {
  for (const VOID *Hob = HobStart; Hob != NULL && !IsEndOfHobList(Hob); Hob = GetNextHob(Hob)) {
    if (GetHobType(Hob) == EFI_HOB_TYPE_GUID_EXTENSION &&
        GetHobLength(Hob) >= sizeof(EFI_HOB_GUID_TYPE) &&
        CompareGuid(&((const EFI_HOB_GUID_TYPE *)Hob)->Name, Guid)) {
      return (VOID *)Hob;
    }
  }
  return NULL;
}

static inline VOID *GetGuidHobData(const VOID *GuidHob) {
  return (VOID *)((const UINT8 *)GuidHob + sizeof(EFI_HOB_GUID_TYPE));
}

static inline UINTN GetGuidHobDataSize(const VOID *GuidHob) {
  return (UINTN)GetHobLength(GuidHob) - sizeof(EFI_HOB_GUID_TYPE);
}
