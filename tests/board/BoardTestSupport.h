// Helpers of the whole-system suites: a board booted from a scenario, and
// the management-link frames read straight from the bytes on the wire.
#pragma once

#include "Board.h"
#include "BootRunner.h"
#include "Scenario.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardtest {

struct Booted {
  std::unique_ptr<sim::board::Board> board;
  sim::board::RunRecord run;
};

// Whatever a boot did, the firmware must not have misused a device model:
// every misuse counter, summed over the run's boots, stays 0.
inline void ExpectNoModelFaults(const sim::board::Board &board) {
  for (const sim::board::ModelFaultCounts &model : board.ModelFaults()) {
    for (const sim::board::ModelFaultCounter &counter : model.counters) {
      EXPECT_EQ(counter.value, 0u) << model.model << " " << counter.name;
    }
  }
}

inline Booted BootWith(sim::board::BoardOptions options, unsigned boots = 4) {
  Booted booted;
  booted.board = std::make_unique<sim::board::Board>(std::move(options));
  sim::board::BootRunner runner(*booted.board);
  booted.run = runner.Run(boots);
  ExpectNoModelFaults(*booted.board);
  return booted;
}

inline Booted BootScenario(const std::string &name, unsigned boots = 4) {
  sim::board::BoardOptions options;
  sim::board::LoadScenario(std::string(MGMT_SCENARIO_DIR) + "/" + name, options);
  return BootWith(std::move(options), boots);
}

// A request frame as the board put it on the wire: broadcast, IPv4/UDP
// from 50000 to 60000, B5 B5 81 17, length, then the little-endian code.
struct WireRequest {
  uint32_t code;
  std::vector<uint8_t> data;
};

inline bool IsLinkFrame(const std::vector<uint8_t> &f) {
  return f.size() >= 42 && f[12] == 0x08 && f[13] == 0x00 && f[23] == 17;
}

inline std::vector<WireRequest> Requests(const sim::board::Board &board) {
  std::vector<WireRequest> requests;
  for (const sim::board::WireFrame &wire : board.Wire()) {
    const std::vector<uint8_t> &f = wire.frame;
    if (wire.toBoard || f.size() < 52 || !IsLinkFrame(f)) {
      continue;
    }
    EXPECT_EQ(f[0] & f[1] & f[2] & f[3] & f[4] & f[5], 0xFF) << "not broadcast";
    if (f[34] != 0xC3 || f[35] != 0x50 || f[36] != 0xEA || f[37] != 0x60) {
      continue; // not 50000 -> 60000: a notice
    }
    EXPECT_EQ(f[42], 0xB5);
    EXPECT_EQ(f[43], 0xB5);
    EXPECT_EQ(f[44], 0x81);
    EXPECT_EQ(f[45], 0x17);
    const size_t length = size_t{f[46]} << 8 | f[47];
    EXPECT_LE(48 + length, f.size());
    const uint32_t code =
        uint32_t{f[48]} | uint32_t{f[49]} << 8 | uint32_t{f[50]} << 16 | uint32_t{f[51]} << 24;
    requests.push_back({code, std::vector<uint8_t>(f.begin() + 52, f.begin() + 48 + length)});
  }
  return requests;
}

inline std::vector<uint32_t> Codes(const std::vector<WireRequest> &requests) {
  std::vector<uint32_t> codes;
  for (const WireRequest &r : requests) {
    codes.push_back(r.code);
  }
  return codes;
}

inline const sim::board::StepRecord *Step(const sim::board::BootRecord &boot,
                                          const std::string &name) {
  for (const sim::board::StepRecord &step : boot.steps) {
    if (step.name == name) {
      return &step;
    }
  }
  return nullptr;
}

inline std::vector<uint8_t> SetupOf(sim::board::Board &board) {
  static const EFI_GUID guid = {
      0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
  auto value = board.variables().Read("Setup", guid);
  return value.value_or(std::vector<uint8_t>{});
}

} // namespace boardtest
