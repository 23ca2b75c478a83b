// The timeline picture of a run: what BuildTimeline reads from the run's
// records, and the SVG it draws, parsed by an XML parser (python3) and
// rendered by rsvg-convert.
#include "BoardTestSupport.h"
#include "Timeline.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using sim::board::Timeline;
using sim::board::TimelineBand;
using sim::board::TimelineTick;

namespace {

bool Have(const std::string &program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Shell(const std::string &command, int *status) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    out.append(buffer, n);
  }
  *status = pclose(pipe);
  return out;
}

// Every drawn element the picture is read by, one line each:
// band, element class, module or message id, step, x, width.
constexpr const char *kReader = R"(import sys, xml.etree.ElementTree as ET
ns = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
for band in root.iter(ns + 'g'):
    for e in band:
        c = e.get('class')
        if c:
            print('|'.join([band.get('id'), c, e.get('data-module') or e.get('data-message-id') or '',
                            e.get('data-step') or '', e.get('x') or e.get('x1'),
                            e.get('width') or '0']))
)";

struct Drawn {
  std::string band, kind, who, step;
  double x = 0, width = 0;
};

class TimelinePicture : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Have("python3") || !Have("rsvg-convert")) {
      GTEST_SKIP() << "python3 and rsvg-convert (librsvg2-bin) are installed by "
                      "scripts/setup-deps.sh";
    }
    dir_ = fs::temp_directory_path() / ("timeline-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "read.py") << kReader;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Parses the SVG (a parse error fails the test) and returns what it drew.
  std::vector<Drawn> Read(const std::string &svg) {
    std::ofstream(dir_ / "t.svg") << svg;
    int status = 0;
    const std::string out =
        Shell("python3 " + (dir_ / "read.py").string() + " " + (dir_ / "t.svg").string(), &status);
    EXPECT_EQ(status, 0) << "not well-formed XML";
    std::vector<Drawn> drawn;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> parts;
      std::istringstream fields(line);
      for (std::string part; std::getline(fields, part, '|');) {
        parts.push_back(part);
      }
      if (parts.size() == 6) {
        drawn.push_back({parts[0], parts[1], parts[2], parts[3], std::stod(parts[4]),
                         std::stod(parts[5])});
      }
    }
    // And it renders.
    const std::string png = (dir_ / "t.png").string();
    Shell("rsvg-convert -o " + png + " " + (dir_ / "t.svg").string() + " 2>&1", &status);
    EXPECT_EQ(status, 0) << "rsvg-convert could not render it";
    std::ifstream file(png, std::ios::binary);
    std::string head(24, '\0');
    file.read(head.data(), 24);
    EXPECT_EQ(head.substr(1, 3), "PNG");
    EXPECT_EQ(static_cast<uint8_t>(head[18]) << 8 | static_cast<uint8_t>(head[19]), 1200)
        << "PNG width";
    return drawn;
  }
  fs::path dir_;
};

size_t Count(const std::vector<Drawn> &drawn, const std::string &band, const std::string &kind) {
  size_t n = 0;
  for (const Drawn &d : drawn) {
    n += d.band == band && d.kind == kind;
  }
  return n;
}

} // namespace

