// Runs the mgmt-sim executable: the default boot and its transcript, the
// output options (documents, report, pcap, screenshots, timeline), the
// command line's own words (help, version, scenarios) and bad input, which
// must give exit status 2, a one-line error and no output files.
#include "BootRunner.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using tooltest::Result;
using tooltest::RunSim;
using tooltest::Slurp;

using tooltest::AllModulesInBuild;

#define REQUIRE_ALL_MODULES()                                                                      \
  if (!AllModulesInBuild()) {                                                                      \
    GTEST_SKIP() << "not every module is in this build";                                           \
  }

class MgmtSim : public ::testing::Test {
protected:
  MgmtSim() {
    dir_ = fs::temp_directory_path() /
           ("mgmt-sim-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~MgmtSim() override { fs::remove_all(dir_); }
  std::string Path(const std::string &name) const { return (dir_ / name).string(); }
  bool Empty() const { return fs::is_empty(dir_); }
  std::string Write(const std::string &name, const std::string &content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return Path(name);
  }
  fs::path dir_;
};

} // namespace

TEST_F(MgmtSim, DefaultBootSucceedsAndTellsWhatEveryModuleDid) {
  Result r = RunSim("boot");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char *module : {"SioGpioPei", "EcPei", "SioSetupPei", "MgmtDevicePei", "NicLinkDxe",
                             "MgmtAgentDxe", "InventoryDxe"}) {
    EXPECT_NE(r.out.find(module), std::string::npos) << module;
  }
  EXPECT_NE(r.out.find("boot 1 reached ready-to-boot"), std::string::npos);
  EXPECT_NE(r.out.find("virtual time per module"), std::string::npos);
  // No subcommand boots the default board too.
  EXPECT_EQ(RunSim("-q").status, 0);
}

TEST_F(MgmtSim, QuietPrintsOneLine) {
  Result r = RunSim("boot -q");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "mgmt-sim: 1 boot, reached ready-to-boot\n");
}

TEST_F(MgmtSim, DocumentsAreWrittenWithExactlyTheirCharacters) {
  REQUIRE_ALL_MODULES();
  Result r = RunSim("boot -q --documents " + Path("docs"));
  ASSERT_EQ(r.status, 0) << r.err;
  for (int id = 2; id <= 5; ++id) {
    const fs::path doc = dir_ / "docs" / ("doc-" + std::to_string(id) + ".json");
    ASSERT_TRUE(fs::exists(doc)) << doc;
    const std::string text = Slurp(doc);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), '{');
    EXPECT_EQ(text.back(), '}') << "no terminating zero, no newline added";
  }
  EXPECT_EQ(Slurp(dir_ / "docs" / "doc-5.json"), "{\n\t\"ModelName\":\t\"Q7146-MB\"\n}");
  EXPECT_EQ(Slurp(dir_ / "docs" / "doc-4.json"), "{\n\t\"uPath\":\t\"Q7146\"\n}");
  EXPECT_FALSE(fs::exists(dir_ / "docs" / "doc-2.json.partial"));
}

