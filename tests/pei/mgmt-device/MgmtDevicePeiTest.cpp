// MgmtDevicePei through the PEI emulation: the first-start pad sequence by
// MgmtFirstStartMark (pads observed over virtual time), the cases that do
// nothing, and MGMT_DEVICE_HOB built at the end of PEI from the device-list
// stand-in and the sense pad.
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <Ppi/PciDeviceList.h>

#include <cstring>
#include <memory>

#include "MgmtDeviceFixture.h"
#include "MgmtDevicePei.h"
#include "PciDeviceListStandIn.h"

namespace {

using sim::Chipset;
using sim::PciDeviceListEntry;
using sim::PciDeviceListStandIn;

constexpr unsigned kGroup = 2;
constexpr unsigned kDrivePad = 21;
constexpr unsigned kSensePad = 20;
constexpr unsigned kPulseGroup = 4;
constexpr unsigned kPulsePad = 3;
constexpr uint64_t kMs = 1'000'000;

std::vector<PciDeviceListEntry> NumberedEntries(size_t count) {
  std::vector<PciDeviceListEntry> entries;
  for (size_t i = 0; i < count; ++i) {
    entries.push_back({kMgmtDeviceKindFunction, static_cast<uint8_t>(i), 0, 0, 0, 0x1000u * (i + 1),
                       0x100, kMgmtDeviceBar0Offset});
  }
  return entries;
}

class MgmtDevicePeiTest : public MgmtDeviceFixture {
protected:
  using MgmtDeviceFixture::MgmtDeviceFixture;

  void SeedSetup(uint8_t mark, size_t size = kSetupVariableSize) {
    std::vector<uint8_t> setup(size, 0x5A);
    if (size > SetupOffset::MgmtFirstStartMark) {
      setup[SetupOffset::MgmtFirstStartMark] = mark;
    }
    ASSERT_EQ(variables.Seed("Setup", gSetupVariableGuid, 7, setup), EFI_SUCCESS);
  }
  void InstallList(std::vector<PciDeviceListEntry> entries, size_t capacity = 0) {
    list = std::make_unique<PciDeviceListStandIn>(std::move(entries), capacity);
    Run([this] { ASSERT_EQ(list->Install(pei), EFI_SUCCESS); });
  }
  void Boot() {
    Run([this] { EXPECT_EQ(pei.RunModule(MgmtDevicePeiEntryPoint, nullptr), EFI_SUCCESS); });
  }
  void EndOfPei() {
    Run([this] { pei.SignalEndOfPei(); });
  }
  const MGMT_DEVICE_HOB *DeviceHob() const {
    return reinterpret_cast<const MGMT_DEVICE_HOB *>(FindGuidHob(gMgmtDeviceHobGuid));
  }
  std::vector<sim::PchGpioModel::OutputChange> History(unsigned group, unsigned pad) const {
    std::vector<sim::PchGpioModel::OutputChange> changes;
    for (const auto &change : gpio.OutputHistory()) {
      if (change.group == group && change.pad == pad) {
        changes.push_back(change);
      }
    }
    return changes;
  }

