// Stand-in for the firmware component that assigns PCI resources in PEI and
// publishes them as PCI_DEVICE_LIST_PPI: given a list of functions and BARs
// (from a test or the board), it lays out the PPI and its records in PEI pool,
// so both sit below 4 GiB where the PPI's 32-bit record pointers reach them,
// and installs the PPI. Its first member (Refresh) counts its calls and
// publishes the entries staged since the last call.
#pragma once

#include <Ppi/PciDeviceList.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "sim/pei/Pei.h"

namespace sim {

struct PciDeviceListEntry {
  uint32_t kind; // kMgmtDeviceKindBridge, kMgmtDeviceKindFunction
  uint8_t bus;
  uint8_t device;
  uint8_t function;
  uint32_t barType; // kMgmtDeviceBarType64 for a 64-bit BAR, else 0
  uint64_t base;
  uint64_t length;
  uint8_t barOffset; // 0 for a record without a BAR (a bridge)
};

struct PciLocation {
  uint8_t bus;
  uint8_t device;
  uint8_t function;
};

struct PciBarAssignment {
  uint8_t offset; // configuration offset of the BAR
  uint64_t base;
  uint64_t length;
  bool is64;
};

// The list an earlier PEI component gives for a device behind a bridge: the
// bridge first, then one record per BAR of the function.
std::vector<PciDeviceListEntry> DeviceBehindBridge(PciLocation bridge, PciLocation function,
                                                   const std::vector<PciBarAssignment> &bars);

class PciDeviceListStandIn {
public:
  // capacity: most records the PPI can ever publish (at least entries.size()).
  explicit PciDeviceListStandIn(std::vector<PciDeviceListEntry> entries, size_t capacity = 0);
  PciDeviceListStandIn(const PciDeviceListStandIn &) = delete;
  PciDeviceListStandIn &operator=(const PciDeviceListStandIn &) = delete;

  // Lays out the PPI and the records in `pei`'s pool and installs the PPI.
  // Notifications on it run inside: call this within a FirmwareRunner run
  // when firmware may be waiting for it.
  EFI_STATUS Install(Pei &pei);
  PCI_DEVICE_LIST_PPI *Ppi() const { return ppi_; }

  // Entries the next Refresh publishes (at most the capacity; throws beyond).
  void Stage(std::vector<PciDeviceListEntry> entries);
  uint64_t RefreshCalls() const { return refreshCalls_; }
  // The address of record `index` as the PPI's pointer array holds it.
  uint32_t RecordAddress(size_t index) const;
  // Fault hook: record pointer `index` reads `address` (e.g. 0) from now
  // on, through every later Refresh.
  void SetRecordPointer(size_t index, uint32_t address);

private:
  static EFI_STATUS EFIAPI RefreshEntry(PCI_DEVICE_LIST_PPI *This);
  void Publish();
  void PutRecordPointer(size_t index, uint32_t address);

  std::vector<PciDeviceListEntry> staged_;
  size_t capacity_;
  Pei *pei_ = nullptr;
  PCI_DEVICE_LIST_PPI *ppi_ = nullptr;
  PCI_DEVICE_LIST_RECORD *records_ = nullptr;
  uint64_t refreshCalls_ = 0;
  std::map<size_t, uint32_t> pointerOverrides_;
};

} // namespace sim
