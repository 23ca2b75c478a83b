// The ready-to-boot report: reads the SMBIOS structures and the processor's
// current ratio, builds the inventory (2), UUID (3), path (4) and model (5)
// documents and uploads them in that order.
#pragma once

#include <Uefi/UefiServices.h>

namespace Inventory {

// Notify function of the ready-to-boot group. A run that misses a structure
// sends nothing and leaves the event open, so the next signal retries; a
// whole run closes the event.
VOID EFIAPI OnReadyToBoot(IN EFI_EVENT Event, IN VOID *Context);

// The memory-device loop counts instances in 8 bits, and ReadStructure takes
// an 8-bit instance: devices past this one cannot be read, so a larger
// device count is capped here.
constexpr UINT16 kMaxMemoryDevices = 255;

} // namespace Inventory