  std::unique_ptr<PciDeviceListStandIn> list;
};

// ---- First-start sequence ----

struct MarkCase {
  uint8_t mark;
  bool driven; // MgmtPadDrive drives at the end
  bool level;  // ... this level
  bool pulse;  // MgmtPadPulse went low for 100 ms
};

void PrintTo(const MarkCase &c, std::ostream *os) { *os << "mark " << int{c.mark}; }

class FirstStartMarkTest : public MgmtDevicePeiTest,
                           public ::testing::WithParamInterface<MarkCase> {};

TEST_P(FirstStartMarkTest, DrivesAndPulsesThePads) {
  const MarkCase c = GetParam();
  // Both pads start as driving, with the opposite of the level they should
  // end with in the output register: a direction changed before the level
  // would show that level for a moment.
  gpio.SetPadConfig(kGroup, kDrivePad, 0, c.level ? 0 : kGpioDw0TxState);
  gpio.SetPadConfig(kPulseGroup, kPulsePad, 0, kGpioDw0TxDisable | kGpioDw0TxState);
  SeedSetup(c.mark);
  const uint64_t start = machine.clock().NowNs();
  Boot();

  EXPECT_EQ(gpio.Driven(kGroup, kDrivePad), c.driven);
  if (c.driven) {
    EXPECT_EQ(gpio.OutputLevel(kGroup, kDrivePad), c.level);
    EXPECT_EQ(gpio.PadConfig(kGroup, kDrivePad, 0) & kGpioDw0RxDisable, kGpioDw0RxDisable);
  } else {
    // An input: output off, input on.
    EXPECT_EQ(gpio.PadConfig(kGroup, kDrivePad, 0) & (kGpioDw0TxDisable | kGpioDw0RxDisable),
              kGpioDw0TxDisable);
  }
  const auto drive = History(kGroup, kDrivePad);
  ASSERT_GE(drive.size(), 2u);
  for (size_t i = 1; i < drive.size(); ++i) { // after the board's own set-up
    if (drive[i].driven) {
      EXPECT_EQ(drive[i].level, c.level) << "change " << i;
    }
  }

  const auto lows = gpio.LowIntervals(kPulseGroup, kPulsePad);
  if (c.pulse) {
    ASSERT_EQ(lows.size(), 1u);
    EXPECT_GE(lows[0].LengthNs(), 100 * kMs);
    EXPECT_LT(lows[0].LengthNs(), 100 * kMs + kMs / 10);
    EXPECT_FALSE(gpio.Driven(kPulseGroup, kPulsePad));
    for (const auto &change : History(kPulseGroup, kPulsePad)) {
      EXPECT_FALSE(change.driven && change.level) << "pulse pad drove high";
    }
  } else {
    EXPECT_TRUE(lows.empty());
    EXPECT_TRUE(Story(kPulseGroup, kPulsePad).empty()); // not even its level was written
    EXPECT_LT(machine.clock().NowNs() - start, kMs);    // no stall
  }
}

INSTANTIATE_TEST_SUITE_P(Marks, FirstStartMarkTest,
                         ::testing::Values(MarkCase{0x00, true, true, true},
                                           MarkCase{0x01, true, false, true},
                                           MarkCase{0x02, false, false, true},
                                           MarkCase{0xFF, false, false, false}));

TEST_F(MgmtDevicePeiTest, DriveHighPadIsRecordedUnlocked) {
  SeedSetup(kMgmtFirstStartDriveHigh);
  Boot();
  const EFI_HOB_GUID_TYPE *hob = FindGuidHob(gGpioUnlockHobGuid);
  ASSERT_NE(hob, nullptr);
  const auto *entries = reinterpret_cast<const GPIO_UNLOCK_HOB_ENTRY *>(hob + 1);
  EXPECT_EQ(entries[2].PadConfigUnlocked, 1u << kDrivePad);
  EXPECT_EQ(entries[4].PadConfigUnlocked, 1u << kPulsePad);
}

TEST_F(MgmtDevicePeiTest, NoSetupTouchesNoPadButTheHobStillComes) {
  InstallList({});
  Boot();
  EXPECT_EQ(SidebandWindowWrites(), 0u);
  EndOfPei();
  EXPECT_NE(DeviceHob(), nullptr);
}

TEST_F(MgmtDevicePeiTest, SetupTooShortForTheMarkTouchesNoPad) {
  SeedSetup(0, SetupOffset::MgmtFirstStartMark); // ends just before the mark
  Boot();
  EXPECT_EQ(SidebandWindowWrites(), 0u);
}

TEST_F(MgmtDevicePeiTest, SetupLargerThanTheBufferTouchesNoPad) {
  SeedSetup(0, kSetupVariableSize + 1);
  Boot();
  EXPECT_EQ(SidebandWindowWrites(), 0u);
}

class S3ResumeTest : public MgmtDevicePeiTest {
protected:
  S3ResumeTest() : MgmtDevicePeiTest(Chipset::kDeviceIdH, BOOT_ON_S3_RESUME) {}
};

TEST_F(S3ResumeTest, NothingHappensNotEvenTheHob) {
  SeedSetup(kMgmtFirstStartDriveHigh);
  InstallList(sim::DeviceBehindBridge({0, 0x1C, 0}, {1, 0, 0}, {{0x10, 0xE000, 0x100, false}}));
  Boot();
  EndOfPei();
  EXPECT_EQ(SidebandWindowWrites(), 0u);
  EXPECT_EQ(list->RefreshCalls(), 0u);
  EXPECT_EQ(DeviceHob(), nullptr);
}

class LpBoardTest : public MgmtDevicePeiTest {
protected:
  LpBoardTest() : MgmtDevicePeiTest(Chipset::kDeviceIdLp) {}
};

TEST_F(LpBoardTest, SeriesHPadsAreLeftAloneAndTheDeviceIsNotEnabled) {
  SeedSetup(kMgmtFirstStartDriveLow);
  InstallList({});
  Boot();
  EXPECT_EQ(SidebandWindowWrites(), 0u);
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.Enabled, 0);
}

