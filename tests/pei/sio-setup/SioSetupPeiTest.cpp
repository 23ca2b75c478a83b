// SioSetupPei on the simulated board: the Setup option in Super I/O register
// 0x1B, on pin 47 and in EC bank 1, EC_FLAG_HOB from EC bank 2, and what
// happens without Setup, with a short Setup, without the variable or EC PPI
// and without room for the HOB.
#include <gtest/gtest.h>

#include <Guid/EcFlagHob.h>
#include <Guid/SetupVariable.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Register/EcRegisters.h>

#include <algorithm>
#include <vector>

#include "../ModelMisuse.h"
#include "Ec.h"
#include "EcAccess.h"
#include "FirmwareRunner.h"
#include "PeiServicesWithout.h"
#include "SioSetupPei.h"
#include "SuperIo.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/VariableStore.h"

namespace {

using sim::SuperIo;
using sim::TraceEntry;
using sim::TraceMatch;

constexpr uint32_t kSetupAttributes = 7; // non-volatile, boot service, runtime

class SioSetupPeiTest : public ::testing::Test {
protected:
  void TearDown() override {
    ExpectNoEcMisuse(ec); // the faults these tests inject are not misuse
    ExpectNoSuperIoMisuse(sio);
  }
  SioSetupPeiTest() {
    ec.AttachInterface(0x62, 0x66);
    ec.SetRegister(kEcOptionBank, kEcOptionRegister, 0x55);
  }

  void SeedSetup(uint8_t option, size_t size = kSetupVariableSize) {
    std::vector<uint8_t> setup(size, 0xA5);
    if (size > SetupOffset::SioEcOption) {
      setup[SetupOffset::SioEcOption] = option;
    }
    ASSERT_EQ(variables.Seed("Setup", gSetupVariableGuid, kSetupAttributes, setup), EFI_SUCCESS);
  }
  void Run(const std::function<void()> &body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, body);
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }
  void InstallEcAccess() {
    EFI_STATUS status = EFI_ABORTED;
    Run([&] { status = pei.InstallPpi(&mEcAccessPpiDescriptor); });
    ASSERT_EQ(status, EFI_SUCCESS);
  }
  EFI_STATUS RunEntry(const EFI_PEI_SERVICES **services = nullptr) {
    EFI_STATUS status = EFI_ABORTED;
    Run([&] {
      status = services != nullptr ? SioSetupPeiEntryPoint(nullptr, services)
                                   : pei.RunModule(SioSetupPeiEntryPoint, nullptr);
    });
    return status;
  }
  std::vector<const EC_FLAG_HOB *> FlagHobs() const {
    std::vector<const EC_FLAG_HOB *> hobs;
    for (const void *hob = GetNextGuidHob(&gEcFlagHobGuid, pei.HobList()); hob != nullptr;
         hob = GetNextGuidHob(&gEcFlagHobGuid, GetNextHob(hob))) {
      hobs.push_back(static_cast<const EC_FLAG_HOB *>(hob));
    }
    return hobs;
  }
  size_t PortAccesses() {
    return std::count_if(machine.trace().Entries().begin(), machine.trace().Entries().end(),
                         [](const TraceEntry &e) {
                           return e.kind == TraceEntry::IoRead || e.kind == TraceEntry::IoWrite;
                         });
  }
  bool Pin47Untouched() const {
    return sio.Register(0x0F, 0xE3) == 0xFF && sio.Register(0x09, 0x30) == 0x00 &&
           sio.Register(0x09, 0xF0) == 0xFF && sio.DeviceAccesses().size() == 2;
  }

  sim::Machine machine;
  SuperIo sio{machine};
  sim::Ec ec{machine};
  sim::VariableStore variables;
  sim::Pei pei{machine, variables};
};

// ---- The option ----

TEST_F(SioSetupPeiTest, OptionZeroClearsBit7LeavesPin47AndReachesTheEc) {
  SeedSetup(0x00);
  sio.SetGlobalRegister(0x1B, 0xBC);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x3C);
  EXPECT_TRUE(Pin47Untouched());
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x00);
  EXPECT_EQ(ec.SelectedBank(), 0);
  EXPECT_EQ(FlagHobs().size(), 1u);
}

TEST_F(SioSetupPeiTest, OptionFiveSetsBit7ReleasesPin47AndReachesTheEc) {
  SeedSetup(0x05);
  sio.SetGlobalRegister(0x1B, 0x3C);
  sio.SetRegister(0x09, 0xF0, 0x00); // group 4 all outputs
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0xBC);
  EXPECT_EQ(sio.Register(0x0F, 0xE3), 0x7F);
  EXPECT_EQ(sio.Register(0x09, 0x30), 0x04);
  EXPECT_EQ(sio.Register(0x09, 0xF0), 0x80);
  EXPECT_FALSE(sio.Pin(47).output);
  EXPECT_TRUE(sio.Pin(46).output);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x05);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

