// EFI_PEI_STALL_PPI: microsecond busy-wait during PEI.
#pragma once

#include <Pi/PiPeiCis.h>

#define EFI_PEI_STALL_PPI_GUID                                                                     \
  {                                                                                                \
    0x1F4C6F90, 0xB06B, 0x48D8, { 0xA2, 0x01, 0xBA, 0xE5, 0xF1, 0xCD, 0x7D, 0x56 }                 \
  }

typedef struct EFI_PEI_STALL_PPI EFI_PEI_STALL_PPI;

/// Waits at least Microseconds, rounded up to the PPI's Resolution.
typedef EFI_STATUS(EFIAPI *EFI_PEI_STALL)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                          IN CONST EFI_PEI_STALL_PPI *This, IN UINTN Microseconds);

struct EFI_PEI_STALL_PPI {
  UINTN Resolution; // granularity of Stall in microseconds
  EFI_PEI_STALL Stall;
};
static_assert(OFFSET_OF(EFI_PEI_STALL_PPI, Stall) == EFI_ABI_PICK(8, 4), "stall PPI");

extern EFI_GUID gEfiPeiStallPpiGuid;
