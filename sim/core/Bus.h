// Address decoding for port I/O, MMIO and MSRs. Device models register as
// bus targets over ranges; the bus charges each access its virtual-time cost
// (AccessCost.h), routes it, and records it in the trace with the claiming
// device's name. Unclaimed reads return all ones of the access size and
// unclaimed writes are dropped and counted, as on a board where nothing
// decodes the address. The PCI ECAM window is claimed by the bus's PciHost.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "AccessCost.h"
#include "Clock.h"
#include "Trace.h"

namespace sim {

class BusTarget {
public:
  // size in bytes: 1, 2, 4 or 8; offset relative to the mapping's base.
  virtual uint64_t Read(uint64_t offset, unsigned size) = 0;
  virtual void Write(uint64_t offset, unsigned size, uint64_t value) = 0;
  virtual ~BusTarget();
};

class PciHost;

// Thrown by Map* on a range that overlaps an existing mapping (a board
// configuration error, never a firmware behaviour).
class BusConflict : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class Bus {
public:
  Bus(Clock &clock, Trace &trace);
  ~Bus();
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  // `kind` says which path an access takes, and so what it costs.
  void MapIo(uint16_t base, uint32_t length, BusTarget *target, std::string name,
             AccessKind kind = AccessKind::LpcPort);
  void MapMmio(uint64_t base, uint64_t length, BusTarget *target, std::string name,
               AccessKind kind = AccessKind::Device);
  // Removes every I/O and MMIO range of the target.
  void Unmap(BusTarget *target);
  void UnmapIo(uint16_t base);
  void UnmapMmio(uint64_t base);
  // Accesses to a quiet target are served but not traced (the PM timer,
  // which delay loops read millions of times).
  void SetQuiet(BusTarget *target, bool quiet);

  uint64_t IoRead(uint16_t port, unsigned size) {
    return Read<true>(io_, kUnclaimedIoNs, TraceEntry::IoRead, port, size);
  }
  void IoWrite(uint16_t port, unsigned size, uint64_t value) {
    Write(io_, kUnclaimedIoNs, TraceEntry::IoWrite, port, size, value);
  }
  uint64_t MmioRead(uint64_t address, unsigned size) {
    return Read<true>(mmio_, kUnclaimedMmioNs, TraceEntry::MmioRead, address, size);
  }
  // The same reads for callers that keep only the low `size` bytes of the
  // result (the hardware functions of module code): the bytes above them
  // are left as the device returned them, which spares the hot path any
  // work after the device's read.
  uint64_t IoReadLow(uint16_t port, unsigned size) {
    return Read<false>(io_, kUnclaimedIoNs, TraceEntry::IoRead, port, size);
  }
  uint64_t MmioReadLow(uint64_t address, unsigned size) {
    return Read<false>(mmio_, kUnclaimedMmioNs, TraceEntry::MmioRead, address, size);
  }
  void MmioWrite(uint64_t address, unsigned size, uint64_t value) {
    Write(mmio_, kUnclaimedMmioNs, TraceEntry::MmioWrite, address, size, value);
  }

  // MSRs: a fixed value or a handler per index; reading an unknown MSR is a
  // fault on hardware, reported through the handler set with OnMsrFault.
  void SetMsr(uint32_t index, uint64_t value);
  void SetMsrHandler(uint32_t index, std::function<uint64_t()> handler);
  uint64_t ReadMsr(uint32_t index);
  void OnMsrFault(std::function<void(uint32_t index)> handler) { msrFault_ = std::move(handler); }

  void CpuPause() { clock_.AdvanceNs(cost::kCpuPauseNs); }

  PciHost &Pci() { return *pci_; }

  struct Mapping {
    uint64_t base;
    uint64_t length;
    BusTarget *target;
    std::string name;
    uint64_t costNs = 0;
    bool quiet = false;
    mutable uint64_t accesses = 0;
  };
  // Claims nothing: what a space has hit last before any access.
  static const Mapping kNoMapping;
  const Mapping *FindIo(uint16_t port) const;
  const Mapping *FindMmio(uint64_t address) const;

  // Port, MMIO and MSR accesses served so far, claimed or not (summed from
  // the per-mapping counts, so the hot path counts each access once).
  uint64_t Accesses() const;
  uint64_t UnclaimedReads() const { return unclaimedReads_; }
  uint64_t UnclaimedWrites() const { return unclaimedWrites_; }
  // Accesses per claiming device name ("io:pm-timer", "mmio:pci"), unmapped
  // devices included; unclaimed ones under "io:" and "mmio:". MSRs are not
  // counted here.
  std::map<std::string, uint64_t> AccessesByDevice() const;

