// The five Setup exchanges against a controller's item table: the display
// mode with its reset counter and the reset itself, the request word into
// AcceVar, the range pull into the live Setup buffer (including a controller
// that does not answer), the range push and the text item.
#include "AgentTestSupport.h"

#include <Protocol/MgmtTriggers.h>

#include "SetupStandIns.h"

#include <algorithm>

namespace {

using namespace agent_test;

constexpr uint32_t kSetupMode = SetupOffset::MgmtDisplayMode;
constexpr uint32_t kResetCount = SetupOffset::MgmtResetCount;

class SetupSyncTest : public AgentTest {
protected:
  void SetUp() override { InstallLink(link); }

  // Runs the display-mode exchange; returns how the run ended.
  sim::RunOutcome SyncDisplay(EFI_STATUS *status = nullptr) {
    return Run([&] {
      EFI_STATUS result = SyncDisplayMode(link.Protocol());
      if (status != nullptr) {
        *status = result;
      }
    });
  }

  FakeLink link;
};

// ---- display mode ----

struct ModeCase {
  uint8_t answer;
  uint8_t setupBefore;
  uint8_t setupAfter;
};

class DisplayModeAnswers : public SetupSyncTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(DisplayModeAnswers, HeldValueIsClampedStoredAndWrittenBack) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = GetParam().setupBefore;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {GetParam().answer});
  // The controller's pair agrees with whatever mode results: no change.
  const uint8_t enabled = GetParam().setupAfter != 3 ? 1 : 0;
  link.SetItem(kMgmtReadDisplayEnable, {0, 0, enabled, 1});

  EFI_STATUS status = EFI_NOT_READY;
  ASSERT_EQ(SyncDisplay(&status).kind, sim::RunOutcome::Completed);
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(StoredSetup()[kSetupMode], GetParam().setupAfter);
  ASSERT_EQ(link.WritesOf(kMgmtWriteDisplayMode).size(), 1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteDisplayMode)[0].data, (Bytes{GetParam().setupAfter}));
}

INSTANTIATE_TEST_SUITE_P(Table, DisplayModeAnswers,
                         ::testing::Values(ModeCase{0x82, 0, 2},   // held: 2
                                           ModeCase{0x05, 1, 1},   // not held: Setup untouched
                                           ModeCase{0xFF, 0, 3},   // 127 clamps to 3
                                           ModeCase{0x84, 1, 3},   // 4 clamps to 3
                                           ModeCase{0x80, 2, 0})); // held: 0

TEST_F(SetupSyncTest, ModeThreeWithControllerByteTwoZeroWritesNothingButStillStoresSetup) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 3;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x03});
  link.SetItem(kMgmtReadDisplayEnable, {1, 1, 0, 1});
  const uint64_t writesBefore = variables.WriteCount();

  ASSERT_EQ(SyncDisplay().kind, sim::RunOutcome::Completed);
  EXPECT_TRUE(link.WritesOf(kMgmtWriteDisplayEnable).empty());
  EXPECT_TRUE(resetControl.Requests().empty());
  EXPECT_EQ(variables.WriteCount(), writesBefore + 1) << "Setup is written back every time";
  EXPECT_EQ(StoredSetup(), setup);
  EXPECT_EQ(link.Opens(), (std::vector<std::pair<uint8_t, uint32_t>>{{1, 600000}, {0, 600000}}));
}

TEST_F(SetupSyncTest, ChangeWithCountBelowThreeResetsThroughCf9AndNextBootSeesTheCount) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 1;
  setup[kResetCount] = 1;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x00});
  link.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 0}); // controller has the display off

  const sim::RunOutcome first = SyncDisplay();
  ASSERT_EQ(first.kind, sim::RunOutcome::Reset) << first.detail;
  EXPECT_EQ(first.resetValue, kBoardFullReset);
  EXPECT_EQ(resetControl.Requests(), (std::vector<uint8_t>{0x0E}));
  ASSERT_EQ(link.WritesOf(kMgmtWriteDisplayEnable).size(), 1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteDisplayEnable)[0].data, (Bytes{1, 1}));
  EXPECT_FALSE(link.IsOpen()) << "closed before the reset";

  // The next boot reads the count the reset left behind.
  variables.ResetForNextBoot();
  NewBoot();
  EXPECT_EQ(StoredSetup()[kResetCount], 2);
  link.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 0}); // still disagrees
  InstallLink(link);
  ASSERT_EQ(SyncDisplay().kind, sim::RunOutcome::Reset);
  EXPECT_EQ(StoredSetup()[kResetCount], 3);
}