// Register 0x1B is read and written back inside one configuration sequence,
// logical device 0 selected.
TEST_F(SioSetupPeiTest, Register1BIsUpdatedInOneConfigurationSequence) {
  SeedSetup(0x01);
  sio.SetGlobalRegister(0x1B, 0x3C);
  InstallEcAccess();
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  const std::vector<TraceMatch> sequence = {
      TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x07),
      TraceMatch::IoWr(0x2F, 0x00), TraceMatch::IoWr(0x2E, 0x1B), TraceMatch::IoRd(0x2F),
      TraceMatch::IoWr(0x2F, 0xBC), TraceMatch::IoWr(0x2E, 0xAA)};
  const sim::SequenceResult found = machine.trace().FindSequence(sequence);
  ASSERT_TRUE(found) << found.explanation;
  const auto &entries = machine.trace().Entries();
  const size_t ports =
      std::count_if(entries.begin() + found.positions.front(),
                    entries.begin() + found.positions.back() + 1, [](const TraceEntry &e) {
                      return e.kind == TraceEntry::IoRead || e.kind == TraceEntry::IoWrite;
                    });
  EXPECT_EQ(ports, sequence.size()) << "no other port access in between";
  const auto accesses = sio.DeviceAccesses();
  ASSERT_GE(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].session, accesses[1].session);
}

TEST_F(SioSetupPeiTest, WithoutEcTheSuperIoIsSetAndNoHobIsMade) {
  SeedSetup(0x05);
  sio.SetGlobalRegister(0x1B, 0x3C);
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0xBC);
  EXPECT_FALSE(sio.Pin(47).output);
  EXPECT_TRUE(FlagHobs().empty());
}

// ---- EC_FLAG_HOB ----

struct FlagCase {
  uint8_t reg4F;
  uint8_t flag;
};

class SioSetupPeiFlag : public SioSetupPeiTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(SioSetupPeiFlag, FlagIsOneOnlyForTwo) {
  SeedSetup(0x00);
  ec.SetRegister(kEcFlagBank, kEcFlagRegister, GetParam().reg4F);
  ec.SetRegister(0, kEcFlagRegister, kEcFlagSetValue); // bank 0 must not count
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  const auto hobs = FlagHobs();
  ASSERT_EQ(hobs.size(), 1u);
  EXPECT_EQ(hobs[0]->Header.Header.HobType, EFI_HOB_TYPE_GUID_EXTENSION);
  EXPECT_GE(hobs[0]->Header.Header.HobLength, sizeof(EC_FLAG_HOB));
  EXPECT_EQ(hobs[0]->Flag, GetParam().flag);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

INSTANTIATE_TEST_SUITE_P(Register4F, SioSetupPeiFlag,
                         ::testing::Values(FlagCase{0x02, 1}, FlagCase{0x03, 0}, FlagCase{0x00, 0},
                                           FlagCase{0x82, 0}));

TEST_F(SioSetupPeiTest, SilentEcStillGetsAHobWithFlagZero) {
  SeedSetup(0x05);
  ec.SetRegister(kEcFlagBank, kEcFlagRegister, kEcFlagSetValue);
  ec.SetPresent(false);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  const auto hobs = FlagHobs();
  ASSERT_EQ(hobs.size(), 1u);
  EXPECT_EQ(hobs[0]->Flag, 0);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x55);
}

TEST_F(SioSetupPeiTest, FlagReadThatFailsSelectsBankZeroAgainAndGivesFlagZero) {
  SeedSetup(0x05);
  ec.SetRegister(kEcFlagBank, kEcFlagRegister, kEcFlagSetValue);
  ec.SetMuteReads(true);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  const auto hobs = FlagHobs();
  ASSERT_EQ(hobs.size(), 1u);
  EXPECT_EQ(hobs[0]->Flag, 0);
  EXPECT_EQ(ec.SelectedBank(), 0) << "not left in bank 2";
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x05) << "writes still work";
}

// EC_ACCESS_PPI whose selection of the option's bank fails (the EC did not
// take it); every other operation is the real one.
EC_STATUS EFIAPI WriteRefusingOptionBank(UINT32 Interface, UINT8 Register, UINT8 Value) {
  if (Register == kEcBankSelect && Value == kEcOptionBank) {
    return kEcStatusTimeout;
  }
  return WriteRegister(Interface, Register, Value);
}
const EC_ACCESS_PPI kRefusingPpi = {ReadRegister,     WriteRefusingOptionBank, SendCommand,
                                    SendData,         ReadString,              SmbusWriteByte,
                                    ReadBankRegister, WriteBankRegister};
