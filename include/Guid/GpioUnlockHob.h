// GPIO_UNLOCK_HOB: the PCH pads whose settings PEI left unlocked, for the
// later phases that lock the rest. The data is an array of entries, one per
// 32 pads of each group of the PCH series' group table, in table order; the
// entry count follows from the HOB length.
#pragma once

#include <Pi/PiHob.h>
#include <Uefi/UefiBaseType.h>

#define GPIO_UNLOCK_HOB_GUID                                                                       \
  {                                                                                                \
    0xA7892E49, 0x0F9F, 0x4166, { 0xB8, 0xD6, 0x8A, 0x9B, 0xD9, 0x8B, 0x17, 0x38 }                 \
  }

typedef struct {
  UINT32 PadConfigUnlocked; // bit n: pad configuration left unlocked
  UINT32 OutputUnlocked;    // bit n: output level left unlocked
} GPIO_UNLOCK_HOB_ENTRY;

static_assert(sizeof(GPIO_UNLOCK_HOB_ENTRY) == 8);
static_assert(OFFSET_OF(GPIO_UNLOCK_HOB_ENTRY, OutputUnlocked) == 4);

constexpr UINT32 kGpioUnlockPadsPerEntry = 32;

// Entries in a group of PadCount pads.
constexpr UINT32 GpioUnlockEntriesForGroup(UINT32 PadCount) {
  return PadCount / kGpioUnlockPadsPerEntry + 1;
}
// Entries in a HOB of the given total length (header included).
constexpr UINT32 GpioUnlockHobEntryCount(UINT16 HobLength) {
  return HobLength < sizeof(EFI_HOB_GUID_TYPE)
             ? 0
             : (UINT32)((HobLength - sizeof(EFI_HOB_GUID_TYPE)) / sizeof(GPIO_UNLOCK_HOB_ENTRY));
}
static_assert(GpioUnlockEntriesForGroup(0x28) == 2 && GpioUnlockEntriesForGroup(0x18) == 1);
static_assert(GpioUnlockHobEntryCount(24 + 8 * 3) == 3);

extern EFI_GUID gGpioUnlockHobGuid;
