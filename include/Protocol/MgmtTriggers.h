// Protocols the firmware core installs only to mark a moment of the boot; the
// agent registers notifications on them. None has members the system uses.
#pragma once

#include <Uefi/UefiBaseType.h>

// Its installation makes the agent draw the logo on the other displays.
#define LOGO_TRIGGER_PROTOCOL_GUID                                                                 \
  {                                                                                                \
    0x3677770F, 0xEFB2, 0x43B2, { 0xB8, 0xAE, 0xB3, 0x02, 0xE9, 0x60, 0x48, 0x82 }                 \
  }
// Its first installation makes the agent pull the address ranges into the live Setup buffer.
#define SETUP_PULL_TRIGGER_PROTOCOL_GUID                                                           \
  {                                                                                                \
    0x56A12F31, 0x1AE8, 0x47E8, { 0xAB, 0x28, 0x4A, 0xAF, 0x6B, 0xDA, 0xA8, 0x34 }                 \
  }
// Each installation makes the agent push the ranges and the text item to the controller.
#define SETUP_PUSH_TRIGGER_PROTOCOL_GUID                                                           \
  {                                                                                                \
    0xF7AE935C, 0xE0CF, 0x42C6, { 0xA6, 0x34, 0xE9, 0x2D, 0x73, 0xAE, 0xB1, 0x07 }                 \
  }

extern EFI_GUID gLogoTriggerProtocolGuid;
extern EFI_GUID gSetupPullTriggerProtocolGuid;
extern EFI_GUID gSetupPushTriggerProtocolGuid;
