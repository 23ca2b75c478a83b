// MgmtDevicePei's entry point, first-start pad sequence and end-of-PEI HOB.
#include "MgmtDevicePei.h"

#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <Pi/PiHob.h>
#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/PciDeviceList.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>

#include "PchGpio.h"

namespace {

constexpr EFI_PEI_NOTIFY_DESCRIPTOR mEndOfPeiNotify = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &gEfiEndOfPeiSignalPpiGuid, MgmtDeviceEndOfPei};
static_assert((EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) ==
              0x80000020);

// The GPIO operations' statuses are ignored throughout: a pad the PCH does
// not have, or does not give to the host, is simply left alone.
void RunFirstStartSequence(CONST EFI_PEI_SERVICES **PeiServices) {
  VOID *Interface = NULL;
  if (EFI_ERROR(
          (*PeiServices)
              ->LocatePpi(PeiServices, &gEfiPeiReadOnlyVariable2PpiGuid, 0, NULL, &Interface))) {
    return;
  }
  const EFI_PEI_READ_ONLY_VARIABLE2_PPI *Variables =
      static_cast<const EFI_PEI_READ_ONLY_VARIABLE2_PPI *>(Interface);
  if (EFI_ERROR(
          (*PeiServices)->LocatePpi(PeiServices, &gEfiPeiStallPpiGuid, 0, NULL, &Interface))) {
    return;
  }
  const EFI_PEI_STALL_PPI *Stall = static_cast<const EFI_PEI_STALL_PPI *>(Interface);

  UINT8 Setup[kSetupVariableSize];
  UINTN Size = sizeof(Setup);
  if (EFI_ERROR(Variables->GetVariable(Variables, kSetupVariableName, &gSetupVariableGuid, NULL,
                                       &Size, Setup))) {
    return;
  }
  // A Setup too short to hold the mark does not ask for anything.
  if (Size <= SetupOffset::MgmtFirstStartMark) {
    return;
  }
  const UINT8 Mark = Setup[SetupOffset::MgmtFirstStartMark];

  (void)PadSetDirection(MgmtPadDrive, PadDirInput);
  // The level is set before the pad starts driving, so it never shows the
  // old one.
  if (Mark == kMgmtFirstStartDriveLow || Mark == kMgmtFirstStartDriveHigh) {
    (void)PadSetOutput(MgmtPadDrive, Mark == kMgmtFirstStartDriveHigh ? 1 : 0);
    (void)PadSetDirection(MgmtPadDrive, PadDirOutput);
  }
  if (Mark != kMgmtFirstStartDone) {
    (void)PadSetOutput(MgmtPadPulse, 0);
    (void)PadSetDirection(MgmtPadPulse, PadDirOutput);
    // The pad is released whatever the stall reports.
    (void)Stall->Stall(PeiServices, Stall, kMgmtPulseMicroseconds);
    (void)PadSetDirection(MgmtPadPulse, PadDirInput);
  }
}

// Entries beyond the HOB's 32 are dropped and EntryCount says how many were
// copied, so the agent never reads past the HOB; a null record ends the list.
void CopyDeviceList(const PCI_DEVICE_LIST_PPI *List, MGMT_DEVICE_HOB_DATA &Data) {
  const UINT32 Count = List->RecordCount;
  UINT32 Copied = 0;
  while (Copied < Count && Copied < kMgmtDeviceHobMaxEntries) {
    const PCI_DEVICE_LIST_RECORD *Record = PciDeviceListRecord(List, Copied);
    if (Record == NULL) {
      break;
    }
    MGMT_DEVICE_HOB_ENTRY &Entry = Data.Entries[Copied];
    Entry.Kind = Record->Kind;
    Entry.Bus = Record->Bus;
    Entry.Device = Record->Device;
    Entry.Function = Record->Function;
    Entry.Base = Record->Base;
    Entry.Length = Record->Length;
    Entry.BarOffset = Record->BarOffset;
    Entry.BarType = Record->BarType;
    ++Copied;
  }
  Data.EntryCount = (UINT8)Copied;
}

} // namespace

EFI_STATUS EFIAPI MgmtDeviceEndOfPei(IN EFI_PEI_SERVICES **PeiServices,
                                     IN EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, IN VOID *Ppi) {
  (void)NotifyDescriptor;
  (void)Ppi;
  CONST EFI_PEI_SERVICES **Services = const_cast<CONST EFI_PEI_SERVICES **>(PeiServices);

  VOID *Interface = NULL;
  EFI_STATUS Status = (*Services)->LocatePpi(Services, &gPciDeviceListPpiGuid, 0, NULL, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Interface == NULL) {
    return EFI_NOT_FOUND;
  }
  PCI_DEVICE_LIST_PPI *List = static_cast<PCI_DEVICE_LIST_PPI *>(Interface);
  // Only the call is wanted: the list is read whatever it reports.
  (void)List->Refresh(List);

  VOID *HobMemory = NULL;
  Status = (*Services)->CreateHob(Services, EFI_HOB_TYPE_GUID_EXTENSION, sizeof(MGMT_DEVICE_HOB),
                                  &HobMemory);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (HobMemory == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  MGMT_DEVICE_HOB_DATA Data;
  (*Services)->SetMem(&Data, sizeof(Data), 0);
  // A sense pad that cannot be read counts as high: the device stays off.
  UINT32 Sense = 1;
  (void)PadGetInput(MgmtPadSense, &Sense);
  Data.Enabled = Sense == 0 ? 1 : 0;
  CopyDeviceList(List, Data);

  MGMT_DEVICE_HOB *Hob = static_cast<MGMT_DEVICE_HOB *>(HobMemory);
  Hob->Header.Name = gMgmtDeviceHobGuid;
  (*Services)->CopyMem(&Hob->Data, &Data, sizeof(Data));
  return Status;
}

extern "C" EFI_STATUS EFIAPI MgmtDevicePeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                     IN CONST EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  EFI_BOOT_MODE BootMode = BOOT_WITH_FULL_CONFIGURATION;
  if (!EFI_ERROR((*PeiServices)->GetBootMode(PeiServices, &BootMode)) &&
      BootMode == BOOT_ON_S3_RESUME) {
    return EFI_SUCCESS;
  }
  // Whatever the registration reports, the start-up sequence still runs.
  (void)(*PeiServices)->NotifyPpi(PeiServices, &mEndOfPeiNotify);
  RunFirstStartSequence(PeiServices);
  return EFI_SUCCESS;
}
