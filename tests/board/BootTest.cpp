// Whole boots of the default board and of the shipped scenarios: the road of
// one request on the wire, the inventory's documents, first start, a reset
// and the boot after it, the link unused, no EC, a silent controller, the
// out-of-band switch.
#include "BoardTestSupport.h"

#include "Report.h"
#include "Transcript.h"

#include <Guid/GpioUnlockHob.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>

#include "Chipset.h"
#include "Ec.h"
#include "SuperIo.h"
#if MGMT_BOARD_HAS_NIC
#include "MgmtController.h"
#include "NicModel.h"
#endif
#if MGMT_BOARD_HAS_PCH_GPIO
#include "PchGpioModel.h"
#endif

#include <cstring>
#include <filesystem>

using namespace boardtest;
using sim::board::BootRecord;
using sim::board::BootRunner;

namespace {

bool InBuild(std::initializer_list<const char *> modules) {
  for (const char *name : modules) {
    bool found = false;
    for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
      found |= m.name == name && m.present;
    }
    if (!found) {
      return false;
    }
  }
  return true;
}

#define REQUIRE_MODULES(...)                                                                       \
  if (!InBuild({__VA_ARGS__})) {                                                                   \
    GTEST_SKIP() << "module not in this build";                                                    \
  }

constexpr uint64_t kMs = 1'000'000;

} // namespace

TEST(DefaultBoard, OneBootReachesReadyToBootWithEveryModuleSucceeding) {
  Booted b = BootWith({});
  ASSERT_EQ(b.run.boots.size(), 1u);
  EXPECT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_FALSE(b.run.failed) << b.run.failure;
  const BootRecord &boot = b.run.boots[0];
  EXPECT_EQ(boot.ending, BootRecord::Ending::ReadyToBoot);
  std::vector<std::string> order;
  for (const sim::board::StepRecord &step : boot.steps) {
    if (step.isModule && step.present) {
      EXPECT_EQ(step.status, 0u) << step.name;
      order.push_back(step.name);
    }
  }
  // Start order: the four PEI modules, then the three DXE drivers.
  std::vector<std::string> expected;
  for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
    if (m.present) {
      expected.push_back(m.name);
    }
  }
  EXPECT_EQ(order, expected);
}

// Accesses are kept only for the register trace; the notes come from the
// step observers, which see every event as it happens, so they are the same
// with the register trace, without it, and with a trace that keeps nothing.
TEST(DefaultBoard, NotesAreTheSameWhateverTheTraceKeeps) {
  struct Seen {
    size_t accesses = 0;
    size_t nicEvents = 0;
    std::vector<std::vector<std::string>> notes;
  };
  enum class Keep { Everything, Events, Nothing };
  // One board at a time: each boots, is read, and goes.
  auto boot = [](Keep keep) {
    sim::board::BoardOptions options;
    options.registerTrace = keep == Keep::Everything;
    sim::board::Board board(options);
    board.machine().trace().Enable(keep != Keep::Nothing);
    const sim::board::RunRecord run = sim::board::BootRunner(board).Run(4);
    ExpectNoModelFaults(board);
    Seen seen;
    for (const sim::TraceEntry &e : board.machine().trace().Entries()) {
      seen.accesses += e.kind != sim::TraceEntry::Event;
    }
    seen.nicEvents = board.machine().trace().Count(sim::TraceMatch::Of<sim::ev::NicEnable>());
    for (const BootRecord &record : run.boots) {
      for (const sim::board::StepRecord &step : record.steps) {
        seen.notes.push_back(step.notes);
      }
    }
    return seen;
  };
  const Seen with = boot(Keep::Everything);
  const Seen without = boot(Keep::Events);
  const Seen nothing = boot(Keep::Nothing);
  EXPECT_GT(with.accesses, 1000u);
  EXPECT_EQ(without.accesses, 0u);
  EXPECT_NE(without.nicEvents, 0u);
  EXPECT_EQ(with.nicEvents, without.nicEvents);
  EXPECT_EQ(nothing.nicEvents, 0u);
  EXPECT_EQ(with.notes, without.notes);
  EXPECT_EQ(with.notes, nothing.notes);
}

