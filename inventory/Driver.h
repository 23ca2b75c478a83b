// Module-wide state of the inventory reporter, kept by the entry point and
// read by the ready-to-boot report and the upload.
#pragma once

#include <Protocol/SmbiosRead.h>
#include <Uefi/UefiServices.h>

namespace Inventory {

extern EFI_SYSTEM_TABLE *mSystemTable;
extern EFI_BOOT_SERVICES *mBootServices;
extern EFI_RUNTIME_SERVICES *mRuntimeServices;
extern SMBIOS_READ_PROTOCOL *mSmbiosRead;
extern EFI_EVENT mReadyToBootEvent;

} // namespace Inventory
