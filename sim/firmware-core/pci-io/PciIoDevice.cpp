// The simulated PCI bus driver's per-function PCI I/O: BAR sizing at
// enumeration, window-checked accesses over the bus, identity DMA mapping,
// decode control through the command register and BAR descriptors.
#include "PciIoDevice.h"

#include "sim/core/Machine.h"
#include "sim/core/Pci.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/Trap.h"

#include <IndustryStandard/AcpiResources.h>
#include <IndustryStandard/Pci.h>

#include <cstring>

namespace sim {
namespace {

constexpr unsigned kBarCount = 6;
constexpr uint32_t kConfigSpaceSize = 0x1000;
constexpr uint16_t kDecodeBits =
    EFI_PCI_COMMAND_IO_SPACE | EFI_PCI_COMMAND_MEMORY_SPACE | EFI_PCI_COMMAND_BUS_MASTER;

unsigned ElementSize(EFI_PCI_IO_PROTOCOL_WIDTH width) { return 1u << (width & 3); }
bool IsFifo(EFI_PCI_IO_PROTOCOL_WIDTH width) {
  return width >= EfiPciIoWidthFifoUint8 && width <= EfiPciIoWidthFifoUint64;
}
bool IsFill(EFI_PCI_IO_PROTOCOL_WIDTH width) {
  return width >= EfiPciIoWidthFillUint8 && width <= EfiPciIoWidthFillUint64;
}

uint64_t LoadLe(const uint8_t *from, unsigned size) {
  uint64_t value = 0;
  for (unsigned i = 0; i < size; i++) {
    value |= uint64_t{from[i]} << (8 * i);
  }
  return value;
}

void StoreLe(uint8_t *to, unsigned size, uint64_t value) {
  for (unsigned i = 0; i < size; i++) {
    to[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint16_t CommandBitsOf(uint64_t attributes) {
  uint16_t bits = 0;
  if (attributes & EFI_PCI_IO_ATTRIBUTE_IO) {
    bits |= EFI_PCI_COMMAND_IO_SPACE;
  }
  if (attributes & EFI_PCI_IO_ATTRIBUTE_MEMORY) {
    bits |= EFI_PCI_COMMAND_MEMORY_SPACE;
  }
  if (attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) {
    bits |= EFI_PCI_COMMAND_BUS_MASTER;
  }
  return bits;
}

uint64_t AttributesOf(uint16_t command) {
  uint64_t attributes = 0;
  if (command & EFI_PCI_COMMAND_IO_SPACE) {
    attributes |= EFI_PCI_IO_ATTRIBUTE_IO;
  }
  if (command & EFI_PCI_COMMAND_MEMORY_SPACE) {
    attributes |= EFI_PCI_IO_ATTRIBUTE_MEMORY;
  }
  if (command & EFI_PCI_COMMAND_BUS_MASTER) {
    attributes |= EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;
  }
  return attributes;
}

} // namespace

PciIoDevice::Bars PciIoDevice::Enumerate(Machine &machine, Location location,
                                         const std::map<unsigned, uint64_t> &assign) {
  Bus &bus = machine.bus();
  auto address = [&](uint16_t reg) {
    return EcamAddress(location.bus, location.device, location.function, reg);
  };
  auto read32 = [&](uint16_t reg) { return static_cast<uint32_t>(bus.MmioRead(address(reg), 4)); };
  auto write32 = [&](uint16_t reg, uint32_t v) { bus.MmioWrite(address(reg), 4, v); };

  Bars bars{};
  if (static_cast<uint16_t>(read32(PCI_VENDOR_ID_OFFSET)) == PCI_INVALID_VENDOR_ID) {
    return bars;
  }
  // Sizing moves the BARs to all ones for a moment: decoding stays off meanwhile.
  const uint16_t command = static_cast<uint16_t>(bus.MmioRead(address(PCI_COMMAND_OFFSET), 2));
  bus.MmioWrite(address(PCI_COMMAND_OFFSET), 2, command & ~kDecodeBits);
  for (unsigned index = 0; index < kBarCount; index++) {
    const uint16_t reg = PCI_BAR_OFFSET(index);
    if (auto it = assign.find(index); it != assign.end()) {
      const uint32_t low = read32(reg);
      const uint32_t keep = (low & PCI_BAR_IO_SPACE) ? (low & ~PCI_BAR_IO_MASK) : (low & 0xF);
      write32(reg, static_cast<uint32_t>(it->second) | keep);
      if (!(low & PCI_BAR_IO_SPACE) && (low & PCI_BAR_MEM_TYPE_MASK) == PCI_BAR_MEM_TYPE_64 &&
          index + 1 < kBarCount) {
        write32(reg + 4, static_cast<uint32_t>(it->second >> 32));
      }
    }
    const uint32_t original = read32(reg);
    write32(reg, 0xFFFFFFFF);
    const uint32_t mask = read32(reg);
    write32(reg, original);
    if (mask == 0 || mask == 0xFFFFFFFF) {
      continue;
    }
    Bar &bar = bars[index];
    if (original & PCI_BAR_IO_SPACE) {
      bar.kind = Bar::Kind::Io;
      bar.base = original & PCI_BAR_IO_MASK;
      bar.length = (~(mask & PCI_BAR_IO_MASK) + 1) & 0xFFFF;
      continue;
    }
    uint64_t base = original & PCI_BAR_MEM_MASK;
    uint64_t sizeMask = 0xFFFFFFFF00000000ull | (mask & PCI_BAR_MEM_MASK);
    bar.prefetchable = (original & PCI_BAR_MEM_PREFETCHABLE) != 0;
    bar.kind = Bar::Kind::Mem32;
    if ((original & PCI_BAR_MEM_TYPE_MASK) == PCI_BAR_MEM_TYPE_64 && index + 1 < kBarCount) {
      const uint16_t high = reg + 4;
      const uint32_t originalHigh = read32(high);
      write32(high, 0xFFFFFFFF);
      const uint32_t maskHigh = read32(high);
      write32(high, originalHigh);
      base |= uint64_t{originalHigh} << 32;
      sizeMask = (uint64_t{maskHigh} << 32) | (mask & PCI_BAR_MEM_MASK);
      bar.kind = Bar::Kind::Mem64;
      index++; // the upper half is not a BAR of its own
    }
    bar.base = base;
    bar.length = ~sizeMask + 1;
  }
  bus.MmioWrite(address(PCI_COMMAND_OFFSET), 2, command);
  return bars;
}

PciIoDevice::PciIoDevice(Dxe &dxe, Location location, const std::map<unsigned, uint64_t> &assign,
                         std::vector<uint8_t> devicePath)
    : dxe_(dxe), machine_(dxe.machine()), location_(location),
      bars_(Enumerate(dxe.machine(), location, assign)), devicePath_(std::move(devicePath)) {
  if (devicePath_.empty()) {
    devicePath_ =
        DevicePathBuilder().PciRoot(location.bus).Pci(location.device, location.function).Build();
  }
  EFI_PCI_IO_PROTOCOL &p = instance_.protocol;
  SIM_TRAP_SLOT(p, "PciIo", PollMem);
  SIM_TRAP_SLOT(p, "PciIo", PollIo);
  p.Mem.Read = MemRead;
  p.Mem.Write = MemWrite;
  p.Io.Read = IoRead;
  p.Io.Write = IoWrite;
  p.Pci.Read = PciRead;
  p.Pci.Write = PciWrite;
  SIM_TRAP_SLOT(p, "PciIo", CopyMem);
  p.Map = Map;
  p.Unmap = Unmap;
  p.AllocateBuffer = AllocateBuffer;
  p.FreeBuffer = FreeBuffer;
  p.Flush = Flush;
  p.GetLocation = GetLocation;
  p.Attributes = AttributesMember;
  p.GetBarAttributes = GetBarAttributes;
  SIM_TRAP_SLOT(p, "PciIo", SetBarAttributes);
  p.RomSize = 0;
  p.RomImage = nullptr;
  instance_.self = this;
  attributes_ = AttributesOf(static_cast<uint16_t>(machine_.bus().MmioRead(
      EcamAddress(location.bus, location.device, location.function, PCI_COMMAND_OFFSET), 2)));
}

EFI_STATUS PciIoDevice::Install() {
  EFI_HANDLE handle = nullptr;
  EFI_STATUS status =
      dxe_.InstallMultiple(&handle, {{&gEfiDevicePathProtocolGuid, devicePath_.data()},
                                     {&gEfiPciIoProtocolGuid, Protocol()}});
  if (!EFI_ERROR(status)) {
    handle_ = handle;
  }
  return status;
}

EFI_STATUS PciIoDevice::Uninstall() {
  if (handle_ == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_STATUS status =
      dxe_.UninstallMultiple(handle_, {{&gEfiPciIoProtocolGuid, Protocol()},
                                       {&gEfiDevicePathProtocolGuid, devicePath_.data()}});
  if (!EFI_ERROR(status)) {
    handle_ = nullptr;
  }
  return status;
}

PciIoDevice &PciIoDevice::Self(EFI_PCI_IO_PROTOCOL *This) {
  return *reinterpret_cast<Instance *>(This)->self;
}

EFI_STATUS PciIoDevice::BarAccess(bool memory, bool write, EFI_PCI_IO_PROTOCOL_WIDTH width,
                                  UINT8 barIndex, UINT64 offset, UINTN count, VOID *buffer) {
  if (width < 0 || width >= EfiPciIoWidthMaximum || buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (barIndex >= kBarCount) {
    return EFI_UNSUPPORTED;
  }
  const Bar &bar = bars_[barIndex];
  const bool isIo = bar.kind == Bar::Kind::Io;
  if (bar.kind == Bar::Kind::None || isIo == memory) {
    return EFI_UNSUPPORTED;
  }
  const unsigned size = ElementSize(width);
  if (!memory && size == 8) {
    return EFI_INVALID_PARAMETER;
  }
  const uint64_t elements = IsFifo(width) ? (count != 0 ? 1 : 0) : count;
  if (offset > bar.length || elements > (bar.length - offset) / size) {
    return EFI_UNSUPPORTED;
  }
  Bus &bus = machine_.bus();
  uint64_t address = bar.base + offset;
  auto *data = static_cast<uint8_t *>(buffer);
  for (UINTN i = 0; i < count; i++) {
    if (write) {
      const uint64_t value = LoadLe(data, size);
      memory ? bus.MmioWrite(address, size, value)
             : bus.IoWrite(static_cast<uint16_t>(address), size, value);
    } else {
      StoreLe(data, size,
              memory ? bus.MmioRead(address, size)
                     : bus.IoRead(static_cast<uint16_t>(address), size));
    }
    if (!IsFifo(width)) {
      address += size;
    }
    if (!IsFill(width)) {
      data += size;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PciIoDevice::ConfigAccess(bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT32 offset,
                                     UINTN count, VOID *buffer) {
  if (width < 0 || width >= EfiPciIoWidthMaximum || buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  unsigned size = ElementSize(width);
  if (offset >= kConfigSpaceSize || count > kConfigSpaceSize ||
      (IsFifo(width) ? size : uint64_t{size} * count) > kConfigSpaceSize - offset) {
    return EFI_UNSUPPORTED;
  }
  if (size == 8) {
    // No 8-byte configuration cycle: two DWORDs per element.
    size = 4;
    count *= 2;
  }
  Bus &bus = machine_.bus();
  uint32_t reg = offset;
  auto *data = static_cast<uint8_t *>(buffer);
  for (UINTN i = 0; i < count; i++) {
    const uint64_t address = EcamAddress(location_.bus, location_.device, location_.function,
                                         static_cast<uint16_t>(reg));
    if (write) {
      bus.MmioWrite(address, size, LoadLe(data, size));
    } else {
      StoreLe(data, size, bus.MmioRead(address, size));
    }
    if (!IsFifo(width)) {
      reg += size;
    }
    if (!IsFill(width)) {
      data += size;
    }
  }
  return EFI_SUCCESS;
}

void PciIoDevice::ApplyAttributes(uint64_t attributes) {
  const uint64_t address =
      EcamAddress(location_.bus, location_.device, location_.function, PCI_COMMAND_OFFSET);
  const uint16_t command = static_cast<uint16_t>(machine_.bus().MmioRead(address, 2));
  machine_.bus().MmioWrite(address, 2, (command & ~kDecodeBits) | CommandBitsOf(attributes));
  attributes_ = attributes;
}

EFI_STATUS EFIAPI PciIoDevice::MemRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                       UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).BarAccess(true, false, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::MemWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                        UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).BarAccess(true, true, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::IoRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                      UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).BarAccess(false, false, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::IoWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                       UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).BarAccess(false, true, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::PciRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                       UINT32 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).ConfigAccess(false, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::PciWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                        UINT32 Offset, UINTN Count, VOID *Buffer) {
  return Self(This).ConfigAccess(true, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::Map(EFI_PCI_IO_PROTOCOL *This,
                                   EFI_PCI_IO_PROTOCOL_OPERATION Operation, VOID *HostAddress,
                                   UINTN *NumberOfBytes, EFI_PHYSICAL_ADDRESS *DeviceAddress,
                                   VOID **Mapping) {
  (void)This;
  if (Operation < 0 || Operation >= EfiPciIoOperationMaximum || HostAddress == nullptr ||
      NumberOfBytes == nullptr || DeviceAddress == nullptr || Mapping == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Guest memory sits below 4 GiB: the device sees host addresses as they are.
  *DeviceAddress = reinterpret_cast<uintptr_t>(HostAddress);
  *Mapping = HostAddress;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciIoDevice::Unmap(EFI_PCI_IO_PROTOCOL *This, VOID *Mapping) {
  (void)This;
  return Mapping == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciIoDevice::AllocateBuffer(EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE Type,
                                              EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                              VOID **HostAddress, UINT64 Attributes) {
  (void)Attributes;
  if (HostAddress == nullptr || (Type != AllocateAnyPages && Type != AllocateMaxAddress) ||
      (MemoryType != EfiBootServicesData && MemoryType != EfiRuntimeServicesData)) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_PHYSICAL_ADDRESS address = 0xFFFFFFFF;
  EFI_STATUS status =
      Self(This).dxe_.AllocatePages(AllocateMaxAddress, MemoryType, Pages, &address);
  if (!EFI_ERROR(status)) {
    *HostAddress = reinterpret_cast<VOID *>(static_cast<uintptr_t>(address));
  }
  return status;
}

EFI_STATUS EFIAPI PciIoDevice::FreeBuffer(EFI_PCI_IO_PROTOCOL *This, UINTN Pages,
                                          VOID *HostAddress) {
  return Self(This).dxe_.FreePages(reinterpret_cast<uintptr_t>(HostAddress), Pages);
}

EFI_STATUS EFIAPI PciIoDevice::Flush(EFI_PCI_IO_PROTOCOL *This) {
  (void)This;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciIoDevice::GetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *Segment, UINTN *Bus,
                                           UINTN *Device, UINTN *Function) {
  if (Segment == nullptr || Bus == nullptr || Device == nullptr || Function == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const Location location = Self(This).location_;
  *Segment = 0;
  *Bus = location.bus;
  *Device = location.device;
  *Function = location.function;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciIoDevice::AttributesMember(EFI_PCI_IO_PROTOCOL *This,
                                                EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION Operation,
                                                UINT64 Attributes, UINT64 *Result) {
  PciIoDevice &self = Self(This);
  switch (Operation) {
  case EfiPciIoAttributeOperationGet:
  case EfiPciIoAttributeOperationSupported:
    if (Result == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    *Result = Operation == EfiPciIoAttributeOperationGet ? self.attributes_ : kSupportedAttributes;
    return EFI_SUCCESS;
  case EfiPciIoAttributeOperationSet:
  case EfiPciIoAttributeOperationEnable:
  case EfiPciIoAttributeOperationDisable:
    if ((Attributes & ~kSupportedAttributes) != 0) {
      return EFI_UNSUPPORTED;
    }
    if (Operation == EfiPciIoAttributeOperationSet) {
      self.ApplyAttributes(Attributes);
    } else if (Operation == EfiPciIoAttributeOperationEnable) {
      self.ApplyAttributes(self.attributes_ | Attributes);
    } else {
      self.ApplyAttributes(self.attributes_ & ~Attributes);
    }
    return EFI_SUCCESS;
  default:
    return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS EFIAPI PciIoDevice::GetBarAttributes(EFI_PCI_IO_PROTOCOL *This, UINT8 BarIndex,
                                                UINT64 *Supports, VOID **Resources) {
  PciIoDevice &self = Self(This);
  if (Supports == nullptr && Resources == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (BarIndex >= kBarCount || self.bars_[BarIndex].kind == Bar::Kind::None) {
    return EFI_UNSUPPORTED;
  }
  if (Supports != nullptr) {
    *Supports = kSupportedAttributes;
  }
  if (Resources == nullptr) {
    return EFI_SUCCESS;
  }
  const Bar &bar = self.bars_[BarIndex];
  void *block = nullptr;
  const UINTN bytes =
      sizeof(EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) + sizeof(EFI_ACPI_END_TAG_DESCRIPTOR);
  EFI_STATUS status = self.dxe_.AllocatePool(EfiBootServicesData, bytes, &block);
  if (EFI_ERROR(status)) {
    return status;
  }
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR descriptor{};
  descriptor.Desc = ACPI_ADDRESS_SPACE_DESCRIPTOR;
  descriptor.Len = kAcpiAddressSpaceDescriptorLength;
  descriptor.ResType =
      bar.kind == Bar::Kind::Io ? ACPI_ADDRESS_SPACE_TYPE_IO : ACPI_ADDRESS_SPACE_TYPE_MEM;
  descriptor.AddrSpaceGranularity = bar.kind == Bar::Kind::Mem64 ? 64 : 32;
  if (bar.prefetchable) {
    descriptor.SpecificFlag = EFI_ACPI_MEMORY_RESOURCE_SPECIFIC_FLAG_CACHEABLE_PREFETCHABLE;
  }
  descriptor.AddrRangeMin = bar.base;
  descriptor.AddrRangeMax = bar.base + bar.length - 1;
  descriptor.AddrLen = bar.length;
  EFI_ACPI_END_TAG_DESCRIPTOR end{ACPI_END_TAG_DESCRIPTOR, 0};
  std::memcpy(block, &descriptor, sizeof(descriptor));
  std::memcpy(static_cast<uint8_t *>(block) + sizeof(descriptor), &end, sizeof(end));
  *Resources = block;
  return EFI_SUCCESS;
}

} // namespace sim
