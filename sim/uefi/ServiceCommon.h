// What the DXE and PEI emulations share: the memory-copy services both tables
// carry, the zeroed records the emulations keep in guest memory for firmware
// to point into, and how a service ends the run (a reset or a named fault).
#pragma once

#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

class GuestArena;
class Machine;

// CopyMem and SetMem of the boot services and of the PEI services: the same
// signature and meaning in both tables. CopyMem copes with overlap.
VOID EFIAPI CopyMemService(VOID *destination, VOID *source, UINTN length);
VOID EFIAPI SetMemService(VOID *buffer, UINTN size, UINT8 value);

// A zeroed record of `bytes` from `arena`; when guest memory is exhausted the
// run ends with a Fault that names `owner`.
void *TakeRecord(Machine &machine, GuestArena &arena, size_t bytes, const char *owner);

// Ends the run the way the board's reset control would for this reset type
// (the port 0xCF9 value: 0x06 warm, 0x0E cold or platform-specific), naming
// `detail`; a shutdown powers the board off instead.
// Both leave the firmware run for good: views, so that a caller's text
// needs no string of its own on the frames the stop abandons.
[[noreturn]] void StopForReset(Machine &machine, EFI_RESET_TYPE type, std::string_view detail);
// Takes the text whole: a stop never returns to the frame that built it, so
// nothing there may still own memory.
[[noreturn]] void StopForFault(Machine &machine, std::string detail);

} // namespace sim
