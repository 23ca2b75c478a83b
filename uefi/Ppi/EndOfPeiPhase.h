// End-of-PEI signal: a PPI with no interface, installed once PEI is about to
// hand over to DXE; modules register notifications on it.
#pragma once

#include <Uefi/UefiBaseType.h>

#define EFI_PEI_END_OF_PEI_PHASE_PPI_GUID                                                          \
  {                                                                                                \
    0x605EA650, 0xC65C, 0x42E1, { 0xBA, 0x80, 0x91, 0xA5, 0x2A, 0xB6, 0x18, 0xC6 }                 \
  }

extern EFI_GUID gEfiEndOfPeiSignalPpiGuid;