// The display-mode-change scenario (a reset, then a second boot), with the
// controller refusing the display-mode write and never answering the range
// option, so that every kind of mark appears.
TEST_F(TimelinePicture, ResetAndSecondBootAreBandsOfBarsTicksAndUploads) {
  sim::board::BoardOptions options;
  sim::board::LoadScenario(std::string(MGMT_SCENARIO_DIR) + "/display-mode-change.toml", options);
  sim::board::ApplyScenario("[setup]\nMgmtLinkPollCount = 20\n[controller]\n"
                            "refuse = [0x02230000]\nsilent_items = [0x01070000]\n",
                            "faults.toml", options);
  boardtest::Booted booted = boardtest::BootWith(options);
  ASSERT_TRUE(booted.run.reachedReadyToBoot);
  const Timeline timeline = sim::board::BuildTimeline(*booted.board, booted.run);
  ASSERT_EQ(timeline.bands.size(), 2u);

  const TimelineBand &first = timeline.bands[0];
  EXPECT_EQ(first.ending, sim::board::BootRecord::Ending::Reset);
  EXPECT_EQ(first.endLabel, "reset by MgmtAgentDxe (0xCF9 <- 0x0e)");
  std::set<std::pair<std::string, std::string>> bars;
  for (const auto &bar : first.bars) {
    bars.insert({bar.row, bar.label});
    EXPECT_GE(bar.endNs, bar.startNs);
    EXPECT_GE(bar.startNs, first.startNs);
    EXPECT_LE(bar.endNs, first.endNs);
  }
  EXPECT_EQ(bars, (std::set<std::pair<std::string, std::string>>{
                      {"MgmtDevicePei", "entry point"},
                      {"MgmtDevicePei", "end of PEI"},
                      {"SioGpioPei", "entry point"},
                      {"EcPei", "entry point"},
                      {"SioSetupPei", "entry point"},
                      {"NicLinkDxe", "entry point"},
                      {"MgmtAgentDxe", "entry point"}}))
      << "InventoryDxe never starts: the agent resets first";
  std::vector<TimelineTick::Outcome> outcomes;
  for (const TimelineTick &tick : first.ticks) {
    outcomes.push_back(tick.outcome);
  }
  EXPECT_EQ(outcomes, (std::vector<TimelineTick::Outcome>{
                          TimelineTick::Outcome::Answered, TimelineTick::Outcome::Refused,
                          TimelineTick::Outcome::Answered, TimelineTick::Outcome::Answered}));
  EXPECT_TRUE(first.uploads.empty());

  const TimelineBand &second = timeline.bands[1];
  EXPECT_EQ(second.ending, sim::board::BootRecord::Ending::ReadyToBoot);
  EXPECT_EQ(second.startNs, first.endNs) << "virtual time runs on across the reset";
  std::map<TimelineTick::Outcome, size_t> kinds;
  for (const TimelineTick &tick : second.ticks) {
    ++kinds[tick.outcome];
  }
  EXPECT_EQ(kinds[TimelineTick::Outcome::Refused], 1u);
  EXPECT_EQ(kinds[TimelineTick::Outcome::Unanswered], 1u);
  EXPECT_EQ(kinds[TimelineTick::Outcome::Answered], second.ticks.size() - 2);
  std::vector<int> uploaded;
  for (const auto &upload : second.uploads) {
    uploaded.push_back(upload.messageId);
    EXPECT_LE(upload.startNs, upload.endNs);
  }
  EXPECT_EQ(uploaded, (std::vector<int>{2, 3, 4, 5}));

  // The picture carries exactly those marks, bars as long as their time.
  const std::vector<Drawn> drawn = Read(sim::board::TimelineSvg(timeline));
  for (size_t b = 0; b < 2; ++b) {
    const TimelineBand &band = timeline.bands[b];
    const std::string id = "boot-" + std::to_string(band.number);
    size_t bars = 0;
    for (const Drawn &d : drawn) {
      bars += d.band == id && d.kind.rfind("bar ", 0) == 0;
    }
    EXPECT_EQ(bars, band.bars.size()) << id;
    EXPECT_EQ(Count(drawn, id, "tick answered") + Count(drawn, id, "tick refused") +
                  Count(drawn, id, "tick unanswered"),
              band.ticks.size())
        << id;
    EXPECT_EQ(Count(drawn, id, "upload"), band.uploads.size()) << id;
  }
  EXPECT_EQ(Count(drawn, "boot-1", "tick refused"), 1u);
  EXPECT_EQ(Count(drawn, "boot-2", "tick unanswered"), 1u);
  EXPECT_EQ(Count(drawn, "boot-1", "end reset"), 1u);
  EXPECT_EQ(Count(drawn, "boot-2", "end ready"), 1u);
  auto bar = [&](const std::string &band, const std::string &module, const std::string &step) {
    for (const Drawn &d : drawn) {
      if (d.band == band && d.who == module && d.step == step) {
        return d;
      }
    }
    ADD_FAILURE() << "no bar " << band << " " << module << " " << step;
    return Drawn{};
  };
  auto ns = [&](const TimelineBand &band, const std::string &module, const std::string &step) {
    for (const auto &b : band.bars) {
      if (b.row == module && b.label == step) {
        return static_cast<double>(b.endNs - b.startNs);
      }
    }
    return 0.0;
  };
  // One scale for every band: widths in the ratio of the times.
  const Drawn pulse = bar("boot-1", "SioGpioPei", "entry point");
  const Drawn agent = bar("boot-2", "MgmtAgentDxe", "setup push trigger");
  EXPECT_NEAR(pulse.width / agent.width,
              ns(first, "SioGpioPei", "entry point") / ns(second, "MgmtAgentDxe", "setup push trigger"),
              0.01);
  EXPECT_LT(bar("boot-2", "MgmtAgentDxe", "entry point").x, agent.x);
}

TEST_F(TimelinePicture, LabelsAreEscapedAndAHangIsMarked) {
  Timeline timeline;
  TimelineBand band;
  band.number = 1;
  band.startNs = 1000;
  band.endNs = 2'001'000;
  band.rows = {"A<B>&\"C\""};
  band.bars.push_back({"A<B>&\"C\"", "x & y", sim::board::TimelineBar::Kind::Dxe, 1000, 501'000});
  band.ticks.push_back({1'000'000, TimelineTick::Outcome::Unanswered, "<no answer>"});
  band.ending = sim::board::BootRecord::Ending::Watchdog;
  band.endLabel = "MgmtAgentDxe hung (watchdog) & more";
  timeline.bands.push_back(band);

  const std::vector<Drawn> drawn = Read(sim::board::TimelineSvg(timeline));
  ASSERT_EQ(Count(drawn, "boot-1", "bar dxe"), 1u);
  EXPECT_EQ(drawn[0].who, "A<B>&\"C\"");
  EXPECT_EQ(drawn[0].step, "x & y");
  EXPECT_EQ(Count(drawn, "boot-1", "tick unanswered"), 1u);
  EXPECT_EQ(Count(drawn, "boot-1", "end failure"), 1u);
}
