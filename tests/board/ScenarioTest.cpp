// Scenario files: every key reaches the board, every mistake is reported
// with file, line and key, and every shipped scenario boots without failing.
#include "BoardTestSupport.h"

#include <Guid/SetupVariable.h>

#include <filesystem>

using sim::board::ApplyScenario;
using sim::board::BoardOptions;
using sim::board::ScenarioError;

namespace {

std::string ErrorOf(const std::string &text) {
  BoardOptions options;
  try {
    ApplyScenario(text, "s.toml", options);
  } catch (const ScenarioError &error) {
    return error.what();
  }
  return "";
}

} // namespace

TEST(Scenario, KeysReachTheBoardOptions) {
  BoardOptions o;
  ApplyScenario(R"(
[setup]
MgmtDisplayMode = 2
MgmtLinkPollCount = 0x01020304
"MgmtRangeFirst[1]" = "10.0.0.1"
bytes = { "1866" = 7 }
[variables]
AcceVar = 5
NetworkStackVar = 1
[nic]
chip_version = 52
link = "down"
[ec]
present = false
registers = [ { bank = 1, register = 0x90, value = 3 } ]
[pch]
series = "LP"
pads = { MgmtPadSense = 1 }
[controller]
items = { "0x02030000" = [0x82] }
refuse = [0x02230000]
drop = 2
late_us = 1500
sends_after_exit = true
[displays]
other = false
[cpu]
ratio = 40
[boot]
mode = "s3"
)",
                "s.toml", o);
  EXPECT_EQ(o.setupBytes.at(SetupOffset::MgmtDisplayMode), std::vector<uint8_t>{2});
  EXPECT_EQ(o.setupBytes.at(SetupOffset::MgmtLinkPollCount), (std::vector<uint8_t>{4, 3, 2, 1}));
  std::vector<uint8_t> range = o.setupBytes.at(MgmtRangeFirst(1));
  ASSERT_EQ(range.size(), 30u);
  EXPECT_EQ(range[0], '1');
  EXPECT_EQ(range[1], 0);
  EXPECT_EQ(range[14], '1');
  EXPECT_EQ(range[16], 0) << "NUL-terminated";
  EXPECT_EQ(o.setupBytes.at(1866), std::vector<uint8_t>{7});
  EXPECT_EQ(o.acceVar, 5u);
  EXPECT_EQ(o.networkStackVar, 1);
  EXPECT_EQ(o.chipVersion, 52u);
  EXPECT_FALSE(o.linkUp);
  EXPECT_FALSE(o.ecPresent);
  ASSERT_EQ(o.ecRegisters.size(), 1u);
  EXPECT_EQ(o.ecRegisters[0].value, 3);
  EXPECT_EQ(o.pchSeries, BoardOptions::PchSeries::LP);
  EXPECT_TRUE(o.padLevels.at("MgmtPadSense"));
  EXPECT_EQ(o.controllerItems.at(0x02030000), std::vector<uint8_t>{0x82});
  EXPECT_TRUE(o.controllerSendsAfterExit);
  ASSERT_EQ(o.controllerFaults.size(), 2u);
  for (const sim::board::ControllerFault &fault : o.controllerFaults) {
    if (fault.kind == sim::board::ControllerFault::Kind::Refuse) {
      EXPECT_EQ(fault.code, 0x02230000u);
    } else {
      EXPECT_EQ(fault.kind, sim::board::ControllerFault::Kind::Late);
      EXPECT_EQ(fault.delayNs, 1'500'000u);
    }
  }
  EXPECT_EQ(o.dropRequests, 2u);
  EXPECT_FALSE(o.otherDisplay);
  EXPECT_TRUE(o.mgmtDisplay);
  EXPECT_EQ(o.msrRatio, 40);
  EXPECT_EQ(o.bootMode, 0x11u);
}

TEST(Scenario, MistakesNameFileLineAndKey) {
  EXPECT_EQ(ErrorOf("[setup]\nMgmtDisplayMode = 1\nMgmtDisplayMod = 2\n"),
            "s.toml:3: key 'setup.MgmtDisplayMod': unknown key");
  EXPECT_EQ(ErrorOf("\n[nic]\nchip_version = \"61\"\n"),
            "s.toml:3: key 'nic.chip_version': expected an integer");
  EXPECT_EQ(ErrorOf("[setup]\nMgmtDisplayMode = 256\n"),
            "s.toml:2: key 'setup.MgmtDisplayMode': value 256 is outside 0..255");
  EXPECT_EQ(ErrorOf("[pch]\nseries = \"Q\"\n"),
            "s.toml:2: key 'pch.series': expected \"H\" or \"LP\"");
  EXPECT_EQ(ErrorOf("[controller.items]\n\"0x1zz\" = [1]\n"),
            "s.toml:2: key 'controller.items.0x1zz': not a 32-bit item code");
  EXPECT_EQ(ErrorOf("[setup]\nMgmtTextItem = \"" + std::string(40, 'x') + "\"\n"),
            "s.toml:2: key 'setup.MgmtTextItem': text longer than the field's 32 characters");
  EXPECT_EQ(ErrorOf("[setup.bytes]\n\"2638\" = 1\n"),
            "s.toml:2: key 'setup.bytes.2638': offset beyond the 2638-byte Setup variable");
  EXPECT_EQ(ErrorOf("frobnicate = 1\n"), "s.toml:1: key 'frobnicate': unknown key");
  // Broken TOML is reported with its line too.
  EXPECT_EQ(ErrorOf("[setup\n").rfind("s.toml:1: ", 0), 0u);
}