TEST_F(SetupSyncTest, ChangeWithCountAtThreeClearsTheCountWritesThePairAndDoesNotReset) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 1;
  setup[kResetCount] = 3;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x00});
  link.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 0});

  EFI_STATUS status = EFI_NOT_READY;
  ASSERT_EQ(SyncDisplay(&status).kind, sim::RunOutcome::Completed);
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(StoredSetup()[kResetCount], 0);
  EXPECT_EQ(link.WritesOf(kMgmtWriteDisplayEnable).size(), 1u);
  EXPECT_TRUE(resetControl.Requests().empty());
}

TEST_F(SetupSyncTest, NoChangeLeavesTheCountAsItWas) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 0;
  setup[kResetCount] = 2;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x00});
  link.SetItem(kMgmtReadDisplayEnable, {0, 0, 1, 1});
  ASSERT_EQ(SyncDisplay().kind, sim::RunOutcome::Completed);
  EXPECT_EQ(StoredSetup()[kResetCount], 2);
}

TEST_F(SetupSyncTest, FailedModeReadClosesTheLinkAndLeavesSetupUnwritten) {
  SeedSetup(LinkInUseSetup());
  link.SetSilentFor(kMgmtReadDisplayMode);
  const uint64_t writesBefore = variables.WriteCount();
  EFI_STATUS status = EFI_SUCCESS;
  ASSERT_EQ(SyncDisplay(&status).kind, sim::RunOutcome::Completed);
  EXPECT_EQ(status, EFI_DEVICE_ERROR);
  EXPECT_EQ(variables.WriteCount(), writesBefore);
  EXPECT_TRUE(link.Writes().empty());
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(SetupSyncTest, UnreadableSetupIsNeverWrittenBackAndNothingIsExchanged) {
  link.SetItem(kMgmtReadDisplayMode, {0x82});
  EFI_STATUS status = EFI_SUCCESS;
  ASSERT_EQ(SyncDisplay(&status).kind, sim::RunOutcome::Completed);
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_FALSE(variables.Read("Setup", kSetupGuid).has_value()) << "no Setup made from nothing";
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(SetupSyncTest, SilentDisplayEnableReadIsNoChangeAndNoReset) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 1;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x81});
  link.SetSilentFor(kMgmtReadDisplayEnable);
  ASSERT_EQ(SyncDisplay().kind, sim::RunOutcome::Completed);
  EXPECT_TRUE(link.WritesOf(kMgmtWriteDisplayEnable).empty());
  EXPECT_TRUE(resetControl.Requests().empty());
  EXPECT_EQ(StoredSetup()[kResetCount], 0);
}

TEST_F(SetupSyncTest, DisplayEnableAnswerWithoutByteTwoIsNoChange) {
  Bytes setup = LinkInUseSetup();
  setup[kSetupMode] = 1;
  SeedSetup(setup);
  link.SetItem(kMgmtReadDisplayMode, {0x81});
  link.SetItem(kMgmtReadDisplayEnable, {0, 0}); // two bytes: nothing to compare
  ASSERT_EQ(SyncDisplay().kind, sim::RunOutcome::Completed);
  EXPECT_TRUE(link.WritesOf(kMgmtWriteDisplayEnable).empty());
}

// ---- request word ----

