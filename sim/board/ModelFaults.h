// The misuse counters of the board's device models: writes a model refused
// or could not place, protocol steps out of order, DMA outside allowed
// memory. A correct firmware leaves every one at 0; each is summed over the
// boots of a run, so a per-boot model rebuilt at a reset keeps its count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

struct ModelFaultCounter {
  std::string name;
  uint64_t value = 0;
};

struct ModelFaultCounts {
  std::string model;
  std::vector<ModelFaultCounter> counters;
};

// Adds `more` into `total`, model by model and counter by counter.
void AddModelFaults(std::vector<ModelFaultCounts> &total, const std::vector<ModelFaultCounts> &more);

} // namespace sim::board
