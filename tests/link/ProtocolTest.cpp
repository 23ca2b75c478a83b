// The six MGMT_LINK_PROTOCOL operations against the controller and
// management-controller models: state rules of Open, status bits, the OOB
// operations, frames on the wire byte for byte, argument refusals, answer
// matching, staging-buffer accounting and the waits in virtual time.
#include "LinkFixture.h"

#include <cstring>

namespace link_test {
namespace {

using OpenTest = LinkFixture;

TEST_F(OpenTest, OpeningSetsTheOpenBitAndClosingRestoresTransmitConfiguration) {
  Load();
  uint32_t before = nic_.Reg32(0x40);
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  EXPECT_TRUE(nic_.Reg32(0x40) & 0x00020000) << "bit 17 marks the link open";
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0x0C) << "receive and transmit engines run";
  uint8_t status = 0;
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_TRUE(status & kMgmtLinkStatusOpen);

  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  EXPECT_FALSE(nic_.Reg32(0x40) & 0x00020000);
  EXPECT_EQ(nic_.Reg32(0x40) & 0x00020000, before & 0x00020000);
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_FALSE(status & kMgmtLinkStatusOpen);
  // Closed means stopped: a frame arriving now is not written into the ring.
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0) << "receive and transmit engines stopped";
  peer_.SendAnswerFrame(0x0004, {0x99});
  machine_.clock().AdvanceNs(1 * kMs);
  nic_.Poll();
  EXPECT_TRUE(nic_.RxLog().empty());
}

// A refused DMA area (here: recorded too small) gives the engines no rings.
TEST_F(OpenTest, BringUpThatRefusesTheDmaAreaFailsTheOpeningAndStartsNothing) {
  Load();
  Context()->Adapter.DmaSize = 403453;
  EXPECT_EQ(Open(1, kTag), EFI_DEVICE_ERROR);
  EXPECT_EQ(Context()->Opened, 0);
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0);
  EXPECT_EQ(nic_.RxRingAddress(), 0u);
}

TEST_F(OpenTest, SecondOpenIsRefusedWithoutTouchingTheControllerAndKeepsTheTag) {
  LoadAndOpen();
  machine_.trace().Enable(true);
  machine_.trace().Clear();
  EXPECT_EQ(Open(1, 1234), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Open(2, 1234), EFI_INVALID_PARAMETER) << "any non-zero Enable asks for open";
  EXPECT_EQ(machine_.trace().Filter("nic").size(), 0u) << machine_.trace().Dump("nic");
  machine_.trace().Enable(false);

  ASSERT_EQ(Send({0x42}), EFI_SUCCESS);
  std::vector<uint8_t> frame = SentFrames().back();
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 48, frame.begin() + 52),
            (std::vector<uint8_t>{0x00, 0x09, 0x27, 0xC0}))
      << "the first opening's tag stays";
}

TEST_F(OpenTest, CloseOfANeverOpenedContextIsRefused) {
  Load();
  machine_.trace().Enable(true);
  EXPECT_EQ(Open(0, kTag), EFI_INVALID_PARAMETER);
  EXPECT_EQ(machine_.trace().Filter("nic").size(), 0u);
}

TEST_F(OpenTest, NoLinkFailsAfterAboutOneSecondAndLeavesTheLinkClosed) {
  Load();
  nic_.SetLink(false);
  EXPECT_EQ(Open(1, kTag), EFI_DEVICE_ERROR);
  EXPECT_GE(elapsedNs_, 1001 * kMs) << "1,001 samples one millisecond apart";
  EXPECT_LT(elapsedNs_, 1100 * kMs);
  nic_.SetLink(true);
  EXPECT_EQ(Open(1, kTag), EFI_SUCCESS) << "the failed opening left opened at 0";
}

