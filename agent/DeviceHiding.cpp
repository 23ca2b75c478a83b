// Hiding the management devices from the rest of boot: decoding switched off
// on every function listed in the device HOB, their windows cleared, and the
// bridges in front of them closed (bus numbers and windows zeroed), so later
// enumeration finds nothing behind them. Device functions go first, then the
// bridges, each pass from the last entry to the first.
#include "AgentInternal.h"

#include <Board/BoardConfig.h>
#include <Hw.h>
#include <IndustryStandard/Pci.h>

namespace {

constexpr UINT8 kDecodeEnables =
    EFI_PCI_COMMAND_IO_SPACE | EFI_PCI_COMMAND_MEMORY_SPACE | EFI_PCI_COMMAND_BUS_MASTER;

// Type-1 header registers of a bridge.
constexpr UINT32 kBridgePrimaryBus = 0x18;
constexpr UINT32 kBridgeSecondaryBus = 0x19;
constexpr UINT32 kBridgeSubordinateBus = 0x1A;
constexpr UINT32 kBridgeIoBase = 0x1C;
constexpr UINT32 kBridgeIoLimit = 0x1D;
constexpr UINT32 kBridgeMemoryBase = 0x20;
constexpr UINT32 kBridgeMemoryLimit = 0x22;

UINTN ConfigAddress(CONST MGMT_DEVICE_HOB_ENTRY *Entry, UINT32 Register) {
  return BoardPciConfigAddress(Entry->Bus, Entry->Device, Entry->Function, Register);
}

VOID DisableDecoding(CONST MGMT_DEVICE_HOB_ENTRY *Entry) {
  UINTN Command = ConfigAddress(Entry, PCI_COMMAND_OFFSET);
  MmioWrite8(Command, (UINT8)(MmioRead8(Command) & ~kDecodeEnables));
}

} // namespace

EFI_STATUS HideMgmtDevices() {
  if (mDeviceHob == NULL) {
    return EFI_SUCCESS;
  }
  UINT32 Count = mDeviceHob->EntryCount;
  for (UINT32 Index = Count; Index-- > 0;) {
    CONST MGMT_DEVICE_HOB_ENTRY *Entry = &mDeviceHob->Entries[Index];
    if (Entry->Kind != kMgmtDeviceKindFunction || !AgentEntryAddressable(Entry)) {
      continue;
    }
    DisableDecoding(Entry);
    if (Entry->BarOffset != 0) {
      MmioWrite32(ConfigAddress(Entry, Entry->BarOffset), 0);
      if (Entry->BarType == kMgmtDeviceBarType64) {
        MmioWrite32(ConfigAddress(Entry, Entry->BarOffset + sizeof(UINT32)), 0);
      }
    }
  }
  for (UINT32 Index = Count; Index-- > 0;) {
    CONST MGMT_DEVICE_HOB_ENTRY *Entry = &mDeviceHob->Entries[Index];
    if (Entry->Kind != kMgmtDeviceKindBridge || !AgentEntryAddressable(Entry)) {
      continue;
    }
    DisableDecoding(Entry);
    MmioWrite8(ConfigAddress(Entry, kBridgePrimaryBus), 0);
    MmioWrite8(ConfigAddress(Entry, kBridgeSecondaryBus), 0);
    MmioWrite8(ConfigAddress(Entry, kBridgeSubordinateBus), 0);
    MmioWrite16(ConfigAddress(Entry, kBridgeMemoryBase), 0);
    MmioWrite16(ConfigAddress(Entry, kBridgeMemoryLimit), 0);
    MmioWrite8(ConfigAddress(Entry, kBridgeIoBase), 0);
    MmioWrite8(ConfigAddress(Entry, kBridgeIoLimit), 0);
  }
  return EFI_SUCCESS;
}
