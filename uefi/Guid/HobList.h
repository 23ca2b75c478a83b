// Configuration-table entry through which DXE finds the HOB list PEI built.
#pragma once

#include <Uefi/UefiBaseType.h>

#define HOB_LIST_GUID                                                                              \
  {                                                                                                \
    0x7739F24C, 0x93D7, 0x11D4, { 0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D }                 \
  }

extern EFI_GUID gEfiHobListGuid;
