// A throwaway PEI module with a fault that only its IA32 image shows: it
// takes the stall PPI's Stall member from byte 8, where the x86-64 layout
// puts it, instead of through the structure. The host build (x86-64) stalls
// and returns; the IA32 image, where Stall sits at byte 4, calls whatever
// follows the PPI.
#include <Pi/PiPeiCis.h>
#include <Ppi/Stall.h>

extern "C" EFI_STATUS EFIAPI PlantedLayoutFaultEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                          IN CONST EFI_PEI_SERVICES **PeiServices) {
  (void)FileHandle;
  EFI_GUID StallGuid = EFI_PEI_STALL_PPI_GUID;
  VOID *Ppi = NULL;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &StallGuid, 0, NULL, &Ppi);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_PEI_STALL Stall = *(EFI_PEI_STALL *)((UINT8 *)Ppi + 8);
  return Stall(PeiServices, (EFI_PEI_STALL_PPI *)Ppi, 1000);
}
