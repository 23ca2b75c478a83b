// Bring-up by chip version, seen in the controller model's registers after an
// opening: one representative of each class and of the GPHY group, the soft
// reset's early end on an absent device, and OOB firmware detection by kind.
#include "LinkFixture.h"

#include "BringUp.h"

namespace link_test {
namespace {

uint32_t DmaBurst(const sim::NicModel &nic) { return (nic.Reg32(0x40) >> 8) & 7; }

// Class 4 with the PHY quirk, no OOB firmware, link up.
using Version55Test = VersionFixture<55, false>;
TEST_F(Version55Test, ReceiveConfigurationMaxSizeAndBurst) {
  LoadAndOpen();
  // (old AND NOT 0xC73F) OR 0x28700, then bits 3..1 set by the start.
  EXPECT_EQ(nic_.Reg32(0x44) & 0x0002C73F, 0x0002870Eu);
  EXPECT_EQ(nic_.Reg16(0xDA), 0x05F3);
  EXPECT_EQ(DmaBurst(nic_), 7u);
  EXPECT_EQ(nic_.Reg32(0x08), 0xFFFFFFFFu);
  EXPECT_EQ(nic_.Reg32(0x0C), 0xFFFFFFFFu);
  EXPECT_EQ(nic_.Reg16(0xE0) & 3, 1) << "b = 1 for this version";
}

// Class 1: no engine start by the class 2/3/4 step, command register 0xE0 zeroed.
using Version4Test = VersionFixture<4, false>;
TEST_F(Version4Test, ReceiveConfigurationIsWrittenWhole) {
  LoadAndOpen();
  EXPECT_EQ(nic_.Reg32(0x44), 0x0000E700u);
  EXPECT_EQ(nic_.Reg16(0xE0), 0);
  EXPECT_EQ(nic_.Reg16(0xDA), 0x05F3);
  EXPECT_EQ(DmaBurst(nic_), 7u);
  ASSERT_EQ(Send({1, 2}), EFI_SUCCESS);
  EXPECT_EQ(SentFrames().size(), 1u);
}

// Class 2 with its own burst and receive size.
using Version25Test = VersionFixture<25, false>;
TEST_F(Version25Test, ReceiveConfigurationMaxSizeAndBurst) {
  LoadAndOpen();
  EXPECT_EQ(nic_.Reg32(0x44) & 0x73F, 0x70Eu);
  EXPECT_EQ(nic_.Reg16(0xDA), 0x05EF);
  EXPECT_EQ(DmaBurst(nic_), 1u);
  EXPECT_EQ(nic_.Reg16(0xE0) & 3, 3) << "b = 3 for this version";
  EXPECT_EQ(nic_.Reg32(0x08), 0xFFFFFFFFu);
}

// Class 3 (also GPHY): internal registers instead of 0x44, the other doorbell.
using Version62Test = VersionFixture<62>;
TEST_F(Version62Test, InternalRegistersAndTheAlternateDoorbell) {
  LoadAndOpen();
  EXPECT_EQ(nic_.Reg16(0xDA), 0x400B);
  EXPECT_EQ(nic_.InternalRegister(0xC0AA), 0x07D0);
  EXPECT_EQ(nic_.InternalRegister(0xC0A6), 0x0150);
  EXPECT_EQ(nic_.InternalRegister(0xD3E2) & 0x0FFF, 0x03A9);
  EXPECT_EQ(nic_.InternalRegister(0xC140), 0xFFFF);
  EXPECT_EQ(nic_.InternalRegister(0xC142), 0xFFFF);
  EXPECT_EQ(nic_.Reg32(0x44) & 0xE, 0xEu);
  ASSERT_EQ(Send({1, 2}), EFI_SUCCESS);
  EXPECT_EQ(SentFrames().size(), 1u) << "rung through register 0x90";
  EXPECT_EQ(nic_.IgnoredDoorbells(), 0u);
}

// Class 4 in the GPHY group with OOB firmware (the model's default part).
using Version61Test = VersionFixture<61>;
TEST_F(Version61Test, ExtendedRegistersPciBytesAndF2) {
  Load();
  machine_.trace().Enable(true);
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  EXPECT_EQ(nic_.Reg32(0x44), 0x00008F0Eu);
  EXPECT_EQ(nic_.ExtendedRegister(0xE8), 0x00100006u);
  EXPECT_EQ(nic_.ExtendedRegister(0xC8) & 0x00FF00FF, 0x00080002u);
  EXPECT_EQ(nic_.ExtendedRegister(0xCC) & 0xFF, 0x2Fu);
  EXPECT_EQ(nic_.ExtendedRegister(0xD0) & 0xFF, 0x5Fu);
  EXPECT_EQ(nic_.ExtendedRegister(0x2F8), 0x1D8Fu);
  EXPECT_EQ(nic_.ExtendedRegister(0x1D0) & 2, 0u);
  EXPECT_EQ(nic_.ExtendedRegister(0xDC) & 1, 1u) << "the gate ends set";
  EXPECT_EQ(nic_.Reg16(0xDA), 0x05F3);
  EXPECT_EQ(nic_.Reg8(0x40) & 0x80, 0x80);
  EXPECT_EQ(nic_.Reg8(0xF2) & 0x08, 0) << "bit 3 of 0xF2 is cleared again";
  // Configuration bytes the model may keep read-only: look at the writes.
  uint64_t config = 0xE0000000ull + (uint64_t{kNicBus} << 20);
  EXPECT_GE(machine_.trace().Count(sim::TraceMatch::MmioWr(config + 0x79, 0x50).Size(1)), 1u);
  EXPECT_GE(machine_.trace().Count(sim::TraceMatch::MmioWr(config + 0x70F, 0x17).Size(1)), 1u);
  EXPECT_EQ(nic_.Reg16(0xE0) & ~0x2063 & 0xFFFF, 0);
}

// Version 44 forgets its transmit ring address on a soft reset; 45 does not.
class TxRingRewriteTest : public LinkFixture {
protected:
  explicit TxRingRewriteTest(unsigned version) : LinkFixture(ConfigFor(version, false)) {}
  // Whether the last reset of an opening is followed by the ring address.
  bool RingWrittenAfterLastReset() {
    machine_.trace().Enable(true);
    machine_.trace().Clear();
    EXPECT_EQ(Open(1, kTag), EFI_SUCCESS);
    uint16_t io = static_cast<uint16_t>(nic_.BarBase(0));
    const auto &entries = machine_.trace().Entries();
    size_t lastReset = 0, lastRing = 0;
    for (size_t i = 0; i < entries.size(); i++) {
      const sim::TraceEntry &e = entries[i];
      if (e.kind != sim::TraceEntry::IoWrite) {
        continue;
      }
      if (e.address == io + 0x37u && e.value == 0x10) {
        lastReset = i;
      }
      if (e.address == io + 0x20u && e.value == static_cast<uint32_t>(nic_.TxRingAddress())) {
        lastRing = i;
      }
    }
    return lastRing > lastReset;
  }
};
class Version44Test : public TxRingRewriteTest {
protected:
  Version44Test() : TxRingRewriteTest(44) {}
};
class Version45Test : public TxRingRewriteTest {
protected:
  Version45Test() : TxRingRewriteTest(45) {}
};
TEST_F(Version44Test, SoftResetRewritesTheTransmitRingAddress) {
  Load();
  EXPECT_TRUE(RingWrittenAfterLastReset());
  ASSERT_EQ(Send({9}), EFI_SUCCESS);
  EXPECT_EQ(SentFrames().size(), 1u);
}
TEST_F(Version45Test, SoftResetLeavesTheTransmitRingAddressAlone) {
  Load();
  EXPECT_FALSE(RingWrittenAfterLastReset());
}

// Versions 64 and 66 share block K of the quirks; 66 leaves out its 0xF1 and
// 0xE0 steps. Marks set in those registers beforehand show which ran.
class BlockKTest : public LinkFixture {
protected:
  explicit BlockKTest(unsigned version) : LinkFixture(ConfigFor(version, false)) {}
  void OpenWithMarks() {
    Load();
    uint16_t io = static_cast<uint16_t>(nic_.BarBase(0));
    machine_.bus().IoWrite(static_cast<uint16_t>(io + 0xF1), 1, 0x80);
    machine_.bus().IoWrite(static_cast<uint16_t>(io + 0xE0), 2, 0x8000);
    ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  }
  void ExpectSharedSteps() {
    EXPECT_EQ(nic_.ConfigRead(0x79, 1), 0x50u);
    EXPECT_EQ(nic_.ConfigRead(0x70F, 1), 0x17u);
    EXPECT_EQ(nic_.ExtendedRegister(0xC8), 0x00100002u);
    EXPECT_EQ(nic_.ExtendedRegister(0xE8), 0x00100006u);
    EXPECT_EQ(nic_.ExtendedRegister(0xDC) & 1, 1u);
    EXPECT_EQ(nic_.Reg8(0x40) & 0x80, 0x80);
    EXPECT_EQ(nic_.Reg16(0xDA), 0x05F3);
    EXPECT_EQ(nic_.Reg8(0x50) & 0xC0, 0) << "locked again";
  }
};
class Version64Test : public BlockKTest {
protected:
  Version64Test() : BlockKTest(64) {}
};
class Version66Test : public BlockKTest {
protected:
  Version66Test() : BlockKTest(66) {}
};
TEST_F(Version64Test, WholeBlockK) {
  OpenWithMarks();
  ExpectSharedSteps();
  EXPECT_EQ(nic_.Reg8(0xF1) & 0x80, 0);
  EXPECT_EQ(nic_.Reg16(0xE0), 0x0001) << "b = 1, then AND 0x2063";
}
TEST_F(Version66Test, BlockKWithoutTheF1AndE0Steps) {
  OpenWithMarks();
  ExpectSharedSteps();
  EXPECT_EQ(nic_.Reg8(0xF1) & 0x80, 0x80);
  EXPECT_EQ(nic_.Reg16(0xE0), 0x8001) << "b = 1 only";
}

using SoftResetTest = LinkFixture;

TEST_F(SoftResetTest, AbsentDeviceEndsTheWaitAtTheFirstPoll) {
  Load();
  nic_.SetAbsent(true);
  machine_.trace().Enable(true);
  machine_.trace().Clear();
  uint64_t start = machine_.clock().NowNs();
  RunOk([&] { NicSoftReset(Context()); });
  uint64_t elapsed = machine_.clock().NowNs() - start;
  uint16_t command = static_cast<uint16_t>(nic_.BarBase(0) + 0x37);
  EXPECT_EQ(machine_.trace().Count(sim::TraceMatch::IoRd(command)), 1u);
  EXPECT_GE(elapsed, 250'000u) << "one 50 us poll and the 200 us settle";
  EXPECT_LT(elapsed, 300'000u);
}

TEST_F(SoftResetTest, ResetWaitsForTheBitToClear) {
  Load();
  nic_.SetResetDelay(1'000'000);
  uint64_t start = machine_.clock().NowNs();
  RunOk([&] { NicSoftReset(Context()); });
  EXPECT_GE(machine_.clock().NowNs() - start, 1'000'000u);
  EXPECT_EQ(nic_.CommandRegister() & 0x10, 0);
}

// OOB firmware detection: kind 1 (versions 54 to 57) through the OCP window,
// kinds 2 and 3 through register 0x128, and never for other versions.
class OobDetectionTest : public LinkFixture {
protected:
  OobDetectionTest(unsigned version, bool firmware) : LinkFixture(ConfigFor(version, firmware)) {}
  size_t StartRequests() const {
    size_t n = 0;
    for (const auto &r : nic_.OobRequests()) {
      n += r.command == 0x05 ? 1 : 0;
    }
    return n;
  }
};

#define OOB_FIXTURE(Name, Version, Firmware)                                                       \
  class Name : public OobDetectionTest {                                                           \
  protected:                                                                                       \
    Name() : OobDetectionTest(Version, Firmware) {}                                                \
  }

OOB_FIXTURE(Kind1With, 54, true);
OOB_FIXTURE(Kind1Without, 54, false);
OOB_FIXTURE(Kind1Version57With, 57, true);
OOB_FIXTURE(Kind1Version57Without, 57, false);
OOB_FIXTURE(Kind2With, 59, true);
OOB_FIXTURE(Kind2Without, 59, false);
OOB_FIXTURE(Kind3With, 61, true);
OOB_FIXTURE(Kind0, 45, true);

// A busy firmware keeps 0x34 non-zero: the stop gives up and sets the OCP
// failure flag, after which the internal MAC register writes of the PHY
// set-up are silent (0xE052 keeps its bit 0).
TEST_F(Kind1With, StopWaitsOnTheFirmwareAndTheQuirkFlagIsCleared) {
  nic_.SetOobBusyStuck(true);
  nic_.SetInternalRegister(0xE052, 0x0001);
  Load();
  EXPECT_EQ(nic_.InternalRegister(0xE052) & 1, 1);
  EXPECT_EQ(Context()->Adapter.OobFirmware, 1);
  EXPECT_EQ(Context()->Adapter.PhyQuirk, 0);
}

// Byte reads of OOB registers 0x34 (lane 0) and 0x35 (lane 1) through the
// OCP window: the stop reads 0x34 until idle, at most ten times, and turns
// to 0x35 only when 0x34 went idle.
class StopWaitTest : public OobDetectionTest {
protected:
  StopWaitTest() : OobDetectionTest(54, true) {}
  std::pair<size_t, size_t> IdleReadsAtCreation() {
    machine_.trace().Enable(true);
    Load();
    uint16_t command = static_cast<uint16_t>(nic_.BarBase(0) + 0xB4);
    return {machine_.trace().Count(sim::TraceMatch::IoWr(command, 0x1034)),
            machine_.trace().Count(sim::TraceMatch::IoWr(command, 0x2034))};
  }
};

TEST_F(StopWaitTest, IdleFirmwareIsAskedAbout34Then35) {
  EXPECT_EQ(IdleReadsAtCreation(), (std::pair<size_t, size_t>{1, 1}));
  EXPECT_EQ(Context()->Adapter.OcpFailed, 0);
}

TEST_F(StopWaitTest, ClosingStopsLikeTheOpeningWithTheFirmwareWait) {
  IdleReadsAtCreation();
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  machine_.trace().Clear();
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  uint16_t io = static_cast<uint16_t>(nic_.BarBase(0));
  EXPECT_EQ(machine_.trace().Count(sim::TraceMatch::IoWr(static_cast<uint16_t>(io + 0xB4), 0x1034)),
            1u);
  EXPECT_EQ(machine_.trace().Count(sim::TraceMatch::IoWr(static_cast<uint16_t>(io + 0x37), 0)), 1u);
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0);
}

TEST_F(StopWaitTest, BusyFirmwareGetsTenLooksAt34AndNoneAt35) {
  nic_.SetOobBusyStuck(true);
  EXPECT_EQ(IdleReadsAtCreation(), (std::pair<size_t, size_t>{10, 0}));
  EXPECT_EQ(Context()->Adapter.OcpFailed, 1);
}

TEST_F(Kind1Without, NoFirmwareNoWaitAndTheQuirkFlagStays) {
  nic_.SetOobBusyStuck(true);
  nic_.SetInternalRegister(0xE052, 0x0001);
  Load();
  EXPECT_EQ(nic_.InternalRegister(0xE052) & 1, 0);
  EXPECT_EQ(Context()->Adapter.OobFirmware, 0);
  EXPECT_EQ(Context()->Adapter.PhyQuirk, 1);
}

TEST_F(Kind1Version57With, FindsTheFirmwareInRegisterB8) {
  Load();
  EXPECT_EQ(Context()->Adapter.OobFirmware, 1);
}

TEST_F(Kind1Version57Without, IgnoresRegister10) {
  nic_.SetOobRegister(0x10, 0x8000);
  Load();
  EXPECT_EQ(Context()->Adapter.OobFirmware, 0);
}

TEST_F(Kind2With, FirmwareIsStartedAtCreation) {
  Load();
  EXPECT_EQ(StartRequests(), 1u);
}

TEST_F(Kind2Without, NoFirmwareNoStart) {
  Load();
  EXPECT_EQ(StartRequests(), 0u);
}

TEST_F(Kind3With, FirmwareIsStartedAtCreation) {
  Load();
  EXPECT_EQ(StartRequests(), 1u);
}

TEST_F(Kind0, VersionsWithoutOobFirmwareNeverLook) {
  Load();
  EXPECT_TRUE(nic_.OobRequests().empty());
  EXPECT_EQ(Context()->Adapter.OobFirmware, 0);
}

} // namespace
} // namespace link_test

namespace link_test {
namespace {

// Every chip version the model knows, opened, used and closed: the
// controller counts nothing a correct driver would not do.
class MisuseByVersionTest : public LinkFixture,
                            public ::testing::WithParamInterface<std::pair<unsigned, bool>> {
protected:
  MisuseByVersionTest() : LinkFixture(ConfigFor(GetParam().first, GetParam().second)) {}
};

// The fixture's tear-down looks at the counters.
TEST_P(MisuseByVersionTest, OpeningSendingAndClosingCountNoMisuse) {
  LoadAndOpen();
  ASSERT_EQ(Send({1, 2, 3}), EFI_SUCCESS);
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
}

std::vector<std::pair<unsigned, bool>> AllVersions() {
  std::vector<std::pair<unsigned, bool>> versions;
  for (unsigned v = 1; v <= 66; v++) {
    if (v == 33) {
      continue; // no part reports it
    }
    versions.push_back({v, false});
    if (v >= 54 && v <= 61) {
      versions.push_back({v, true});
    }
  }
  return versions;
}

INSTANTIATE_TEST_SUITE_P(AllVersions, MisuseByVersionTest, ::testing::ValuesIn(AllVersions()),
                         [](const auto &info) {
                           return "V" + std::to_string(info.param.first) +
                                  (info.param.second ? "Oob" : "");
                         });

} // namespace
} // namespace link_test
