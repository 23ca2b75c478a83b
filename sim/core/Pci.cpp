// Configuration-space behaviour (masks, BAR sizing) and ECAM routing.
#include "Pci.h"

#include <cstdio>

namespace sim {

namespace {
// Command: I/O, memory, bus master, parity response, SERR, interrupt disable.
constexpr uint16_t kCommandWritable = 0x0547;
// Status: the error bits clear when written with one.
constexpr uint16_t kStatusClearOnWrite = 0xF900;
} // namespace

PciConfigSpace::PciConfigSpace() {
  SetWriteMask(pci::kCommand, 2, kCommandWritable);
  SetClearOnWriteMask(pci::kStatus, 2, kStatusClearOnWrite);
  SetWriteMask(0x0C, 1, 0xFF); // cache line size
  SetWriteMask(0x0D, 1, 0xFF); // latency timer
  SetWriteMask(pci::kInterruptLine, 1, 0xFF);
}

uint32_t PciConfigSpace::ConfigRead(uint16_t reg, unsigned size) {
  if (size == 0 || size > 4 || reg + size > kSize) {
    return static_cast<uint32_t>(Bus::OnesOf(size > 4 ? 4 : size));
  }
  uint32_t value = 0;
  for (unsigned i = 0; i < size; ++i) {
    value |= uint32_t{bytes_[reg + i]} << (8 * i);
  }
  return value;
}

void PciConfigSpace::ConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  if (size == 0 || size > 4 || reg + size > kSize) {
    return;
  }
  for (unsigned i = 0; i < size; ++i) {
    const uint8_t v = static_cast<uint8_t>(value >> (8 * i));
    uint8_t &b = bytes_[reg + i];
    const uint8_t wm = writeMask_[reg + i];
    b = static_cast<uint8_t>((b & ~wm) | (v & wm));
    b = static_cast<uint8_t>(b & ~(v & clearMask_[reg + i]));
  }
  OnConfigWrite(reg, size, value);
}

uint16_t PciConfigSpace::Get16(uint16_t reg) const {
  return static_cast<uint16_t>(Get8(reg) | (Get8(reg + 1) << 8));
}

uint32_t PciConfigSpace::Get32(uint16_t reg) const {
  return uint32_t{Get16(reg)} | (uint32_t{Get16(reg + 2)} << 16);
}

void PciConfigSpace::Set16(uint16_t reg, uint16_t v) {
  Set8(reg, static_cast<uint8_t>(v));
  Set8(reg + 1, static_cast<uint8_t>(v >> 8));
}

void PciConfigSpace::Set32(uint16_t reg, uint32_t v) {
  Set16(reg, static_cast<uint16_t>(v));
  Set16(reg + 2, static_cast<uint16_t>(v >> 16));
}

void PciConfigSpace::SetWriteMask(uint16_t reg, unsigned size, uint32_t mask) {
  for (unsigned i = 0; i < size && reg + i < kSize; ++i) {
    writeMask_[reg + i] = static_cast<uint8_t>(mask >> (8 * i));
  }
}

void PciConfigSpace::SetClearOnWriteMask(uint16_t reg, unsigned size, uint32_t mask) {
  for (unsigned i = 0; i < size && reg + i < kSize; ++i) {
    clearMask_[reg + i] = static_cast<uint8_t>(mask >> (8 * i));
  }
}

void PciConfigSpace::SetIds(uint16_t vendor, uint16_t device) {
  Set16(pci::kVendorId, vendor);
  Set16(pci::kDeviceId, device);
}

void PciConfigSpace::SetSubsystem(uint16_t vendor, uint16_t id) {
  Set16(pci::kSubsystemVendorId, vendor);
  Set16(pci::kSubsystemId, id);
}

void PciConfigSpace::SetClass(uint8_t baseClass, uint8_t subClass, uint8_t progIf) {
  Set8(pci::kClassCode, progIf);
  Set8(pci::kClassCode + 1, subClass);
  Set8(pci::kClassCode + 2, baseClass);
}

void PciConfigSpace::SetRevision(uint8_t revision) { Set8(pci::kRevision, revision); }

