// Event groups signalled by the firmware core that modules join with
// CreateEventEx.
#pragma once

#include <Uefi/UefiBaseType.h>

// Signalled just before the boot manager starts a boot option.
#define EFI_EVENT_GROUP_READY_TO_BOOT                                                              \
  {                                                                                                \
    0x7CE88FB3, 0x4BD7, 0x4679, { 0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B }                 \
  }

extern EFI_GUID gEfiEventReadyToBootGuid;

// Signalled when the OS loader calls ExitBootServices (the group the
// EVT_SIGNAL_EXIT_BOOT_SERVICES event type stands for).
#define EFI_EVENT_GROUP_EXIT_BOOT_SERVICES                                                         \
  {                                                                                                \
    0x27ABF055, 0xB1B8, 0x4C26, { 0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF }                 \
  }

extern EFI_GUID gEfiEventExitBootServicesGuid;
