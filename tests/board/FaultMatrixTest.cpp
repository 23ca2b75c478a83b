// Every fault hook of the device models and of the management controller,
// alone and in pairs that meet on one path, on a whole boot of the default
// board. Whatever breaks, each boot ends in an explained way (ready-to-boot,
// a reset, power-off or the watchdog, named in the report), the boots that
// reach the OS keep no more pool or pages than a faultless boot does, and
// Setup and AcceVar take no value a faultless boot would not give them.
// Each case prints one line of the matrix (fault, endings, leaks, variables).
#include "BoardTestSupport.h"
#include "Ec.h"
#include "MgmtController.h"
#include "NicModel.h"
#include "PchGpioModel.h"
#include "PmTimer.h"
#include "Report.h"

#include <Guid/SetupVariable.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>

#if MGMT_BOARD_HAS_NIC && MGMT_BOARD_HAS_PCH_GPIO

namespace {

using boardtest::SetupOf;
using sim::board::Board;
using sim::board::BootRecord;
using sim::board::BootRunner;
using sim::board::RunRecord;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kForever = 3'600'000 * kMs; // longer than any boot's watchdog

using Hook = std::function<void(Board &)>;

struct Fault {
  const char *name;
  Hook apply; // on every power-on, once the fresh models are in place
  // The model whose misuse counters the fault itself drives: a device that
  // never leaves a state makes the firmware's bounded waits run out, and
  // what it does next is counted.
  const char *exhaustsWaitsOf = nullptr;
  // The fault hands the agent answers that are well formed but not the
  // answer to its request; what it writes from them is what the answers
  // say, not what a faultless boot writes.
  bool answersMisleading = false;
};

std::optional<std::vector<uint8_t>> AcceVarOf(Board &board) {
  return board.variables().Read("AcceVar", gAcceVarGuid);
}

struct Outcome {
  std::unique_ptr<Board> board;
  RunRecord run;
};

Outcome BootFaulted(const Hook &hook) {
  Outcome o;
  o.board = std::make_unique<Board>();
  if (hook) {
    o.board->SetPowerOnHook(hook);
  }
  BootRunner runner(*o.board);
  o.run = runner.Run(4);
  return o;
}

// What the faultless boot left, once per process (one board at a time).
struct Reference {
  uint64_t poolBytesAtExit = 0;
  uint64_t pagesAtExit = 0;
  std::vector<uint8_t> setup;
  std::optional<std::vector<uint8_t>> accevar;
  std::set<uint32_t> codesAsked;
};

const Reference &Faultless() {
  static const Reference reference = [] {
    Outcome o = BootFaulted(nullptr);
    EXPECT_TRUE(o.run.reachedReadyToBoot);
    Reference r;
    r.poolBytesAtExit = o.run.boots.back().poolBytesAtExit;
    r.pagesAtExit = o.run.boots.back().pagesAtExit;
    r.setup = SetupOf(*o.board);
    r.accevar = AcceVarOf(*o.board);
    for (const boardtest::WireRequest &request : boardtest::Requests(*o.board)) {
      r.codesAsked.insert(request.code);
    }
    return r;
  }();
  return reference;
}

const Fault kSingle[] = {
    {"EcAbsent", [](Board &b) { b.ec().SetPresent(false); }},
    {"EcInputStuckFull", [](Board &b) { b.ec().SetStuckBusy(sim::Ec::kStatusInputFull); }},
    {"EcOutputStuckFull", [](Board &b) { b.ec().SetStuckBusy(sim::Ec::kStatusOutputFull); }},
    {"EcStopsAnsweringAfterFiveBytes", [](Board &b) { b.ec().StopAnsweringAfter(5); }},
    {"EcMuteReads", [](Board &b) { b.ec().SetMuteReads(true); }},
    {"EcSlow", [](Board &b) { b.ec().SetResponseDelayNs(2 * kMs); }},
    {"EcSmbusDeviceError", [](Board &b) { b.ec().SetSmbusCompletion(0x04); }},
    {"SidebandBridgeHidden", [](Board &b) { b.pchGpio()->bridge().SetHidden(true); }},
    {"SidebandBridgeStuckBusy", [](Board &b) { b.pchGpio()->bridge().SetStuckBusy(true); }},
    {"SidebandBridgeHeldBusy", [](Board &b) { b.pchGpio()->bridge().HoldBusyUntil(kForever); }},
    {"SidebandBridgeRefuses", [](Board &b) { b.pchGpio()->bridge().ForceResponse(1); }},
    {"PmTimerStuck", [](Board &b) { b.pmTimer().SetStuck(true); }},
    {"NicAbsent", [](Board &b) { b.nic()->SetAbsent(true); }},
    {"NicLinkDown", [](Board &b) { b.nic()->SetLink(false); }},
    {"NicResetNeverEnds", [](Board &b) { b.nic()->SetResetDelay(kForever); }, "nic"},
    {"NicWindowsNeverComplete",
     [](Board &b) {
       for (auto w : {sim::NicModel::Window::Extended, sim::NicModel::Window::Ocp,
                      sim::NicModel::Window::Gphy, sim::NicModel::Window::PhyAccess}) {
         b.nic()->SetCompletionDelay(w, kForever);
       }
     }},
    {"NicEngineIdleNeverComes", [](Board &b) { b.nic()->SetEngineIdleStuck(true); }},
    {"NicOobFirmwareStuckBusy",
     [](Board &b) {
       b.nic()->SetOobFirmware(true);
       b.nic()->SetOobBusyStuck(true);
     }},
    {"NicEveryReceivedFrameInError", [](Board &b) { b.nic()->ErrorNextRxFrames(1'000'000); }},
    {"ControllerSilent", [](Board &b) { b.controller()->SetSilent(true); }},
    {"ControllerLate", [](Board &b) { b.controller()->SetAnswerDelay(50 * kMs); }},
    {"ControllerDropsThreeRequests", [](Board &b) { b.controller()->DropNextRequests(3); }},
    {"ControllerTrafficBeforeAnswers", [](Board &b) { b.controller()->SetTrafficBeforeAnswer(3); }},
    {"ControllerStaleAnswersFirst",
     [](Board &b) {
       b.controller()->SetTrafficBeforeAnswer(2, sim::MgmtController::Traffic::StaleAnswer);
     },
     nullptr, true},
    {"ControllerRefusesEverything",
     [](Board &b) {
       for (uint32_t code : Faultless().codesAsked) {
         b.controller()->Refuse(code);
       }
     }},
};

// Pairs whose faults meet on one path: both PEI devices the lock handling
// and the EC option use, the link and its far end, two kinds of traffic the
// receive path must sort out, a hidden bridge beside a missing controller.
const std::pair<const char *, const char *> kPairs[] = {
    {"EcAbsent", "SidebandBridgeHidden"},
    {"EcMuteReads", "SidebandBridgeRefuses"},
    {"NicLinkDown", "ControllerSilent"},
    {"NicEveryReceivedFrameInError", "ControllerDropsThreeRequests"},
    {"ControllerDropsThreeRequests", "ControllerStaleAnswersFirst"},
    {"ControllerLate", "ControllerTrafficBeforeAnswers"},
    {"NicOobFirmwareStuckBusy", "ControllerRefusesEverything"},
    {"SidebandBridgeStuckBusy", "NicAbsent"},
};

struct Case {
  std::string name;
  Hook apply;
  std::set<std::string> exhaustsWaitsOf;
  bool answersMisleading = false;
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Fault &Find(const char *name) {
  for (const Fault &f : kSingle) {
    if (std::string(f.name) == name) {
      return f;
    }
  }
  std::fprintf(stderr, "no fault %s\n", name);
  std::abort();
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  auto models = [](const Fault &f) {
    return f.exhaustsWaitsOf != nullptr ? std::set<std::string>{f.exhaustsWaitsOf}
                                        : std::set<std::string>{};
  };
  for (const Fault &f : kSingle) {
    cases.push_back({f.name, f.apply, models(f), f.answersMisleading});
  }
  for (const auto &[a, b] : kPairs) {
    const Fault &first = Find(a);
    const Fault &second = Find(b);
    std::set<std::string> exempt = models(first);
    exempt.merge(models(second));
    cases.push_back({std::string(a) + "_And_" + b,
                     [one = first.apply, two = second.apply](Board &board) {
                       one(board);
                       two(board);
                     },
                     exempt, first.answersMisleading || second.answersMisleading});
  }
  return cases;
}

// Each byte either as the flash held it or as the faultless boot left it.
size_t BytesNoFaultlessBootWouldWrite(const std::vector<uint8_t> &before,
                                      const std::vector<uint8_t> &faultless,
                                      const std::vector<uint8_t> &after) {
  if (after.size() != before.size() || faultless.size() != before.size()) {
    return after.size() + 1;
  }
  size_t odd = 0;
  for (size_t i = 0; i < after.size(); i++) {
    odd += after[i] != before[i] && after[i] != faultless[i];
  }
  return odd;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {};

TEST_P(FaultMatrix, EndsExplainedLeaksNothingAndWritesOnlyWhatAFaultlessBootWould) {
  const Reference &clean = Faultless();
  ASSERT_GT(clean.pagesAtExit, 0u);

  Outcome o = BootFaulted(GetParam().apply);
  ASSERT_FALSE(o.run.boots.empty());
  const std::string report = sim::board::ReportJson(*o.board, o.run);
  std::string endings;
  std::string leaks;
  for (const BootRecord &boot : o.run.boots) {
    EXPECT_TRUE(boot.ending == BootRecord::Ending::ReadyToBoot ||
                boot.ending == BootRecord::Ending::Reset ||
                boot.ending == BootRecord::Ending::PowerOff ||
                boot.ending == BootRecord::Ending::Watchdog)
        << "boot " << boot.number << ": " << EndingName(boot.ending) << " in " << boot.endStep
        << ": " << boot.endDetail;
    EXPECT_NE(report.find("\"ending\":\"" + std::string(EndingName(boot.ending)) + "\""),
              std::string::npos);
    if (boot.ending != BootRecord::Ending::ReadyToBoot) {
      EXPECT_FALSE(boot.endStep.empty() && boot.endDetail.empty()) << "no reason given";
    } else {
      EXPECT_LE(boot.poolBytesAtExit, clean.poolBytesAtExit) << "pool kept beyond a faultless boot";
      EXPECT_LE(boot.pagesAtExit, clean.pagesAtExit) << "pages kept beyond a faultless boot";
      leaks += (leaks.empty() ? "" : ", ") + std::to_string(boot.poolBytesAtExit) + " B/" +
               std::to_string(boot.pagesAtExit) + " p";
    }
    endings += (endings.empty() ? "" : ", ") + std::string(EndingName(boot.ending)) +
               (boot.endStep.empty() ? "" : " in " + boot.endStep);
  }
  EXPECT_EQ(o.run.dmaAfterExitBootServices, 0u);
  std::string misuse;
  for (const sim::board::ModelFaultCounts &model : o.board->ModelFaults()) {
    for (const sim::board::ModelFaultCounter &counter : model.counters) {
      if (counter.value == 0) {
        continue;
      }
      misuse += " " + model.model + "." + counter.name + "=" + std::to_string(counter.value);
      EXPECT_TRUE(GetParam().exhaustsWaitsOf.count(model.model))
          << model.model << " " << counter.name << " " << counter.value;
    }
  }

  const size_t oddSetup =
      BytesNoFaultlessBootWouldWrite(Board::DefaultSetup(), clean.setup, SetupOf(*o.board));
  const std::optional<std::vector<uint8_t>> accevar = AcceVarOf(*o.board);
  const bool accevarUnchanged = !accevar.has_value(); // the default board has none
  const bool accevarAsFaultless = accevarUnchanged || accevar == clean.accevar;
  if (!GetParam().answersMisleading) {
    EXPECT_EQ(oddSetup, 0u) << "Setup bytes no faultless boot writes";
    EXPECT_TRUE(accevarAsFaultless) << "AcceVar as no faultless boot leaves it";
  }

  std::string accevarText = accevarUnchanged ? "unchanged" : "{";
  for (size_t i = 0; accevar.has_value() && i < accevar->size(); i++) {
    accevarText +=
        (i != 0 ? " " : "") + std::to_string((*accevar)[i]) + (i + 1 == accevar->size() ? "}" : "");
  }
  const bool setupChanged = SetupOf(*o.board) != Board::DefaultSetup();
  std::printf("| %s | %s | %s |%s | Setup %s, AcceVar %s |\n", GetParam().name.c_str(),
              endings.c_str(), leaks.empty() ? "-" : leaks.c_str(),
              misuse.empty() ? " none" : misuse.c_str(),
              !setupChanged   ? "unchanged"
              : oddSetup == 0 ? "as a faultless boot"
                              : "changed",
              accevarText.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryFaultAloneAndInPairs, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) {
                           return info.param.name;
                         });

} // namespace

#endif
