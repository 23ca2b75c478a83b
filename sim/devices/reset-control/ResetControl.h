// Reset control register at I/O port 0xCF9. Writing a value with the reset
// bit (bit 2) set asks the chipset to reset the board: the model records the
// value, emits "reset.request" and stops the machine's run with Reset, so
// nothing the firmware does after the write runs.
#pragma once

#include <cstdint>
#include <vector>

#include "Machine.h"

namespace sim {

class ResetControl final : public BusTarget {
public:
  static constexpr uint16_t kPort = 0xCF9;
  static constexpr uint8_t kSystemReset = 0x02; // reset the whole system, not just the CPU
  static constexpr uint8_t kResetCpu = 0x04;    // the bit that starts the reset
  static constexpr uint8_t kFullReset = 0x08;   // power-cycle style reset
  static constexpr uint8_t kWritableBits = kSystemReset | kResetCpu | kFullReset;

  explicit ResetControl(Machine &machine);
  ~ResetControl() override;

  uint8_t Value() const { return value_; }
  // Every value written with the reset bit set, oldest first.
  const std::vector<uint8_t> &Requests() const { return requests_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  Machine &machine_;
  uint8_t value_ = 0;
  std::vector<uint8_t> requests_;
};

} // namespace sim
