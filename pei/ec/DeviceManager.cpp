// The device manager's creation and start loops.
#include "DeviceManager.h"

EFI_STATUS EcDeviceManager::CreateDevices() {
  EFI_STATUS Status = EFI_SUCCESS;
  for (const DEVICE_TABLE_ENTRY *Entry = DeviceTable; Entry->Enabled != kDeviceEntryEnd; ++Entry) {
    if (Entry->Enabled == kDeviceEntrySkip) {
      continue;
    }
    if (DeviceCount >= kEcDeviceSlots) {
      break; // no slot left: the remaining constructors are not called
    }
    EcPeiDevice *New = nullptr;
    Status = Entry->Create(&New, FileHandle, Reserved, PeiServices);
    if (Status == EFI_UNSUPPORTED || New == nullptr) {
      continue;
    }
    New->FileHandle = Owner->FileHandle;
    New->PeiServices = Owner->PeiServices;
    Status = New->Initialize();
    Devices[DeviceCount++] = New;
  }
  return Status;
}

void EcDeviceManager::StartDevices() {
  for (UINT32 Index = 0; Index < DeviceCount; ++Index) {
    (void)Devices[Index]->Start();
  }
}
