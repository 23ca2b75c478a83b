// EFI_PCI_IO_PROTOCOL for one enumerated PCI function, as the firmware core's
// PCI bus driver installs it after enumeration: on a handle of its own with
// the function's device path (PciRoot down to the PCI node). Configuration,
// memory and port accesses go over the machine's bus (so they cost virtual
// time and show in the trace); the BARs are found by sizing them through the
// configuration window and may be moved to new addresses first, as an
// enumeration that reassigns resources would. GetBarAttributes describes
// each BAR with an ACPI address-space descriptor from pool.
#pragma once

#include "DevicePathBuilder.h"

#include <Protocol/PciIo.h>
#include <Uefi/UefiServices.h>

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace sim {

class Dxe;
class Machine;

class PciIoDevice {
public:
  struct Location {
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
  };
  struct Bar {
    enum class Kind { None, Io, Mem32, Mem64 } kind = Kind::None;
    uint64_t base = 0;
    uint64_t length = 0;
    bool prefetchable = false;
  };
  using Bars = std::array<Bar, 6>;

  // Sizes the function's BARs through the configuration window (decoding off
  // meanwhile), first moving the BARs named in `assign` to new addresses.
  static Bars Enumerate(Machine &machine, Location location,
                        const std::map<unsigned, uint64_t> &assign = {});

  // `devicePath` is the function's whole path (see PciDevicePath); without
  // one, PciRoot(bus)/Pci(device, function), as if each bus had a root
  // bridge of its own, which keeps paths unique without modelling bridges.
  PciIoDevice(Dxe &dxe, Location location, const std::map<unsigned, uint64_t> &assign = {},
              std::vector<uint8_t> devicePath = {});
  PciIoDevice(const PciIoDevice &) = delete;
  PciIoDevice &operator=(const PciIoDevice &) = delete;

  // Installs the device path and PCI I/O on a new handle. Inside a firmware
  // run: the installation signals protocol notifications.
  EFI_STATUS Install();
  EFI_STATUS Uninstall();

  EFI_HANDLE Handle() const { return handle_; }
  EFI_PCI_IO_PROTOCOL *Protocol() { return &instance_.protocol; }
  const EFI_DEVICE_PATH_PROTOCOL *DevicePath() const { return AsDevicePath(devicePath_); }
  const std::vector<uint8_t> &DevicePathBytes() const { return devicePath_; }
  Location location() const { return location_; }
  const Bars &bars() const { return bars_; }
  // The PCI I/O attributes last set (IO, memory, bus master).
  uint64_t Attributes() const { return attributes_; }

  static constexpr uint64_t kSupportedAttributes = EFI_PCI_DEVICE_ENABLE;

private:
  struct Instance {
    EFI_PCI_IO_PROTOCOL protocol;
    PciIoDevice *self;
  };
  static PciIoDevice &Self(EFI_PCI_IO_PROTOCOL *This);

  static EFI_STATUS EFIAPI MemRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI MemWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                    UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI IoRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                  UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI IoWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI PciRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT32 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI PciWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                    UINT32 Offset, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI Map(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_OPERATION Operation,
                               VOID *HostAddress, UINTN *NumberOfBytes,
                               EFI_PHYSICAL_ADDRESS *DeviceAddress, VOID **Mapping);
  static EFI_STATUS EFIAPI Unmap(EFI_PCI_IO_PROTOCOL *This, VOID *Mapping);
  static EFI_STATUS EFIAPI AllocateBuffer(EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE Type,
                                          EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                          VOID **HostAddress, UINT64 Attributes);
  static EFI_STATUS EFIAPI FreeBuffer(EFI_PCI_IO_PROTOCOL *This, UINTN Pages, VOID *HostAddress);
  static EFI_STATUS EFIAPI Flush(EFI_PCI_IO_PROTOCOL *This);
  static EFI_STATUS EFIAPI GetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *Segment, UINTN *Bus,
                                       UINTN *Device, UINTN *Function);
  static EFI_STATUS EFIAPI AttributesMember(EFI_PCI_IO_PROTOCOL *This,
                                            EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION Operation,
                                            UINT64 Attributes, UINT64 *Result);
  static EFI_STATUS EFIAPI GetBarAttributes(EFI_PCI_IO_PROTOCOL *This, UINT8 BarIndex,
                                            UINT64 *Supports, VOID **Resources);

  EFI_STATUS BarAccess(bool memory, bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT8 barIndex,
                       UINT64 offset, UINTN count, VOID *buffer);
  EFI_STATUS ConfigAccess(bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT32 offset, UINTN count,
                          VOID *buffer);
  void ApplyAttributes(uint64_t attributes);

  Dxe &dxe_;
  Machine &machine_;
  Location location_;
  Bars bars_;
  std::vector<uint8_t> devicePath_;
  Instance instance_{};
  EFI_HANDLE handle_ = nullptr;
  uint64_t attributes_ = 0;
};

} // namespace sim
