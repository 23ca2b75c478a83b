// InventoryDxe's entry point: finds the SMBIOS access protocol and joins the
// ready-to-boot event group; the report itself runs when that group is
// signalled (Report.h).
#pragma once

#include <Uefi/UefiServices.h>

extern "C" EFI_STATUS EFIAPI InventoryDxeEntryPoint(IN EFI_HANDLE ImageHandle,
                                                    IN EFI_SYSTEM_TABLE *SystemTable);
