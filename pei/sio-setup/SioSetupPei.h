// SioSetupPei's entry point: applies the Setup byte at offset 1866 to Super
// I/O register 0x1B bit 7, GPIO pin 47 and EC bank-1 register 0x90, and
// publishes EC_FLAG_HOB from EC bank-2 register 0x4F.
#pragma once

#include <Pi/PiPeiCis.h>

extern "C" EFI_STATUS EFIAPI SioSetupPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                   IN CONST EFI_PEI_SERVICES **PeiServices);
