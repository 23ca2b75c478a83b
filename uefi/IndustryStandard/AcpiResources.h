// ACPI resource descriptors as EFI_PCI_IO_PROTOCOL.GetBarAttributes returns
// them: one QWORD address-space descriptor per BAR, then an end tag.
#pragma once

#include <Uefi/UefiBaseType.h>

#define ACPI_ADDRESS_SPACE_DESCRIPTOR 0x8A
#define ACPI_END_TAG_DESCRIPTOR 0x79

// ResType of an address-space descriptor.
#define ACPI_ADDRESS_SPACE_TYPE_MEM 0x00
#define ACPI_ADDRESS_SPACE_TYPE_IO 0x01
#define ACPI_ADDRESS_SPACE_TYPE_BUS 0x02

// SpecificFlag of a memory descriptor: bits 1..2 give cacheability.
#define EFI_ACPI_MEMORY_RESOURCE_SPECIFIC_FLAG_CACHEABLE_PREFETCHABLE 0x06

#pragma pack(push, 1)

typedef struct {
  UINT8 Desc; // ACPI_ADDRESS_SPACE_DESCRIPTOR
  UINT16 Len; // bytes after this field: 0x2B
  UINT8 ResType;
  UINT8 GenFlag;
  UINT8 SpecificFlag;
  UINT64 AddrSpaceGranularity; // 32 or 64 for memory
  UINT64 AddrRangeMin;         // base of the window
  UINT64 AddrRangeMax;
  UINT64 AddrTranslationOffset;
  UINT64 AddrLen; // size of the window
} EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR;

typedef struct {
  UINT8 Desc; // ACPI_END_TAG_DESCRIPTOR
  UINT8 Checksum;
} EFI_ACPI_END_TAG_DESCRIPTOR;

#pragma pack(pop)

static_assert(sizeof(EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) == 46, "QWORD address space descriptor");
static_assert(OFFSET_OF(EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR, AddrRangeMin) == 14, "range minimum");
static_assert(OFFSET_OF(EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR, AddrLen) == 38, "range length");
static_assert(sizeof(EFI_ACPI_END_TAG_DESCRIPTOR) == 2, "end tag");

constexpr UINT16 kAcpiAddressSpaceDescriptorLength =
    sizeof(EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) - 3; // Desc and Len are not counted
