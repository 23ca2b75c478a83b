// What the simulator's test modules and their suites agree on.
#pragma once

#include <Uefi/UefiServices.h>

// An address in no mapping of the test programs, in every build: far above
// the executable and guest memory, below the mappings the kernel hands out
// top-down, and above AddressSanitizer's shadow (which is mapped and
// writable: a wild store into it would pass unnoticed).
// Aligned, so that no alignment check stops the access before it faults.
constexpr UINTN kWildAddress = 0x00004BAD0000F000;

// WildPointerDxe: the variable "Misbehave" (one byte) under this vendor.
constexpr EFI_GUID kMisbehaveVendor = {
    0x3A1C5E77, 0x92D4, 0x4B0E, {0x8F, 0x61, 0x0C, 0x2E, 0x7D, 0x55, 0xA9, 0x13}};
enum : UINT8 {
  kMisbehaveNothing = 0,
  kMisbehaveRead = 1,            // reads through a wild pointer
  kMisbehaveWrite = 2,           // writes through it
  kMisbehaveJump = 3,            // calls it
  kMisbehaveOverflow = 4,        // recurses until the stack runs out
  kMisbehaveServiceArgument = 5, // hands it to CopyMem as the destination
};

// FailedEntryDxe: the protocol it installs and the one it waits for, before
// its entry point fails.
constexpr EFI_GUID kLeftInterfaceGuid = {
    0x6D0B2C41, 0x1E77, 0x4F3A, {0x9B, 0x08, 0x52, 0xC4, 0x33, 0xE1, 0x7A, 0x90}};
constexpr EFI_GUID kAwaitedProtocolGuid = {
    0x6D0B2C42, 0x1E77, 0x4F3A, {0x9B, 0x08, 0x52, 0xC4, 0x33, 0xE1, 0x7A, 0x90}};
