// Address decoding and access accounting for port I/O, MMIO and MSRs.
#include "Bus.h"

#include <cstdio>

#include "AccessCost.h"
#include "Pci.h"

namespace sim {

BusTarget::~BusTarget() = default;

namespace {
constexpr uint64_t kIoSpaceLimit = 0x10000;
constexpr uint64_t kMmioSpaceLimit = ~uint64_t{0};
// Nothing claims it: a port cycle goes out to LPC/eSPI (subtractive decode),
// a memory read ends in a master abort after a full round trip.
constexpr uint64_t kUnclaimedIoNs = cost::Ns(AccessKind::LpcPort);
constexpr uint64_t kUnclaimedMmioNs = cost::Ns(AccessKind::Device);

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}
} // namespace

Bus::Bus(Clock &clock, Trace &trace)
    : clock_(clock), trace_(trace), pci_(std::make_unique<PciHost>()) {
  MapMmio(kEcamBase, kEcamSize, pci_.get(), "pci", AccessKind::PciConfig);
}

Bus::~Bus() = default;

void Bus::Insert(RangeMap &map, uint64_t limit, Mapping mapping, const char *space) {
  if (mapping.length == 0 || mapping.target == nullptr || mapping.base > limit ||
      mapping.length - 1 > limit - mapping.base) {
    throw BusConflict(std::string(space) + " mapping '" + mapping.name + "' at " +
                      Hex(mapping.base) + " is empty or outside the address space");
  }
  const uint64_t last = mapping.base + (mapping.length - 1);
  auto next = map.lower_bound(mapping.base);
  if (next != map.end() && next->second.base <= last) {
    throw BusConflict(std::string(space) + " mapping '" + mapping.name + "' at " +
                      Hex(mapping.base) + " overlaps '" + next->second.name + "' at " +
                      Hex(next->second.base));
  }
  if (next != map.begin()) {
    const Mapping &prev = std::prev(next)->second;
    if (prev.base + (prev.length - 1) >= mapping.base) {
      throw BusConflict(std::string(space) + " mapping '" + mapping.name + "' at " +
                        Hex(mapping.base) + " overlaps '" + prev.name + "' at " + Hex(prev.base));
    }
  }
  map.emplace(mapping.base, std::move(mapping));
}

void Bus::MapIo(uint16_t base, uint32_t length, BusTarget *target, std::string name,
                AccessKind kind) {
  Insert(io_, kIoSpaceLimit - 1, Mapping{base, length, target, std::move(name), cost::Ns(kind)},
         "I/O");
}

void Bus::MapMmio(uint64_t base, uint64_t length, BusTarget *target, std::string name,
                  AccessKind kind) {
  Insert(mmio_, kMmioSpaceLimit, Mapping{base, length, target, std::move(name), cost::Ns(kind)},
         "MMIO");
}

void Bus::Unmap(BusTarget *target) {
  for (RangeMap *map : {&io_, &mmio_}) {
    std::erase_if(*map, [target](const auto &item) { return item.second.target == target; });
  }
}

void Bus::UnmapIo(uint16_t base) { io_.erase(base); }
void Bus::UnmapMmio(uint64_t base) { mmio_.erase(base); }

void Bus::SetQuiet(BusTarget *target, bool quiet) {
  for (RangeMap *map : {&io_, &mmio_}) {
    for (auto &[base, mapping] : *map) {
      if (mapping.target == target)
        mapping.quiet = quiet;
    }
  }
}

const Bus::Mapping *Bus::Lookup(const RangeMap &map, uint64_t address, unsigned size) {
  auto it = map.upper_bound(address);
  if (it == map.begin())
    return nullptr;
  const Mapping &m = std::prev(it)->second;
  const uint64_t offset = address - m.base;
  // An access must lie wholly inside one mapping to be claimed.
  if (offset >= m.length || size > m.length - offset)
    return nullptr;
  return &m;
}

const Bus::Mapping *Bus::FindIo(uint16_t port) const { return Lookup(io_, port, 1); }
const Bus::Mapping *Bus::FindMmio(uint64_t address) const { return Lookup(mmio_, address, 1); }

void Bus::TraceAccess(TraceEntry::Kind kind, uint64_t address, unsigned size, uint64_t value,
                      const Mapping *mapping) {
  if (!trace_.Enabled() || (mapping != nullptr && mapping->quiet))
    return;
  std::string_view device;
  if (mapping != nullptr) {
    device = mapping->name;
    if (mapping->target == pci_.get()) {
      const std::string &fn = pci_->NameAt(address - mapping->base);
      if (!fn.empty())
        device = fn;
    }
  }
  trace_.Record(clock_.NowNs(), kind, address, size, value, device);
}

uint64_t Bus::Read(const RangeMap &map, uint64_t unclaimedNs, TraceEntry::Kind kind,
                   uint64_t address, unsigned size) {
  const Mapping *m = Lookup(map, address, size);
  ++accesses_;
  clock_.AdvanceNs(m != nullptr ? m->costNs : unclaimedNs);
  uint64_t value;
  if (m == nullptr) {
    ++unclaimedReads_;
    value = OnesOf(size);
  } else {
    value = m->target->Read(address - m->base, size) & OnesOf(size);
  }
  TraceAccess(kind, address, size, value, m);
  return value;
}

void Bus::Write(const RangeMap &map, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
                unsigned size, uint64_t value) {
  value &= OnesOf(size);
  const Mapping *m = Lookup(map, address, size);
  ++accesses_;
  clock_.AdvanceNs(m != nullptr ? m->costNs : unclaimedNs);
  // Traced before delivery: the write may end the run (reset control).
  TraceAccess(kind, address, size, value, m);
  if (m == nullptr) {
    ++unclaimedWrites_;
    return;
  }
  m->target->Write(address - m->base, size, value);
}

uint64_t Bus::IoRead(uint16_t port, unsigned size) {
  return Read(io_, kUnclaimedIoNs, TraceEntry::IoRead, port, size);
}

void Bus::IoWrite(uint16_t port, unsigned size, uint64_t value) {
  Write(io_, kUnclaimedIoNs, TraceEntry::IoWrite, port, size, value);
}

uint64_t Bus::MmioRead(uint64_t address, unsigned size) {
  return Read(mmio_, kUnclaimedMmioNs, TraceEntry::MmioRead, address, size);
}

void Bus::MmioWrite(uint64_t address, unsigned size, uint64_t value) {
  Write(mmio_, kUnclaimedMmioNs, TraceEntry::MmioWrite, address, size, value);
}

void Bus::SetMsr(uint32_t index, uint64_t value) {
  msrs_[index] = [value] { return value; };
}

void Bus::SetMsrHandler(uint32_t index, std::function<uint64_t()> handler) {
  msrs_[index] = std::move(handler);
}

uint64_t Bus::ReadMsr(uint32_t index) {
  ++accesses_;
  clock_.AdvanceNs(cost::kMsrNs);
  auto it = msrs_.find(index);
  if (it == msrs_.end()) {
    if (trace_.Enabled())
      trace_.Record(clock_.NowNs(), TraceEntry::Msr, index, 8, 0, {});
    if (msrFault_)
      msrFault_(index);
    return 0;
  }
  const uint64_t value = it->second();
  if (trace_.Enabled())
    trace_.Record(clock_.NowNs(), TraceEntry::Msr, index, 8, value, "cpu");
  return value;
}

void Bus::CpuPause() { clock_.AdvanceNs(cost::kCpuPauseNs); }

} // namespace sim