// ---- MGMT_DEVICE_HOB ----

TEST_F(MgmtDevicePeiTest, EmptyListGivesNoEntriesAndEnabledFromTheSensePad) {
  gpio.SetInputLevel(kGroup, kSensePad, false);
  InstallList({});
  Boot();
  EndOfPei();
  const MGMT_DEVICE_HOB *hob = DeviceHob();
  ASSERT_NE(hob, nullptr);
  EXPECT_EQ(hob->Header.Header.HobType, EFI_HOB_TYPE_GUID_EXTENSION);
  EXPECT_EQ(hob->Header.Header.HobLength, 1056);
  EXPECT_EQ(hob->Data.Enabled, 1);
  EXPECT_EQ(hob->Data.EntryCount, 0);
  const auto *data = reinterpret_cast<const uint8_t *>(&hob->Data);
  for (size_t i = 1; i < sizeof(MGMT_DEVICE_HOB_DATA); ++i) {
    ASSERT_EQ(data[i], 0) << "byte " << i;
  }
  EXPECT_EQ(list->RefreshCalls(), 1u);
  EXPECT_EQ(CountGuidHobs(gMgmtDeviceHobGuid), 1u);
}

TEST_F(MgmtDevicePeiTest, SenseHighMeansNotEnabled) {
  gpio.SetInputLevel(kGroup, kSensePad, true);
  InstallList({});
  Boot();
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.Enabled, 0);
}

TEST_F(MgmtDevicePeiTest, SensePadOfAnotherOwnerCountsAsNotEnabled) {
  gpio.SetInputLevel(kGroup, kSensePad, false);
  gpio.SetOwnership(kGroup, kSensePad, 1);
  InstallList({});
  Boot();
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.Enabled, 0);
}