// Texts the TOML library cannot take safely (found by fuzz_Scenario, kept in
// fuzz/corpus/Scenario): each is a reported error, not an assertion failure
// or undefined behaviour that stops the simulator.
TEST(Scenario, TextTheTomlLibraryCannotTakeIsRefusedNotFatal) {
  EXPECT_EQ(ErrorOf(std::string("MgmtAgentEnable = 0\n[\0setup]\n", 29)),
            "s.toml:2: byte 0x00 is not ASCII text");
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF"), "s.toml:1: byte 0xEF is not ASCII text");
  EXPECT_EQ(ErrorOf("[setup]\nMgmtTextItem = \"caf\xC3\xA9\"\n"),
            "s.toml:2: byte 0xC3 is not ASCII text");
  // Texts that break what the library's parser takes for granted.
  for (const char *text : {"[setup]\n[\nsetup]\n", "[[ # no key\n", "\t[[[", "c=[[[[[[}[[[[Z:iou"}) {
    EXPECT_EQ(ErrorOf(text).rfind("s.toml", 0), 0u) << text;
  }
  // Tabs and CR LF line ends stay fine.
  EXPECT_EQ(ErrorOf("[setup]\r\n\tMgmtDisplayMode = 1\r\n"), "");
}

TEST(Scenario, MissingFileIsAnError) {
  BoardOptions options;
  EXPECT_THROW(sim::board::LoadScenario("/nonexistent/x.toml", options), ScenarioError);
}

TEST(Scenario, EveryShippedScenarioBootsWithoutFailing) {
  size_t count = 0;
  for (const auto &entry : std::filesystem::directory_iterator(MGMT_SCENARIO_DIR)) {
    if (entry.path().extension() != ".toml") {
      continue;
    }
    ++count;
    boardtest::Booted b = boardtest::BootScenario(entry.path().filename().string());
    EXPECT_FALSE(b.run.failed) << entry.path() << ": " << b.run.failure;
    EXPECT_TRUE(b.run.reachedReadyToBoot) << entry.path();
  }
  EXPECT_GE(count, 6u);
}

TEST(Board, TruncatedSmbiosImageIsRefused) {
  BoardOptions options;
  options.smbiosImage = {'_', 'S', 'M', '3', '_', 0x00, 0x18};
#if MGMT_BOARD_HAS_SMBIOS
  EXPECT_THROW(sim::board::Board board(options), std::invalid_argument);
#else
  GTEST_SKIP() << "SMBIOS stand-in not in this build";
#endif
}

// A model rebuilt at a reset hands its counts on: misuse in one boot stays
// in the run's totals after the next power-on.
TEST(Board, ModelFaultsAreSummedOverTheBoots) {
  sim::board::Board board;
  auto outsideConfig = [&board] {
    for (const sim::board::ModelFaultCounts &model : board.ModelFaults()) {
      for (const sim::board::ModelFaultCounter &counter : model.counters) {
        if (model.model == "superio" && counter.name == "accessesOutsideConfig") {
          return counter.value;
        }
      }
    }
    return ~uint64_t{0};
  };
  board.PowerOn();
  EXPECT_EQ(outsideConfig(), 0u);
  board.machine().bus().IoWrite(0x2F, 1, 0x55); // data port outside configuration mode
  EXPECT_EQ(outsideConfig(), 1u);
  board.PowerOn();
  board.machine().bus().IoWrite(0x2F, 1, 0x55);
  EXPECT_EQ(outsideConfig(), 2u);
}

#if MGMT_BOARD_HAS_NIC
TEST(Scenario, ChipVersionNoPartReportsIsRefused) {
  EXPECT_EQ(ErrorOf("[nic]\nchip_version = 33\n"),
            "s.toml:2: key 'nic.chip_version': no part reports chip version 33");
  EXPECT_EQ(ErrorOf("[nic]\nchip_version = 52\n"), "");
}
#endif
