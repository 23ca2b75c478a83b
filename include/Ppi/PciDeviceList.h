// PCI_DEVICE_LIST_PPI: the firmware component that assigns PCI resources in
// PEI publishes its list of functions and BARs here; MgmtDevicePei copies
// it into MGMT_DEVICE_HOB. Only a few byte positions are fixed (the record
// count at byte 13, 32-bit record pointers from byte 17, and the record
// fields read), so the PPI is a packed byte layout, and the records, which
// live in the producer's memory below 4 GiB, are packed as well.
#pragma once

#include <Uefi/UefiBaseType.h>

#define PCI_DEVICE_LIST_PPI_GUID                                                                   \
  {                                                                                                \
    0xE7B5B715, 0x1183, 0x4533, { 0xBE, 0x76, 0x56, 0xA6, 0xD7, 0xCE, 0xB0, 0x2E }                 \
  }

typedef struct _PCI_DEVICE_LIST_PPI PCI_DEVICE_LIST_PPI;

/**
  Brings the producer's device list up to date. Called once before the list
  is read; its result is not used.

  @param[in] This   The PPI.

  @return Producer-defined status.
**/
typedef EFI_STATUS(EFIAPI *PCI_DEVICE_LIST_REFRESH)(IN PCI_DEVICE_LIST_PPI *This);

#pragma pack(push, 1)
struct _PCI_DEVICE_LIST_PPI {
  PCI_DEVICE_LIST_REFRESH Refresh;
  UINT8 Reserved[13 - sizeof(VOID *)];
  UINT32 RecordCount;
  // RecordCount 32-bit record addresses follow (see PciDeviceListRecord).
};

typedef struct {
  UINT32 Kind; // as MGMT_DEVICE_HOB_ENTRY.Kind
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT8 Reserved0[5];
  UINT32 BarType; // as MGMT_DEVICE_HOB_ENTRY.BarType
  UINT64 Base;
  UINT64 Length;
  UINT8 Reserved1[8];
  UINT8 BarOffset;
  UINT8 Reserved2[7];
} PCI_DEVICE_LIST_RECORD;
#pragma pack(pop)

constexpr UINT32 kPciDeviceListCountOffset = 13;
constexpr UINT32 kPciDeviceListRecordsOffset = 17;

static_assert(OFFSET_OF(PCI_DEVICE_LIST_PPI, RecordCount) == kPciDeviceListCountOffset);
static_assert(sizeof(PCI_DEVICE_LIST_PPI) == kPciDeviceListRecordsOffset);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, Bus) == 4);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, Device) == 5);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, Function) == 6);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, BarType) == 12);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, Base) == 16);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, Length) == 24);
static_assert(OFFSET_OF(PCI_DEVICE_LIST_RECORD, BarOffset) == 40);
static_assert(sizeof(PCI_DEVICE_LIST_RECORD) == 48);

// Address of record Index (0-based), read from the unaligned pointer array.
static inline UINT32 PciDeviceListRecordAddress(const PCI_DEVICE_LIST_PPI *Ppi, UINT32 Index) {
  const UINT8 *P = (const UINT8 *)Ppi + kPciDeviceListRecordsOffset + (UINTN)Index * 4;
  return (UINT32)P[0] | ((UINT32)P[1] << 8) | ((UINT32)P[2] << 16) | ((UINT32)P[3] << 24);
}

static inline const PCI_DEVICE_LIST_RECORD *PciDeviceListRecord(const PCI_DEVICE_LIST_PPI *Ppi,
                                                                UINT32 Index) {
  return (const PCI_DEVICE_LIST_RECORD *)(UINTN)PciDeviceListRecordAddress(Ppi, Index);
}

extern EFI_GUID gPciDeviceListPpiGuid;
