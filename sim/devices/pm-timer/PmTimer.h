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
  uint32_t Counter() const {
    return stuck_ ? stuckValue_ : static_cast<uint32_t>(Ticks() & kCounterMask);
  }
  // Ticks since time zero, without the 24-bit wrap: floor(ns × f / 10^9).
  uint64_t Ticks() const {
    const uint64_t ns = clock_.NowNs();
    if (ns < kScaledBelowNs) [[likely]]
      return ScaledTicks(ns);
    return ExactTicks(ns);
  }

  // Below this time, ticks come from one multiplication by a fixed-point
  // reciprocal instead of a division (every delay loop reads the timer).
  // f / 10^9 reduces to 715909 / 200000000; kScale is that fraction scaled
  // by 2^72 and rounded up, so it overshoots the fraction by d / (b × 2^72)
  // with d = kScale × b − a × 2^72. ns × a / b has a fractional part of at
  // most (b − 1) / b, so the floor stays exact while ns × d < 2^72: for the
  // first 12 hours of virtual time, longer than any boot runs.
  static constexpr uint64_t kTickNumerator = 715909;      // f / gcd(f, 10^9)
  static constexpr uint64_t kTickDenominator = 200000000; // 10^9 / gcd(f, 10^9)
  static constexpr unsigned kScaleBits = 72;
  static constexpr uint64_t kScale = 0xEA96CCB5A5BEC0F1;
  static constexpr uint64_t kScaledBelowNs = 43680989788706;
  static uint64_t ScaledTicks(uint64_t ns) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(ns) * kScale) >> kScaleBits);
  }
  static uint64_t ExactTicks(uint64_t ns);

  // Fault hook: a stuck timer keeps returning the value it had when stuck.
  void SetStuck(bool stuck);
  uint64_t IgnoredWrites() const { return ignoredWrites_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  static constexpr unsigned __int128 kScaleExcess =
      static_cast<unsigned __int128>(kScale) * kTickDenominator -
      (static_cast<unsigned __int128>(kTickNumerator) << kScaleBits);
  static_assert(kTickNumerator * 1000000000 == kFrequencyHz * kTickDenominator);
  static_assert(kScaleExcess < kTickDenominator, "kScale is the fraction rounded up");
  static_assert(kScaledBelowNs * kScaleExcess < (static_cast<unsigned __int128>(1) << kScaleBits),
                "the scaled ticks are exact below kScaledBelowNs");

  Clock &clock_;
  Bus &bus_;
  bool stuck_ = false;
  uint32_t stuckValue_ = 0;
  uint64_t ignoredWrites_ = 0;
};

} // namespace sim
