// ACPI power-management timer: a free-running 24-bit counter at 3.579545 MHz
// read through I/O port 0x1808, derived from the machine's virtual clock so
// that delay loops polling it advance in step with virtual time.
#pragma once

#include <cstdint>

#include "Bus.h"
#include "Clock.h"

namespace sim {

class PmTimer final : public BusTarget {
public:
  static constexpr uint16_t kPort = 0x1808;
  static constexpr uint32_t kLength = 4;
  static constexpr uint64_t kFrequencyHz = 3579545;
  static constexpr uint32_t kCounterMask = 0xFFFFFF;

  // Maps itself at kPort on `bus`, quiet in the trace unless asked otherwise.
  PmTimer(Clock &clock, Bus &bus, bool traced = false);
  ~PmTimer() override;

  // The counter value at the clock's current time.
  uint32_t Counter() const;
  // Ticks since time zero, without the 24-bit wrap.
  uint64_t Ticks() const;

  // Fault hook: a stuck timer keeps returning the value it had when stuck.
  void SetStuck(bool stuck);
  uint64_t IgnoredWrites() const { return ignoredWrites_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  Clock &clock_;
  Bus &bus_;
  bool stuck_ = false;
  uint32_t stuckValue_ = 0;
  uint64_t ignoredWrites_ = 0;
};

} // namespace sim
