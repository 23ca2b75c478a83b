// LOGO_OUTPUT_PROTOCOL: the firmware core's drawing interface on a
// graphics-output handle, laid out exactly like EFI_GRAPHICS_OUTPUT_PROTOCOL.
// The agent draws the logo through its third member (Blt) and centres it by
// its fourth (Mode).
#pragma once

#include <Protocol/GraphicsOutput.h>
#include <Uefi/UefiBaseType.h>

#define LOGO_OUTPUT_PROTOCOL_GUID                                                                  \
  {                                                                                                \
    0x2D982264, 0xFD98, 0x4C5A, { 0xB1, 0xD9, 0x75, 0xDD, 0x61, 0x69, 0x9E, 0x88 }                 \
  }

typedef EFI_GRAPHICS_OUTPUT_PROTOCOL LOGO_OUTPUT_PROTOCOL;

static_assert(OFFSET_OF(LOGO_OUTPUT_PROTOCOL, Blt) == EFI_ABI_PICK(16, 8));
static_assert(OFFSET_OF(LOGO_OUTPUT_PROTOCOL, Mode) == EFI_ABI_PICK(24, 12));

extern EFI_GUID gLogoOutputProtocolGuid;
