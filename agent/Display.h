// Display selection and the logo on the other displays: the two notification
// callbacks that react to graphics outputs and to the logo trigger, and the
// device-path helper they share to find a display's PCI device.
#pragma once

#include "Logo.h"

#include <Protocol/DevicePath.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiServices.h>

// Set once the management controller's own display has shown up; never cleared.
extern UINT8 mMgmtDisplaySeen;

// On each EFI_GRAPHICS_OUTPUT_PROTOCOL installation: keeps the controller's
// display usable and, with MgmtDisplayMode 2, withdraws every display that
// arrives after it.
VOID EFIAPI SelectDisplay(EFI_EVENT Event, VOID *Context);

// On each logo-trigger installation: draws the logo on every display other
// than the controller's, when there are at least two.
VOID EFIAPI DrawLogoOnOtherDisplays(EFI_EVENT Event, VOID *Context);

// A pool copy (EfiBootServicesData) of DevicePath without its last node, or
// NULL when the path has fewer than two nodes, is malformed or the pool is
// exhausted. The caller frees it.
EFI_DEVICE_PATH_PROTOCOL *ParentDevicePath(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath);