TEST(DefaultBoard, PeiPulsesTheSuperIoPinsAndSetsTheEcBits) {
  REQUIRE_MODULES("SioGpioPei", "EcPei", "SioSetupPei");
  Booted b = BootWith({});
  const sim::SuperIo &sio = b.board->superio();
  // Pin 47 carries the Setup option afterwards; the others are the pulse.
  for (uint8_t pin : {0x1A, 0x23, 0x32, 0x36}) {
    std::vector<sim::SuperIo::LowInterval> lows = sio.LowIntervals(pin);
    ASSERT_EQ(lows.size(), 1u) << "pin " << int(pin);
    EXPECT_GE(lows[0].LengthNs(), 10 * kMs);
    EXPECT_LT(lows[0].LengthNs(), 11 * kMs);
  }
  EXPECT_EQ(b.board->ec().Register(0, 0xD6) & 0x08, 0);
  EXPECT_EQ(b.board->ec().Register(1, 0x90), 0x01) << "Setup byte 1866 is 1 on the default board";
  bool ecFlagHob = false;
  for (const sim::board::HobRecord &hob : b.run.boots[0].hobs) {
    ecFlagHob |= hob.name == "EC_FLAG_HOB";
  }
  EXPECT_TRUE(ecFlagHob);
}

#if MGMT_BOARD_HAS_NIC
TEST(DefaultBoard, DisplayModeExchangeGoesOnTheWireInOrder) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootWith({});
  std::vector<WireRequest> requests = Requests(*b.board);
  ASSERT_GE(requests.size(), 4u);
  // Read the mode, write it back, read the display-enable pair (equal: no
  // write), then the request word.
  EXPECT_EQ(requests[0].code, kMgmtReadDisplayMode);
  EXPECT_TRUE(requests[0].data.empty());
  EXPECT_EQ(requests[1].code, kMgmtWriteDisplayMode);
  EXPECT_EQ(requests[1].data, std::vector<uint8_t>{0x00});
  EXPECT_EQ(requests[2].code, kMgmtReadDisplayEnable);
  EXPECT_EQ(requests[3].code, kMgmtReadRequestWord);
  // Every request got its answer from port 60000 to port 50000.
  size_t answers = 0;
  for (const sim::board::WireFrame &wire : b.board->Wire()) {
    if (wire.toBoard && IsLinkFrame(wire.frame)) {
      EXPECT_EQ(wire.frame[36] << 8 | wire.frame[37], 50000);
      ++answers;
    }
  }
  EXPECT_EQ(answers, requests.size());
  EXPECT_EQ(b.board->controller()->Item(kMgmtReadDisplayMode), std::vector<uint8_t>{0x00});
}

TEST(DefaultBoard, FourDocumentsReachTheController) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe", "InventoryDxe");
  Booted b = BootWith({});
  sim::board::DocumentSummary docs = sim::board::CollectDocuments(*b.board);
  EXPECT_TRUE(docs.problems.empty());
  ASSERT_EQ(docs.documents.size(), 4u);
  EXPECT_EQ(docs.documents[0].messageId, 2);
  EXPECT_EQ(docs.documents[0].chunks, 2u) << "the inventory is longer than one 799-byte slice";
  EXPECT_EQ(docs.documents[0].text.rfind("{\n\t\"BIOSVendor\":\t\"Tallow Firmware Works\"", 0), 0u);
  EXPECT_NE(docs.documents[0].text.find("\"ProcessorClock\":\t\"3.600 GHz\""), std::string::npos);
  EXPECT_EQ(docs.documents[1].text, "{\n\t\"UUID\":\t\"e56b0d88c412069fd24b417e205c913a\"\n}");
  EXPECT_EQ(docs.documents[2].text, "{\n\t\"uPath\":\t\"Q7146\"\n}");
  EXPECT_EQ(docs.documents[3].text, "{\n\t\"ModelName\":\t\"Q7146-MB\"\n}");
  // The modules did all that with pool and any-address pages above 4 GiB.
  size_t above4GiB = 0;
  for (const sim::GuestMemory::Allocation &a : b.board->machine().memory().Allocations()) {
    above4GiB += a.address >= sim::GuestMemory::k4GiB ? 1 : 0;
  }
  EXPECT_GT(above4GiB, 0u);
}

