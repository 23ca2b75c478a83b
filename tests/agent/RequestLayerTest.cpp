// The request layer against a working link: what goes on the wire for reads
// and writes, how answers are checked and handed back, where the poll count
// comes from, and the retry wrapper in the link's Transact slot.
#include "AgentTestSupport.h"

namespace {

using namespace agent_test;

class RequestLayerTest : public AgentTest {
protected:
  void SetUp() override { InstallLink(link); }
  FakeLink link;
};

TEST_F(RequestLayerTest, ReadSendsTheCodeLittleEndianAndReturnsTheItemByte) {
  link.SetItem(kMgmtReadDisplayMode, {0x82});
  UINT8 mode = 0;
  UINT16 size = 1;
  RunToEnd([&] { EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, &mode, &size), EFI_SUCCESS); });
  EXPECT_EQ(mode, 0x82);
  EXPECT_EQ(size, 1);
  ASSERT_EQ(link.Calls().size(), 1u);
  EXPECT_EQ(link.Calls()[0].request, (Bytes{0x00, 0x00, 0x03, 0x02}));
  EXPECT_EQ(link.Calls()[0].capacity, kMgmtAnswerBufferSize);
}

TEST_F(RequestLayerTest, RefusalLeavesTheCallersBufferUnchanged) {
  link.SetItem(kMgmtReadDisplayMode, {0x82});
  link.Refuse(kMgmtReadDisplayMode, 0x0001);
  UINT8 mode = 0x5A;
  UINT16 size = 1;
  RunToEnd(
      [&] { EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, &mode, &size), EFI_ACCESS_DENIED); });
  EXPECT_EQ(mode, 0x5A);
}

TEST_F(RequestLayerTest, LongerItemThanCapacityZeroFillsAndReportsTheRealLength) {
  link.SetItem(kMgmtReadDisplayMode, {0x11, 0x22, 0x33, 0x44});
  UINT8 buffer[2] = {0x5A, 0x5A};
  UINT16 size = 1;
  RunToEnd(
      [&] { EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, buffer, &size), EFI_BUFFER_TOO_SMALL); });
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0x5A) << "only the capacity is cleared";
  EXPECT_EQ(size, 4);
}

TEST_F(RequestLayerTest, AnswerShorterThanTheStatusWordIsAFailedExchange) {
  for (const Bytes &answer : {Bytes{}, Bytes{0x00}}) {
    link.SetRawAnswer(answer);
    UINT8 mode = 0x5A;
    UINT16 size = 1;
    RunToEnd([&] {
      EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, &mode, &size), EFI_DEVICE_ERROR);
      const UINT8 value = 1;
      EXPECT_EQ(AgentWriteItem(kMgmtWriteDisplayMode, &value, 1), EFI_DEVICE_ERROR);
    });
    EXPECT_EQ(mode, 0x5A);
  }
}

TEST_F(RequestLayerTest, WriteSendsCodeThenDataAndIgnoresTheAnswersData) {
  Bytes text(32);
  for (size_t i = 0; i < text.size(); i++) {
    text[i] = static_cast<uint8_t>('a' + i % 26);
  }
  link.SetRawAnswer(Bytes{0, 0, 0xEE, 0xEE});
  RunToEnd([&] {
    EXPECT_EQ(AgentWriteItem(kMgmtWriteTextItem, text.data(), static_cast<UINT16>(text.size())),
              EFI_SUCCESS);
  });
  ASSERT_EQ(link.Calls().size(), 1u);
  const Bytes &request = link.Calls()[0].request;
  ASSERT_EQ(request.size(), 36u);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 4), (Bytes{0x00, 0x00, 0x29, 0x01}));
  EXPECT_EQ(Bytes(request.begin() + 4, request.end()), text);
}

TEST_F(RequestLayerTest, WriteRefusedByTheControllerIsAccessDenied) {
  link.Refuse(kMgmtWriteDisplayMode);
  const UINT8 value = 2;
  RunToEnd([&] { EXPECT_EQ(AgentWriteItem(kMgmtWriteDisplayMode, &value, 1), EFI_ACCESS_DENIED); });
}

