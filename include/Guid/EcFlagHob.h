// EC_FLAG_HOB: one fact read from the embedded controller in PEI (bank 2
// register 0x4F equal to 2), published by SioSetupPei for later phases.
#pragma once

#include <Pi/PiHob.h>
#include <Uefi/UefiBaseType.h>

#define EC_FLAG_HOB_GUID                                                                           \
  {                                                                                                \
    0xA18C3C9D, 0x2818, 0x463F, { 0x9D, 0x76, 0xA9, 0xA4, 0xB6, 0x7C, 0x79, 0x84 }                 \
  }

typedef struct {
  EFI_HOB_GUID_TYPE Header; // Name = gEcFlagHobGuid
  UINT8 Flag;               // 1 when the EC register read 2, otherwise 0
  UINT8 Reserved[3];
} EC_FLAG_HOB;

static_assert(OFFSET_OF(EC_FLAG_HOB, Flag) == 24);
static_assert(sizeof(EC_FLAG_HOB) == 28, "the HOB's total length");

extern EFI_GUID gEcFlagHobGuid;
