// The EC device: its start probes the EC for its signature and, when the EC
// answers, installs EC_ACCESS_PPI and clears EC register 0xC0.
#pragma once

#include "DeviceManager.h"

class EcDevice final : public EcPeiDevice {
public:
  EFI_STATUS Initialize() override;
  EFI_STATUS Start() override;

  UINT32 Interface; // index into mEcInterfaces
};

// Progress code written when the EC device starts, EC present or not.
constexpr UINT16 kEcProgressCodePort = 0x80;
constexpr UINT8 kEcProgressCodeStart = 0x31;

// The table's only constructor: a zero-filled EcDevice on interface 4, or
// EFI_UNSUPPORTED when the pool is out.
EFI_STATUS CreateEcDevice(EcPeiDevice **NewDevice, EFI_PEI_FILE_HANDLE *FileHandle, UINT32 Reserved,
                          const EFI_PEI_SERVICES **PeiServices);

extern const DEVICE_TABLE_ENTRY mDeviceTable[2];
