// The device manager's creation and start loops.
#include "DeviceManager.h"

EFI_STATUS CreateDevices(EC_DEVICE_MANAGER *Manager) {
  EFI_STATUS Status = EFI_SUCCESS;
  for (const DEVICE_TABLE_ENTRY *Entry = Manager->DeviceTable; Entry->Enabled != kDeviceEntryEnd;
       ++Entry) {
    if (Entry->Enabled == kDeviceEntrySkip) {
      continue;
    }
    if (Manager->DeviceCount >= kEcDeviceSlots) {
      break; // no slot left: the remaining constructors are not called
    }
    Device *New = nullptr;
    Status = Entry->Create(&New, Manager->FileHandle, Manager->Reserved, Manager->PeiServices);
    if (Status == EFI_UNSUPPORTED || New == nullptr) {
      continue;
    }
    New->FileHandle = Manager->Owner->FileHandle;
    New->PeiServices = Manager->Owner->PeiServices;
    Status = New->Initialize();
    Manager->Devices[Manager->DeviceCount++] = New;
  }
  return Status;
}

void StartDevices(EC_DEVICE_MANAGER *Manager) {
  for (UINT32 Index = 0; Index < Manager->DeviceCount; ++Index) {
    (void)Manager->Devices[Index]->Start();
  }
}