TEST_F(MgmtDevicePeiTest, BridgeAndDeviceRecordsBecomeEntries) {
  gpio.SetInputLevel(kGroup, kSensePad, false);
  InstallList(sim::DeviceBehindBridge({0, 0x1C, 4}, {3, 0, 0},
                                      {{0x10, 0xE000, 0x100, false},
                                       {0x18, 0x1'DF00'0000, 0x1000, true},
                                       {0x20, 0xDF01'0000, 0x4000, true}}));
  Boot();
  EndOfPei();
  const MGMT_DEVICE_HOB *hob = DeviceHob();
  ASSERT_NE(hob, nullptr);
  EXPECT_EQ(hob->Data.Enabled, 1);
  ASSERT_EQ(hob->Data.EntryCount, 4);
  const MGMT_DEVICE_HOB_ENTRY &bridge = hob->Data.Entries[0];
  EXPECT_EQ(bridge.Kind, kMgmtDeviceKindBridge);
  EXPECT_EQ(bridge.Bus, 0);
  EXPECT_EQ(bridge.Device, 0x1C);
  EXPECT_EQ(bridge.Function, 4);
  EXPECT_EQ(bridge.BarOffset, 0);
  const struct {
    uint8_t offset;
    uint64_t base, length;
    uint32_t type;
  } bars[] = {{0x10, 0xE000, 0x100, 0},
              {0x18, 0x1'DF00'0000, 0x1000, kMgmtDeviceBarType64},
              {0x20, 0xDF01'0000, 0x4000, kMgmtDeviceBarType64}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const MGMT_DEVICE_HOB_ENTRY &e = hob->Data.Entries[i + 1];
    EXPECT_EQ(e.Kind, kMgmtDeviceKindFunction);
    EXPECT_EQ(e.Bus, 3);
    EXPECT_EQ(e.Device, 0);
    EXPECT_EQ(e.Function, 0);
    EXPECT_EQ(e.BarOffset, bars[i].offset);
    EXPECT_EQ(e.Base, bars[i].base);
    EXPECT_EQ(e.Length, bars[i].length);
    EXPECT_EQ(e.BarType, bars[i].type);
    EXPECT_EQ(e.Reserved0, 0);
    EXPECT_EQ(e.Reserved1[0] | e.Reserved1[1] | e.Reserved1[2], 0);
  }
  const MGMT_DEVICE_HOB_ENTRY zero{};
  EXPECT_EQ(std::memcmp(&hob->Data.Entries[4], &zero, sizeof zero), 0);
}

TEST_F(MgmtDevicePeiTest, ListIsReadAfterItsRefresh) {
  InstallList({}, 4);
  list->Stage(NumberedEntries(3));
  Boot();
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.EntryCount, 3);
  EXPECT_EQ(DeviceHob()->Data.Entries[2].Base, 0x3000u);
}

TEST_F(MgmtDevicePeiTest, MoreThan32RecordsFillTheHobAndNothingBeyondIt) {
  InstallList(NumberedEntries(40));
  Boot();
  EndOfPei();
  const MGMT_DEVICE_HOB *hob = DeviceHob();
  ASSERT_NE(hob, nullptr);
  EXPECT_EQ(hob->Data.EntryCount, 32);
  EXPECT_EQ(hob->Data.Entries[31].Bus, 31);
  EXPECT_EQ(hob->Data.Entries[31].Base, 0x20000u);
  // The HOB after this one is intact: the list still ends right there.
  const void *next = GetNextHob(hob);
  EXPECT_EQ(GetHobType(next), EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(GetHobLength(next), sizeof(EFI_HOB_GENERIC_HEADER));
}

TEST_F(MgmtDevicePeiTest, CountWhoseLowByteIsZeroStillGives32Entries) {
  InstallList(NumberedEntries(256));
  Boot();
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.EntryCount, 32);
}

TEST_F(MgmtDevicePeiTest, NullRecordPointerEndsTheList) {
  InstallList(NumberedEntries(5));
  list->SetRecordPointer(2, 0);
  Boot();
  EndOfPei();
  ASSERT_NE(DeviceHob(), nullptr);
  EXPECT_EQ(DeviceHob()->Data.EntryCount, 2);
  EXPECT_EQ(DeviceHob()->Data.Entries[1].Bus, 1);
}

TEST_F(MgmtDevicePeiTest, NoDeviceListMeansNoHob) {
  Boot();
  EndOfPei();
  EXPECT_EQ(DeviceHob(), nullptr);
  EFI_STATUS status = EFI_SUCCESS;
  Run([&] {
    status =
        MgmtDeviceEndOfPei(const_cast<EFI_PEI_SERVICES **>(pei.PeiServices()), nullptr, nullptr);
  });
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(DeviceHob(), nullptr);
}

class TinyPeiMemoryTest : public MgmtDevicePeiTest {
protected:
  TinyPeiMemoryTest()
      : MgmtDevicePeiTest(Chipset::kDeviceIdH, BOOT_WITH_FULL_CONFIGURATION, 8192) {}
};

TEST_F(TinyPeiMemoryTest, FailingCreateHobIsReportedAndLeavesNoHob) {
  InstallList(NumberedEntries(2));
  void *filler = nullptr;
  ASSERT_EQ(pei.AllocatePool(pei.HobFreeBytes() - 1000, &filler), EFI_SUCCESS);
  const uint64_t freeBefore = pei.HobFreeBytes();
  ASSERT_LT(freeBefore, sizeof(MGMT_DEVICE_HOB));
  EFI_STATUS status = EFI_SUCCESS;
  Run([&] {
    status =
        MgmtDeviceEndOfPei(const_cast<EFI_PEI_SERVICES **>(pei.PeiServices()), nullptr, nullptr);
  });
  EXPECT_EQ(status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(DeviceHob(), nullptr);
  EXPECT_EQ(pei.HobFreeBytes(), freeBefore);
  EXPECT_EQ(list->RefreshCalls(), 1u);
}

// ---- The device-list stand-in's layout ----

TEST_F(MgmtDevicePeiTest, DeviceListHasItsCountAtByte13AndPointersFromByte17) {
  InstallList(NumberedEntries(3));
  const auto *bytes = reinterpret_cast<const uint8_t *>(list->Ppi());
  uint32_t count = 0;
  std::memcpy(&count, bytes + 13, 4);
  EXPECT_EQ(count, 3u);
  for (unsigned i = 0; i < 3; ++i) {
    uint32_t address = 0;
    std::memcpy(&address, bytes + 17 + 4 * i, 4);
    ASSERT_TRUE(machine.memory().Contains(address, sizeof(PCI_DEVICE_LIST_RECORD)));
    const auto *record = reinterpret_cast<const uint8_t *>(uint64_t{address});
    EXPECT_EQ(record[4], i);                      // bus
    EXPECT_EQ(record[40], kMgmtDeviceBar0Offset); // BAR offset
    uint64_t base = 0;
    std::memcpy(&base, record + 16, 8);
    EXPECT_EQ(base, 0x1000u * (i + 1));
  }
  EXPECT_EQ(pei.FindPpi(gPciDeviceListPpiGuid), list->Ppi());
}

} // namespace
