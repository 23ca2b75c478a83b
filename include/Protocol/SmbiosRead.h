// SMBIOS_READ_PROTOCOL: the firmware core's access to SMBIOS structures. The
// inventory reporter calls only ReadStructure, the ninth member; the eight
// before it belong to the firmware core and are kept as opaque slots so that
// ReadStructure sits where the core puts it.
#pragma once

#include <Uefi/UefiBaseType.h>

#define SMBIOS_READ_PROTOCOL_GUID                                                                  \
  {                                                                                                \
    0x5E90A50D, 0x6955, 0x4A49, { 0x90, 0x32, 0xDA, 0x38, 0x12, 0xF8, 0xE8, 0xE5 }                 \
  }

/**
  Copies one SMBIOS structure, formatted area and string set, into a new
  pool buffer. Takes no interface pointer.

  @param[in]  Type        SMBIOS structure type.
  @param[in]  Instance    Instance of that type, from 1.
  @param[out] Structure   Receives the pool buffer; the caller frees it with FreePool.
  @param[out] Reserved    A 64-bit slot the provider may write; callers ignore it.

  @retval EFI_SUCCESS   Structure holds the copy.
  @retval error         No such structure; nothing was allocated.
**/
typedef EFI_STATUS(EFIAPI *SMBIOS_READ_STRUCTURE)(IN UINT8 Type, IN UINT8 Instance,
                                                  OUT VOID **Structure, OUT UINT64 *Reserved);

typedef struct {
  VOID *CoreMembers[8]; // firmware-core members, not used by this system
  SMBIOS_READ_STRUCTURE ReadStructure;
} SMBIOS_READ_PROTOCOL;

static_assert(OFFSET_OF(SMBIOS_READ_PROTOCOL, ReadStructure) == EFI_ABI_PICK(64, 32),
              "the ninth member");

extern EFI_GUID gSmbiosReadProtocolGuid;