TEST_F(MgmtSim, ReportSummarisesBootsModulesItemsAndResets) {
  REQUIRE_ALL_MODULES();
  Result r = RunSim("boot -q --scenario " + std::string(MGMT_SCENARIO_DIR) +
                    "/display-mode-change.toml --report " + Path("report.json"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string report = Slurp(dir_ / "report.json");
  EXPECT_EQ(report.front(), '{');
  EXPECT_NE(report.find("\"reachedReadyToBoot\":true"), std::string::npos);
  EXPECT_NE(report.find("\"failed\":false,\"failure\":\"\",\"dmaAfterExitBootServices\":0,"),
            std::string::npos);
  EXPECT_NE(report.find("\"resets\":[{\"boot\":1,\"by\":\"MgmtAgentDxe\",\"value\":14}]"),
            std::string::npos);
  EXPECT_NE(report.find("\"code\":\"0x02200000\""), std::string::npos);
  EXPECT_NE(report.find("\"name\":\"MGMT_DEVICE_HOB\""), std::string::npos);
  EXPECT_NE(report.find("\"variablesChanged\":[{\"name\":\"Setup\""), std::string::npos);
  EXPECT_NE(report.find("\"messageId\":2"), std::string::npos);
  EXPECT_NE(report.find("\"modelFaults\":[{\"model\":\"chipset\",\"counters\":{"),
            std::string::npos);
  EXPECT_NE(report.find("{\"model\":\"ec\",\"counters\":{\"overruns\":0,"), std::string::npos);
}

TEST_F(MgmtSim, PcapHoldsEveryFrameOfBothDirections) {
  REQUIRE_ALL_MODULES();
  Result r = RunSim("boot -q --pcap " + Path("link.pcap"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string pcap = Slurp(dir_ / "link.pcap");
  ASSERT_GE(pcap.size(), 24u);
  EXPECT_EQ(static_cast<uint8_t>(pcap[0]), 0xD4) << "pcap magic, little-endian";
  EXPECT_EQ(static_cast<uint8_t>(pcap[20]), 1) << "Ethernet link type";
  size_t frames = 0;
  size_t offset = 24;
  while (offset + 16 <= pcap.size()) {
    const uint32_t length = static_cast<uint8_t>(pcap[offset + 8]) |
                            static_cast<uint8_t>(pcap[offset + 9]) << 8 |
                            static_cast<uint8_t>(pcap[offset + 10]) << 16;
    offset += 16 + length;
    ++frames;
  }
  EXPECT_EQ(offset, pcap.size());
  // 4 start-up requests, 9 + 10 trigger requests, each answered; 5 notices.
  EXPECT_EQ(frames, 2 * (4 + 9 + 10) + 5u);
}

TEST_F(MgmtSim, ScreenshotsArePngsOfEachDisplay) {
  REQUIRE_ALL_MODULES();
  Result r = RunSim("boot -q --screenshots " + Path("shots"));
  ASSERT_EQ(r.status, 0) << r.err;
  size_t pngs = 0;
  for (const auto &entry : fs::directory_iterator(dir_ / "shots")) {
    const std::string bytes = Slurp(entry.path());
    EXPECT_EQ(bytes.substr(1, 3), "PNG") << entry.path();
    ++pngs;
  }
  EXPECT_EQ(pngs, 2u);
}

TEST_F(MgmtSim, BadInputExitsTwoWithOneLineAndWritesNothing) {
  const std::string outputs = " --documents " + Path("docs") + " --report " + Path("r.json") +
                              " --pcap " + Path("l.pcap") + " --screenshots " + Path("shots");
  struct Case {
    std::string arguments;
    std::string expected;
  };
  const std::string truncated = Write("short.bin", std::string("_SM3_\x00\x18", 7));
  const std::string unknown = Write("bad.toml", "[setup]\nMgmtDisplayMod = 2\n");
  const std::vector<Case> cases = {
      {"--smbios " + truncated, truncated + ": "},
      {"--scenario " + unknown, unknown + ":2: key 'setup.MgmtDisplayMod': unknown key"},
      {"--scenario " + Path("missing.toml"), Path("missing.toml") + ": cannot open"},
      {"--smbios " + Path("missing.bin"), Path("missing.bin") + ": no such file"},
      {"--smbios " + Write("empty.bin", ""), Path("empty.bin") + ": empty file"},
      {"--smbios /dev/null", "/dev/null: a character device, not a file"},
      {"--smbios " + dir_.string(), dir_.string() + ": a directory, not a file"},
      {"--scenario no-such-scenario", "no-such-scenario: no such file, and no shipped scenario"},
  };
  for (const Case &c : cases) {
    Result r = RunSim("boot " + c.arguments + outputs);
    EXPECT_EQ(r.status, 2) << c.arguments;
    EXPECT_TRUE(r.out.empty()) << c.arguments;
    EXPECT_EQ(r.err.rfind("mgmt-sim: " + c.expected, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const char *name : {"docs", "r.json", "l.pcap", "shots"}) {
      EXPECT_FALSE(fs::exists(dir_ / name)) << name << " left behind for " << c.arguments;
    }
  }
}

TEST_F(MgmtSim, UnwritableOutputIsRefusedBeforeTheBootAndNothingIsWritten) {
  const std::string file = Write("plain.txt", "x");
  const std::map<std::string, std::string> good = {
      {"--documents", Path("docs")},     {"--report", Path("r.json")},
      {"--pcap", Path("l.pcap")},        {"--screenshots", Path("shots")},
      {"--timeline", Path("t.svg")},
  };
  struct Case {
    std::string option;
    std::string path;
    std::string expected;
  };
  std::vector<Case> cases = {
      {"--pcap", Path("missing/l.pcap"), ": no directory " + Path("missing")},
      {"--report", dir_.string(), ": a directory, not a file"},
      {"--timeline", file + "/t.svg", file + " is a file, not a directory"},
      {"--documents", file, file + " is a file, not a directory"},
      {"--screenshots", file + "/shots", file + " is a file, not a directory"},
  };
  if (geteuid() != 0) { // permissions do not stop root
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    cases.push_back({"--report", Path("locked/r.json"), "cannot be written"});
    cases.push_back({"--documents", Path("locked/docs"), "cannot be written"});
  }
  for (const Case &c : cases) {
    std::string arguments = "boot";
    for (const auto &[option, path] : good) {
      arguments += " " + option + " " + (option == c.option ? c.path : path);
    }
    Result r = RunSim(arguments);
    EXPECT_EQ(r.status, 2) << arguments;
    EXPECT_TRUE(r.out.empty()) << "the board booted for " << c.option;
    EXPECT_EQ(r.err.rfind("mgmt-sim: " + c.path + ":", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(" + c.option + ")"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const auto &[option, path] : good) {
      EXPECT_FALSE(fs::exists(path)) << path << " written for " << c.option;
    }
  }
  if (geteuid() != 0) {
    fs::permissions(dir_ / "locked", fs::perms::owner_all);
  }
}

TEST_F(MgmtSim, CommandLineNamesItselfAndListsTheShippedScenarios) {
  Result help = RunSim("boot --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: mgmt-sim boot [OPTIONS]"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--timeline"), std::string::npos);
  EXPECT_NE(RunSim("--help").out.find("Usage: mgmt-sim [OPTIONS]"), std::string::npos);

  Result version = RunSim("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("mgmt-sim ", 0), 0u) << version.out;
  EXPECT_GT(version.out.size(), std::string("mgmt-sim \n").size());

  Result list = RunSim("scenarios");
  EXPECT_EQ(list.status, 0) << list.err;
  size_t shipped = 0;
  for (const auto &entry : fs::directory_iterator(MGMT_SCENARIO_DIR)) {
    const std::string name = entry.path().stem().string();
    const std::string text = Slurp(entry.path());
    const size_t open = text.find("description = \"") + 15;
    const std::string description = text.substr(open, text.find('"', open) - open);
    EXPECT_NE(list.out.find(name + " "), std::string::npos) << name;
    EXPECT_NE(list.out.find(description), std::string::npos) << description;
    ++shipped;
  }
  EXPECT_EQ(static_cast<size_t>(std::count(list.out.begin(), list.out.end(), '\n')), shipped + 1);
}

TEST_F(MgmtSim, ScenarioByItsShippedNameBootsAsTheFileDoes) {
  REQUIRE_ALL_MODULES();
  const std::string path = std::string(MGMT_SCENARIO_DIR) + "/display-mode-change.toml";
  Result byPath = RunSim("boot --scenario " + path);
  ASSERT_EQ(byPath.status, 0) << byPath.err;
  EXPECT_NE(byPath.out.find("boot 1 ended: MgmtAgentDxe reset the system"), std::string::npos);
  for (const char *name : {"display-mode-change", "display-mode-change.toml"}) {
    Result byName = RunSim("boot --scenario " + std::string(name));
    EXPECT_EQ(byName.status, 0) << byName.err;
    EXPECT_EQ(byName.out, byPath.out) << name;
  }
}

TEST_F(MgmtSim, EveryShippedScenarioRunsToReadyToBoot) {
  for (const auto &entry : fs::directory_iterator(MGMT_SCENARIO_DIR)) {
    Result r = RunSim("boot -q --scenario " + entry.path().string());
    EXPECT_EQ(r.status, 0) << entry.path() << r.err;
    EXPECT_NE(r.out.find("reached ready-to-boot"), std::string::npos) << entry.path();
  }
}

#if MGMT_BOARD_HAS_SMBIOS
#include "DefaultTable.h"
#include "SmbiosBuilder.h"

TEST_F(MgmtSim, SmbiosImageOfTheOptionReplacesTheBuiltInOne) {
  REQUIRE_ALL_MODULES();
  const std::vector<uint8_t> image = sim::smbios::DefaultBoardImage();
  const std::vector<uint8_t> table(image.begin() + 0x20, image.end());
  // The same table as a dump-bin image, as a raw table (entry point cut) and
  // as a dump whose SMBIOS 3 entry point gives a maximum size far beyond the
  // table, as firmware writes it and dmidecode dumps it.
  const std::string dump = Write("dump.bin", std::string(image.begin(), image.end()));
  const std::string raw = Write("raw.bin", std::string(table.begin(), table.end()));
  const std::vector<uint8_t> roomy = sim::smbios::BuildImage3(table, 3, 2, 0x4000);
  const std::string shorter = Write("shorter.bin", std::string(roomy.begin(), roomy.end()));
  Result builtIn = RunSim("boot -q --documents " + Path("reference"));
  ASSERT_EQ(builtIn.status, 0) << builtIn.err;
  for (const std::string &file : {dump, raw, shorter}) {
    Result r = RunSim("boot -q --smbios " + file + " --documents " + Path("docs"));
    ASSERT_EQ(r.status, 0) << file << r.err;
    EXPECT_EQ(Slurp(dir_ / "docs" / "doc-5.json"), "{\n\t\"ModelName\":\t\"Q7146-MB\"\n}");
    for (int id = 2; id <= 5; ++id) {
      const std::string name = "doc-" + std::to_string(id) + ".json";
      EXPECT_EQ(Slurp(dir_ / "docs" / name), Slurp(dir_ / "reference" / name)) << file << name;
    }
    fs::remove_all(dir_ / "docs");
  }
}
#endif