  static uint64_t OnesOf(unsigned size) {
    return size >= 8 ? ~uint64_t{0} : (uint64_t{1} << (size * 8)) - 1;
  }

private:
  // One address space. The map owns the mappings (their addresses stay put
  // while others come and go); a sorted array of the ranges and the last
  // mapping hit make the per-access lookup cheap, since firmware polls one
  // register at a time.
  struct Space {
    struct Range {
      uint64_t base;
      const Mapping *mapping;
    };
    std::map<uint64_t, Mapping> map; // keyed by base
    std::vector<Range> ranges;
    const Mapping *lastHit = &kNoMapping; // never null: the fast paths test one range
    uint64_t unclaimed = 0;
    std::map<std::string, uint64_t> retired; // accesses of unmapped devices
  };
  // Nothing claims it: a port cycle goes out to LPC/eSPI (subtractive
  // decode), a memory read ends in a master abort after a full round trip.
  static constexpr uint64_t kUnclaimedIoNs = cost::Ns(AccessKind::LpcPort);
  static constexpr uint64_t kUnclaimedMmioNs = cost::Ns(AccessKind::Device);

  void Insert(Space &space, uint64_t limit, Mapping mapping, const char *spaceName);
  void Reindex(Space &space);
  void Retire(Space &space, const Mapping &mapping);
  static const Mapping *Find(const Space &space, uint64_t address, unsigned size);
  static bool Claims(const Mapping &m, uint64_t address, unsigned size) {
    const uint64_t offset = address - m.base; // wraps below the base: no claim
    return offset < m.length && size <= m.length - offset;
  }
  // One access in either address space: its cost, the claiming target (or
  // all ones / a dropped write) and the trace entry. A mapping hit last,
  // with no alarm due and no trace entry to make (quiet, or the trace
  // refuses it), is served inline and ends in the device's read; everything
  // else goes the slow way, in the same order (clock, device, trace).
  template <bool kMasked>
  uint64_t Read(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
                unsigned size) {
    const Mapping *m = space.lastHit;
    if (!Claims(*m, address, size)) [[unlikely]]
      return ReadOther(space, unclaimedNs, kind, address, size);
    ++m->accesses;
    if (!clock_.TryAdvanceNs(m->costNs)) [[unlikely]]
      return ReadClaimed(kind, address, size, m, true);
    // Asked before the device's read: a trace that is off or full stays so
    // while a device serves a read (it only adds entries), so a no holds;
    // after a yes, ReadClaimed asks again once the value is known.
    if (!m->quiet && trace_.AdmitAccess()) [[unlikely]]
      return ReadClaimed(kind, address, size, m, false);
    const uint64_t value = m->target->Read(address - m->base, size);
    return kMasked ? value & OnesOf(size) : value;
  }
  // The rest of a claimed and counted read: the clock's move when the fast
  // path left it to AdvanceNs (an alarm is due), the device, the trace.
  uint64_t ReadClaimed(TraceEntry::Kind kind, uint64_t address, unsigned size, const Mapping *m,
                       bool advanceClock);
  void Write(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
             unsigned size, uint64_t value) {
    const Mapping *m = space.lastHit;
    if (!Claims(*m, address, size)) [[unlikely]] {
      WriteOther(space, unclaimedNs, kind, address, size, value);
      return;
    }
    value &= OnesOf(size);
    ++m->accesses;
    clock_.AdvanceNs(m->costNs);
    // Traced before delivery: the write may end the run (reset control).
    if (!m->quiet && trace_.AdmitAccess())
      TraceAccess(kind, address, size, value, m);
    m->target->Write(address - m->base, size, value);
  }
  uint64_t ReadOther(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
                     unsigned size);
  void WriteOther(Space &space, uint64_t unclaimedNs, TraceEntry::Kind kind, uint64_t address,
                  unsigned size, uint64_t value);
  // Records an admitted access (the trace had room).
  void TraceAccess(TraceEntry::Kind kind, uint64_t address, unsigned size, uint64_t value,
                   const Mapping *mapping);

  Clock &clock_;
  Trace &trace_;
  Space io_;
  Space mmio_;
  std::unique_ptr<PciHost> pci_;
  std::map<uint32_t, std::function<uint64_t()>> msrs_;
  std::function<void(uint32_t)> msrFault_;
  uint64_t msrAccesses_ = 0;
  uint64_t unclaimedReads_ = 0;
  uint64_t unclaimedWrites_ = 0;
};

} // namespace sim
