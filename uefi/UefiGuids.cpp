// Every standard GUID the modules name, defined once. Modules add this file
// to their sources; section garbage collection drops the ones a module never names.
#include <Protocol/DevicePath.h>
#include <Protocol/PciIo.h>

EFI_GUID gEfiPciIoProtocolGuid = EFI_PCI_IO_PROTOCOL_GUID;
EFI_GUID gEfiDevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