// All ones has the link bit set too; taken as link up, Open would report an
// open link to a controller that is not there.
TEST_F(OpenTest, AbsentControllerFailsAfterTheLinkWaitInsteadOfReadingAsLinkUp) {
  Load();
  nic_.SetAbsent(true);
  EXPECT_EQ(Open(1, kTag), EFI_DEVICE_ERROR);
  EXPECT_GE(elapsedNs_, 1001 * kMs) << "the whole link wait";
  EXPECT_EQ(Send({0x42}), EFI_DEVICE_ERROR);
}

// A failed opening must not leave the controller marked open: a later
// opening saves the transmit configuration that closing restores.
TEST_F(OpenTest, FailedOpeningLeavesNoOpenMarkBehind) {
  Load();
  nic_.SetLink(false);
  ASSERT_EQ(Open(1, kTag), EFI_DEVICE_ERROR);
  uint8_t status = 0xFF;
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_FALSE(status & kMgmtLinkStatusOpen);
  nic_.SetLink(true);
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_FALSE(status & kMgmtLinkStatusOpen);
  EXPECT_EQ(Open(1, kTag), EFI_SUCCESS);
}

TEST_F(OpenTest, TagOfEachSuccessfulOpenGoesIntoNotices) {
  LoadAndOpen();
  ASSERT_EQ(Open(0, 7), EFI_SUCCESS);
  ASSERT_EQ(Open(1, 0x01020304), EFI_SUCCESS);
  ASSERT_EQ(Send({}), EFI_SUCCESS);
  ASSERT_EQ(peer_.Notices().size(), 1u);
  EXPECT_EQ(peer_.Notices()[0].tag, 0x01020304u);
}

// Before the first opening the rings have no place yet: nothing can be
// queued or received, and saying success would be a lie.
TEST_F(OpenTest, SendAndTransactBeforeTheFirstOpeningAreNotReady) {
  Load();
  uint64_t allocations = provider_->Allocations();
  EXPECT_EQ(Send({1, 2, 3}), EFI_NOT_READY);
  EXPECT_EQ(Transact(ItemRequest(0x02030000), 500), EFI_NOT_READY);
  EXPECT_EQ(provider_->Allocations(), allocations);
  EXPECT_TRUE(SentFrames().empty());
}

using StatusTest = LinkFixture;

TEST_F(StatusTest, OobStateBitsComeFromRegister188) {
  Load();
  nic_.SetOobRegister(0x188, 0x00000200);
  nic_.SetOobFirmware(false);
  uint8_t status = 0xFF;
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_EQ(status, 0x02) << "bit 9 -> bit 1; closed";
  nic_.SetOobRegister(0x188, 0x00000300);
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_EQ(status, 0x03);
}

TEST_F(StatusTest, OpenStateIsAdoptedFromTheControllerAndClosingKeepsItsTransmitConfiguration) {
  Load();
  // Something else opened the controller: GetStatus adopts its state, and a
  // later Open(1) is then refused as asking for the present state.
  uint16_t txConfig = static_cast<uint16_t>(nic_.BarBase(0) + 0x40);
  uint32_t adopted = static_cast<uint32_t>(machine_.bus().IoRead(txConfig, 4)) | 0x00020700;
  machine_.bus().IoWrite(txConfig, 4, adopted);
  uint8_t status = 0;
  ASSERT_EQ(GetStatus(&status), EFI_SUCCESS);
  EXPECT_TRUE(status & kMgmtLinkStatusOpen);
  EXPECT_EQ(Open(1, kTag), EFI_INVALID_PARAMETER);
  // This context saved nothing, so closing has nothing to write back.
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  EXPECT_EQ(machine_.bus().IoRead(txConfig, 4), adopted);
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0);
}

TEST_F(StatusTest, NullStatusIsRefused) {
  Load();
  EXPECT_EQ(GetStatus(nullptr), EFI_INVALID_PARAMETER);
}

using OobTest = LinkFixture;

