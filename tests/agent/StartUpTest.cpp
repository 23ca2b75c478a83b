// The agent's entry point: the configuration sweep first, the device HOB and
// its failures, which conditions put the link in use (HOB force, Setup
// missing), which notifications each case leaves behind (seen through what
// they do when their protocol appears), the two start-up exchanges and the
// one-time mark written without undoing what the display-mode exchange stored.
#include "AgentTestSupport.h"

#include <Guid/MgmtFiles.h>
#include <Protocol/DevicePath.h>
#include <Protocol/MgmtTriggers.h>
#include <Protocol/NicIo.h>

#include "Pci.h"
#include "SetupStandIns.h"

namespace {

using namespace agent_test;

constexpr EFI_GUID kHobListGuid = HOB_LIST_GUID;
constexpr uint8_t kNicBus = 3;
constexpr uint16_t kUnclaimedIoBase = 0xD000; // nothing decodes it: reads all ones

class StartUpTest : public AgentTest {
protected:
  StartUpTest() {
    nic.SetIds(0x10EC, 0x8168);
    nic.SetSubsystem(0x10EC, 0x3A7C);
    machine.bus().Pci().Attach(kNicBus, 0, 0, &nic, "nic");
  }

  void BuildHob(uint8_t enabled, std::vector<HobEntry> entries = DefaultEntries()) {
    dxe->AddConfigurationTable(kHobListGuid, hobs.Build(entries, enabled));
  }
  static std::vector<HobEntry> DefaultEntries() {
    return {{kMgmtDeviceKindFunction, kNicBus, 0, 0, kUnclaimedIoBase, 0x100, 0x10, 0}};
  }

  // Loads the agent as the firmware would: globals zero, entry at TPL_APPLICATION.
  EFI_STATUS Start() {
    mImageHandle = nullptr;
    mSystemTable = nullptr;
    mBootServices = nullptr;
    mRuntimeServices = nullptr;
    mDeviceHob = nullptr;
    mNicPresent = FALSE;
    mSavedTransact = nullptr;
    EFI_STATUS status = EFI_NOT_STARTED;
    machine.trace().Clear();
    RunToEnd([&] { status = dxe->RunEntryPoint(MgmtAgentDxeEntryPoint, imageHandle); });
    return status;
  }

  bool NicIoInstalled() { return dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid) != nullptr; }
  bool LinkInstalled(FakeLink &link) {
    for (EFI_HANDLE handle : dxe->Handles()) {
      if (dxe->InterfaceOn(handle, gMgmtLinkProtocolGuid) == link.Protocol()) {
        return true;
      }
    }
    return false;
  }
  size_t IoAccessesAt(uint16_t base) {
    size_t count = 0;
    for (const sim::TraceEntry &entry : machine.trace().Entries()) {
      count += (entry.kind == sim::TraceEntry::IoRead || entry.kind == sim::TraceEntry::IoWrite) &&
               entry.address >= base && entry.address < base + 0x100u;
    }
    return count;
  }

  sim::PciConfigSpace nic;
  HobListBuilder hobs{machine};
};

TEST_F(StartUpTest, SweepReadsEveryFunctionOfBuses0To254InOrderBeforeAnythingElse) {
  BuildHob(0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  // Bus accesses only: the DXE emulation notes its services as events.
  std::vector<sim::TraceEntry> entries;
  for (const sim::TraceEntry &entry : machine.trace().Entries()) {
    if (entry.kind != sim::TraceEntry::Event) {
      entries.push_back(entry);
    }
  }
  size_t index = 0;
  bool inOrder = true;
  for (uint32_t bus = 0; bus < 255 && inOrder; bus++) {
    for (uint32_t device = 0; device < 31 && inOrder; device++) {
      for (uint32_t function = 0; function < 8 && inOrder; function++, index++) {
        inOrder = index < entries.size() && entries[index].kind == sim::TraceEntry::MmioRead &&
                  entries[index].address == sim::EcamAddress(bus, device, function, 0) &&
                  entries[index].size == 4;
      }
    }
  }
  EXPECT_TRUE(inOrder) << "entry " << index - 1 << ": "
                       << (index - 1 < entries.size() ? sim::FormatTraceEntry(entries[index - 1])
                                                      : "missing");
  EXPECT_EQ(index, 63240u);
  // Device 31 and bus 255 are never swept.
  size_t stray = 0;
  for (size_t i = 0; i < std::min<size_t>(entries.size(), 63240); i++) {
    stray += entries[i].address == sim::EcamAddress(0, 31, 0, 0) ||
             entries[i].address == sim::EcamAddress(255, 0, 0, 0);
  }
  EXPECT_EQ(stray, 0u);
}

TEST_F(StartUpTest, MissingHobListOrDeviceHobFailsWithNothingRegistered) {
  SeedSetup(LinkInUseSetup());
  EXPECT_EQ(Start(), EFI_NOT_FOUND) << "no HOB list";
  dxe->AddConfigurationTable(kHobListGuid, hobs.Build(std::nullopt));
  EXPECT_EQ(Start(), EFI_NOT_FOUND) << "no device HOB";

  FakeLink link;
  InstallLink(link);
  EXPECT_TRUE(LinkInstalled(link)) << "no removal registered";
  EXPECT_NE(link.Protocol()->Transact, &AgentTransactWithRetry) << "no wrapper registered";
  EXPECT_FALSE(NicIoInstalled());
}

TEST_F(StartUpTest, DeviceHobTooShortForItsEntriesIsNotUsed) {
  SeedSetup(LinkInUseSetup());
  // Claims one entry but is cut off before it.
  dxe->AddConfigurationTable(kHobListGuid,
                             hobs.Build(DefaultEntries(), 1, sizeof(EFI_HOB_GUID_TYPE) + 8 + 16));
  EXPECT_EQ(Start(), EFI_NOT_FOUND);
  EXPECT_FALSE(NicIoInstalled());
}

TEST_F(StartUpTest, AgentDisabledLeavesOnlyTeardownAndLinkRemoval) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtAgentEnable] = 0;
  SeedSetup(setup);
  BuildHob(1);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_FALSE(NicIoInstalled());

  FakeLink link;
  InstallLink(link);
  EXPECT_FALSE(LinkInstalled(link)) << "any link installed later is removed at once";
  FakeLink another;
  InstallLink(another);
  EXPECT_FALSE(LinkInstalled(another));

  // No setup-push notification: a push trigger reaches nobody.
  sim::SetupBufferProvider live(*dxe);
  live.SetBuffer(setup);
  RunToEnd([&] {
    ASSERT_EQ(live.Install(), EFI_SUCCESS);
    ASSERT_EQ(sim::InstallSetupPushTrigger(*dxe), EFI_SUCCESS);
  });
  EXPECT_EQ(live.GetBufferCalls(), 0u);
}

