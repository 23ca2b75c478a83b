// EcPei's entry point.
#include "EcPei.h"

#include <Register/EcLpcDecode.h>

#include "EcDevice.h"
#include "LpcDecode.h"

EFI_STATUS EcPeiStart(EFI_PEI_FILE_HANDLE *FileHandle, const EFI_PEI_SERVICES **PeiServices,
                      const DEVICE_TABLE_ENTRY *DeviceTable) {
  // A decoder left closed (locked, full) only means the EC may not answer the
  // probe; the devices are started anyway.
  (void)OpenEcIoWindow();
  (void)UpdateIoDecodeEnables(static_cast<UINT16>(ReadIoDecodeEnables() | kLpcDecodeEcPorts));

  EcDeviceManager *Manager = NewPeiObject<EcDeviceManager>(PeiServices);
  if (Manager == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  Manager->DeviceTable = DeviceTable;
  Manager->PeiServices = PeiServices;
  Manager->FileHandle = FileHandle;
  Manager->Owner = Manager;

  // Devices report nothing the entry point could act on.
  (void)Manager->CreateDevices();
  Manager->StartDevices();
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI EcPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                             IN CONST EFI_PEI_SERVICES **PeiServices) {
  return EcPeiStart(&FileHandle, PeiServices, mDeviceTable);
}