TEST_F(OobTest, ConfigureRunsOnceAndRefusesZero) {
  Load();
  nic_.SetOobRegister(0x184, 0x5);
  size_t requestsBefore = nic_.OobRequests().size();
  EXPECT_EQ(ConfigureOob(0), EFI_INVALID_PARAMETER);
  EXPECT_EQ(nic_.OobRequests().size(), requestsBefore);

  ASSERT_EQ(ConfigureOob(1), EFI_SUCCESS);
  EXPECT_EQ(nic_.OobRegister(0x184), 0x00130001u) << "plus one: the register was not zero";
  ASSERT_EQ(nic_.OobRequests().size(), requestsBefore + 1);
  EXPECT_EQ(nic_.OobRequests().back().command, 0xFF);

  machine_.trace().Enable(true);
  EXPECT_EQ(ConfigureOob(1), EFI_SUCCESS);
  EXPECT_EQ(machine_.trace().Filter("nic").size(), 0u) << "configured once per context";
  EXPECT_EQ(nic_.OobRequests().size(), requestsBefore + 1);
}

TEST_F(OobTest, ConfigureWritesThePlainValueWhenTheRegisterWasZero) {
  Load();
  nic_.SetOobRegister(0x184, 0);
  ASSERT_EQ(ConfigureOob(1), EFI_SUCCESS);
  EXPECT_EQ(nic_.OobRegister(0x184), 0x00130000u);
}

TEST_F(OobTest, SetModeReturnsAtOnceWhenTheFirmwareIsAlreadyInThatMode) {
  Load();
  nic_.SetOobRegister(0x188, 0x100);
  machine_.trace().Enable(true);
  EXPECT_EQ(SetOobMode(1), EFI_SUCCESS);
  EXPECT_EQ(
      machine_.trace().Count(sim::TraceMatch::IoWr(static_cast<uint16_t>(nic_.BarBase(0) + 0x70))),
      0u)
      << "no OOB register written";
  EXPECT_LT(elapsedNs_, 1 * kMs);
}

TEST_F(OobTest, SetModeOffIsConfirmedByTheFirmware) {
  Load();
  nic_.SetOobRegister(0x188, 0x100);
  size_t requestsBefore = nic_.OobRequests().size();
  ASSERT_EQ(SetOobMode(0), EFI_SUCCESS);
  ASSERT_EQ(nic_.OobRequests().size(), requestsBefore + 1);
  EXPECT_EQ(nic_.OobRequests().back().command, 0x71);
  EXPECT_FALSE(nic_.OobRegister(0x188) & 0x100);
}

TEST_F(OobTest, SetModeGivesUpAfterSixtyThousandPolls) {
  Load();
  nic_.SetOobRegister(0x188, 0);
  nic_.SetOobResponseDelay(sim::NicModel::kNever);
  EXPECT_EQ(SetOobMode(1), EFI_DEVICE_ERROR);
  // 60,000 polls 50 us apart, plus each poll's own 20 us window settle.
  EXPECT_GE(elapsedNs_, 3000 * kMs);
  EXPECT_LT(elapsedNs_, 4500 * kMs);
}

TEST_F(OobTest, SetModeOtherThanZeroOrOneIsRefusedWithoutTouchingTheController) {
  Load();
  machine_.trace().Enable(true);
  EXPECT_EQ(SetOobMode(2), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SetOobMode(0xFF), EFI_INVALID_PARAMETER);
  EXPECT_EQ(machine_.trace().Filter("nic").size(), 0u);
}