void PciConfigSpace::SetBar(unsigned index, BarKind kind, uint64_t size, uint64_t address) {
  const uint16_t reg = static_cast<uint16_t>(pci::kBar0 + 4 * index);
  const uint64_t sizeMask = ~(size - 1);
  switch (kind) {
  case BarKind::Io:
    SetWriteMask(reg, 4, static_cast<uint32_t>(sizeMask) & ~0x3u);
    Set32(reg, (static_cast<uint32_t>(address) & ~0x3u) | 0x1u);
    break;
  case BarKind::Mem32:
    SetWriteMask(reg, 4, static_cast<uint32_t>(sizeMask) & ~0xFu);
    Set32(reg, static_cast<uint32_t>(address) & ~0xFu);
    break;
  case BarKind::Mem64:
    SetWriteMask(reg, 4, static_cast<uint32_t>(sizeMask) & ~0xFu);
    SetWriteMask(reg + 4, 4, static_cast<uint32_t>(sizeMask >> 32));
    Set32(reg, (static_cast<uint32_t>(address) & ~0xFu) | 0x4u);
    Set32(reg + 4, static_cast<uint32_t>(address >> 32));
    break;
  }
}

uint64_t PciConfigSpace::BarAddress(unsigned index) const {
  const uint16_t reg = static_cast<uint16_t>(pci::kBar0 + 4 * index);
  const uint32_t low = Get32(reg);
  if (low & 0x1u) {
    return low & ~0x3u;
  }
  uint64_t address = low & ~0xFu;
  if ((low & 0x6u) == 0x4u) {
    address |= uint64_t{Get32(reg + 4)} << 32;
  }
  return address;
}

namespace {
PciHost::Location LocationOf(uint64_t offset) {
  return {static_cast<uint8_t>(offset >> 20), static_cast<uint8_t>((offset >> 15) & 0x1F),
          static_cast<uint8_t>((offset >> 12) & 0x7)};
}
const std::string kNoName;
} // namespace

void PciHost::Attach(uint8_t bus, uint8_t dev, uint8_t fn, PciFunction *function,
                     std::string name) {
  if (name.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "pci %02x:%02x.%x", bus, dev & 0x1F, fn & 0x7);
    name = buf;
  }
  const Location at{bus, static_cast<uint8_t>(dev & 0x1F), static_cast<uint8_t>(fn & 0x7)};
  functions_[at] = Slot{function, std::move(name)};
  SetPresent(at, true);
}

void PciHost::Detach(uint8_t bus, uint8_t dev, uint8_t fn) {
  const Location at{bus, static_cast<uint8_t>(dev & 0x1F), static_cast<uint8_t>(fn & 0x7)};
  functions_.erase(at);
  SetPresent(at, false);
}

void PciHost::Detach(PciFunction *function) {
  std::erase_if(functions_, [this, function](const auto &item) {
    if (item.second.function != function)
      return false;
    SetPresent(item.first, false);
    return true;
  });
}

void PciHost::SetPresent(Location at, bool present) {
  const unsigned index = Index(at);
  const uint64_t bit = uint64_t{1} << (index % 64);
  present_[index / 64] = present ? present_[index / 64] | bit : present_[index / 64] & ~bit;
}

PciFunction *PciHost::Find(uint8_t bus, uint8_t dev, uint8_t fn) const {
  auto it = functions_.find(
      Location{bus, static_cast<uint8_t>(dev & 0x1F), static_cast<uint8_t>(fn & 0x7)});
  return it == functions_.end() ? nullptr : it->second.function;
}

const PciHost::Slot *PciHost::Route(uint64_t offset) const {
  if (!Present(offset))
    return nullptr;
  auto it = functions_.find(LocationOf(offset));
  return it == functions_.end() ? nullptr : &it->second;
}

const std::string &PciHost::NameAt(uint64_t offset) const {
  const Slot *slot = Route(offset);
  return slot ? slot->name : kNoName;
}

uint64_t PciHost::ReadPresent(uint64_t offset, unsigned size) {
  const Slot *slot = Route(offset);
  if (slot == nullptr) {
    ++absentReads_;
    return Bus::OnesOf(size);
  }
  const uint16_t reg = static_cast<uint16_t>(offset & 0xFFF);
  if (size == 8) {
    return uint64_t{slot->function->ConfigRead(reg, 4)} |
           (uint64_t{slot->function->ConfigRead(static_cast<uint16_t>(reg + 4), 4)} << 32);
  }
  return slot->function->ConfigRead(reg, size);
}

void PciHost::Write(uint64_t offset, unsigned size, uint64_t value) {
  const Slot *slot = Route(offset);
  if (slot == nullptr) {
    ++absentWrites_;
    return;
  }
  const uint16_t reg = static_cast<uint16_t>(offset & 0xFFF);
  if (size == 8) {
    slot->function->ConfigWrite(reg, 4, static_cast<uint32_t>(value));
    slot->function->ConfigWrite(static_cast<uint16_t>(reg + 4), 4,
                                static_cast<uint32_t>(value >> 32));
    return;
  }
  slot->function->ConfigWrite(reg, size, static_cast<uint32_t>(value));
}

} // namespace sim