TEST_F(StartUpTest, HobForceUsesTheLinkWithoutRunningTheOutOfBandSwitch) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtHobForce] = 1;
  SeedSetup(setup);
  BuildHob(0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(IoAccessesAt(kUnclaimedIoBase), 0u) << "Enabled was 0 when the switch was due";
  EXPECT_EQ(hobs.Data()->Enabled, 1) << "the HOB now says enabled";
  EXPECT_TRUE(NicIoInstalled());

  FakeLink link;
  InstallLink(link);
  EXPECT_TRUE(LinkInstalled(link));
  EXPECT_EQ(link.Protocol()->Transact, &AgentTransactWithRetry);
}

TEST_F(StartUpTest, LinkIsUnusedUnlessTheHobTheAgentAndTheOutOfBandModeAllSayYes) {
  struct Case {
    uint8_t enabled, force, oob;
    const char *what;
  };
  for (const Case &c : {Case{0, 0, 1, "HOB disabled and not forced"},
                        Case{0, 1, 0, "out-of-band mode not wanted"}}) {
    NewBoot();
    Bytes setup = LinkInUseSetup();
    setup[SetupOffset::MgmtHobForce] = c.force;
    setup[SetupOffset::MgmtOobEnable] = c.oob;
    SeedSetup(setup);
    BuildHob(c.enabled);
    ASSERT_EQ(Start(), EFI_SUCCESS) << c.what;
    EXPECT_FALSE(NicIoInstalled()) << c.what;
    FakeLink link;
    InstallLink(link);
    EXPECT_FALSE(LinkInstalled(link)) << c.what << ": removed at once";
  }
}

TEST_F(StartUpTest, EnabledHobRunsTheSwitchWithTheWantedState) {
  SeedSetup(LinkInUseSetup());
  BuildHob(1);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  // The switch read the controller's version and OOB state through BAR 0.
  EXPECT_TRUE(machine.trace().FindSequence({sim::TraceMatch::IoRd(kUnclaimedIoBase + 0x40),
                                            sim::TraceMatch::IoWr(kUnclaimedIoBase + 0xB0)}));
}

TEST_F(StartUpTest, MissingSetupReadsAllZeroConditionsAndTouchesNothing) {
  BuildHob(1);
  const uint64_t writes = variables.WriteCount();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(IoAccessesAt(kUnclaimedIoBase), 0u) << "no wanted state, no switch";
  EXPECT_FALSE(NicIoInstalled());
  EXPECT_EQ(variables.WriteCount(), writes);
  EXPECT_FALSE(variables.Read("Setup", kSetupGuid).has_value());
  FakeLink link;
  InstallLink(link);
  EXPECT_FALSE(LinkInstalled(link)) << "link not in use: removed";
}

TEST_F(StartUpTest, FirstStartMarkAlreadyDoneMeansSetupIsNotWritten) {
  SeedSetup(LinkInUseSetup());
  BuildHob(0);
  const uint64_t writes = variables.WriteCount();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(variables.WriteCount(), writes);
}

