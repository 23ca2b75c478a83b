// Includes every header of uefi/ so that one compilation per target checks
// them all, with the layout assertions of that target's ABI.
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <IndustryStandard/Bmp.h>
#include <IndustryStandard/Pci.h>
#include <IndustryStandard/SmBios.h>
#include <Pi/PiBootMode.h>
#include <Pi/PiFirmwareFile.h>
#include <Pi/PiHob.h>
#include <Pi/PiPeiCis.h>
#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>
#include <Protocol/DevicePath.h>
#include <Protocol/FirmwareVolume2.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PciIo.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>
#include <Uefi/UefiServices.h>

// The firmware entry-point shapes must accept the modules' entry points.
static EFI_STATUS EFIAPI DxeEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return EFI_SUCCESS; }
static EFI_STATUS EFIAPI PeiEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **) {
  return EFI_SUCCESS;
}
EFI_IMAGE_ENTRY_POINT gUefiHeadersDxeEntry = DxeEntry;
EFI_PEIM_ENTRY_POINT2 gUefiHeadersPeiEntry = PeiEntry;
