// Layout and installation of the PCI device list stand-in. The PPI block
// starts with a hidden pointer back to the stand-in, so Refresh finds its
// object from the PPI pointer alone.
#include "PciDeviceListStandIn.h"

#include <Guid/MgmtDeviceHob.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/core/Machine.h"

namespace sim {
namespace {

constexpr EFI_GUID kPciDeviceListPpiGuid = PCI_DEVICE_LIST_PPI_GUID;
constexpr size_t kBackPointer = sizeof(void *);

void PutLe32(uint8_t *at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

} // namespace

std::vector<PciDeviceListEntry> DeviceBehindBridge(PciLocation bridge, PciLocation function,
                                                   const std::vector<PciBarAssignment> &bars) {
  std::vector<PciDeviceListEntry> entries;
  entries.push_back(
      {kMgmtDeviceKindBridge, bridge.bus, bridge.device, bridge.function, 0, 0, 0, 0});
  for (const PciBarAssignment &bar : bars) {
    entries.push_back({kMgmtDeviceKindFunction, function.bus, function.device, function.function,
                       bar.is64 ? kMgmtDeviceBarType64 : 0u, bar.base, bar.length, bar.offset});
  }
  return entries;
}

PciDeviceListStandIn::PciDeviceListStandIn(std::vector<PciDeviceListEntry> entries, size_t capacity)
    : staged_(std::move(entries)), capacity_(std::max(capacity, staged_.size())) {}

EFI_STATUS PciDeviceListStandIn::Install(Pei &pei) {
  if (ppi_ != nullptr) {
    throw std::logic_error("PciDeviceListStandIn: installed twice");
  }
  const size_t ppiBytes = kBackPointer + kPciDeviceListRecordsOffset + 4 * capacity_;
  const size_t bytes = (ppiBytes + 7) / 8 * 8 + sizeof(PCI_DEVICE_LIST_RECORD) * capacity_ +
                       sizeof(EFI_PEI_PPI_DESCRIPTOR) + sizeof(EFI_GUID);
  void *block = nullptr;
  EFI_STATUS status = pei.AllocatePool(bytes, &block);
  if (EFI_ERROR(status)) {
    return status;
  }
  if (reinterpret_cast<uint64_t>(block) + bytes > (uint64_t{1} << 32)) {
    throw std::logic_error("PciDeviceListStandIn: PEI pool above 4 GiB");
  }
  auto *base = static_cast<uint8_t *>(block);
  std::memset(base, 0, bytes);
  PciDeviceListStandIn *self = this;
  std::memcpy(base, &self, sizeof self);
  ppi_ = reinterpret_cast<PCI_DEVICE_LIST_PPI *>(base + kBackPointer);
  ppi_->Refresh = RefreshEntry;
  records_ = reinterpret_cast<PCI_DEVICE_LIST_RECORD *>(base + (ppiBytes + 7) / 8 * 8);
  auto *descriptor = reinterpret_cast<EFI_PEI_PPI_DESCRIPTOR *>(records_ + capacity_);
  auto *guid = reinterpret_cast<EFI_GUID *>(descriptor + 1);
  *guid = kPciDeviceListPpiGuid;
  *descriptor = EFI_PEI_PPI_DESCRIPTOR{
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, guid, ppi_};
  pei_ = &pei;
  Publish();
  return pei.InstallPpi(descriptor);
}

void PciDeviceListStandIn::Stage(std::vector<PciDeviceListEntry> entries) {
  if (entries.size() > capacity_) {
    throw std::length_error("PciDeviceListStandIn: " + std::to_string(entries.size()) +
                            " entries, capacity " + std::to_string(capacity_));
  }
  staged_ = std::move(entries);
}

void PciDeviceListStandIn::Publish() {
  for (size_t i = 0; i < staged_.size(); ++i) {
    const PciDeviceListEntry &e = staged_[i];
    PCI_DEVICE_LIST_RECORD &r = records_[i];
    std::memset(&r, 0, sizeof r);
    r.Kind = e.kind;
    r.Bus = e.bus;
    r.Device = e.device;
    r.Function = e.function;
    r.BarType = e.barType;
    r.Base = e.base;
    r.Length = e.length;
    r.BarOffset = e.barOffset;
    PutRecordPointer(i, static_cast<uint32_t>(reinterpret_cast<uint64_t>(&r)));
  }
  for (const auto &[index, address] : pointerOverrides_) {
    PutRecordPointer(index, address);
  }
  ppi_->RecordCount = static_cast<UINT32>(staged_.size());
}

uint32_t PciDeviceListStandIn::RecordAddress(size_t index) const {
  return PciDeviceListRecordAddress(ppi_, static_cast<UINT32>(index));
}

void PciDeviceListStandIn::SetRecordPointer(size_t index, uint32_t address) {
  if (index >= capacity_) {
    throw std::out_of_range("PciDeviceListStandIn: no record slot " + std::to_string(index));
  }
  pointerOverrides_[index] = address;
  if (ppi_ != nullptr) {
    PutRecordPointer(index, address);
  }
}

void PciDeviceListStandIn::PutRecordPointer(size_t index, uint32_t address) {
  PutLe32(reinterpret_cast<uint8_t *>(ppi_) + kPciDeviceListRecordsOffset + 4 * index, address);
}

EFI_STATUS EFIAPI PciDeviceListStandIn::RefreshEntry(PCI_DEVICE_LIST_PPI *This) {
  PciDeviceListStandIn *self = nullptr;
  std::memcpy(&self, reinterpret_cast<uint8_t *>(This) - kBackPointer, sizeof self);
  ++self->refreshCalls_;
  self->Publish();
  self->pei_->machine().trace().Emit("pcilist", ev::PciListRefresh{self->staged_.size()});
  return EFI_SUCCESS;
}

} // namespace sim
