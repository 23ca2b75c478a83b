// NIC_IO_PROTOCOL for the link driver's tests: BAR windows, configuration
// space over ECAM, pages below 4 GiB, and the PM-timer delay.
#include "NicIoProvider.h"

#include <cstddef>
#include <cstring>

#include "Machine.h"
#include "NicModel.h"
#include "NicRegisters.h"
#include "Pci.h"

namespace sim {

namespace {
constexpr uint16_t kPmTimerPort = 0x1808;
constexpr uint64_t kPmTimerHz = 3579545;
constexpr unsigned kChunkBits = 22;
constexpr uint32_t kTimerSignBit = 1u << 23;
constexpr uint64_t kBelow4GiB = 0xFFFFFFFF;
constexpr uint32_t kConfigSpaceLast = 0xFFF;
constexpr uint64_t kIoSpaceLast = 0xFFFF;

enum class Step { Normal, Fifo, Fill };
Step StepOf(EFI_PCI_IO_PROTOCOL_WIDTH width) {
  if (width >= kNicIoWidthFillFirst) {
    return Step::Fill;
  }
  return width >= kNicIoWidthFifoFirst ? Step::Fifo : Step::Normal;
}
} // namespace

NicIoProvider::NicIoProvider(Machine &machine, Location location,
                             const std::array<Bar, kNicIoBarCount> &bars)
    : machine_(machine) {
  static_assert(offsetof(Instance, protocol) == 0, "members find the provider from This");
  EFI_PCI_IO_PROTOCOL &io = instance_.protocol.PciIo;
  io.PollMem = PollMem;
  io.PollIo = PollMem;
  io.Mem.Read = MemRead;
  io.Mem.Write = MemWrite;
  io.Io.Read = IoRead;
  io.Io.Write = IoWrite;
  io.Pci.Read = PciRead;
  io.Pci.Write = PciWrite;
  io.CopyMem = CopyMem;
  io.Map = Map;
  io.Unmap = Unmap;
  io.AllocateBuffer = AllocateBuffer;
  io.FreeBuffer = FreeBuffer;
  io.Flush = Flush;
  io.GetLocation = GetLocation;
  io.Attributes = Attributes;
  io.GetBarAttributes = GetBarAttributes;
  io.SetBarAttributes = SetBarAttributes;
  io.RomSize = 0;
  io.RomImage = nullptr;
  instance_.protocol.BusNumber = location.bus;
  instance_.protocol.DeviceNumber = location.device;
  instance_.protocol.FunctionNumber = location.function;
  for (unsigned i = 0; i < kNicIoBarCount; ++i) {
    instance_.protocol.BarTable[i].BarKind = bars[i].kind;
    instance_.protocol.BarTable[i].BarBase = bars[i].base;
    instance_.protocol.BarTable[i].BarLength = bars[i].length;
  }
  instance_.protocol.Stall = Stall;
  instance_.owner = this;
}

namespace {
std::array<NicIoProvider::Bar, kNicIoBarCount> BarsOf(const NicModel &nic) {
  std::array<NicIoProvider::Bar, kNicIoBarCount> bars{};
  bars[nic::kIoBarIndex] = {kNicIoBarKindIo, nic.BarBase(nic::kIoBarIndex),
                            NicModel::BarSize(nic::kIoBarIndex)};
  bars[nic::kMmioBarIndex] = {kNicIoBarKindMemory, nic.BarBase(nic::kMmioBarIndex),
                              NicModel::BarSize(nic::kMmioBarIndex)};
  bars[nic::kAuxBarIndex] = {kNicIoBarKindMemory, nic.BarBase(nic::kAuxBarIndex),
                             NicModel::BarSize(nic::kAuxBarIndex)};
  return bars;
}
} // namespace

NicIoProvider::NicIoProvider(Machine &machine, Location location, const NicModel &nic)
    : NicIoProvider(machine, location, BarsOf(nic)) {}

NicIoProvider &NicIoProvider::From(EFI_PCI_IO_PROTOCOL *This) {
  return *reinterpret_cast<Instance *>(This)->owner;
}

void NicIoProvider::TouchConfig() {
  const NIC_IO_PROTOCOL &p = instance_.protocol;
  (void)machine_.bus().MmioRead(EcamAddress(p.BusNumber, p.DeviceNumber, p.FunctionNumber), 4);
}

UINTN EFIAPI NicIoProvider::Stall(UINTN microseconds) {
  Machine *machine = Machine::Current();
  if (machine == nullptr) {
    return microseconds;
  }
  Bus &bus = machine->bus();
  if (bus.FindIo(kPmTimerPort) == nullptr) {
    machine->clock().AdvanceUs(microseconds); // a board without a PM timer still waits
    return microseconds;
  }
  const uint64_t ticks = static_cast<uint64_t>(microseconds) * kPmTimerHz / 1000000;
  uint64_t chunks = ticks >> kChunkBits;
  uint32_t chunk = static_cast<uint32_t>(ticks & ((1u << kChunkBits) - 1));
  for (;;) {
    const uint32_t start = static_cast<uint32_t>(bus.IoRead(kPmTimerPort, 4));
    while (((start + chunk - static_cast<uint32_t>(bus.IoRead(kPmTimerPort, 4))) & kTimerSignBit) ==
           0) {
      bus.CpuPause();
    }
    if (chunks == 0) {
      break;
    }
    --chunks;
    chunk = 1u << kChunkBits;
  }
  return microseconds;
}

EFI_STATUS NicIoProvider::Access(bool memory, bool write, EFI_PCI_IO_PROTOCOL_WIDTH width,
                                 UINT8 barIndex, UINT64 offset, UINTN count, VOID *buffer) {
  TouchConfig();
  if (width >= kNicIoWidthLimit) {
    return EFI_INVALID_PARAMETER;
  }
  const uint64_t size = uint64_t{1} << (width & 3);
  const Step step = StepOf(width);
  uint64_t address = offset;
  if (barIndex != kNicIoAbsoluteBarIndex) {
    if (barIndex >= kNicIoRomBarIndex) {
      return EFI_UNSUPPORTED;
    }
    const NIC_IO_BAR &bar = instance_.protocol.BarTable[barIndex];
    const bool kindOk = memory ? NicIoBarKindIsMemory(bar.BarKind) : NicIoBarKindIsIo(bar.BarKind);
    const uint64_t elements = step == Step::Fifo ? 1 : count;
    if (!kindOk || offset >= bar.BarLength || elements > bar.BarLength / size ||
        size * elements > bar.BarLength - offset) {
      return EFI_UNSUPPORTED;
    }
    address = bar.BarBase + offset;
  }
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const uint64_t span = step == Step::Fifo || count == 0 ? size : size * count;
  if (memory) {
    if (address + span - 1 < address) {
      return EFI_INVALID_PARAMETER;
    }
  } else if (address > kIoSpaceLast || address + span - 1 > kIoSpaceLast || (write && size == 8)) {
    return EFI_INVALID_PARAMETER;
  }
  Bus &bus = machine_.bus();
  auto *bytes = static_cast<uint8_t *>(buffer);
  for (UINTN i = 0; i < count; ++i) {
    const uint64_t device = address + (step == Step::Fifo ? 0 : i * size);
    uint8_t *element = bytes + (step == Step::Fill ? 0 : i * size);
    uint64_t value = 0;
    if (write) {
      std::memcpy(&value, element, size);
      if (memory) {
        bus.MmioWrite(device, static_cast<unsigned>(size), value);
      } else {
        bus.IoWrite(static_cast<uint16_t>(device), static_cast<unsigned>(size), value);
      }
      continue;
    }
    if (memory) {
      value = bus.MmioRead(device, static_cast<unsigned>(size));
    } else if (size == 8) {
      value = bus.IoRead(static_cast<uint16_t>(device), 4) |
              (bus.IoRead(static_cast<uint16_t>(device + 4), 4) << 32);
    } else {
      value = bus.IoRead(static_cast<uint16_t>(device), static_cast<unsigned>(size));
    }
    std::memcpy(element, &value, size);
  }
  return EFI_SUCCESS;
}

EFI_STATUS NicIoProvider::Config(bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT32 offset,
                                 UINTN count, VOID *buffer) {
  TouchConfig();
  if (buffer == nullptr || width >= kNicIoWidthLimit) {
    return EFI_INVALID_PARAMETER;
  }
  uint64_t size = uint64_t{1} << (width & 3);
  const Step step = StepOf(width);
  uint64_t elements = count;
  if (size == 8) { // two dword accesses per element
    size = 4;
    elements *= 2;
  }
  const uint64_t span = step == Step::Fifo ? size : size * elements;
  if (offset > kConfigSpaceLast || (elements != 0 && span - 1 > kConfigSpaceLast - offset)) {
    return EFI_UNSUPPORTED;
  }
  const NIC_IO_PROTOCOL &p = instance_.protocol;
  const uint64_t base = EcamAddress(p.BusNumber, p.DeviceNumber, p.FunctionNumber);
  Bus &bus = machine_.bus();
  auto *bytes = static_cast<uint8_t *>(buffer);
  for (uint64_t i = 0; i < elements; ++i) {
    const uint64_t reg = offset + (step == Step::Fifo ? 0 : i * size);
    uint8_t *element = bytes + (step == Step::Fill ? 0 : i * size);
    uint64_t value = 0;
    if (write) {
      std::memcpy(&value, element, size);
      bus.MmioWrite(base + reg, static_cast<unsigned>(size), value);
    } else {
      value = bus.MmioRead(base + reg, static_cast<unsigned>(size));
      std::memcpy(element, &value, size);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NicIoProvider::MemRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                         UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return From(This).Access(true, false, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::MemWrite(EFI_PCI_IO_PROTOCOL *This,
                                          EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8 BarIndex,
                                          UINT64 Offset, UINTN Count, VOID *Buffer) {
  return From(This).Access(true, true, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::IoRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                        UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return From(This).Access(false, false, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::IoWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                         UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return From(This).Access(false, true, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::PciRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                         UINT32 Offset, UINTN Count, VOID *Buffer) {
  return From(This).Config(false, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::PciWrite(EFI_PCI_IO_PROTOCOL *This,
                                          EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                          UINTN Count, VOID *Buffer) {
  return From(This).Config(true, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoProvider::AllocateBuffer(EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE Type,
                                                EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                                VOID **HostAddress, UINT64 Attributes) {
  (void)Type; // always below 4 GiB, wherever the caller asked
  (void)Attributes;
  NicIoProvider &self = From(This);
  if (HostAddress == nullptr ||
      (MemoryType != EfiBootServicesData && MemoryType != EfiRuntimeServicesData)) {
    return EFI_INVALID_PARAMETER;
  }
  if (self.allocateFault_) {
    const EFI_STATUS fault = self.allocateFault_(Pages);
    if (EFI_ERROR(fault)) {
      return fault;
    }
  }
  uint64_t address = kBelow4GiB;
  if (self.bootServices_ != nullptr) {
    EFI_PHYSICAL_ADDRESS physical = kBelow4GiB;
    const EFI_STATUS status =
        self.bootServices_->AllocatePages(AllocateMaxAddress, MemoryType, Pages, &physical);
    if (EFI_ERROR(status)) {
      return status;
    }
    address = physical;
  } else if (Pages == 0 || !self.machine_.memory().AllocatePages(GuestMemory::AllocKind::MaxAddress,
                                                                 static_cast<uint32_t>(MemoryType),
                                                                 Pages, address)) {
    return EFI_OUT_OF_RESOURCES;
  }
  *HostAddress = reinterpret_cast<VOID *>(address);
  self.live_[address] = Pages;
  self.pagesOutstanding_ += Pages;
  ++self.allocations_;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NicIoProvider::FreeBuffer(EFI_PCI_IO_PROTOCOL *This, UINTN Pages,
                                            VOID *HostAddress) {
  NicIoProvider &self = From(This);
  self.TouchConfig();
  const auto address = reinterpret_cast<uint64_t>(HostAddress);
  auto it = self.live_.find(address);
  // Only whole buffers this instance handed out, with the page count they had.
  if (HostAddress == nullptr || it == self.live_.end() || it->second != Pages) {
    return EFI_INVALID_PARAMETER;
  }
  if (self.bootServices_ != nullptr) {
    const EFI_STATUS status = self.bootServices_->FreePages(address, Pages);
    if (EFI_ERROR(status)) {
      return status;
    }
  } else if (!self.machine_.memory().FreePages(address, Pages)) {
    return EFI_INVALID_PARAMETER;
  }
  self.live_.erase(it);
  self.pagesOutstanding_ -= Pages;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NicIoProvider::GetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentNumber,
                                             UINTN *BusNumber, UINTN *DeviceNumber,
                                             UINTN *FunctionNumber) {
  if (SegmentNumber == nullptr || BusNumber == nullptr || DeviceNumber == nullptr ||
      FunctionNumber == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const NIC_IO_PROTOCOL &p = From(This).instance_.protocol;
  *SegmentNumber = 0;
  *BusNumber = p.BusNumber;
  *DeviceNumber = p.DeviceNumber;
  *FunctionNumber = p.FunctionNumber;
  return EFI_SUCCESS;
}

// Members the driver does not use: they touch the device as the others do
// and refuse.
EFI_STATUS EFIAPI NicIoProvider::PollMem(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH,
                                         UINT8, UINT64, UINT64, UINT64, UINT64, UINT64 *) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::CopyMem(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH,
                                         UINT8, UINT64, UINT8, UINT64, UINTN) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::Map(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_OPERATION,
                                     VOID *, UINTN *, EFI_PHYSICAL_ADDRESS *, VOID **) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::Unmap(EFI_PCI_IO_PROTOCOL *This, VOID *) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::Flush(EFI_PCI_IO_PROTOCOL *This) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::Attributes(EFI_PCI_IO_PROTOCOL *This,
                                            EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION, UINT64,
                                            UINT64 *) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::GetBarAttributes(EFI_PCI_IO_PROTOCOL *This, UINT8, UINT64 *,
                                                  VOID **) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoProvider::SetBarAttributes(EFI_PCI_IO_PROTOCOL *This, UINT64, UINT8,
                                                  UINT64 *, UINT64 *) {
  From(This).TouchConfig();
  return EFI_UNSUPPORTED;
}

} // namespace sim