TEST(DefaultBoard, ProcessorRatioOfTheScenarioReachesTheInventory) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe", "InventoryDxe");
  sim::board::BoardOptions options;
  options.msrRatio = 42;
  Booted b = BootWith(options);
  sim::board::DocumentSummary docs = sim::board::CollectDocuments(*b.board);
  ASSERT_FALSE(docs.documents.empty());
  EXPECT_NE(docs.documents[0].text.find("\"ProcessorClock\":\t\"4.200 GHz\""), std::string::npos);
}

TEST(DefaultBoard, FirmwareCoreDriverAfterReadyToBootRemovesTheLink) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootWith({});
  const sim::board::StepRecord *driver = Step(b.run.boots[0], "firmware-core driver");
  ASSERT_NE(driver, nullptr);
  ASSERT_FALSE(driver->notes.empty());
  EXPECT_NE(driver->notes[0].find("removed 1 link interface"), std::string::npos);
}

TEST(DefaultBoard, ExitBootServicesComesLastAndNoDeviceWritesIntoTheOsMemory) {
  Booted b = BootWith({});
  const BootRecord &boot = b.run.boots[0];
  ASSERT_FALSE(boot.steps.empty());
  const sim::board::StepRecord &exit = boot.steps.back();
  EXPECT_EQ(exit.name, "exit boot services");
  EXPECT_EQ(exit.outcome, sim::RunOutcome::Completed) << exit.outcomeDetail;
  ASSERT_NE(Step(boot, "firmware-core driver"), nullptr);
  EXPECT_LE(Step(boot, "firmware-core driver")->endNs, exit.startNs);
  EXPECT_EQ(boot.dmaAfterExitBootServices, 0u);
  EXPECT_EQ(b.run.dmaAfterExitBootServices, 0u);
  EXPECT_FALSE(b.run.failed) << b.run.failure;
  EXPECT_TRUE(b.board->machine().memory().BootServicesExited());
  // The board watched the devices for a while after the exit.
  EXPECT_EQ(boot.endNs - exit.endNs, BootRunner::kOsWatchNs);
  ASSERT_EQ(exit.notes.size(), 1u);
  EXPECT_EQ(exit.notes[0],
            "boot services ended; in the next 100 ms devices wrote 0 time(s) by DMA into the "
            "OS's memory");
}

TEST(ExitBootServices, ControllerThatKeepsSendingReachesNoMemoryOfTheOs) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootScenario("controller-after-exit.toml");
  const BootRecord &boot = b.run.boots[0];
  const sim::board::StepRecord &exit = boot.steps.back();
  ASSERT_EQ(exit.name, "exit boot services");
  size_t framesAfterExit = 0;
  for (const sim::board::WireFrame &wire : b.board->Wire()) {
    framesAfterExit += wire.toBoard && wire.timeNs > exit.endNs ? 1 : 0;
  }
  EXPECT_EQ(framesAfterExit, 100u) << "one frame a millisecond while the board watches";
  EXPECT_EQ(boot.dmaAfterExitBootServices, 0u) << b.run.failure;
  EXPECT_FALSE(b.run.failed) << b.run.failure;
  ASSERT_EQ(exit.notes.size(), 1u);
  EXPECT_NE(exit.notes[0].find("devices wrote 0 time(s) by DMA into the OS's memory; the "
                               "controller sent 100 frame(s) meanwhile"),
            std::string::npos)
      << exit.notes[0];
}

