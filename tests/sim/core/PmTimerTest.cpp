// PM timer model and a delay loop written the way firmware writes it: the
// loop must take the requested time in virtual time, across the 24-bit wrap.
#include <gtest/gtest.h>

#include <Hw.h>

#include <utility>

#include "AccessCost.h"
#include "Machine.h"
#include "PmTimer.h"

namespace {

using sim::PmTimer;

constexpr uint64_t kTickNs = 1000000000ull / PmTimer::kFrequencyHz + 1; // 280 ns, rounded up
constexpr UINT32 kChunkBits = 22;
constexpr UINT32 kSignBit = 1u << 23;

// The firmware delay: microseconds to timer ticks, one chunk of the ticks
// modulo 2^22 and then whole chunks of 2^22; each chunk spins until bit 23 of
// (start + chunk - now) is set.
UINTN ReferenceStall(UINTN Microseconds) {
  const UINT64 Ticks = (UINT64)Microseconds * 3579545 / 1000000;
  UINT64 Chunks = Ticks >> kChunkBits;
  UINT32 Chunk = (UINT32)(Ticks & ((1u << kChunkBits) - 1));
  for (;;) {
    const UINT32 Start = IoRead32(PmTimer::kPort);
    while (((Start + Chunk - IoRead32(PmTimer::kPort)) & kSignBit) == 0) {
      CpuPause();
    }
    if (Chunks == 0) {
      break;
    }
    Chunks--;
    Chunk = 1u << kChunkBits;
  }
  return Microseconds;
}

class PmTimerTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::MachineScope scope{machine};
  PmTimer timer{machine.clock(), machine.bus()};
};

TEST_F(PmTimerTest, CounterAdvancesAtTheTimerFrequency) {
  machine.clock().AdvanceNs(1000000000); // one second
  EXPECT_EQ(timer.Counter(), 3579545u);
  machine.clock().AdvanceNs(1000000); // one more millisecond: 3579.545 ticks
  EXPECT_EQ(timer.Counter(), 3579545u + 3579u);
}

// The tick count against the exact quotient, from time zero to past the
// point where ns × frequency no longer fits 64 bits (about 85 minutes).
TEST_F(PmTimerTest, TicksAreTheExactQuotientAtAnyTime) {
  const uint64_t times[] = {0,
                            1,
                            279,
                            280,
                            999999999,
                            1000000000,
                            1000000001,
                            5153960755ull,
                            5153960756ull * 1000,
                            86400ull * 1000000000,
                            1ull << 62,
                            ~uint64_t{0} - 1};
  for (uint64_t t : times) {
    machine.clock().AdvanceNs(t - machine.clock().NowNs());
    const unsigned __int128 exact =
        static_cast<unsigned __int128>(t) * PmTimer::kFrequencyHz / 1000000000u;
    EXPECT_EQ(timer.Ticks(), static_cast<uint64_t>(exact)) << t << " ns";
  }
}

// Below kScaledBelowNs the ticks come from a multiplication by a rounded-up
// reciprocal. It can only overshoot, and only where ns × f / 10^9 lies just
// below a whole number: the worst times are those where ns × a mod b is
// b − 1 (f / 10^9 = a / b in lowest terms). Every such time below the limit
// is checked, with every time of the first two milliseconds and those
// around the limit, where Ticks() hands over to the exact formula.
TEST_F(PmTimerTest, ScaledTicksEqualTheExactQuotientWhereverTheyAreUsed) {
  constexpr uint64_t a = PmTimer::kTickNumerator;
  constexpr uint64_t b = PmTimer::kTickDenominator;
  auto exact = [](uint64_t ns) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(ns) * PmTimer::kFrequencyHz /
                                 1000000000u);
  };
  // The modular inverse of a (a and b are coprime), by extended Euclid.
  int64_t r0 = static_cast<int64_t>(b), r1 = static_cast<int64_t>(a), t0 = 0, t1 = 1;
  while (r1 != 0) {
    const int64_t q = r0 / r1;
    r0 -= q * r1;
    std::swap(r0, r1);
    t0 -= q * t1;
    std::swap(t0, t1);
  }
  ASSERT_EQ(r0, 1);
  const uint64_t inverse = static_cast<uint64_t>((t0 % static_cast<int64_t>(b) + b) % b);
  const uint64_t worst = static_cast<uint64_t>(static_cast<unsigned __int128>(b - 1) * inverse %
                                               b); // ns × a ≡ b − 1 (mod b)
  uint64_t mismatches = 0, checked = 0;
  for (uint64_t ns = worst; ns < PmTimer::kScaledBelowNs; ns += b, ++checked) {
    mismatches += PmTimer::ScaledTicks(ns) != exact(ns);
    ASSERT_TRUE(static_cast<unsigned __int128>(ns) * a % b == b - 1) << ns;
  }
  EXPECT_GT(checked, 200000u);
  for (uint64_t ns = 0; ns < 2000000; ++ns)
    mismatches += PmTimer::ScaledTicks(ns) != exact(ns);
  for (uint64_t ns = PmTimer::kScaledBelowNs - 100000; ns < PmTimer::kScaledBelowNs; ++ns)
    mismatches += PmTimer::ScaledTicks(ns) != exact(ns);
  EXPECT_EQ(mismatches, 0u);
  for (uint64_t ns :
       {PmTimer::kScaledBelowNs - 1, PmTimer::kScaledBelowNs, PmTimer::kScaledBelowNs + 1}) {
    machine.clock().AdvanceNs(ns - machine.clock().NowNs());
    EXPECT_EQ(timer.Ticks(), exact(ns)) << ns;
  }
}

