// The agent's module-wide state, in one place: the service tables, the
// device HOB, the NIC-present mark and the link's saved Transact. All start
// zeroed when the image loads.
#include "AgentInternal.h"

EFI_HANDLE mImageHandle;
EFI_SYSTEM_TABLE *mSystemTable;
EFI_BOOT_SERVICES *mBootServices;
EFI_RUNTIME_SERVICES *mRuntimeServices;
MGMT_DEVICE_HOB_DATA *mDeviceHob;
BOOLEAN mNicPresent;
MGMT_LINK_TRANSACT mSavedTransact;