TEST(ExitBootServices, AFrameReceivedAfterTheExitLandsInTheOsMemoryAndFailsTheRun) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  // The rings the firmware laid out stay in boot-services memory. A
  // controller whose receiver runs again after the exit (here the OS's
  // first act turns the hidden device back on without reprogramming it)
  // writes the next frame from the link into the OS's memory.
  auto board = std::make_unique<sim::board::Board>(sim::board::BoardOptions{});
  BootRunner runner(*board);
  runner.SetOsStart([](sim::board::Board &b) {
    b.nic()->ConfigWrite(0x10, 4, sim::board::kNicIoBase | 1);
    b.nic()->ConfigWrite(0x04, 2, 0x0007);
    b.machine().bus().IoWrite(sim::board::kNicIoBase + 0x37, 1, 0x0C); // receiver, transmitter
    b.nic()->SendToBoard(std::vector<uint8_t>(64, 0xFF), 10 * kMs);
  });
  sim::board::RunRecord run = runner.Run(4);
  ASSERT_EQ(run.boots.size(), 1u);
  EXPECT_EQ(run.boots[0].dmaAfterExitBootServices, 3u) << "the buffer and descriptor words 1, 0";
  EXPECT_EQ(run.dmaAfterExitBootServices, 3u);
  EXPECT_TRUE(run.failed);
  EXPECT_NE(run.failure.find("boot 1: 3 DMA write(s) into the OS's memory after "
                             "exit-boot-services (first: nic wrote 68 bytes at 0x"),
            std::string::npos)
      << run.failure;
  const std::string transcript = sim::board::Transcript(*board, run, false);
  EXPECT_NE(transcript.find("devices wrote 3 time(s) by DMA into the OS's memory (first: nic"),
            std::string::npos);
  EXPECT_NE(sim::board::ReportJson(*board, run).find("\"dmaAfterExitBootServices\":3,"),
            std::string::npos);
}
#endif

#if MGMT_BOARD_HAS_PCH_GPIO
TEST(FirstStart, PulsesThePadInPeiAndLeavesTheMarkDoneForTheNextBoot) {
  REQUIRE_MODULES("MgmtDevicePei", "MgmtAgentDxe");
  Booted b = BootScenario("first-start.toml");
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  std::vector<sim::PchGpioModel::LowInterval> lows = b.board->pchGpio()->LowIntervals(4, 3);
  ASSERT_EQ(lows.size(), 1u);
  EXPECT_GE(lows[0].LengthNs(), 100 * kMs);
  EXPECT_LT(lows[0].LengthNs(), 101 * kMs);
  const sim::board::StepRecord *pei = Step(b.run.boots[0], "MgmtDevicePei");
  ASSERT_NE(pei, nullptr);
  EXPECT_LE(lows[0].endNs, pei->endNs) << "the pulse belongs to the PEI phase";
  EXPECT_TRUE(b.board->pchGpio()->Driven(2, 21));
  EXPECT_TRUE(b.board->pchGpio()->OutputLevel(2, 21)) << "mark 0 drives the pad high";
  EXPECT_EQ(SetupOf(*b.board)[SetupOffset::MgmtFirstStartMark], 0xFF);

  // The next boot on the same board: no pulse any more.
  sim::board::BootRunner again(*b.board);
  sim::board::RunRecord next = again.Run(1);
  ASSERT_TRUE(next.reachedReadyToBoot);
  EXPECT_LT(next.boots[0].endNs - next.boots[0].startNs, 1000 * kMs)
      << sim::board::Transcript(*b.board, next, false);
  EXPECT_TRUE(b.board->pchGpio()->LowIntervals(4, 3).empty());
  EXPECT_FALSE(b.board->pchGpio()->Driven(2, 21));
}
#endif

#if MGMT_BOARD_HAS_NIC
TEST(DisplayModeChange, ResetsAndCompletesOnTheNextBootWithTheCountIncremented) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootScenario("display-mode-change.toml");
  ASSERT_EQ(b.run.boots.size(), 2u);
  EXPECT_EQ(b.run.boots[0].ending, BootRecord::Ending::Reset);
  EXPECT_EQ(b.run.boots[0].endStep, "MgmtAgentDxe");
  EXPECT_EQ(b.run.boots[0].resetValue, 0x0Eu);
  EXPECT_EQ(b.run.boots[1].ending, BootRecord::Ending::ReadyToBoot);
  std::vector<uint8_t> setup = SetupOf(*b.board);
  EXPECT_EQ(setup[SetupOffset::MgmtResetCount], 1);
  EXPECT_EQ(setup[SetupOffset::MgmtDisplayMode], 3);
  // The controller keeps {0, 1} as bytes 2 and 3 of its pair, so the second
  // boot finds them equal and does not write or reset again.
  auto pair = b.board->controller()->Item(kMgmtReadDisplayEnable);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ((*pair)[2], 0);
  size_t pairWrites = 0;
  for (const WireRequest &r : Requests(*b.board)) {
    pairWrites += r.code == kMgmtWriteDisplayEnable;
  }
  EXPECT_EQ(pairWrites, 1u);
}

