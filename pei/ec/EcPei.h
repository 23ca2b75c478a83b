// EcPei: opens the chipset's decode for the EC, then creates and starts the
// devices of a device table (the module's own holds the EC device).
#pragma once

#include <Pi/PiPeiCis.h>

#include "DeviceManager.h"

// The entry point's work with the device table as a parameter. FileHandle
// points at the caller's copy of its file handle.
// @retval EFI_SUCCESS           Done, whatever the decode set-up and the devices did.
// @retval EFI_OUT_OF_RESOURCES  No pool for the device manager: no device was created.
[[nodiscard]] EFI_STATUS EcPeiStart(EFI_PEI_FILE_HANDLE *FileHandle,
                                    const EFI_PEI_SERVICES **PeiServices,
                                    const DEVICE_TABLE_ENTRY *DeviceTable);

extern "C" EFI_STATUS EFIAPI EcPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                             IN CONST EFI_PEI_SERVICES **PeiServices);
