// Where the PCH's GPIO groups keep their registers, per series, as the
// hardware lays them out: the community (sideband port) of each group and
// the offsets of its registers inside that port. The GPIO model builds its
// register decoding from these rows; a firmware table that disagrees with
// them misses the registers it means to reach.
#pragma once

#include <cstdint>
#include <span>

#include "Chipset.h"

namespace sim {

struct GpioGroupLayout {
  static constexpr uint16_t kNone = 0xFFFF; // the group has no such register

  uint8_t port;
  uint16_t ownership;
  uint16_t hostOwnership;
  uint16_t gpiStatus;
  uint16_t gpiEnable;
  uint16_t gpeStatus;
  uint16_t gpeEnable;
  uint16_t smiStatus;
  uint16_t smiEnable;
  uint16_t nmiStatus;
  uint16_t nmiEnable;
  uint16_t configLock;
  uint16_t txLock;
  uint16_t padConfig;
  uint16_t pads;
};

// The groups of a series in table order; an unknown series has the layout of
// series H.
std::span<const GpioGroupLayout> GpioGroupLayouts(PchSeries series);

} // namespace sim