class SendTest : public LinkFixture {
protected:
  // The notice frame as it must look on the wire, checksums aside.
  std::vector<uint8_t> ExpectedNotice(const std::vector<uint8_t> &payload, uint32_t tag) {
    size_t n = payload.size();
    std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (unsigned i = 0; i < 6; i++) {
      f.push_back(nic_.Reg8(i));
    }
    uint16_t total = static_cast<uint16_t>(n + 38), udp = static_cast<uint16_t>(n + 18);
    std::vector<uint8_t> rest = {0x08,
                                 0x00,
                                 0x45,
                                 0x00,
                                 uint8_t(total >> 8),
                                 uint8_t(total),
                                 0x00,
                                 0x00,
                                 0x00,
                                 0x00,
                                 0x00,
                                 17,
                                 0x00,
                                 0x00, // TTL 0, UDP
                                 0,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0, // addresses
                                 0x00,
                                 0x00,
                                 0xEA,
                                 0x60,
                                 uint8_t(udp >> 8),
                                 uint8_t(udp),
                                 0x00,
                                 0x00,
                                 0xA5,
                                 0xA5,
                                 0x81,
                                 0x17,
                                 uint8_t(n >> 8),
                                 uint8_t(n),
                                 uint8_t(tag >> 24),
                                 uint8_t(tag >> 16),
                                 uint8_t(tag >> 8),
                                 uint8_t(tag)};
    f.insert(f.end(), rest.begin(), rest.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
  }
};

// Checksum fields aside, compare byte for byte; the checksums are checked
// against an independent computation.
void ExpectFrame(const std::vector<uint8_t> &actual, std::vector<uint8_t> expected) {
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(Ipv4ChecksumValid(actual));
  EXPECT_TRUE(UdpChecksumValid(actual));
  std::vector<uint8_t> masked = actual;
  masked[24] = masked[25] = masked[40] = masked[41] = 0;
  EXPECT_EQ(masked, expected);
}

TEST_F(SendTest, NoticeFrameByteForByte) {
  LoadAndOpen();
  std::vector<uint8_t> payload = {0x01, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(Send(payload), EFI_SUCCESS);
  ASSERT_EQ(SentFrames().size(), 1u);
  ExpectFrame(SentFrames()[0], ExpectedNotice(payload, kTag));
  ASSERT_EQ(peer_.Notices().size(), 1u);
  EXPECT_EQ(peer_.Notices()[0].payload, payload);
  EXPECT_EQ(peer_.ChecksumFailures(), 0u);
}

TEST_F(SendTest, EmptyNoticeIsA52ByteFrame) {
  LoadAndOpen();
  ASSERT_EQ(Call([&] { return link_->Send(link_, nullptr, 0); }), EFI_SUCCESS);
  ASSERT_EQ(SentFrames().size(), 1u);
  ExpectFrame(SentFrames()[0], ExpectedNotice({}, kTag));
}

TEST_F(SendTest, LargestNoticeGoesOutAndOneByteMoreIsRefused) {
  LoadAndOpen();
  std::vector<uint8_t> payload(1468);
  for (size_t i = 0; i < payload.size(); i++) {
    payload[i] = static_cast<uint8_t>(i * 7);
  }
  ASSERT_EQ(Send(payload), EFI_SUCCESS);
  ASSERT_EQ(SentFrames().size(), 1u);
  EXPECT_EQ(SentFrames()[0].size(), 1520u);
  ExpectFrame(SentFrames()[0], ExpectedNotice(payload, kTag));

  payload.push_back(0);
  EXPECT_EQ(Send(payload), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SentFrames().size(), 1u);
}

TEST_F(SendTest, NullBufferWithALengthIsRefused) {
  LoadAndOpen();
  EXPECT_EQ(Call([&] { return link_->Send(link_, nullptr, 4); }), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(SentFrames().empty());
}

TEST_F(SendTest, LinkDownFailsAfterAboutOneSecondAndQueuesNothing) {
  LoadAndOpen();
  uint32_t txIndex = Context()->Adapter.TxIndex;
  nic_.SetLink(false);
  EXPECT_EQ(Send({1, 2, 3}), EFI_DEVICE_ERROR);
  EXPECT_GE(elapsedNs_, 1001 * kMs);
  EXPECT_LT(elapsedNs_, 1100 * kMs);
  EXPECT_EQ(Context()->Adapter.TxIndex, txIndex) << "no descriptor filled";
  EXPECT_TRUE(SentFrames().empty());
}

// The transmit engine stops taking descriptors: no notice leaves, and Send
// says so for each one instead of claiming success, with no wait of its own.
// Once all 256 descriptors wait, a request cannot even be queued, and
// Transact fails at once instead of polling for an answer that cannot come.
TEST_F(SendTest, StalledTransmitterIsADeviceErrorNotASuccess) {
  LoadAndOpen();
  misuseInjected_ = true; // the doorbells the stalled transmitter ignores
  machine_.bus().IoWrite(static_cast<uint16_t>(nic_.BarBase(0) + 0x37), 1, 0x08);
  for (unsigned i = 0; i < 256; i++) {
    ASSERT_EQ(Send({uint8_t(i)}), EFI_DEVICE_ERROR) << "descriptor " << i;
    ASSERT_LT(elapsedNs_, 3 * kMs) << "the link wait and the existing delay";
  }
  EXPECT_EQ(Send({0xFF}), EFI_DEVICE_ERROR);
  EXPECT_TRUE(SentFrames().empty());
  uint64_t pages = dxe_->PagesInUse();
  EXPECT_EQ(Transact(ItemRequest(0x02030000), 500), EFI_DEVICE_ERROR);
  EXPECT_LT(elapsedNs_, 5 * kMs);
  EXPECT_EQ(dxe_->PagesInUse(), pages);
}

class TransactTest : public LinkFixture {
protected:
  static constexpr uint32_t kDisplayMode = 0x02030000;
};

TEST_F(TransactTest, RequestFrameByteForByteAndAnswerDelivered) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x02});
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x02})) << "status word, then the item";

  ASSERT_EQ(SentFrames().size(), 1u);
  const std::vector<uint8_t> f = SentFrames()[0];
  std::vector<uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (unsigned i = 0; i < 6; i++) {
    expected.push_back(nic_.Reg8(i));
  }
  std::vector<uint8_t> rest = {0x08, 0x00, 0x45, 0x00, 0x00, 38,   0x00, 0x00, 0x00, 0x00,
                               0x00, 17,   0x00, 0x00, 0,    0,    0,    0,    0,    0,
                               0,    0,    0xC3, 0x50, 0xEA, 0x60, 0x00, 18,   0x00, 0x00,
                               0xB5, 0xB5, 0x81, 0x17, 0x00, 0x04, 0x00, 0x00, 0x03, 0x02};
  expected.insert(expected.end(), rest.begin(), rest.end());
  ExpectFrame(f, expected);
  ASSERT_EQ(peer_.Requests().size(), 1u);
  EXPECT_EQ(peer_.Requests()[0].code, kDisplayMode);
}

