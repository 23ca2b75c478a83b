// MgmtDevicePei: at its entry (unless resuming from S3) drives the
// management device's pads by the Setup byte MgmtFirstStartMark and pulses
// its reset pad low for 100 ms; at the end of PEI publishes MGMT_DEVICE_HOB
// from the sense pad and PCI_DEVICE_LIST_PPI.
#pragma once

#include <Pi/PiPeiCis.h>
#include <Register/PchGpio.h>

// The management device's pads (series H, chipset id 3).
constexpr UINT32 MgmtPadDrive = GpioPad(kGpioChipsetIdH, 2, 21); // driven by the Setup byte
constexpr UINT32 MgmtPadSense = GpioPad(kGpioChipsetIdH, 2, 20); // low: the device is enabled
constexpr UINT32 MgmtPadPulse = GpioPad(kGpioChipsetIdH, 4, 3);  // pulled low for 100 ms

static_assert(MgmtPadDrive == 0x03020015 && MgmtPadSense == 0x03020014 &&
              MgmtPadPulse == 0x03040003);

constexpr UINTN kMgmtPulseMicroseconds = 100000;

extern "C" EFI_STATUS EFIAPI MgmtDevicePeiEntryPoint(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                     IN CONST EFI_PEI_SERVICES **PeiServices);

// The end-of-PEI notification: builds MGMT_DEVICE_HOB. Returns the status of
// CreateHob, or LocatePpi's when there is no device list (then no HOB).
EFI_STATUS EFIAPI MgmtDeviceEndOfPei(IN EFI_PEI_SERVICES **PeiServices,
                                     IN EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, IN VOID *Ppi);
