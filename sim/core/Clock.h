// The board's one virtual clock. Nothing in the simulator reads host time:
// device accesses and pause hints advance this clock (see AccessCost.h) and
// every timer model derives its counters from it. One alarm lets the machine
// hang a watchdog on virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

namespace sim {

class Clock {
public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  uint64_t NowNs() const { return nowNs_; }
  uint64_t NowUs() const { return nowNs_ / 1000; }

  // Moves time forward; when it reaches the alarm, the alarm is disarmed
  // first and then its handler runs (it may never return: a watchdog stop).
  // Time saturates instead of wrapping, so an absurd delay from firmware
  // still meets the alarm and time never runs backwards.
  void AdvanceNs(uint64_t ns) {
    if (!TryAdvanceNs(ns)) [[unlikely]]
      AdvanceToAlarm(ns);
  }
  // The same move when it neither saturates nor reaches the alarm (and then
  // true); otherwise the clock is left alone for AdvanceNs to do it.
  bool TryAdvanceNs(uint64_t ns) {
    uint64_t next;
    if (__builtin_add_overflow(nowNs_, ns, &next) || next >= alarmNs_)
      return false;
    nowNs_ = next;
    return true;
  }
  void AdvanceUs(uint64_t us) { AdvanceNs(us * 1000); }

  void SetAlarm(uint64_t atNs, std::function<void()> handler) {
    alarmHandler_ = std::move(handler);
    alarmNs_ = atNs;
  }
  void CancelAlarm() { alarmNs_ = kNever; }
  uint64_t AlarmNs() const { return alarmNs_; }

private:
  [[gnu::noinline]] void AdvanceToAlarm(uint64_t ns) {
    nowNs_ = ns > kNever - nowNs_ ? kNever : nowNs_ + ns;
    if (nowNs_ >= alarmNs_) {
      FireAlarm();
    }
  }
  void FireAlarm() {
    alarmNs_ = kNever;
    if (alarmHandler_) {
      alarmHandler_();
    }
  }

  uint64_t nowNs_ = 0;
  uint64_t alarmNs_ = kNever;
  std::function<void()> alarmHandler_;
};

} // namespace sim