TEST_F(RequestLayerTest, WriteDataLongerThanTheRequestBufferIsRefusedBeforeTheWire) {
  Bytes data(kMgmtMaxWriteData + 1, 0xA5);
  RunToEnd([&] {
    EXPECT_EQ(AgentWriteItem(kMgmtWriteTextItem, data.data(), static_cast<UINT16>(data.size())),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(AgentWriteItem(kMgmtWriteTextItem, data.data(), 0xFFFF), EFI_INVALID_PARAMETER);
  });
  EXPECT_TRUE(link.Calls().empty());

  data.pop_back();
  RunToEnd([&] {
    EXPECT_EQ(AgentWriteItem(kMgmtWriteTextItem, data.data(), static_cast<UINT16>(data.size())),
              EFI_SUCCESS);
  });
  ASSERT_EQ(link.Calls().size(), 1u);
  EXPECT_EQ(link.Calls()[0].request.size(), kMgmtRequestBufferSize);
  EXPECT_EQ(link.Calls()[0].request.back(), 0xA5);
}

TEST_F(RequestLayerTest, PollCountComesFromSetupAndDefaultsTo500) {
  link.SetItem(kMgmtReadDisplayMode, {0});
  UINT8 mode;
  UINT16 size;
  auto read = [&] {
    size = 1;
    RunToEnd([&] { EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, &mode, &size), EFI_SUCCESS); });
  };
  read();
  EXPECT_EQ(link.Calls().back().polls, 500u) << "Setup missing";

  Bytes setup = LinkInUseSetup();
  AgentWriteUint32(setup.data() + SetupOffset::MgmtLinkPollCount, 1000);
  SeedSetup(setup);
  read();
  EXPECT_EQ(link.Calls().back().polls, 1000u);

  setup.resize(SetupOffset::MgmtLinkPollCount + 4); // holds the field, but not the whole layout
  SeedSetup(setup);
  read();
  EXPECT_EQ(link.Calls().back().polls, 500u) << "a Setup of another size is not the layout";
}

TEST_F(RequestLayerTest, OpenBracketUsesTheLinkTag) {
  RunToEnd([&] {
    AgentSetLinkOpen(TRUE);
    AgentSetLinkOpen(FALSE);
  });
  EXPECT_EQ(link.Opens(), (std::vector<std::pair<uint8_t, uint32_t>>{{1, 600000}, {0, 600000}}));
}

class RequestLayerNoLinkTest : public AgentTest {};

TEST_F(RequestLayerNoLinkTest, WithoutALinkReadAndWriteReportNotFound) {
  UINT8 value = 0x5A;
  UINT16 size = 1;
  RunToEnd([&] {
    EXPECT_EQ(AgentReadItem(kMgmtReadDisplayMode, &value, &size), EFI_NOT_FOUND);
    EXPECT_EQ(AgentWriteItem(kMgmtWriteDisplayMode, &value, 1), EFI_NOT_FOUND);
    AgentSetLinkOpen(TRUE); // nothing to open; must not fault
  });
  EXPECT_EQ(value, 0x5A);
}

// ---- the retry wrapper ----

class RetryWrapperTest : public AgentTest {
protected:
  // The wrapper goes in the way the start-up puts it there: by notification.
  void InstallWrappedLink(FakeLink &fake) {
    RunToEnd([&] {
      ASSERT_EQ(AgentRegisterNotify(&gMgmtLinkProtocolGuid, InstallRetryWrapper), EFI_SUCCESS);
    });
    InstallLink(fake);
  }

  EFI_STATUS Transact(FakeLink &fake, UINT16 *answerLength) {
    EFI_STATUS status = EFI_SUCCESS;
    const UINT8 request[4] = {0x00, 0x00, 0x03, 0x02};
    UINT8 answer[kMgmtAnswerBufferSize];
    RunToEnd([&] {
      MGMT_LINK_PROTOCOL *protocol = fake.Protocol();
      status = protocol->Transact(protocol, request, 4, 500, answer, answerLength);
    });
    return status;
  }

