// Trace recording, observers, filtering and the ordered-sequence query.
#include "Trace.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const char *TraceKindName(TraceEntry::Kind kind) {
  switch (kind) {
  case TraceEntry::IoRead:
    return "io-read";
  case TraceEntry::IoWrite:
    return "io-write";
  case TraceEntry::MmioRead:
    return "mmio-read";
  case TraceEntry::MmioWrite:
    return "mmio-write";
  case TraceEntry::Msr:
    return "msr";
  case TraceEntry::Event:
    return "event";
  }
  return "?";
}

std::string FormatTraceEntry(const TraceEntry &e) {
  char head[160];
  std::snprintf(head, sizeof(head), "%12.3f us  %-10s ", static_cast<double>(e.timeNs) / 1000.0,
                TraceKindName(e.kind));
  std::string line = head;
  line += e.device.empty() ? std::string("(unclaimed)") : e.device;
  char body[96];
  if (e.kind == TraceEntry::Event) {
    line += " ";
    line += e.EventName();
  } else {
    std::snprintf(body, sizeof(body), " @0x%llx/%u = 0x%llx",
                  static_cast<unsigned long long>(e.address), e.size,
                  static_cast<unsigned long long>(e.value));
    line += body;
  }
  const std::string detail = e.Detail();
  if (!detail.empty()) {
    line += " (" + detail + ")";
  }
  return line;
}

bool TraceMatch::Matches(const TraceEntry &e) const {
  if (kind && *kind != e.kind)
    return false;
  if (device && *device != e.device)
    return false;
  if (address && *address != e.address)
    return false;
  if (size && *size != e.size)
    return false;
  if (value && ((*value ^ e.value) & valueMask) != 0)
    return false;
  if (eventType && *eventType != e.event.index())
    return false;
  if (event && *event != e.EventName())
    return false;
  if (where && !where(e))
    return false;
  return true;
}

std::string TraceMatch::Describe() const {
  std::string text = kind ? TraceKindName(*kind) : "any";
  char buf[64];
  if (device)
    text += " device=" + *device;
  if (event)
    text += " event=" + *event;
  if (address) {
    std::snprintf(buf, sizeof(buf), " address=0x%llx", static_cast<unsigned long long>(*address));
    text += buf;
  }
  if (size)
    text += " size=" + std::to_string(*size);
  if (value) {
    std::snprintf(buf, sizeof(buf), " value=0x%llx mask=0x%llx",
                  static_cast<unsigned long long>(*value),
                  static_cast<unsigned long long>(valueMask));
    text += buf;
  }
  if (eventType)
    text += " " + whereText;
  return text;
}

TraceMatch TraceMatch::Ev(std::string device, std::string name) {
  TraceMatch m;
  m.kind = TraceEntry::Event;
  m.device = std::move(device);
  m.event = std::move(name);
  return m;
}

static TraceMatch Access(TraceEntry::Kind kind, uint64_t address, std::optional<uint64_t> value) {
  TraceMatch m;
  m.kind = kind;
  m.address = address;
  m.value = value;
  return m;
}

TraceMatch TraceMatch::IoWr(uint16_t port, std::optional<uint64_t> value) {
  return Access(TraceEntry::IoWrite, port, value);
}
TraceMatch TraceMatch::IoRd(uint16_t port) { return Access(TraceEntry::IoRead, port, {}); }
TraceMatch TraceMatch::MmioWr(uint64_t address, std::optional<uint64_t> value) {
  return Access(TraceEntry::MmioWrite, address, value);
}
TraceMatch TraceMatch::MmioRd(uint64_t address) {
  return Access(TraceEntry::MmioRead, address, {});
}

TraceEntry *Trace::Append() {
  if (!enabled_)
    return nullptr;
  if (entries_.size() >= limit_) {
    ++dropped_;
    return nullptr;
  }
  return &entries_.emplace_back();
}

void Trace::Record(uint64_t timeNs, TraceEntry::Kind kind, uint64_t address, unsigned size,
                   uint64_t value, std::string_view device) {
  TraceEntry *entry = Append();
  if (entry == nullptr)
    return;
  TraceEntry &e = *entry;
  e.timeNs = timeNs;
  e.kind = kind;
  e.address = address;
  e.size = size;
  e.value = value;
  e.device.assign(device);
}

void Trace::Deliver(std::string_view device, TraceEvent &&event) {
  TraceEntry entry;
  entry.timeNs = clock_ ? clock_->NowNs() : 0;
  entry.kind = TraceEntry::Event;
  entry.device.assign(device);
  entry.event = std::move(event);
  // By index: an observer added from inside OnEvent sees the next event.
  for (size_t i = 0; i < observers_.size(); ++i) {
    observers_[i]->OnEvent(entry);
  }
  // The limit holds accesses only: events are few, and a poll that filled
  // the trace must not hide what the steps after it did.
  if (enabled_) {
    entries_.push_back(std::move(entry));
  }
}

void Trace::AddObserver(TraceObserver *observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void Trace::RemoveObserver(TraceObserver *observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

std::vector<TraceEntry> Trace::Filter(std::string_view device) const {
  std::vector<TraceEntry> out;
  for (const auto &e : entries_) {
    if (e.device == device)
      out.push_back(e);
  }
  return out;
}

std::vector<TraceEntry> Trace::Events(std::string_view name) const {
  std::vector<TraceEntry> out;
  for (const auto &e : entries_) {
    if (e.kind == TraceEntry::Event && name == e.EventName())
      out.push_back(e);
  }
  return out;
}

size_t Trace::Count(const TraceMatch &match) const {
  size_t n = 0;
  for (const auto &e : entries_) {
    if (match.Matches(e))
      ++n;
  }
  return n;
}

SequenceResult Trace::FindSequence(const std::vector<TraceMatch> &steps, size_t from) const {
  SequenceResult result;
  size_t step = 0;
  for (size_t i = from; i < entries_.size() && step < steps.size(); ++i) {
    if (steps[step].Matches(entries_[i])) {
      result.positions.push_back(i);
      ++step;
    }
  }
  result.matchedSteps = step;
  result.found = step == steps.size();
  if (!result.found) {
    result.explanation = "step " + std::to_string(step) + " (" + steps[step].Describe() +
                         ") not found after " +
                         (step == 0 ? std::string("the start")
                                    : "entry " + std::to_string(result.positions.back()) + ": " +
                                          FormatTraceEntry(entries_[result.positions.back()]));
    if (dropped_ != 0) {
      result.explanation += "; " + std::to_string(dropped_) + " entries were dropped";
    }
  }
  return result;
}

std::string Trace::Dump(std::string_view device) const {
  std::string out;
  for (const auto &e : entries_) {
    if (device.empty() || e.device == device) {
      out += FormatTraceEntry(e);
      out += '\n';
    }
  }
  return out;
}

} // namespace sim