TEST(LinkNotInUse, NoFrameAppearsOnTheLink) {
  REQUIRE_MODULES("MgmtAgentDxe");
  Booted b = BootScenario("link-disabled.toml");
  EXPECT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_TRUE(b.board->Wire().empty());
  EXPECT_TRUE(b.board->controller()->Notices().empty());
  EXPECT_TRUE(b.board->controller()->Requests().empty());
}

TEST(SilentController, StartUpGivesUpAfterTheRetriesAndTheBootGoesOn) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootScenario("silent-controller.toml");
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_FALSE(b.run.failed);
  const sim::board::StepRecord *agent = Step(b.run.boots[0], "MgmtAgentDxe");
  ASSERT_NE(agent, nullptr);
  ASSERT_EQ(agent->exchanges.size(), 2u) << "display mode, then the request word";
  for (const sim::board::LinkExchange &e : agent->exchanges) {
    EXPECT_FALSE(e.answered);
    EXPECT_EQ(e.attempts, kMgmtTransactAttempts);
  }
  // Five attempts of 50 polls of 1 ms (the scenario's poll count), twice.
  EXPECT_GE(agent->TimeNs(), 2 * 5 * 50 * kMs);
  EXPECT_LT(agent->TimeNs(), 2 * 5 * 60 * kMs);
  const std::string transcript = sim::board::Transcript(*b.board, b.run, false);
  EXPECT_NE(transcript.find("item 0x02030000 display mode: no answer after 5 attempts"),
            std::string::npos);
  std::vector<uint8_t> setup = SetupOf(*b.board);
  EXPECT_EQ(setup[SetupOffset::MgmtDisplayMode], 0) << "a failed read changes nothing";
}

TEST(OobSwitch, SwitchesTheFirmwareOffResetsAndTheNextBootLeavesItOff) {
  REQUIRE_MODULES("MgmtAgentDxe");
  Booted b = BootScenario("oob-switch-reset.toml");
  ASSERT_EQ(b.run.boots.size(), 2u);
  EXPECT_EQ(b.run.boots[0].ending, BootRecord::Ending::Reset);
  EXPECT_EQ(b.run.boots[0].endStep, "MgmtAgentDxe");
  EXPECT_EQ(b.run.boots[1].ending, BootRecord::Ending::ReadyToBoot);
  EXPECT_FALSE(b.board->nic()->OobFirmwareRunning());
  EXPECT_TRUE(b.board->Wire().empty()) << "the link is only used with the firmware wanted on";
}
#endif

TEST(NoEc, NoPpiNoEcWritesAndTheBootStillCompletes) {
  REQUIRE_MODULES("EcPei", "SioGpioPei", "SioSetupPei");
  Booted b = BootScenario("no-ec.toml");
  EXPECT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_TRUE(b.board->ec().Writes().empty());
  const sim::board::StepRecord *ec = Step(b.run.boots[0], "EcPei");
  ASSERT_NE(ec, nullptr);
  EXPECT_EQ(ec->notes.at(0), "no EC answered: EC_ACCESS_PPI not installed");
  // The pulse does not need the EC.
  EXPECT_EQ(b.board->superio().LowIntervals(0x1A).size(), 1u);
}

TEST(Boots, S3ResumeSkipsThePeiPulses) {
  REQUIRE_MODULES("SioGpioPei");
  sim::board::BoardOptions options;
  options.bootMode = 0x11;
  Booted b = BootWith(options);
  EXPECT_TRUE(b.board->superio().LowIntervals(0x1A).empty());
  ASSERT_EQ(b.run.boots.size(), 1u);
  EXPECT_EQ(b.run.boots[0].ending, BootRecord::Ending::S3Resume);
  EXPECT_FALSE(b.run.failed);
  EXPECT_EQ(Step(b.run.boots[0], "MgmtAgentDxe"), nullptr) << "a resume has no DXE phase";
  EXPECT_TRUE(b.board->Wire().empty());
}