TEST_F(PmTimerTest, PortReadReturnsCounterIncludingTheReadsOwnCost) {
  machine.clock().AdvanceNs(1000000);
  const UINT32 value = IoRead32(PmTimer::kPort);
  EXPECT_EQ(value, timer.Counter());
  EXPECT_EQ(machine.clock().NowNs(), 1000000 + sim::cost::Ns(sim::AccessKind::PchRegister));
}

TEST_F(PmTimerTest, CounterWrapsAt24BitsAndUpperByteReadsZero) {
  // 2^24 ticks take 4.687 s; stop just short of the wrap.
  const uint64_t wrapNs = (uint64_t{1} << 24) * 1000000000ull / PmTimer::kFrequencyHz;
  machine.clock().AdvanceNs(wrapNs - 2000);
  const UINT32 before = IoRead32(PmTimer::kPort);
  EXPECT_GT(before, 0xFFF000u);
  EXPECT_EQ(before & 0xFF000000u, 0u);
  machine.clock().AdvanceNs(4000);
  const UINT32 after = IoRead32(PmTimer::kPort);
  EXPECT_LT(after, 0x1000u);
  EXPECT_EQ(timer.Ticks(), (uint64_t{1} << 24) + after);
}

TEST_F(PmTimerTest, NarrowReadsSelectCounterBytes) {
  machine.clock().AdvanceNs(3000000000ull);
  const uint32_t counter = timer.Counter();
  EXPECT_EQ(IoRead8(PmTimer::kPort + 2), static_cast<UINT8>(counter >> 16));
  EXPECT_EQ(IoRead8(PmTimer::kPort + 3), 0u);
}

TEST_F(PmTimerTest, WritesAreIgnoredAndCounted) {
  machine.clock().AdvanceNs(5000000);
  IoWrite32(PmTimer::kPort, 0);
  EXPECT_EQ(timer.IgnoredWrites(), 1u);
  EXPECT_EQ(timer.Counter(), timer.Ticks() & PmTimer::kCounterMask);
  EXPECT_GT(timer.Counter(), 17000u);
}

TEST_F(PmTimerTest, StuckTimerKeepsItsValue) {
  machine.clock().AdvanceNs(1000000);
  timer.SetStuck(true);
  const UINT32 stuck = IoRead32(PmTimer::kPort);
  machine.clock().AdvanceNs(50000000);
  EXPECT_EQ(IoRead32(PmTimer::kPort), stuck);
}

// A Stall of N us takes N us of virtual time to within one timer tick, plus
// the loop's own granularity: the first read and one more read-and-pause
// iteration past the deadline. The phase of the clock against the timer is
// varied so the tick boundary falls at different points of the loop.
struct StallCase {
  uint64_t microseconds;
  uint64_t phaseNs;
};

class StallDurationTest : public PmTimerTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StallDurationTest, TakesRequestedVirtualTime) {
  const StallCase c = GetParam();
  machine.clock().AdvanceNs(c.phaseNs);
  const uint64_t start = machine.clock().NowNs();
  EXPECT_EQ(ReferenceStall(c.microseconds), c.microseconds);
  const int64_t elapsed = static_cast<int64_t>(machine.clock().NowNs() - start);
  const uint64_t chunks = 1 + ((c.microseconds * 3579545 / 1000000) >> kChunkBits);
  const int64_t loopGranularity = static_cast<int64_t>(
      2 * sim::cost::Ns(sim::AccessKind::PchRegister) + sim::cost::kCpuPauseNs);
  const int64_t wanted = static_cast<int64_t>(c.microseconds * 1000);
  EXPECT_GE(elapsed, wanted - static_cast<int64_t>(kTickNs));
  EXPECT_LE(elapsed, wanted + static_cast<int64_t>(chunks * (kTickNs + loopGranularity)));
}

INSTANTIATE_TEST_SUITE_P(Durations, StallDurationTest,
                         ::testing::Values(StallCase{0, 0}, StallCase{1, 0}, StallCase{1, 150},
                                           StallCase{10, 90}, StallCase{20, 0}, StallCase{50, 200},
                                           StallCase{1000, 0}, StallCase{1000, 279},
                                           StallCase{100000, 33}, StallCase{1200000, 71}));

TEST_F(PmTimerTest, StallAcrossTheCounterWrapStillWaitsTheFullTime) {
  const uint64_t wrapNs = (uint64_t{1} << 24) * 1000000000ull / PmTimer::kFrequencyHz;
  machine.clock().AdvanceNs(wrapNs - 500000); // half a millisecond before the wrap
  const uint64_t start = machine.clock().NowNs();
  ReferenceStall(1000);
  const uint64_t elapsed = machine.clock().NowNs() - start;
  EXPECT_GE(elapsed, 1000000 - kTickNs);
  EXPECT_LE(elapsed, 1000000 + kTickNs + 2 * sim::cost::Ns(sim::AccessKind::PchRegister) +
                         sim::cost::kCpuPauseNs);
}

} // namespace
