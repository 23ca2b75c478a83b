// The one definition of every GUID variable declared in include/. Each module
// and the simulator compile this file into their own sources.
#include <Board/BoardConfig.h>
#include <Guid/EcFlagHob.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/MgmtFiles.h>
#include <Guid/SetupVariable.h>
#include <Ppi/EcAccess.h>
#include <Ppi/PciDeviceList.h>
#include <Protocol/LogoOutput.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/MgmtTriggers.h>
#include <Protocol/NicIo.h>
#include <Protocol/SetupBuffer.h>
#include <Protocol/SmbiosRead.h>

EFI_GUID gMgmtLinkProtocolGuid = MGMT_LINK_PROTOCOL_GUID;
EFI_GUID gNicIoProtocolGuid = NIC_IO_PROTOCOL_GUID;
EFI_GUID gEcAccessPpiGuid = EC_ACCESS_PPI_GUID;
EFI_GUID gPciDeviceListPpiGuid = PCI_DEVICE_LIST_PPI_GUID;
EFI_GUID gSmbiosReadProtocolGuid = SMBIOS_READ_PROTOCOL_GUID;
EFI_GUID gSetupBufferProtocolGuid = SETUP_BUFFER_PROTOCOL_GUID;
EFI_GUID gLogoOutputProtocolGuid = LOGO_OUTPUT_PROTOCOL_GUID;
EFI_GUID gLogoTriggerProtocolGuid = LOGO_TRIGGER_PROTOCOL_GUID;
EFI_GUID gSetupPullTriggerProtocolGuid = SETUP_PULL_TRIGGER_PROTOCOL_GUID;
EFI_GUID gSetupPushTriggerProtocolGuid = SETUP_PUSH_TRIGGER_PROTOCOL_GUID;
EFI_GUID gMgmtDeviceHobGuid = MGMT_DEVICE_HOB_GUID;
EFI_GUID gEcFlagHobGuid = EC_FLAG_HOB_GUID;
EFI_GUID gGpioUnlockHobGuid = GPIO_UNLOCK_HOB_GUID;
EFI_GUID gFirmwareCoreDriverFileGuid = FIRMWARE_CORE_DRIVER_FILE_GUID;
EFI_GUID gLogoFileGuid = LOGO_FILE_GUID;
EFI_GUID gSetupVariableGuid = SETUP_VARIABLE_GUID;
EFI_GUID gAcceVarGuid = ACCE_VAR_GUID;
EFI_GUID gNetworkStackVarGuid = NETWORK_STACK_VAR_GUID;