TEST(Boots, StopsAtTheBootLimitWhenEveryBootResets) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  // The controller never keeps the pair, so every boot sees a difference:
  // resets until the count wraps past 3 and the fourth change goes through.
  sim::board::BoardOptions options;
  options.controllerItems[kMgmtReadDisplayMode] = {0x83};
  options.controllerFaults.push_back(
      {sim::board::ControllerFault::Kind::Refuse, kMgmtWriteDisplayEnable, 0x0004, 0});
  {
    Booted b = BootWith(options, 2);
    ASSERT_EQ(b.run.boots.size(), 2u);
    EXPECT_FALSE(b.run.reachedReadyToBoot);
    EXPECT_FALSE(b.run.failed);
    EXPECT_EQ(b.run.boots[1].ending, BootRecord::Ending::Reset);
    EXPECT_EQ(SetupOf(*b.board)[SetupOffset::MgmtResetCount], 2);
  }
  Booted all = BootWith(options, 4);
  EXPECT_TRUE(all.run.reachedReadyToBoot);
  EXPECT_EQ(all.run.boots.size(), 4u);
  EXPECT_EQ(SetupOf(*all.board)[SetupOffset::MgmtResetCount], 0) << "the fourth change wraps";
}

#if MGMT_BOARD_HAS_NIC && MGMT_BOARD_HAS_DISPLAY && MGMT_BOARD_HAS_PCI_IO
TEST(DisplayMode2, OnlyTheControllersDisplayKeepsItsGraphicsOutput) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  Booted b = BootScenario("display-mode-2.toml");
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_EQ(b.run.boots.size(), 1u) << "mode 2 keeps the pair as it is: no reset";
  EXPECT_EQ(SetupOf(*b.board)[SetupOffset::MgmtDisplayMode], 2);
  const sim::board::StepRecord *gop = Step(b.run.boots[0], "graphics outputs");
  ASSERT_NE(gop, nullptr);
  EXPECT_EQ(gop->notes.back(), "the agent withdrew the graphics output of display");
}
#endif

TEST(Boots, AStepPastTheWatchdogEndsTheRunAsAFailure) {
  REQUIRE_MODULES("SioGpioPei");
  sim::board::Board board;
  board.machine().SetWatchdog(5 * kMs); // the 10 ms pulse cannot finish
  sim::board::BootRunner runner(board);
  sim::board::RunRecord run = runner.Run(4);
  ASSERT_EQ(run.boots.size(), 1u) << "a hang is not followed by another boot";
  EXPECT_TRUE(run.failed);
  EXPECT_FALSE(run.reachedReadyToBoot);
  EXPECT_EQ(run.boots[0].ending, BootRecord::Ending::Watchdog);
  EXPECT_EQ(run.boots[0].endStep, "SioGpioPei");
  EXPECT_EQ(run.failure.rfind("boot 1: SioGpioPei hung (watchdog)", 0), 0u) << run.failure;
  const sim::board::StepRecord *later = Step(run.boots[0], "MgmtAgentDxe");
  EXPECT_EQ(later, nullptr) << "nothing runs after the hang";
}

#if MGMT_BOARD_HAS_PCH_GPIO
TEST(Pads, EveryDefaultBootRecordsTheDrivePadInGpioUnlockHob) {
  REQUIRE_MODULES("MgmtDevicePei");
  Booted b = BootWith({});
  ASSERT_FALSE(b.run.failed) << b.run.failure;
  const sim::board::HobRecord *unlock = nullptr;
  for (const sim::board::HobRecord &hob : b.run.boots[0].hobs) {
    if (hob.name == "GPIO_UNLOCK_HOB") {
      unlock = &hob;
    }
  }
  // Reached through the services pointer kept below the IDT.
  ASSERT_NE(unlock, nullptr);
  // Series H: groups 0 and 1 own one entry each, so pad 21 of group 2 is
  // bit 21 of entry 2's first bitmap.
  ASSERT_GE(unlock->data.size(), 3 * sizeof(GPIO_UNLOCK_HOB_ENTRY));
  GPIO_UNLOCK_HOB_ENTRY entry;
  std::memcpy(&entry, unlock->data.data() + 2 * sizeof entry, sizeof entry);
  EXPECT_EQ(entry.PadConfigUnlocked, 1u << 21);
}
#endif