  FakeLink link;
};

TEST_F(RetryWrapperTest, NotificationPutsTheWrapperIntoTheTransactSlot) {
  InstallWrappedLink(link);
  EXPECT_EQ(link.Protocol()->Transact, &AgentTransactWithRetry);
  EXPECT_EQ(mSavedTransact, link.OwnTransact());
}

TEST_F(RetryWrapperTest, FourFailuresThenSuccessGiveTheCallerSuccess) {
  InstallWrappedLink(link);
  link.SetItem(kMgmtReadDisplayMode, {0x03});
  link.FailNext({EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR});
  UINT16 length = kMgmtAnswerBufferSize;
  EXPECT_EQ(Transact(link, &length), EFI_SUCCESS);
  EXPECT_EQ(link.Attempts(), 5u);
  EXPECT_EQ(length, 3) << "the answer of the fifth attempt";
  ASSERT_EQ(link.Calls().size(), 1u);
  EXPECT_EQ(link.Calls()[0].capacity, kMgmtAnswerBufferSize)
      << "each attempt gets the caller's capacity, whatever a failed one left";
}

TEST_F(RetryWrapperTest, FiveFailuresGiveTheFifthStatus) {
  InstallWrappedLink(link);
  link.SetItem(kMgmtReadDisplayMode, {0x03});
  link.FailNext({EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR,
                 EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR});
  UINT16 length = kMgmtAnswerBufferSize;
  EXPECT_EQ(Transact(link, &length), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(link.Attempts(), 5u);
}

TEST_F(RetryWrapperTest, WarningCountsAsSuccess) {
  InstallWrappedLink(link);
  link.FailNext({EFI_WARN_BUFFER_TOO_SMALL});
  UINT16 length = kMgmtAnswerBufferSize;
  EXPECT_EQ(Transact(link, &length), EFI_WARN_BUFFER_TOO_SMALL);
  EXPECT_EQ(link.Attempts(), 1u);
}

TEST_F(RetryWrapperTest, SecondLinkNotificationDoesNotWrapTheWrapper) {
  InstallWrappedLink(link);
  // A second installation (another handle) runs the notification again; the
  // first interface is still the one located.
  FakeLink second;
  InstallLink(second);
  EXPECT_EQ(mSavedTransact, link.OwnTransact());
  EXPECT_EQ(link.Protocol()->Transact, &AgentTransactWithRetry);

  link.FailNext(
      {EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR});
  UINT16 length = kMgmtAnswerBufferSize;
  EXPECT_EQ(Transact(link, &length), EFI_DEVICE_ERROR);
  EXPECT_EQ(link.Attempts(), 5u) << "retries do not multiply";
}

TEST_F(RetryWrapperTest, WrapperWithNothingSavedIsUnsupported) {
  InstallLink(link);
  UINT8 answer[8];
  UINT16 length = sizeof(answer);
  RunToEnd([&] {
    EXPECT_EQ(AgentTransactWithRetry(link.Protocol(), "\0\0\x03\x02", 4, 500, answer, &length),
              EFI_UNSUPPORTED);
  });
  EXPECT_EQ(link.Attempts(), 0u);
}

TEST_F(RetryWrapperTest, EveryReadOfTheAgentGoesThroughTheRetries) {
  InstallWrappedLink(link);
  link.SetItem(kMgmtReadRequestWord, {0x0D, 0, 0, 0});
  link.FailNext({EFI_DEVICE_ERROR, EFI_DEVICE_ERROR});
  UINT8 word[4];
  UINT16 size = 4;
  RunToEnd([&] { EXPECT_EQ(AgentReadItem(kMgmtReadRequestWord, word, &size), EFI_SUCCESS); });
  EXPECT_EQ(Le32(word), 0x0Du);
  EXPECT_EQ(link.Attempts(), 3u);
}

} // namespace