const EFI_PEI_PPI_DESCRIPTOR kRefusingDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &gEcAccessPpiGuid,
    const_cast<EC_ACCESS_PPI *>(&kRefusingPpi)};

// The option goes to register 0x90 only in bank 1: after a failed select
// it would land on register 0x90 of the bank that happens to be selected.
TEST_F(SioSetupPeiTest, FailedOptionBankSelectWritesNoRegister) {
  SeedSetup(0x05);
  ec.SetRegister(0, kEcOptionRegister, 0x33);
  EFI_STATUS status = EFI_ABORTED;
  Run([&] { status = pei.InstallPpi(&kRefusingDescriptor); });
  ASSERT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(ec.WriteCount(0, kEcOptionRegister), 0u);
  EXPECT_EQ(ec.Register(0, kEcOptionRegister), 0x33);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x55);
  EXPECT_EQ(ec.SelectedBank(), 0);
  EXPECT_EQ(FlagHobs().size(), 1u);
}

TEST_F(SioSetupPeiTest, NoRoomForTheHobEndsAfterTheEcWrite) {
  SeedSetup(0x05);
  ec.SetRegister(kEcFlagBank, kEcFlagRegister, kEcFlagSetValue);
  InstallEcAccess();
  while (pei.HobFreeBytes() >= sizeof(EC_FLAG_HOB)) {
    void *filler = nullptr;
    const uint64_t length = std::min<uint64_t>(pei.HobFreeBytes() & ~uint64_t{7}, 0xFFF8);
    ASSERT_EQ(pei.CreateHob(EFI_HOB_TYPE_UNUSED, static_cast<UINT16>(length), &filler),
              EFI_SUCCESS);
  }
  EXPECT_EQ(RunEntry(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x05);
  EXPECT_EQ(ec.SelectedBank(), 0) << "the option write ends in bank 0";
  EXPECT_TRUE(FlagHobs().empty());
  for (const sim::Ec::RegisterWrite &write : ec.Writes()) {
    EXPECT_FALSE(write.reg == kEcBankSelect && write.value == kEcFlagBank)
        << "the flag is not read without a HOB to put it in";
  }
}

// ---- No usable Setup ----

TEST_F(SioSetupPeiTest, NoSetupTouchesNoPortAndMakesNoHob) {
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_EQ(PortAccesses(), 0u);
  EXPECT_TRUE(FlagHobs().empty());
}

TEST_F(SioSetupPeiTest, SetupLargerThanTheBufferTouchesNoPort) {
  SeedSetup(0x05, kSetupVariableSize + 1);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(PortAccesses(), 0u);
  EXPECT_TRUE(FlagHobs().empty());
}

TEST_F(SioSetupPeiTest, NoVariablePpiTouchesNoPortAndMakesNoHob) {
  SeedSetup(0x05);
  InstallEcAccess();
  sio_test::PeiServicesWithout platform(pei, gEfiPeiReadOnlyVariable2PpiGuid);
  EXPECT_EQ(RunEntry(platform.Services()), EFI_NOT_FOUND);
  EXPECT_EQ(PortAccesses(), 0u);
  EXPECT_TRUE(FlagHobs().empty());
}

// A Setup that ends before offset 1866 chooses no setting: the Super I/O and
// the EC keep theirs, and the EC flag is still published.
TEST_F(SioSetupPeiTest, ShortSetupLeavesTheOptionAloneButPublishesTheFlag) {
  SeedSetup(0x05, SetupOffset::SioEcOption);
  sio.SetGlobalRegister(0x1B, 0x3C);
  ec.SetRegister(kEcFlagBank, kEcFlagRegister, kEcFlagSetValue);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(sio.ConfigEntries(), 0u);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x3C);
  EXPECT_EQ(ec.WriteCount(kEcOptionBank, kEcOptionRegister), 0u);
  const auto hobs = FlagHobs();
  ASSERT_EQ(hobs.size(), 1u);
  EXPECT_EQ(hobs[0]->Flag, 1);
}

TEST_F(SioSetupPeiTest, SetupJustLongEnoughCarriesTheOption) {
  SeedSetup(0x05, SetupOffset::SioEcOption + 1);
  sio.SetGlobalRegister(0x1B, 0x3C);
  InstallEcAccess();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0xBC);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), 0x05);
}

} // namespace