TEST_F(TransactTest, RefusedArgumentsAllocateNothing) {
  LoadAndOpen();
  uint64_t allocations = provider_->Allocations();
  std::vector<uint8_t> request = ItemRequest(kDisplayMode);
  uint8_t response[16];
  UINT16 length = sizeof response;
  auto call = [&](const void *req, UINT16 reqLength, void *resp, UINT16 *respLength) {
    return Call([&] { return link_->Transact(link_, req, reqLength, 500, resp, respLength); });
  };
  EXPECT_EQ(call(request.data(), 0, response, &length), EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(nullptr, 4, response, &length), EFI_INVALID_PARAMETER);
  std::vector<uint8_t> big(1473);
  EXPECT_EQ(call(big.data(), 1473, response, &length), EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(request.data(), 4, nullptr, &length), EFI_INVALID_PARAMETER);
  EXPECT_EQ(call(request.data(), 4, response, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(provider_->Allocations(), allocations);
  EXPECT_TRUE(SentFrames().empty());
}

TEST_F(TransactTest, LargestRequestIsAccepted) {
  LoadAndOpen();
  std::vector<uint8_t> request = ItemRequest(kDisplayMode);
  request.resize(1472, 0x5A);
  ASSERT_EQ(Transact(request, 500), EFI_SUCCESS);
  ASSERT_EQ(SentFrames().size(), 1u);
  EXPECT_EQ(SentFrames()[0].size(), 1520u);
}

TEST_F(TransactTest, StagingAllocationFailureIsReturnedAndNothingIsSent) {
  LoadAndOpen();
  provider_->SetAllocateFault([](UINTN) { return EFI_OUT_OF_RESOURCES; });
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(SentFrames().empty());
}

TEST_F(TransactTest, UnansweredRequestFailsAfterAboutHalfASecondAndFreesTheStagingBuffer) {
  LoadAndOpen();
  uint64_t pages = dxe_->PagesInUse();
  peer_.SetSilent(true);
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_DEVICE_ERROR);
  // Link wait, two transmit delays and 501 receive polls 1 ms apart.
  EXPECT_GE(elapsedNs_, 504 * kMs);
  EXPECT_LT(elapsedNs_, 540 * kMs);
  EXPECT_EQ(dxe_->PagesInUse(), pages);
  EXPECT_EQ(provider_->PagesOutstanding(), 0u + 4 + 99) << "only the context and its DMA area";
}

TEST_F(TransactTest, NoStagingBufferIsLeftBehindOnAnyWayOut) {
  LoadAndOpen();
  uint64_t pages = dxe_->PagesInUse();
  peer_.SetItem(kDisplayMode, {0x01});
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(dxe_->PagesInUse(), pages) << "answered";
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500, 1), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(dxe_->PagesInUse(), pages) << "answer too large";
  nic_.SetLink(false);
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_DEVICE_ERROR);
  EXPECT_EQ(dxe_->PagesInUse(), pages) << "no link";
}