class RequestWordTest : public SetupSyncTest {
protected:
  void Sync() {
    RunToEnd([&] { SyncRequestWord(link.Protocol()); });
  }
  std::optional<uint32_t> AcceVar() const {
    auto bytes = variables.Read("AcceVar", kAcceVarGuid);
    if (!bytes || bytes->size() != 4) {
      return std::nullopt;
    }
    return Le32(bytes->data());
  }
};

TEST_F(RequestWordTest, PendingBitsSetAcceVarAndAreAcknowledged) {
  ASSERT_EQ(variables.Seed("AcceVar", kAcceVarGuid, 3, Bytes{0x00, 0x01, 0, 0}), EFI_SUCCESS);
  link.SetItem(kMgmtReadRequestWord, {0x0D, 0, 0, 0});
  Sync();
  EXPECT_EQ(AcceVar(), 0x107u);
  EXPECT_EQ(variables.AttributesOf("AcceVar", kAcceVarGuid), 3u) << "attributes kept";
  ASSERT_EQ(link.WritesOf(kMgmtWriteRequestWord).size(), 1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteRequestWord)[0].data, (Bytes{0x08, 0, 0, 0}));
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(RequestWordTest, MissingAcceVarIsCreatedWithAttributesSeven) {
  link.SetItem(kMgmtReadRequestWord, {0x04, 0, 0, 0});
  Sync();
  EXPECT_EQ(AcceVar(), 0x6u);
  EXPECT_EQ(variables.AttributesOf("AcceVar", kAcceVarGuid), 7u);
}

// Only a missing AcceVar starts from 0. One that cannot be read (here: too
// large for the 4-byte buffer) keeps its bits, and the request stays
// unacknowledged for the controller to repeat.
TEST_F(RequestWordTest, UnreadableAcceVarIsLeftAloneAndTheRequestUnacknowledged) {
  Bytes wide = {0x00, 0x01, 0, 0, 0x55, 0x66};
  ASSERT_EQ(variables.Seed("AcceVar", kAcceVarGuid, 7, wide), EFI_SUCCESS);
  link.SetItem(kMgmtReadRequestWord, {0x0D, 0, 0, 0});
  Sync();
  EXPECT_EQ(variables.Read("AcceVar", kAcceVarGuid), wide);
  EXPECT_TRUE(link.Writes().empty());
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(RequestWordTest, FirstPairSetsOnlyBitZero) {
  link.SetItem(kMgmtReadRequestWord, {0x02, 0, 0, 0});
  Sync();
  EXPECT_EQ(AcceVar(), 0x1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteRequestWord)[0].data, (Bytes{0, 0, 0, 0}));
}

TEST_F(RequestWordTest, ZeroWordOrRefusedReadWritesNothing) {
  link.SetItem(kMgmtReadRequestWord, {0, 0, 0, 0});
  Sync();
  link.Refuse(kMgmtReadRequestWord);
  Sync();
  EXPECT_FALSE(AcceVar().has_value());
  EXPECT_TRUE(link.Writes().empty());
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(RequestWordTest, AcknowledgementHasTheLengthTheReadReturned) {
  link.SetItem(kMgmtReadRequestWord, {0x31, 0x02});
  Sync();
  EXPECT_EQ(AcceVar(), 0x1u);
  ASSERT_EQ(link.WritesOf(kMgmtWriteRequestWord).size(), 1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteRequestWord)[0].data, (Bytes{0x30, 0x02}));
}

// ---- ranges and text item, on the live Setup buffer ----

class LiveSetupTest : public SetupSyncTest {
protected:
  void SetUp() override {
    SetupSyncTest::SetUp();
    RunToEnd([&] {
      ASSERT_EQ(AgentRegisterNotify(&gSetupPullTriggerProtocolGuid, PullRanges), EFI_SUCCESS);
      ASSERT_EQ(AgentRegisterNotify(&gSetupPushTriggerProtocolGuid, PushRanges), EFI_SUCCESS);
      ASSERT_EQ(AgentRegisterNotify(&gSetupPushTriggerProtocolGuid, PushTextItem), EFI_SUCCESS);
    });
    live.SetBuffer(LinkInUseSetup());
    RunToEnd([&] { ASSERT_EQ(live.Install(), EFI_SUCCESS); });
    for (uint8_t k = 0; k < 8; k++) {
      link.SetRange(k, Bytes(8, 0));
    }
    link.SetItem(kMgmtReadRangeOption, {0});
  }

