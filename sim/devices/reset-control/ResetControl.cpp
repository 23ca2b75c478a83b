// Reset control register model.
#include "ResetControl.h"

#include <cstdio>

namespace sim {

ResetControl::ResetControl(Machine &machine) : machine_(machine) {
  machine_.bus().MapIo(kPort, 1, this, "reset-control", AccessKind::PchRegister);
}

ResetControl::~ResetControl() { machine_.bus().Unmap(this); }

uint64_t ResetControl::Read(uint64_t offset, unsigned size) {
  (void)offset;
  (void)size;
  // The reset bit is self-clearing; the type bits read back.
  return value_ & (kSystemReset | kFullReset);
}

void ResetControl::Write(uint64_t offset, unsigned size, uint64_t value) {
  (void)offset;
  (void)size;
  const uint8_t v = static_cast<uint8_t>(value);
  value_ = v & kWritableBits;
  if ((v & kResetCpu) == 0) {
    return;
  }
  requests_.push_back(v);
  machine_.trace().Emit("reset-control", ev::ResetRequest{v});
  char detail[64];
  std::snprintf(detail, sizeof(detail), "0x%02X written to port 0xCF9", v);
  machine_.Stop(StopReason::Reset, detail, v);
}

} // namespace sim