TEST_F(TransactTest, AnswerLongerThanTheBufferReportsTheNeededLengthAndCopiesNothing) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, std::vector<uint8_t>(10, 0x77));
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 500, 8), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(answerLength_, 12) << "status word and ten bytes";
  EXPECT_EQ(answer_, std::vector<uint8_t>(8, 0xEE));
}

TEST_F(TransactTest, UpToThreeStaleFramesAreDrainedBeforeTheRequest) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x03});
  peer_.SendAnswerFrame(0x0004, {0x99});
  peer_.SendAnswerFrame(0x0004, {0x98});
  peer_.SendAnswerFrame(0x0004, {0x97});
  machine_.clock().AdvanceNs(1 * kMs);
  nic_.Poll();
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x03}));
}

TEST_F(TransactTest, AFourthStaleAnswerIsTakenForTheAnswer) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x03});
  for (uint8_t i = 0; i < 4; i++) {
    peer_.SendAnswerFrame(0x0004, {uint8_t(0x90 + i)});
  }
  machine_.clock().AdvanceNs(1 * kMs);
  nic_.Poll();
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x04, 0x00, 0x93})) << "only three are drained";
}

TEST_F(TransactTest, OtherTrafficBeforeTheAnswerIsDropped) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x05});
  peer_.SetTrafficBeforeAnswer(5, sim::MgmtController::Traffic::NonAnswer);
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x05}));
}

TEST_F(TransactTest, ALateAnswerWithinThePollsIsTaken) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x06});
  peer_.SetAnswerDelay(300 * kMs);
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x06}));
  EXPECT_GE(elapsedNs_, 300 * kMs);
}

TEST_F(TransactTest, ZeroPollsTakesOneFrameOffAndFails) {
  LoadAndOpen();
  peer_.SetItem(kDisplayMode, {0x06});
  EXPECT_EQ(Transact(ItemRequest(kDisplayMode), 0), EFI_DEVICE_ERROR);
}

} // namespace
} // namespace link_test