  void Pull() {
    RunToEnd([&] { ASSERT_EQ(sim::InstallSetupPullTrigger(*dxe), EFI_SUCCESS); });
  }
  void Push() {
    RunToEnd([&] { ASSERT_EQ(sim::InstallSetupPushTrigger(*dxe), EFI_SUCCESS); });
  }
  std::string First(uint32_t k) { return GetText(live.Buffer(), MgmtRangeFirst(k), 30); }
  std::string Last(uint32_t k) { return GetText(live.Buffer(), MgmtRangeLast(k), 30); }
  uint8_t Rows() { return live.Buffer()[SetupOffset::MgmtRangeRows]; }
  std::vector<Bytes> RangeRecords() {
    std::vector<Bytes> out;
    for (const auto &w : link.WritesOf(kMgmtWriteRange)) {
      out.push_back(w.data);
    }
    return out;
  }

  sim::SetupBufferProvider live{*dxe};
};

TEST_F(LiveSetupTest, PullWritesTheControllersRangesAndOptionIntoTheLiveBuffer) {
  link.SetRange(0, {10, 1, 2, 3, 10, 1, 2, 9});
  link.SetRange(4, {192, 168, 7, 1, 192, 168, 7, 200});
  link.SetItem(kMgmtReadRangeOption, {0x5C});
  PutRange(live.Buffer(), 1, "172.16.0.1", "172.16.0.2"); // the controller says empty
  const uint64_t writesBefore = variables.WriteCount();
  Pull();
  EXPECT_EQ(First(0), "10.1.2.3");
  EXPECT_EQ(Last(0), "10.1.2.9");
  EXPECT_EQ(First(1), "0.0.0.0") << "an accepted empty range is the controller's word";
  EXPECT_EQ(First(4), "192.168.7.1");
  EXPECT_EQ(Last(4), "192.168.7.200");
  EXPECT_EQ(Rows(), 5);
  EXPECT_EQ(live.Buffer()[SetupOffset::MgmtRangeOption], 0x5C);
  EXPECT_EQ(variables.WriteCount(), writesBefore) << "the pull never stores the variable";
  EXPECT_FALSE(link.IsOpen());
  // The request of range k carries k after the code.
  std::vector<Bytes> reads;
  for (const auto &call : link.Calls()) {
    if (Le32(call.request.data()) == kMgmtReadRange) {
      reads.push_back(call.request);
    }
  }
  ASSERT_EQ(reads.size(), 8u);
  EXPECT_EQ(reads[5], (Bytes{0x00, 0x00, 0x08, 0x01, 5}));
}

TEST_F(LiveSetupTest, PullRunsOnceClosingItsEvent) {
  Pull();
  const uint64_t calls = live.GetBufferCalls();
  link.SetRange(0, {10, 0, 0, 1, 10, 0, 0, 2});
  Pull();
  EXPECT_EQ(live.GetBufferCalls(), calls);
  EXPECT_EQ(First(0), "");
}

TEST_F(LiveSetupTest, SilentControllerLeavesTheRangesAsTheyWere) {
  PutRange(live.Buffer(), 0, "192.168.1.10", "192.168.1.20");
  PutRange(live.Buffer(), 6, "10.0.0.1", "10.0.0.9");
  live.Buffer()[SetupOffset::MgmtRangeOption] = 0x33;
  const Bytes before = live.Buffer();
  link.SetSilent(true);
  Pull();
  EXPECT_EQ(First(0), "192.168.1.10");
  EXPECT_EQ(Last(6), "10.0.0.9");
  EXPECT_EQ(live.Buffer()[SetupOffset::MgmtRangeOption], 0x33);
  EXPECT_EQ(Rows(), 7);
  Bytes expected = before;
  expected[SetupOffset::MgmtRangeRows] = 7;
  EXPECT_EQ(live.Buffer(), expected) << "nothing else touched";
}