#if MGMT_BOARD_HAS_NIC && MGMT_BOARD_HAS_PCH_GPIO
TEST(Pads, SensePadHighDisablesTheDeviceAndTheLinkStaysUnused) {
  REQUIRE_MODULES("MgmtDevicePei", "MgmtAgentDxe");
  sim::board::BoardOptions options;
  options.padLevels["MgmtPadSense"] = true;
  Booted b = BootWith(options);
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  const sim::board::HobRecord *device = nullptr;
  for (const sim::board::HobRecord &hob : b.run.boots[0].hobs) {
    if (hob.name == "MGMT_DEVICE_HOB") {
      device = &hob;
    }
  }
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->data.at(0), 0) << "Enabled";
  EXPECT_EQ(device->data.at(1), 4) << "bridge and three BARs";
  EXPECT_TRUE(b.board->Wire().empty());
}
#endif

TEST(Boots, SeriesLpBoardStillReachesReadyToBoot) {
  sim::board::BoardOptions options;
  options.pchSeries = sim::board::BoardOptions::PchSeries::LP;
  Booted b = BootWith(options);
  EXPECT_TRUE(b.run.reachedReadyToBoot);
  EXPECT_FALSE(b.run.failed) << b.run.failure;
  EXPECT_EQ(b.board->chipset().Series(), sim::PchSeries::LP);
#if MGMT_BOARD_HAS_NIC && MGMT_BOARD_HAS_PCH_GPIO
  // The management device's pads belong to series H: on LP the sense pad
  // cannot be read low, so the device is not enabled and the link unused.
  if (InBuild({"MgmtDevicePei", "MgmtAgentDxe"})) {
    EXPECT_TRUE(b.board->Wire().empty());
  }
#endif
}

#if MGMT_BOARD_HAS_NIC
TEST(ControllerFaults, ADroppedRequestIsRetriedAndARefusalChangesNothing) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  sim::board::BoardOptions options;
  options.dropRequests = 1;
  options.controllerItems[kMgmtReadDisplayMode] = {0x82};
  options.controllerFaults.push_back(
      {sim::board::ControllerFault::Kind::Refuse, kMgmtWriteDisplayMode, 0x0004, 0});
  Booted b = BootWith(options);
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  const sim::board::StepRecord *agent = Step(b.run.boots[0], "MgmtAgentDxe");
  ASSERT_NE(agent, nullptr);
  ASSERT_GE(agent->exchanges.size(), 2u);
  EXPECT_EQ(agent->exchanges[0].code, kMgmtReadDisplayMode);
  EXPECT_EQ(agent->exchanges[0].attempts, 2u) << "the lost request is sent again";
  EXPECT_TRUE(agent->exchanges[0].answered);
  EXPECT_EQ(agent->exchanges[1].code, kMgmtWriteDisplayMode);
  EXPECT_EQ(agent->exchanges[1].status, 0x0004);
  // The refused write leaves the controller's value as it was; the board
  // still takes the mode it read.
  EXPECT_EQ(b.board->controller()->Item(kMgmtReadDisplayMode), std::vector<uint8_t>{0x82});
  EXPECT_EQ(SetupOf(*b.board)[SetupOffset::MgmtDisplayMode], 2);
}

// Answers carry nothing that ties them to their request: the first
// attempt's answer, 50 ms late, lands in the third attempt's 20 polls and is
// taken as its answer.
TEST(ControllerFaults, AnAnswerLaterThanThePollsIsTakenByALaterAttempt) {
  REQUIRE_MODULES("NicLinkDxe", "MgmtAgentDxe");
  sim::board::BoardOptions options;
  options.setupBytes[SetupOffset::MgmtLinkPollCount] = {20, 0, 0, 0};
  options.controllerFaults.push_back(
      {sim::board::ControllerFault::Kind::Late, kMgmtReadRequestWord, 0, 50 * kMs});
  Booted b = BootWith(options);
  ASSERT_TRUE(b.run.reachedReadyToBoot);
  const sim::board::StepRecord *agent = Step(b.run.boots[0], "MgmtAgentDxe");
  ASSERT_NE(agent, nullptr);
  const sim::board::LinkExchange &word = agent->exchanges.back();
  EXPECT_EQ(word.code, kMgmtReadRequestWord);
  EXPECT_EQ(word.attempts, 3u);
  EXPECT_TRUE(word.answered);
}
#endif
