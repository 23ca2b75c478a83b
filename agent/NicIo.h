// The agent's NIC_IO_PROTOCOL instance: a PCI I/O-shaped interface that
// reaches the management-link Ethernet controller through the windows the PEI
// phase recorded in the device HOB, so that NicLinkDxe can drive it before the
// firmware core enumerates PCI. After enumeration the same instance follows
// the controller to its assigned location and windows.
#pragma once

#include <Guid/MgmtDeviceHob.h>
#include <Protocol/NicIo.h>
#include <Protocol/PciIo.h>
#include <Uefi/UefiBaseType.h>

// The one instance; installed on the agent's image handle, never freed.
extern NIC_IO_PROTOCOL mNicIo;

// Start-up: fills mNicIo from its template, takes the controller's location
// and windows from the device-HOB entries whose configuration space reads the
// board's NIC identity, sets Stall and installs the instance on the image
// handle. TRUE when the controller was found and MGMT_LINK_PROTOCOL exists
// after the installation (the NIC-present mark).
BOOLEAN InstallNicIo(MGMT_DEVICE_HOB_DATA *DeviceHob);

// Re-bind: replaces the instance's location and BarTable with what PciIo (the
// enumerated controller's interface) reports, then reinstalls the same
// instance on the image handle. When the location cannot be read the
// instance is left as it was.
EFI_STATUS RebindNicIo(EFI_PCI_IO_PROTOCOL *PciIo);

// Busy-waits Microseconds on the ACPI PM timer; returns its argument.
UINTN EFIAPI Stall(UINTN Microseconds);

// TRUE when configuration DWORD 0 and DWORD 0x2C of Bus/Device/Function read
// the board's NIC identity through the memory-mapped window.
BOOLEAN IsBoardNic(UINT8 Bus, UINT8 Device, UINT8 Function);
