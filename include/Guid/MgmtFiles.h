// Firmware-volume files the agent recognises by name: a firmware-core driver
// whose loading means the management devices must disappear, and the logo
// image drawn on the board's other displays.
#pragma once

#include <Uefi/UefiBaseType.h>

#define FIRMWARE_CORE_DRIVER_FILE_GUID                                                             \
  {                                                                                                \
    0x3C1DE39F, 0xD207, 0x408A, { 0xAA, 0xCC, 0x73, 0x1C, 0xFB, 0x7F, 0x1D, 0xD7 }                 \
  }
#define LOGO_FILE_GUID                                                                             \
  {                                                                                                \
    0x0336875A, 0xFEFB, 0x4917, { 0x9D, 0xA6, 0xE7, 0xF5, 0x6E, 0xC8, 0xE6, 0x38 }                 \
  }

// A loaded image's FilePath starts with a firmware-volume file node: a 4-byte
// node header, then the file name GUID.
constexpr UINT32 kFilePathFileGuidOffset = 4;

extern EFI_GUID gFirmwareCoreDriverFileGuid;
extern EFI_GUID gLogoFileGuid;
