// SioGpioPei: the boot-time pulse on five Super I/O GPIO pins and the EC
// notification that clears bit 3 of EC register 0xD6. Neither happens on an
// S3 resume.
#include "SioGpioPei.h"

#include <Ppi/EcAccess.h>
#include <Ppi/Stall.h>
#include <Register/EcRegisters.h>

#include "SioAccess.h"

namespace {

// Driven low together, then released together, in this order.
constexpr UINT8 kPulsedPins[] = {71, 50, 54, 26, 35};
constexpr UINTN kPulseMicroseconds = 10000;

EFI_STATUS EFIAPI EcAccessNotify(IN EFI_PEI_SERVICES **PeiServices,
                                 IN EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, IN VOID *Ppi);

constexpr EFI_PEI_NOTIFY_DESCRIPTOR mEcAccessNotifyDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &gEcAccessPpiGuid, EcAccessNotify};

// The PPI handed in is not used: the installed instance is looked up again.
EFI_STATUS EFIAPI EcAccessNotify(IN EFI_PEI_SERVICES **PeiServices,
                                 IN EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, IN VOID *Ppi) {
  (void)NotifyDescriptor;
  (void)Ppi;
  CONST EFI_PEI_SERVICES **Services = const_cast<CONST EFI_PEI_SERVICES **>(PeiServices);
  VOID *Interface = NULL;
  const EFI_STATUS Status =
      (*Services)->LocatePpi(Services, &gEcAccessPpiGuid, 0, NULL, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  const EC_ACCESS_PPI *Ec = static_cast<const EC_ACCESS_PPI *>(Interface);

  EC_STATUS EcStatus = Ec->WriteRegister(kEcBoardInterface, kEcBankSelect, kEcBankDefault);
  if (EcStatusIsError(EcStatus)) {
    return EcStatusToEfiStatus(EcStatus);
  }
  UINT8 Value = 0;
  EcStatus = Ec->ReadRegister(kEcBoardInterface, kEcBootBitsRegister, &Value);
  if (EcStatusIsError(EcStatus)) {
    return EcStatusToEfiStatus(EcStatus);
  }
  EcStatus = Ec->WriteRegister(kEcBoardInterface, kEcBootBitsRegister,
                               static_cast<UINT8>(Value & ~kEcBootBitsClear));
  return EcStatusToEfiStatus(EcStatus);
}

void SetPulsedPins(UINT8 Level) {
  for (const UINT8 Pin : kPulsedPins) {
    SioGpioSet(Pin, Level);
  }
}

} // namespace

extern "C" EFI_STATUS EFIAPI SioGpioPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                  IN CONST EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  EFI_BOOT_MODE BootMode = 0;
  EFI_STATUS Status = (*PeiServices)->GetBootMode(PeiServices, &BootMode);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (BootMode == BOOT_ON_S3_RESUME) {
    return EFI_SUCCESS;
  }

  Status = (*PeiServices)->NotifyPpi(PeiServices, &mEcAccessNotifyDescriptor);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  VOID *Interface = NULL;
  Status = (*PeiServices)->LocatePpi(PeiServices, &gEfiPeiStallPpiGuid, 0, NULL, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  const EFI_PEI_STALL_PPI *Stall = static_cast<const EFI_PEI_STALL_PPI *>(Interface);

  SetPulsedPins(kSioGpioDriveLow);
  // The pins are released whatever the stall reports: leaving them driven low
  // would be worse than a short pulse.
  (void)Stall->Stall(PeiServices, Stall, kPulseMicroseconds);
  SetPulsedPins(kSioGpioRelease);
  return EFI_SUCCESS;
}