TEST_F(LiveSetupTest, RefusedRangeReadsLeaveTheRangesAsTheyWere) {
  PutRange(live.Buffer(), 2, "192.168.1.10", "192.168.1.20");
  PutRange(live.Buffer(), 3, "192.168.2.10", "192.168.2.20");
  PutRange(live.Buffer(), 4, "192.168.3.10", "192.168.3.20");
  link.Refuse(kMgmtReadRange);
  Pull();
  EXPECT_EQ(First(2), "192.168.1.10");
  EXPECT_EQ(First(3), "192.168.2.10");
  EXPECT_EQ(First(4), "192.168.3.10");
}

// An accepted answer must carry exactly one range: a longer one is not taken
// as empty, and the missing bytes of a shorter one are not taken as zeros.
TEST_F(LiveSetupTest, RangeAnswerOfAnotherLengthThanOneRangeLeavesTheRangeAlone) {
  PutRange(live.Buffer(), 2, "192.168.1.10", "192.168.1.20");
  PutRange(live.Buffer(), 3, "192.168.2.10", "192.168.2.20");
  PutRange(live.Buffer(), 4, "192.168.3.10", "192.168.3.20");
  link.SetRange(2, {192, 168, 1, 10, 192, 168, 1}); // one byte short
  link.SetRange(3, Bytes(9, 1));
  link.SetRange(4, {});
  Pull();
  EXPECT_EQ(First(2), "192.168.1.10");
  EXPECT_EQ(Last(2), "192.168.1.20");
  EXPECT_EQ(First(3), "192.168.2.10");
  EXPECT_EQ(Last(3), "192.168.2.20");
  EXPECT_EQ(First(4), "192.168.3.10");
  EXPECT_EQ(Last(4), "192.168.3.20");
}

TEST_F(LiveSetupTest, RowsCountUpToTheHighestRangeWithText) {
  Pull();
  EXPECT_EQ(Rows(), 1) << "none";

  // Later pulls straight through the callback (the trigger's event is closed);
  // a silent controller keeps the texts as they are.
  link.SetSilent(true);
  auto pullAgain = [&] {
    RunToEnd([&] {
      EFI_EVENT event;
      ASSERT_EQ(
          mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, PullRanges, nullptr, &event),
          EFI_SUCCESS);
      PullRanges(event, nullptr);
    });
  };
  PutRange(live.Buffer(), 0, "10.0.0.1", "");
  pullAgain();
  EXPECT_EQ(Rows(), 1) << "range 0 only";
  PutRange(live.Buffer(), 7, "", "10.0.0.9");
  pullAgain();
  EXPECT_EQ(Rows(), 8) << "range 7";
  PutRange(live.Buffer(), 7, "0.0.0.0", "bad");
  pullAgain();
  EXPECT_EQ(Rows(), 1) << "texts that do not parse do not count";
}

TEST_F(LiveSetupTest, FifteenCharacterAddressFillsItsFieldWithoutTouchingTheNext) {
  link.SetRange(0, {100, 100, 100, 100, 100, 100, 100, 101});
  PutRange(live.Buffer(), 1, "10.0.0.1", "10.0.0.2");
  link.SetRange(1, {10, 0, 0, 1, 10, 0, 0, 2});
  Pull();
  EXPECT_EQ(GetText(live.Buffer(), MgmtRangeFirst(0), 30), "100.100.100.100");
  EXPECT_EQ(GetText(live.Buffer(), MgmtRangeLast(0), 30), "100.100.100.101");
  EXPECT_EQ(First(1), "10.0.0.1");
  // And it goes back to the controller unchanged.
  Push();
  ASSERT_GE(RangeRecords().size(), 1u);
  EXPECT_EQ(RangeRecords()[0], (Bytes{0, 100, 100, 100, 100, 100, 100, 100, 101}));
}

