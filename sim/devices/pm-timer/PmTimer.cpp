// PM timer register: read-only, the counter in bits 23:0, bits 31:24 zero.
#include "PmTimer.h"

namespace sim {

PmTimer::PmTimer(Clock &clock, Bus &bus, bool traced) : clock_(clock), bus_(bus) {
  bus_.MapIo(kPort, kLength, this, "pm-timer", AccessKind::PchRegister);
  bus_.SetQuiet(this, !traced);
}

PmTimer::~PmTimer() { bus_.Unmap(this); }

uint64_t PmTimer::ExactTicks(uint64_t ns) {
  // Taken apart at whole seconds so that no product passes 2^64 (ns × f
  // alone would after about 85 minutes).
  const uint64_t seconds = ns / 1000000000u;
  const uint64_t rest = ns % 1000000000u;
  return seconds * kFrequencyHz + rest * kFrequencyHz / 1000000000u;
}

void PmTimer::SetStuck(bool stuck) {
  stuckValue_ = Counter();
  stuck_ = stuck;
}

uint64_t PmTimer::Read(uint64_t offset, unsigned size) {
  (void)size;
  return uint64_t{Counter()} >> (8 * offset);
}

void PmTimer::Write(uint64_t offset, unsigned size, uint64_t value) {
  (void)offset;
  (void)size;
  (void)value;
  ++ignoredWrites_;
}

} // namespace sim