TEST_F(StartUpTest, FirstStartMarkIsSetToDoneAndNothingElseChanges) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtFirstStartMark] = 1;
  setup[100] = 0x77;
  SeedSetup(setup, 3);
  BuildHob(0);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  Bytes expected = setup;
  expected[SetupOffset::MgmtFirstStartMark] = 0xFF;
  EXPECT_EQ(StoredSetup(), expected);
  EXPECT_EQ(variables.AttributesOf("Setup", kSetupGuid), 3u);
}

// ---- with a link present at start-up ----

class StartUpWithLinkTest : public StartUpTest {
protected:
  void SetUp() override {
    InstallLink(link);
    link.SetItem(kMgmtReadDisplayMode, {0x00});
    link.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 1});
    link.SetItem(kMgmtReadRequestWord, {0, 0, 0, 0});
  }
  FakeLink link;
};

TEST_F(StartUpWithLinkTest, BothStartUpExchangesRunInOrder) {
  SeedSetup(LinkInUseSetup());
  BuildHob(1);
  link.SetItem(kMgmtReadRequestWord, {0x01, 0, 0, 0});
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(link.Codes(), (std::vector<uint32_t>{kMgmtReadDisplayMode, kMgmtWriteDisplayMode,
                                                 kMgmtReadDisplayEnable, kMgmtReadRequestWord,
                                                 kMgmtWriteRequestWord}));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(NicIoInstalled());
}

TEST_F(StartUpWithLinkTest, MarkWriteBackKeepsWhatTheDisplayExchangeStored) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtFirstStartMark] = 0;
  setup[SetupOffset::MgmtDisplayMode] = 3;
  setup[SetupOffset::MgmtResetCount] = 3; // the change completes without a reset
  SeedSetup(setup);
  BuildHob(1);
  link.SetItem(kMgmtReadDisplayMode, {0x81});
  ASSERT_EQ(Start(), EFI_SUCCESS);
  const Bytes stored = StoredSetup();
  EXPECT_EQ(stored[SetupOffset::MgmtFirstStartMark], 0xFF);
  EXPECT_EQ(stored[SetupOffset::MgmtDisplayMode], 1) << "the controller's mode survives";
  EXPECT_EQ(stored[SetupOffset::MgmtResetCount], 0) << "the cleared count survives";
  EXPECT_EQ(link.WritesOf(kMgmtWriteDisplayEnable).size(), 1u);
}

TEST_F(StartUpWithLinkTest, DisplayChangeResetsDuringStartUpAndTheMarkWaits) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtFirstStartMark] = 0;
  setup[SetupOffset::MgmtDisplayMode] = 1;
  SeedSetup(setup);
  BuildHob(1);
  const sim::RunOutcome outcome =
      Run([&] { (void)dxe->RunEntryPoint(MgmtAgentDxeEntryPoint, imageHandle); });
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Reset);
  EXPECT_EQ(outcome.resetValue, 0x0E);
  EXPECT_EQ(StoredSetup()[SetupOffset::MgmtResetCount], 1);
  EXPECT_EQ(StoredSetup()[SetupOffset::MgmtFirstStartMark], 0)
      << "the mark is written only at the end of a start";
}

TEST_F(StartUpWithLinkTest, SetupTriggersReachTheirExchangesWhenTheLinkIsInUse) {
  Bytes setup = LinkInUseSetup();
  PutText(setup, SetupOffset::MgmtTextItem, "host01", 60);
  SeedSetup(setup);
  BuildHob(1);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  sim::SetupBufferProvider live(*dxe);
  RunToEnd([&] {
    ASSERT_EQ(live.Install(), EFI_SUCCESS);
    ASSERT_EQ(sim::InstallSetupPushTrigger(*dxe), EFI_SUCCESS);
  });
  EXPECT_EQ(link.WritesOf(kMgmtWriteRange).size(), 8u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteTextItem).size(), 1u);
  RunToEnd([&] { ASSERT_EQ(sim::InstallSetupPullTrigger(*dxe), EFI_SUCCESS); });
  size_t rangeReads = 0;
  for (uint32_t code : link.Codes()) {
    rangeReads += code == kMgmtReadRange;
  }
  EXPECT_EQ(rangeReads, 8u);
}

TEST_F(StartUpWithLinkTest, NoLinkAtStartUpSkipsTheExchangesButKeepsTheNotifications) {
  // The link goes away between the NIC I/O installation and the exchanges:
  // simulate with no link at all (uninstall the fake first).
  RunToEnd([&] {
    for (EFI_HANDLE handle : dxe->Handles()) {
      if (dxe->InterfaceOn(handle, gMgmtLinkProtocolGuid) != nullptr) {
        ASSERT_EQ(mBootServices->UninstallProtocolInterface(handle, &gMgmtLinkProtocolGuid,
                                                            link.Protocol()),
                  EFI_SUCCESS);
      }
    }
  });
  SeedSetup(LinkInUseSetup());
  BuildHob(1);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_TRUE(link.Calls().empty());
  FakeLink later;
  InstallLink(later);
  EXPECT_EQ(later.Protocol()->Transact, &AgentTransactWithRetry);
}

} // namespace
