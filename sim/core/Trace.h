// A record of what the firmware did to the hardware: bus accesses attributed
// to the device that claimed them, and named events that device models emit
// ("reset.request", "ec.cmd"). Tests query it for the presence and order of
// accesses where the order is the behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"

namespace sim {

struct TraceEntry {
  enum Kind { IoRead, IoWrite, MmioRead, MmioWrite, Msr, Event };

  uint64_t timeNs = 0;
  Kind kind = Event;
  uint64_t address = 0;
  unsigned size = 0;
  uint64_t value = 0;
  std::string device; // "" when nothing claimed the access
  std::string event;
  std::string detail;
};

const char *TraceKindName(TraceEntry::Kind kind);
// One line, for failure messages and the command-line tool.
std::string FormatTraceEntry(const TraceEntry &entry);

// One step of a sequence query; unset fields match anything.
struct TraceMatch {
  std::optional<TraceEntry::Kind> kind;
  std::optional<std::string> device;
  std::optional<uint64_t> address;
  std::optional<unsigned> size;
  std::optional<uint64_t> value;
  uint64_t valueMask = ~uint64_t{0};
  std::optional<std::string> event;
  std::optional<std::string> detail;

  bool Matches(const TraceEntry &entry) const;
  std::string Describe() const;

  static TraceMatch Ev(std::string device, std::string name);
  static TraceMatch IoWr(uint16_t port, std::optional<uint64_t> value = std::nullopt);
  static TraceMatch IoRd(uint16_t port);
  static TraceMatch MmioWr(uint64_t address, std::optional<uint64_t> value = std::nullopt);
  static TraceMatch MmioRd(uint64_t address);
  // Chainable refinements.
  TraceMatch &Dev(std::string name) {
    device = std::move(name);
    return *this;
  }
  TraceMatch &Val(uint64_t v, uint64_t mask = ~uint64_t{0}) {
    value = v;
    valueMask = mask;
    return *this;
  }
  TraceMatch &Size(unsigned s) {
    size = s;
    return *this;
  }
  TraceMatch &Detail(std::string d) {
    detail = std::move(d);
    return *this;
  }
};

// Outcome of a sequence query; converts to bool, explains itself on failure.
struct SequenceResult {
  bool found = false;
  size_t matchedSteps = 0;
  std::vector<size_t> positions; // indices into Entries() of each matched step
  std::string explanation;
  explicit operator bool() const { return found; }
};

class Trace {
public:
  void Enable(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }

  void Record(uint64_t timeNs, TraceEntry::Kind kind, uint64_t address, unsigned size,
              uint64_t value, std::string_view device, std::string_view detail = {});
  void Event(std::string device, std::string name, std::string detail = {});
  // Events need a time stamp; the machine ties the trace to its clock.
  void SetTimeSource(const Clock *clock) { clock_ = clock; }
  // Recording stops past this many entries (a runaway poll would otherwise
  // eat the host's memory); Dropped() tells how many were lost.
  void SetLimit(size_t entries) { limit_ = entries; }
  uint64_t Dropped() const { return dropped_; }
  // Whether an access entry recorded now would be kept; one that would not
  // is counted as dropped here, so callers can skip building it.
  bool AdmitAccess() {
    if (!enabled_)
      return false;
    if (entries_.size() >= limit_) {
      ++dropped_;
      return false;
    }
    return true;
  }

  const std::vector<TraceEntry> &Entries() const { return entries_; }
  void Clear() {
    entries_.clear();
    dropped_ = 0;
  }

  std::vector<TraceEntry> Filter(std::string_view device) const;
  std::vector<TraceEntry> Events(std::string_view name) const;
  size_t Count(const TraceMatch &match) const;
  // True when the steps occur in this order (other entries may lie between).
  SequenceResult FindSequence(const std::vector<TraceMatch> &steps, size_t from = 0) const;
  std::string Dump(std::string_view device = {}) const;

private:
  // The slot for a new entry, or nullptr when recording is off or full.
  TraceEntry *Append();

  bool enabled_ = true;
  const Clock *clock_ = nullptr;
  size_t limit_ = 2000000;
  uint64_t dropped_ = 0;
  std::vector<TraceEntry> entries_;
};

} // namespace sim
