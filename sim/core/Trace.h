// A record of what the firmware did to the hardware: bus accesses attributed
// to the device that claimed them, and typed events that device models and
// services emit (TraceEvents.h). Tests query it for the presence and order of
// accesses and events where the order is the behaviour; observers see each
// event as it happens, whether or not the trace keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"
#include "TraceEvents.h"

namespace sim {

struct TraceEntry {
  enum Kind { IoRead, IoWrite, MmioRead, MmioWrite, Msr, Event };

  uint64_t timeNs = 0;
  Kind kind = Event;
  uint64_t address = 0;
  unsigned size = 0;
  uint64_t value = 0;
  std::string device; // "" when nothing claimed the access
  TraceEvent event;   // std::monostate for an access

  // The event as its type, or nullptr when the entry holds another.
  template <class T> const T *As() const { return std::get_if<T>(&event); }
  const char *EventName() const { return TraceEventName(event); }
  std::string Detail() const { return FormatTraceEvent(event); }
};

const char *TraceKindName(TraceEntry::Kind kind);
// One line, for failure messages and the command-line tool.
std::string FormatTraceEntry(const TraceEntry &entry);

template <class T> struct TypedTraceMatch;

// One step of a sequence query; unset fields match anything.
struct TraceMatch {
  std::optional<TraceEntry::Kind> kind;
  std::optional<std::string> device;
  std::optional<uint64_t> address;
  std::optional<unsigned> size;
  std::optional<uint64_t> value;
  uint64_t valueMask = ~uint64_t{0};
  std::optional<std::string> event; // by name
  std::optional<size_t> eventType;  // by type: index into TraceEvent
  std::function<bool(const TraceEntry &)> where;
  std::string whereText; // for Describe()

  bool Matches(const TraceEntry &entry) const;
  std::string Describe() const;

  static TraceMatch Ev(std::string device, std::string name);
  // An event of type T; refine with Where() on its fields and Dev().
  template <class T> static TypedTraceMatch<T> Of();
  // An event equal to `event`, field by field.
  template <class E> static TraceMatch Is(const E &event) {
    TraceMatch m;
    m.kind = TraceEntry::Event;
    m.eventType = TraceEventIndex<E>::value;
    m.where = [event](const TraceEntry &entry) {
      const E *seen = entry.As<E>();
      return seen != nullptr && *seen == event;
    };
    m.whereText = std::string(E::kName) + " (" + FormatTraceEvent(event) + ")";
    return m;
  }
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
  // Only events of type T whose fields satisfy `predicate`; `text` names
  // the condition in failure messages.
  template <class T, class Predicate>
  TraceMatch &Where(Predicate predicate, std::string text = "condition") {
    where = [predicate = std::move(predicate)](const TraceEntry &entry) {
      const T *event = entry.As<T>();
      return event != nullptr && predicate(*event);
    };
    whereText = std::move(text);
    return *this;
  }
};

template <class T> struct TypedTraceMatch : TraceMatch {
  // Only events whose fields satisfy `predicate` (called with a const T&);
  // `text` names the condition in failure messages.
  template <class Predicate>
  TypedTraceMatch &Where(Predicate predicate, std::string text = "a condition") {
    TraceMatch::Where<T>(std::move(predicate), std::string(T::kName) + " with " + text);
    return *this;
  }
  TypedTraceMatch &Dev(std::string name) {
    device = std::move(name);
    return *this;
  }
};

template <class T> TypedTraceMatch<T> TraceMatch::Of() {
  TypedTraceMatch<T> m;
  m.kind = TraceEntry::Event;
  m.eventType = TraceEventIndex<T>::value;
  m.whereText = T::kName;
  return m;
}

// Receives every event as it is emitted (the trace need not keep it).
class TraceObserver {
public:
  virtual ~TraceObserver() = default;
  virtual void OnEvent(const TraceEntry &entry) = 0;
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
              uint64_t value, std::string_view device);
  // Whether an event emitted now goes anywhere. Emitters whose event needs
  // text built (a name, a fault message) ask first; the others just Emit.
  bool Listening() const { return enabled_ || !observers_.empty(); }
  template <class E> void Emit(std::string_view device, E &&event) {
    if (Listening()) {
      Deliver(device, TraceEvent(std::forward<E>(event)));
    }
  }
  // Observers see events only, in emission order; they must outlive their
  // registration.
  void AddObserver(TraceObserver *observer);
  void RemoveObserver(TraceObserver *observer);
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
  void Deliver(std::string_view device, TraceEvent &&event);

  bool enabled_ = true;
  const Clock *clock_ = nullptr;
  size_t limit_ = 2000000;
  uint64_t dropped_ = 0;
  std::vector<TraceEntry> entries_;
  std::vector<TraceObserver *> observers_;
};

} // namespace sim
