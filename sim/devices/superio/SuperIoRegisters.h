// The Super I/O chip's configuration interface as the chip defines it: the
// index/data port pair, the mode keys, the global and per-logical-device
// register ranges and where each GPIO group's registers sit. The model keeps
// its own copy of this layout on purpose, so a wrong row in the firmware's
// table shows up as a pin that does not move.
#pragma once

#include <array>
#include <cstdint>

namespace sim::superio {

constexpr uint16_t kIndexPort = 0x2E;
constexpr uint16_t kDataPort = 0x2F;
constexpr uint32_t kPortCount = 2;

// Configuration mode opens after this key twice in a row on the index port and
// closes on the exit key; outside it the ports answer nothing.
constexpr uint8_t kEnterKey = 0x87;
constexpr unsigned kEnterKeyLength = 2;
constexpr uint8_t kExitKey = 0xAA;

// Registers below 0x30 are global (shared by every logical device); from 0x30
// on each logical device has its own.
constexpr uint8_t kLdnSelect = 0x07;
constexpr uint8_t kFirstDeviceRegister = 0x30;
constexpr unsigned kLogicalDeviceCount = 0x10; // LDN 0x00..0x0F exist

// In a GPIO logical device register 0x30 holds one enable bit per group.
constexpr uint8_t kGpioEnableRegister = 0x30;
// Output-type registers of every group live in this logical device; a set bit
// makes the pin open-drain, a clear bit push-pull.
constexpr uint8_t kOutputTypeLdn = 0x0F;

struct GpioGroupLayout {
  uint8_t outputTypeRegister; // in kOutputTypeLdn
  uint8_t ldn;                // logical device of the next three
  uint8_t enableMask;         // bit in that device's register 0x30
  uint8_t directionRegister;  // bit clear: output, bit set: input
  uint8_t dataRegister;       // output latch
};

constexpr unsigned kGpioGroupCount = 9;
constexpr unsigned kPinsPerGroup = 8;
constexpr std::array<GpioGroupLayout, kGpioGroupCount> kGpioGroups = {{
    {0xE9, 0x08, 0x02, 0xE0, 0xE1},
    {0xE0, 0x08, 0x80, 0xF0, 0xF1},
    {0xE1, 0x09, 0x01, 0xE0, 0xE1},
    {0xE2, 0x09, 0x02, 0xE4, 0xE5},
    {0xE3, 0x09, 0x04, 0xF0, 0xF1},
    {0xE4, 0x09, 0x08, 0xF4, 0xF5},
    {0xE5, 0x07, 0x01, 0xF4, 0xF5},
    {0xE6, 0x07, 0x02, 0xE0, 0xE1},
    {0xE7, 0x07, 0x04, 0xE4, 0xE5},
}};

// Pins are named by a decimal code: tens digit group, units digit bit.
constexpr uint8_t PinCode(unsigned group, unsigned bit) {
  return static_cast<uint8_t>(group * 10 + bit);
}
constexpr bool IsPinCode(unsigned code) { return code / 10 < kGpioGroupCount && code % 10 < 8; }

// Power-on values of the GPIO registers: every pin an open-drain input with
// its latch high, no group enabled.
constexpr uint8_t kResetDirection = 0xFF;
constexpr uint8_t kResetData = 0xFF;
constexpr uint8_t kResetOutputType = 0xFF;
constexpr uint8_t kResetEnable = 0x00;

} // namespace sim::superio
