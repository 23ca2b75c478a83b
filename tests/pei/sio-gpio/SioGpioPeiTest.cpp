// SioGpioPei on the simulated board: the pulse on the five pins seen in
// virtual time, the EC bit cleared through EcPei's EC_ACCESS_PPI on the EC
// model, the S3-resume skip and a platform without the stall PPI.
#include <gtest/gtest.h>

#include <Ppi/Stall.h>
#include <Register/EcRegisters.h>

#include <algorithm>

#include "../ModelMisuse.h"
#include "Ec.h"
#include "EcAccess.h"
#include "FirmwareRunner.h"
#include "PeiServicesWithout.h"
#include "PmTimer.h"
#include "SioGpioPei.h"
#include "SuperIo.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/VariableStore.h"

namespace {

using sim::SuperIo;
using sim::TraceEntry;

constexpr uint8_t kPulsedPins[] = {71, 50, 54, 26, 35};
constexpr uint64_t kPulseNs = 10'000'000;

class SioGpioPeiTest : public ::testing::Test {
protected:
  void TearDown() override {
    ExpectNoEcMisuse(ec); // the faults these tests inject are not misuse
    ExpectNoSuperIoMisuse(sio);
  }
  SioGpioPeiTest() { ec.AttachInterface(0x62, 0x66); }

  void Run(const std::function<void()> &body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, body);
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }
  EFI_STATUS RunEntry() {
    EFI_STATUS status = EFI_ABORTED;
    Run([&] { status = pei.RunModule(SioGpioPeiEntryPoint, nullptr); });
    return status;
  }
  // What EcPei does once it has found the EC.
  void InstallEcAccess() {
    EFI_STATUS status = EFI_ABORTED;
    Run([&] { status = pei.InstallPpi(&mEcAccessPpiDescriptor); });
    ASSERT_EQ(status, EFI_SUCCESS);
  }
  size_t PortAccesses() {
    return std::count_if(machine.trace().Entries().begin(), machine.trace().Entries().end(),
                         [](const TraceEntry &e) {
                           return e.kind == TraceEntry::IoRead || e.kind == TraceEntry::IoWrite;
                         });
  }

  sim::Machine machine;
  sim::PmTimer timer{machine.clock(), machine.bus()};
  SuperIo sio{machine};
  sim::Ec ec{machine};
  sim::VariableStore variables;
  sim::Pei pei{machine, variables};
};

// ---- The pulse ----

TEST_F(SioGpioPeiTest, FivePinsGoLowTogetherForTenMilliseconds) {
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  uint64_t latestStart = 0;
  uint64_t earliestEnd = UINT64_MAX;
  uint64_t previousStart = 0;
  for (const uint8_t pin : kPulsedPins) {
    SCOPED_TRACE(static_cast<int>(pin));
    const auto pulses = sio.LowIntervals(pin);
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_GE(pulses[0].LengthNs(), kPulseNs);
    // Beyond the stall: the Super I/O accesses that lower the pins after
    // this one and raise those before it, an LPC cycle (1 us) each.
    EXPECT_LT(pulses[0].LengthNs(), kPulseNs + kPulseNs / 20);
    EXPECT_GT(pulses[0].startNs, previousStart) << "driven in the order 71, 50, 54, 26, 35";
    previousStart = pulses[0].startNs;
    latestStart = std::max(latestStart, pulses[0].startNs);
    earliestEnd = std::min(earliestEnd, pulses[0].endNs);
  }
  EXPECT_LT(latestStart, earliestEnd) << "all five are low at the same time";
}

TEST_F(SioGpioPeiTest, NoOtherPinIsEverDrivenLow) {
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  for (const SuperIo::PinChange &change : sio.PinHistory()) {
    if (!change.state.level) {
      EXPECT_NE(std::find(std::begin(kPulsedPins), std::end(kPulsedPins), change.pin),
                std::end(kPulsedPins))
          << "pin " << static_cast<int>(change.pin);
    }
  }
}

