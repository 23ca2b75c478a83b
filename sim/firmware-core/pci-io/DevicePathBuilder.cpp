// Building device-path byte strings node by node.
#include "DevicePathBuilder.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint8_t kAcpiAdrSubType = 0x03;
constexpr uint32_t kPciRootHid = EISA_PNP_ID(0x0A03);
constexpr size_t kMaxPathBytes = 64 * 1024;

void PutLe(std::vector<uint8_t> &out, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; i++) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

} // namespace

DevicePathBuilder::DevicePathBuilder(const EFI_DEVICE_PATH_PROTOCOL *path) {
  const size_t size = DevicePathSize(path);
  if (size >= END_DEVICE_PATH_LENGTH) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(path);
    bytes_.assign(bytes, bytes + size - END_DEVICE_PATH_LENGTH);
  }
}

DevicePathBuilder &DevicePathBuilder::Node(uint8_t type, uint8_t subType,
                                           const std::vector<uint8_t> &data) {
  const size_t length = sizeof(EFI_DEVICE_PATH_PROTOCOL) + data.size();
  bytes_.push_back(type);
  bytes_.push_back(subType);
  PutLe(bytes_, length, 2);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

DevicePathBuilder &DevicePathBuilder::Acpi(uint32_t hid, uint32_t uid) {
  std::vector<uint8_t> data;
  PutLe(data, hid, 4);
  PutLe(data, uid, 4);
  return Node(ACPI_DEVICE_PATH, ACPI_DP, data);
}

DevicePathBuilder &DevicePathBuilder::PciRoot(uint32_t uid) { return Acpi(kPciRootHid, uid); }

DevicePathBuilder &DevicePathBuilder::Pci(uint8_t device, uint8_t function) {
  return Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {function, device});
}

DevicePathBuilder &DevicePathBuilder::AcpiAdr(uint32_t adr) {
  std::vector<uint8_t> data;
  PutLe(data, adr, 4);
  return Node(ACPI_DEVICE_PATH, kAcpiAdrSubType, data);
}

std::vector<uint8_t> DevicePathBuilder::Build() const {
  std::vector<uint8_t> out = bytes_;
  out.push_back(END_DEVICE_PATH_TYPE);
  out.push_back(END_ENTIRE_DEVICE_PATH_SUBTYPE);
  PutLe(out, END_DEVICE_PATH_LENGTH, 2);
  return out;
}

std::vector<uint8_t> PciDevicePath(const std::vector<std::pair<uint8_t, uint8_t>> &hops) {
  DevicePathBuilder builder;
  builder.PciRoot();
  for (const auto &[device, function] : hops) {
    builder.Pci(device, function);
  }
  return builder.Build();
}

size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *path) {
  if (path == nullptr) {
    return 0;
  }
  const auto *base = reinterpret_cast<const uint8_t *>(path);
  size_t offset = 0;
  while (offset + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= kMaxPathBytes) {
    const auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(base + offset);
    const size_t length = DevicePathNodeLength(node);
    if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      return 0;
    }
    offset += length;
    if (IsDevicePathEnd(node)) {
      return offset;
    }
  }
  return 0;
}

} // namespace sim
