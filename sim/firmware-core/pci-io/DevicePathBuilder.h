// Device paths as the firmware core builds them for the simulated board: the
// PCI root bridge (ACPI PNP0A03), one PCI node per hop down to a function, and
// child nodes below it (a display output's ACPI _ADR node). Bytes are kept by
// the owner and handed to the DXE emulation as the installed interface.
#pragma once

#include <Protocol/DevicePath.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim {

class DevicePathBuilder {
public:
  DevicePathBuilder() = default;
  // Starts with the nodes of `path` before its end node.
  explicit DevicePathBuilder(const EFI_DEVICE_PATH_PROTOCOL *path);

  DevicePathBuilder &Node(uint8_t type, uint8_t subType, const std::vector<uint8_t> &data);
  DevicePathBuilder &Acpi(uint32_t hid, uint32_t uid);
  DevicePathBuilder &PciRoot(uint32_t uid = 0);
  DevicePathBuilder &Pci(uint8_t device, uint8_t function);
  // ACPI _ADR node (type 2, subtype 3): a display output below its controller.
  DevicePathBuilder &AcpiAdr(uint32_t adr);

  // The path with its end node.
  std::vector<uint8_t> Build() const;

private:
  std::vector<uint8_t> bytes_;
};

// PciRoot(0) then Pci(device, function) for each hop, outermost first.
std::vector<uint8_t> PciDevicePath(const std::vector<std::pair<uint8_t, uint8_t>> &hops);

// Bytes of a well-formed path including its end node (0 if malformed).
size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *path);

inline const EFI_DEVICE_PATH_PROTOCOL *AsDevicePath(const std::vector<uint8_t> &bytes) {
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes.data());
}

} // namespace sim
