// Address decoding and access accounting for port I/O, MMIO and MSRs.
#include "Bus.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "AccessCost.h"
#include "Pci.h"

namespace sim {

BusTarget::~BusTarget() = default;

namespace {
constexpr uint64_t kIoSpaceLimit = 0x10000;
constexpr uint64_t kMmioSpaceLimit = ~uint64_t{0};

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

void Bus::Insert(Space &space, uint64_t limit, Mapping mapping, const char *spaceName) {
  std::map<uint64_t, Mapping> &map = space.map;
  if (mapping.length == 0 || mapping.target == nullptr || mapping.base > limit ||
      mapping.length - 1 > limit - mapping.base) {
    throw BusConflict(std::string(spaceName) + " mapping '" + mapping.name + "' at " +
                      Hex(mapping.base) + " is empty or outside the address space");
  }
  const uint64_t last = mapping.base + (mapping.length - 1);
  auto next = map.lower_bound(mapping.base);
  if (next != map.end() && next->second.base <= last) {
    throw BusConflict(std::string(spaceName) + " mapping '" + mapping.name + "' at " +
                      Hex(mapping.base) + " overlaps '" + next->second.name + "' at " +
                      Hex(next->second.base));
  }
  if (next != map.begin()) {
    const Mapping &prev = std::prev(next)->second;
    if (prev.base + (prev.length - 1) >= mapping.base) {
      throw BusConflict(std::string(spaceName) + " mapping '" + mapping.name + "' at " +
                        Hex(mapping.base) + " overlaps '" + prev.name + "' at " + Hex(prev.base));
    }
  }
  map.emplace(mapping.base, std::move(mapping));
  Reindex(space);
}

const Bus::Mapping Bus::kNoMapping{0, 0, nullptr, {}};

void Bus::Reindex(Space &space) {
  space.ranges.clear();
  for (const auto &[base, mapping] : space.map) {
    space.ranges.push_back({base, &mapping});
  }
  space.lastHit = &kNoMapping;
}

void Bus::Retire(Space &space, const Mapping &mapping) {
  if (mapping.accesses != 0)
    space.retired[mapping.name] += mapping.accesses;
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
  for (Space *space : {&io_, &mmio_}) {
    const size_t erased = std::erase_if(space->map, [this, space, target](const auto &item) {
      if (item.second.target != target)
        return false;
      Retire(*space, item.second);
      return true;
    });
    if (erased != 0)
      Reindex(*space);
  }
}

void Bus::UnmapIo(uint16_t base) {
  auto it = io_.map.find(base);
  if (it == io_.map.end())
    return;
  Retire(io_, it->second);
  io_.map.erase(it);
  Reindex(io_);
}

void Bus::UnmapMmio(uint64_t base) {
  auto it = mmio_.map.find(base);
  if (it == mmio_.map.end())
    return;
  Retire(mmio_, it->second);
  mmio_.map.erase(it);
  Reindex(mmio_);
}

void Bus::SetQuiet(BusTarget *target, bool quiet) {
  for (Space *space : {&io_, &mmio_}) {
    for (auto &[base, mapping] : space->map) {
      if (mapping.target == target)
        mapping.quiet = quiet;
    }
  }
}

uint64_t Bus::Accesses() const {
  uint64_t total = msrAccesses_;
  for (const Space *space : {&io_, &mmio_}) {
    total += space->unclaimed;
    for (const auto &[name, n] : space->retired)
      total += n;
    for (const auto &[base, mapping] : space->map)
      total += mapping.accesses;
  }
  return total;
}

std::map<std::string, uint64_t> Bus::AccessesByDevice() const {
  std::map<std::string, uint64_t> counts;
  for (const auto &[prefix, space] : {std::pair<const char *, const Space *>{"io:", &io_},
                                      std::pair<const char *, const Space *>{"mmio:", &mmio_}}) {
    for (const auto &[name, n] : space->retired)
      counts[prefix + name] += n;
    for (const auto &[base, mapping] : space->map) {
      if (mapping.accesses != 0)
        counts[prefix + mapping.name] += mapping.accesses;
    }
    if (space->unclaimed != 0)
      counts[prefix] += space->unclaimed;
  }
  return counts;
}

const Bus::Mapping *Bus::Find(const Space &space, uint64_t address, unsigned size) {
  auto it = std::upper_bound(space.ranges.begin(), space.ranges.end(), address,
                             [](uint64_t a, const Space::Range &r) { return a < r.base; });
  if (it == space.ranges.begin())
    return nullptr;
  const Mapping &m = *std::prev(it)->mapping;
  const uint64_t offset = address - m.base;
  // An access must lie wholly inside one mapping to be claimed.
  if (offset >= m.length || size > m.length - offset)
    return nullptr;
  return &m;
}

const Bus::Mapping *Bus::FindIo(uint16_t port) const { return Find(io_, port, 1); }
const Bus::Mapping *Bus::FindMmio(uint64_t address) const { return Find(mmio_, address, 1); }

void Bus::TraceAccess(TraceEntry::Kind kind, uint64_t address, unsigned size, uint64_t value,
                      const Mapping *mapping) {
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

uint64_t Bus::ReadClaimed(TraceEntry::Kind kind, uint64_t address, unsigned size, const Mapping *m,
                          bool advanceClock) {
  if (advanceClock)
    clock_.AdvanceNs(m->costNs);
  const uint64_t value = m->target->Read(address - m->base, size) & OnesOf(size);
  if (!m->quiet && trace_.AdmitAccess())
    TraceAccess(kind, address, size, value, m);
  return value;
}

uint64_t Bus::ReadOther(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind,
                        uint64_t address, unsigned size) {
  const Mapping *m = Find(space, address, size);
  if (m != nullptr) {
    space.lastHit = m;
    return Read<true>(space, unclaimedNs, kind, address, size);
  }
  ++space.unclaimed;
  clock_.AdvanceNs(unclaimedNs);
  ++unclaimedReads_;
  const uint64_t value = OnesOf(size);
  if (trace_.AdmitAccess())
    TraceAccess(kind, address, size, value, nullptr);
  return value;
}

void Bus::WriteOther(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
                     unsigned size, uint64_t value) {
  const Mapping *m = Find(space, address, size);
  if (m != nullptr) {
    space.lastHit = m;
    Write(space, unclaimedNs, kind, address, size, value);
    return;
  }
  value &= OnesOf(size);
  ++space.unclaimed;
  clock_.AdvanceNs(unclaimedNs);
  if (trace_.AdmitAccess())
    TraceAccess(kind, address, size, value, nullptr);
  ++unclaimedWrites_;
}

void Bus::SetMsr(uint32_t index, uint64_t value) {
  msrs_[index] = [value] { return value; };
}

void Bus::SetMsrHandler(uint32_t index, std::function<uint64_t()> handler) {
  msrs_[index] = std::move(handler);
}

uint64_t Bus::ReadMsr(uint32_t index) {
  ++msrAccesses_;
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

} // namespace sim
