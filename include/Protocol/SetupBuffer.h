// SETUP_BUFFER_PROTOCOL: the firmware core's access to the copy of a setup
// variable that the setup front end is editing. The agent's range pull and
// pushes work on that live buffer instead of the stored variable. Only slot 4
// is used; slots 0..3 belong to the firmware core.
#pragma once

#include <Uefi/UefiBaseType.h>

#define SETUP_BUFFER_PROTOCOL_GUID                                                                 \
  {                                                                                                \
    0x451175CF, 0x377B, 0x4BBC, { 0xB0, 0xC3, 0xF5, 0x92, 0xC4, 0x92, 0x08, 0x71 }                 \
  }

/**
  Finds the live buffer of a setup variable. Takes no interface pointer.

  @param[in]  VariableName   Variable name, e.g. the Setup variable's.
  @param[in]  VendorGuid     Its vendor GUID.
  @param[out] Buffer         Receives the buffer's address; the front end owns it.
  @param[out] Size           Receives the buffer's size in bytes.

  @retval EFI_SUCCESS   Buffer and Size are valid.
  @retval error         No live buffer for this variable.
**/
typedef EFI_STATUS(EFIAPI *SETUP_BUFFER_GET_BUFFER)(IN CONST CHAR16 *VariableName,
                                                    IN CONST EFI_GUID *VendorGuid,
                                                    OUT VOID **Buffer, OUT UINTN *Size);

typedef struct {
  VOID *CoreMembers[4]; // firmware-core members, not used by this system
  SETUP_BUFFER_GET_BUFFER GetBuffer;
} SETUP_BUFFER_PROTOCOL;

static_assert(OFFSET_OF(SETUP_BUFFER_PROTOCOL, GetBuffer) == EFI_ABI_PICK(32, 16), "slot 4");

extern EFI_GUID gSetupBufferProtocolGuid;
