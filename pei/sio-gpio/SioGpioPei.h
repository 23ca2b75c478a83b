// SioGpioPei's entry point: at every boot but an S3 resume, pulses five Super
// I/O GPIO pins low for 10 ms and asks to be told when EC_ACCESS_PPI arrives,
// to clear bit 3 of EC register 0xD6.
#pragma once

#include <Pi/PiPeiCis.h>

extern "C" EFI_STATUS EFIAPI SioGpioPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                  IN CONST EFI_PEI_SERVICES **PeiServices);