TEST_F(SioGpioPeiTest, PinsEndAsEnabledPushPullInputs) {
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  for (const uint8_t pin : kPulsedPins) {
    SCOPED_TRACE(static_cast<int>(pin));
    EXPECT_TRUE(sio.Pin(pin).gpio);
    EXPECT_FALSE(sio.Pin(pin).output);
  }
  // Output-type bits: 71 -> 0xE6 bit 1, 50 and 54 -> 0xE4 bits 0 and 4,
  // 26 -> 0xE1 bit 6, 35 -> 0xE2 bit 5.
  EXPECT_EQ(sio.Register(0x0F, 0xE6), 0xFD);
  EXPECT_EQ(sio.Register(0x0F, 0xE4), 0xEE);
  EXPECT_EQ(sio.Register(0x0F, 0xE1), 0xBF);
  EXPECT_EQ(sio.Register(0x0F, 0xE2), 0xDF);
  EXPECT_EQ(sio.Register(0x07, 0x30), 0x02);
  EXPECT_EQ(sio.Register(0x09, 0x30), 0x0B);
  EXPECT_FALSE(sio.InConfigMode());
  EXPECT_EQ(sio.AccessesOutsideConfig(), 0u);
}

TEST_F(SioGpioPeiTest, S3ResumeTouchesNoPortAndRegistersNothing) {
  ec.SetRegister(0, kEcBootBitsRegister, 0xFF);
  ASSERT_EQ(pei.SetBootMode(BOOT_ON_S3_RESUME), EFI_SUCCESS);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(PortAccesses(), 0u);
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::PeiNotifyPpi>()), 0u);

  InstallEcAccess();
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), 0xFF);
  EXPECT_TRUE(ec.Writes().empty());
}

TEST_F(SioGpioPeiTest, WithoutStallPpiPinsStayButTheEcBitIsStillCleared) {
  ec.SetRegister(0, kEcBootBitsRegister, 0xFF);
  sio_test::PeiServicesWithout platform(pei, gEfiPeiStallPpiGuid);
  EFI_STATUS status = EFI_ABORTED;
  Run([&] { status = SioGpioPeiEntryPoint(nullptr, platform.Services()); });
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(sio.ConfigEntries(), 0u);
  EXPECT_TRUE(sio.PinHistory().empty());

  InstallEcAccess();
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), 0xF7);
}

// ---- The EC bit ----

struct BootBitsCase {
  uint8_t before;
  uint8_t after;
};

class SioGpioPeiEcBit : public SioGpioPeiTest,
                        public ::testing::WithParamInterface<BootBitsCase> {};

TEST_P(SioGpioPeiEcBit, EcInstalledFirstIsHandledDuringRegistration) {
  ec.SetRegister(0, kEcBootBitsRegister, GetParam().before);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), GetParam().after);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

TEST_P(SioGpioPeiEcBit, EcInstalledLaterIsHandledOnInstallation) {
  ec.SetRegister(0, kEcBootBitsRegister, GetParam().before);
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_TRUE(ec.Writes().empty());
  InstallEcAccess();
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Values, SioGpioPeiEcBit,
                         ::testing::Values(BootBitsCase{0xFF, 0xF7}, BootBitsCase{0x00, 0x00},
                                           BootBitsCase{0x08, 0x00}, BootBitsCase{0xF7, 0xF7}));

TEST_F(SioGpioPeiTest, EcBitIsClearedInBankZeroWhateverBankWasSelected) {
  ec.SelectBank(2);
  ec.SetRegister(0, kEcBootBitsRegister, 0x0F);
  ec.SetRegister(2, kEcBootBitsRegister, 0x0F);
  InstallEcAccess();
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), 0x07);
  EXPECT_EQ(ec.Register(2, kEcBootBitsRegister), 0x0F);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

TEST_F(SioGpioPeiTest, SilentEcLeavesTheRegisterAndThePulseStillHappens) {
  ec.SetRegister(0, kEcBootBitsRegister, 0xFF);
  ec.SetPresent(false);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_TRUE(ec.Writes().empty());
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), 0xFF);
  EXPECT_EQ(sio.LowIntervals(26).size(), 1u);
}

TEST_F(SioGpioPeiTest, EcThatNeverAnswersTheReadGetsNoWrite) {
  ec.SetRegister(0, kEcBootBitsRegister, 0xFF);
  ec.SetMuteReads(true);
  InstallEcAccess();
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(ec.WriteCount(0, kEcBootBitsRegister), 0u);
  EXPECT_EQ(ec.Register(0, kEcBootBitsRegister), 0xFF);
}

} // namespace
