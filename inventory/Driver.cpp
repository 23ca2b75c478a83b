// InventoryDxe's start-up: keep the service tables, find SMBIOS_READ_PROTOCOL
// and register OnReadyToBoot on the ready-to-boot group. A driver that cannot
// do both returns the error, so the firmware unloads it.
#include "InventoryDxe.h"

#include <Guid/EventGroup.h>

#include "Driver.h"
#include "Report.h"

namespace Inventory {

EFI_SYSTEM_TABLE *mSystemTable;
EFI_BOOT_SERVICES *mBootServices;
EFI_RUNTIME_SERVICES *mRuntimeServices;
SMBIOS_READ_PROTOCOL *mSmbiosRead;
EFI_EVENT mReadyToBootEvent;

} // namespace Inventory

using namespace Inventory;

extern "C" EFI_STATUS EFIAPI InventoryDxeEntryPoint(IN EFI_HANDLE ImageHandle,
                                                    IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  mRuntimeServices = SystemTable->RuntimeServices;
  mSmbiosRead = NULL;
  mReadyToBootEvent = NULL;

  EFI_STATUS Status =
      mBootServices->LocateProtocol(&gSmbiosReadProtocolGuid, NULL, (VOID **)&mSmbiosRead);
  if (!EFI_ERROR(Status) && mSmbiosRead == NULL) {
    Status = EFI_NOT_FOUND;
  }
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToBoot, NULL,
                                          &gEfiEventReadyToBootGuid, &mReadyToBootEvent);
  }
  if (EFI_ERROR(Status)) {
    // Nothing was allocated; forget what was found so no stale pointer stays.
    mSmbiosRead = NULL;
    mReadyToBootEvent = NULL;
    return Status;
  }
  return EFI_SUCCESS;
}
