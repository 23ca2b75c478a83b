// EcDevice and the module's device table.
#include "EcDevice.h"

#include <Hw.h>
#include <Register/EcRegisters.h>

#include "EcAccess.h"

const DEVICE_TABLE_ENTRY mDeviceTable[2] = {{0x01, CreateEcDevice}, {kDeviceEntryEnd, nullptr}};

EFI_STATUS CreateEcDevice(EcPeiDevice **NewDevice, EFI_PEI_FILE_HANDLE *FileHandle, UINT32 Reserved,
                          const EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  (void)Reserved;
  EcDevice *New = NewPeiObject<EcDevice>(PeiServices);
  if (New == nullptr) {
    *NewDevice = nullptr;
    return EFI_UNSUPPORTED;
  }
  New->Interface = kEcBoardInterface;
  *NewDevice = New;
  return EFI_SUCCESS;
}

EFI_STATUS EcDevice::Initialize() { return EFI_SUCCESS; }

EFI_STATUS EcDevice::Start() {
  IoWrite8(kEcProgressCodePort, kEcProgressCodeStart);

  // A missing EC fails these steps and leaves the signature at 0: absent.
  // The signature is read only from the bank that was really selected, and
  // bank 0 is asked for again whatever happened.
  UINT8 Signature = 0;
  if (!EcStatusIsError(WriteRegister(Interface, kEcBankSelect, kEcSignatureBank))) {
    (void)ReadRegister(Interface, kEcSignatureRegister, &Signature);
  }
  (void)WriteRegister(Interface, kEcBankSelect, kEcBankDefault);
  if (Signature != kEcSignature) {
    return EFI_SUCCESS;
  }

  const EFI_STATUS Status = (*PeiServices)->InstallPpi(PeiServices, &mEcAccessPpiDescriptor);
  // Nothing reports these: the PPI is in place whatever the EC makes of them.
  // Register 0xC0 is written only once bank 0 is known to be selected: in
  // another bank the write would land on some other register.
  if (!EcStatusIsError(WriteRegister(Interface, kEcBankSelect, kEcBankDefault))) {
    (void)WriteRegister(Interface, kEcStartRegister, 0x00);
  }
  return Status;
}