TEST_F(LiveSetupTest, MissingOrRefusingSetupBufferKeepsThePullForLater) {
  live.SetRefusal(EFI_NOT_READY);
  link.SetRange(0, {10, 0, 0, 1, 10, 0, 0, 2});
  Pull();
  EXPECT_TRUE(link.Calls().empty());
  live.SetRefusal(EFI_SUCCESS);
  Pull();
  EXPECT_EQ(First(0), "10.0.0.1");
}

TEST_F(LiveSetupTest, PushSendsValidRangesPackedToTheFrontThenEmptyRecordsThenOption) {
  PutRange(live.Buffer(), 0, "10.0.0.5", "10.0.1.5");         // first three bytes differ
  PutRange(live.Buffer(), 1, "192.168.1.20", "192.168.1.10"); // reversed
  PutRange(live.Buffer(), 2, "192.168.1.10", "192.168.1.20");
  PutRange(live.Buffer(), 4, "garbage", "192.168.9.9");
  PutRange(live.Buffer(), 5, "172.16.5.1", "172.16.5.1");
  live.Buffer()[SetupOffset::MgmtRangeOption] = 0x42;
  Push();
  const std::vector<Bytes> expected = {
      {0, 192, 168, 1, 10, 192, 168, 1, 20}, {1, 172, 16, 5, 1, 172, 16, 5, 1},
      {2, 0, 0, 0, 0, 0, 0, 0, 0},           {3, 0, 0, 0, 0, 0, 0, 0, 0},
      {4, 0, 0, 0, 0, 0, 0, 0, 0},           {5, 0, 0, 0, 0, 0, 0, 0, 0},
      {6, 0, 0, 0, 0, 0, 0, 0, 0},           {7, 0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(RangeRecords(), expected);
  ASSERT_EQ(link.WritesOf(kMgmtWriteRangeOption).size(), 1u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteRangeOption)[0].data, (Bytes{0x42}));
  // The option follows the ranges.
  std::vector<uint32_t> codes = link.Codes();
  ASSERT_FALSE(codes.empty());
  EXPECT_NE(std::find(codes.begin(), codes.end(), kMgmtWriteRangeOption), codes.end());
  EXPECT_LT(std::find(codes.begin(), codes.end(), kMgmtWriteRange) - codes.begin(),
            std::find(codes.begin(), codes.end(), kMgmtWriteRangeOption) - codes.begin());
}

TEST_F(LiveSetupTest, PushRunsOnEveryTriggerInstallation) {
  PutRange(live.Buffer(), 0, "192.168.1.10", "192.168.1.20");
  Push();
  Push();
  EXPECT_EQ(RangeRecords().size(), 16u);
  EXPECT_EQ(link.WritesOf(kMgmtWriteTextItem).size(), 2u);
}

TEST_F(LiveSetupTest, TextItemGoesOutAsLowBytesZeroPaddedTo32) {
  PutText(live.Buffer(), SetupOffset::MgmtTextItem, "host01", kSetupMgmtTextItemSize - 1);
  Push();
  ASSERT_EQ(link.WritesOf(kMgmtWriteTextItem).size(), 1u);
  Bytes expected = {'h', 'o', 's', 't', '0', '1'};
  expected.resize(32, 0);
  EXPECT_EQ(link.WritesOf(kMgmtWriteTextItem)[0].data, expected);
}

TEST_F(LiveSetupTest, TextItemLongerThan31CharactersIsCutAt31) {
  const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789"; // 36 characters
  PutText(live.Buffer(), SetupOffset::MgmtTextItem, text, kSetupMgmtTextItemSize - 1);
  Push();
  ASSERT_EQ(link.WritesOf(kMgmtWriteTextItem).size(), 1u);
  Bytes expected(text.begin(), text.begin() + 31);
  expected.push_back(0);
  EXPECT_EQ(link.WritesOf(kMgmtWriteTextItem)[0].data, expected);
}

} // namespace
