// MGMT_DEVICE_HOB: what MgmtDevicePei hands to the DXE agent about the
// management device: whether it may be used, and the PCI functions and BAR
// windows an earlier PEI component assigned to it (one entry per BAR). The
// agent builds NIC_IO_PROTOCOL's windows from these entries and may set
// Enabled in place.
#pragma once

#include <Pi/PiHob.h>
#include <Uefi/UefiBaseType.h>

#define MGMT_DEVICE_HOB_GUID                                                                       \
  {                                                                                                \
    0x246EB197, 0x2232, 0x4DF1, { 0x93, 0x8E, 0x6E, 0x75, 0xF0, 0x24, 0x00, 0x74 }                 \
  }

constexpr UINT32 kMgmtDeviceHobMaxEntries = 32;

// Entry Kind.
constexpr UINT32 kMgmtDeviceKindBridge = 2;   // a bridge on the way to the device
constexpr UINT32 kMgmtDeviceKindFunction = 3; // a device function
// Entry BarOffset: configuration offsets of the BARs the agent maps.
constexpr UINT8 kMgmtDeviceBar0Offset = 0x10;
constexpr UINT8 kMgmtDeviceBar2Offset = 0x18;
constexpr UINT8 kMgmtDeviceBar4Offset = 0x20;
// Entry BarType.
constexpr UINT32 kMgmtDeviceBarType64 = 4; // a 64-bit memory BAR

typedef struct {
  UINT32 Kind; // kMgmtDeviceKind*
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT8 Reserved0;
  UINT64 Base;   // address assigned to the BAR
  UINT64 Length; // size of the BAR's window
  UINT8 BarOffset;
  UINT8 Reserved1[3];
  UINT32 BarType;
} MGMT_DEVICE_HOB_ENTRY;

typedef struct {
  UINT8 Enabled;    // 1 = the device is present and may be used
  UINT8 EntryCount; // valid entries in Entries
  UINT8 Reserved[6];
  MGMT_DEVICE_HOB_ENTRY Entries[kMgmtDeviceHobMaxEntries];
} MGMT_DEVICE_HOB_DATA;

typedef struct {
  EFI_HOB_GUID_TYPE Header; // Name = gMgmtDeviceHobGuid
  MGMT_DEVICE_HOB_DATA Data;
} MGMT_DEVICE_HOB;

static_assert(sizeof(MGMT_DEVICE_HOB_ENTRY) == 32);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Bus) == 4);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Device) == 5);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Function) == 6);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Base) == 8);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Length) == 16);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, BarOffset) == 24);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, BarType) == 28);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_DATA, EntryCount) == 1);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB_DATA, Entries) == 8);
static_assert(sizeof(MGMT_DEVICE_HOB_DATA) == 1032);
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24);
static_assert(OFFSET_OF(MGMT_DEVICE_HOB, Data) == 24);
static_assert(sizeof(MGMT_DEVICE_HOB) == 1056, "the HOB's total length, header included");

extern EFI_GUID gMgmtDeviceHobGuid;
