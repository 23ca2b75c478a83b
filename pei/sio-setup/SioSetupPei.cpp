// SioSetupPei: one Setup option moved into the Super I/O and the embedded
// controller, and one EC fact handed to later phases as EC_FLAG_HOB.
#include "SioSetupPei.h"

#include <Guid/EcFlagHob.h>
#include <Guid/SetupVariable.h>
#include <Ppi/EcAccess.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Register/EcRegisters.h>

#include "SioAccess.h"

namespace {

// Super I/O register that carries the option, read and written with logical
// device 0 selected.
constexpr UINT8 kSioOptionLdn = 0x00;
constexpr UINT8 kSioOptionRegister = 0x1B;
constexpr UINT8 kSioOptionBit = 0x80;
// Released when the option is set; left alone otherwise.
constexpr UINT8 kOptionPin = 47;

// Bit 7 of register 0x1B follows the option, in one configuration sequence.
void ApplyOptionToSuperIo(UINT8 Option) {
  SioConfigSession Session;
  Session.SelectLogicalDevice(kSioOptionLdn);
  Session.SelectRegister(kSioOptionRegister);
  UINT8 Value = Session.ReadData();
  Value = Option != 0 ? static_cast<UINT8>(Value | kSioOptionBit)
                      : static_cast<UINT8>(Value & ~kSioOptionBit);
  Session.WriteData(Value);
}

EFI_STATUS LocateEcAccess(CONST EFI_PEI_SERVICES **PeiServices, const EC_ACCESS_PPI **Ec) {
  VOID *Interface = NULL;
  const EFI_STATUS Status =
      (*PeiServices)->LocatePpi(PeiServices, &gEcAccessPpiGuid, 0, NULL, &Interface);
  *Ec = static_cast<const EC_ACCESS_PPI *>(Interface);
  return Status;
}

// Writes Value to EC register Register of Bank, then selects bank 0 again.
// The register is written only once its bank is selected: in whichever bank
// the EC has selected instead, the write would land on another register.
// Bank 0 is asked for even after a failed step, so the EC is not left in
// another bank for those that come after.
VOID WriteEcBankRegister(const EC_ACCESS_PPI *Ec, UINT8 Bank, UINT8 Register, UINT8 Value) {
  if (!EcStatusIsError(Ec->WriteRegister(kEcBoardInterface, kEcBankSelect, Bank))) {
    (void)Ec->WriteRegister(kEcBoardInterface, Register, Value);
  }
  (void)Ec->WriteRegister(kEcBoardInterface, kEcBankSelect, kEcBankDefault);
}

// True when EC bank 2 register 0x4F reads 2; any failing step makes it false.
// After a failed select or read, bank 0 is asked for again.
BOOLEAN ReadEcFlag(CONST EFI_PEI_SERVICES **PeiServices) {
  const EC_ACCESS_PPI *Ec = NULL;
  if (EFI_ERROR(LocateEcAccess(PeiServices, &Ec))) {
    return FALSE;
  }
  UINT8 Value = 0;
  BOOLEAN Read =
      !EcStatusIsError(Ec->WriteRegister(kEcBoardInterface, kEcBankSelect, kEcFlagBank)) &&
      !EcStatusIsError(Ec->ReadRegister(kEcBoardInterface, kEcFlagRegister, &Value));
  if (EcStatusIsError(Ec->WriteRegister(kEcBoardInterface, kEcBankSelect, kEcBankDefault))) {
    return FALSE;
  }
  return Read && Value == kEcFlagSetValue ? TRUE : FALSE;
}

} // namespace

extern "C" EFI_STATUS EFIAPI SioSetupPeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                   IN CONST EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  VOID *Interface = NULL;
  EFI_STATUS Status =
      (*PeiServices)->LocatePpi(PeiServices, &gEfiPeiReadOnlyVariable2PpiGuid, 0, NULL, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  const EFI_PEI_READ_ONLY_VARIABLE2_PPI *Variables =
      static_cast<const EFI_PEI_READ_ONLY_VARIABLE2_PPI *>(Interface);

  UINT8 Setup[kSetupVariableSize];
  UINTN Size = sizeof(Setup);
  Status = Variables->GetVariable(Variables, kSetupVariableName, &gSetupVariableGuid, NULL, &Size,
                                  Setup);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // A Setup too short to hold the option does not choose a setting; the
  // Super I/O and the EC then keep the one they have.
  const BOOLEAN HaveOption = Size > SetupOffset::SioEcOption ? TRUE : FALSE;
  const UINT8 Option = HaveOption ? Setup[SetupOffset::SioEcOption] : 0;

  if (HaveOption) {
    ApplyOptionToSuperIo(Option);
    if (Option != 0) {
      SioGpioSet(kOptionPin, kSioGpioRelease);
    }
  }

  const EC_ACCESS_PPI *Ec = NULL;
  Status = LocateEcAccess(PeiServices, &Ec);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (HaveOption) {
    // Best effort: a failing EC still gets its flag read and the HOB.
    WriteEcBankRegister(Ec, kEcOptionBank, kEcOptionRegister, Option);
  }

  VOID *HobMemory = NULL;
  Status =
      (*PeiServices)
          ->CreateHob(PeiServices, EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EC_FLAG_HOB), &HobMemory);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EC_FLAG_HOB *Hob = static_cast<EC_FLAG_HOB *>(HobMemory);
  Hob->Header.Name = gEcFlagHobGuid;
  Hob->Flag = 0;
  if (ReadEcFlag(PeiServices)) {
    Hob->Flag = 1;
  }
  return Status;
}
