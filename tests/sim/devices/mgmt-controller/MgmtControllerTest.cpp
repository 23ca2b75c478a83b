// The management-controller model heard through a bare wire end: requests in
// the board's frame format, answers judged by an independent checksum and
// parser, the item store, notices, and every fault the model offers.
#include <gtest/gtest.h>

#include <cstring>

#include "Machine.h"
#include "MgmtController.h"

namespace {

using sim::MgmtController;
using Outcome = sim::RequestRecord::Outcome;

struct Sent {
  std::vector<uint8_t> frame;
  uint64_t delayNs;
};

class Board final : public sim::LinkEndpoint {
public:
  void SendToBoard(std::vector<uint8_t> frame, uint64_t delayNs) override {
    sent.push_back({std::move(frame), delayNs});
  }
  std::vector<Sent> sent;
};

uint16_t Sum(const uint8_t *data, size_t length, uint64_t sum = 0) {
  for (size_t i = 0; i < length; ++i) {
    sum += (i % 2 == 0) ? uint64_t{data[i]} << 8 : data[i];
  }
  while (sum > 0xFFFF) {
    sum = (sum >> 16) + (sum & 0xFFFF);
  }
  return static_cast<uint16_t>(sum);
}

// Fills both checksums the way the board's controller does on transmission.
void FillChecksums(std::vector<uint8_t> &f) {
  f[24] = f[25] = f[40] = f[41] = 0;
  const uint16_t ip = static_cast<uint16_t>(~Sum(&f[14], 20));
  f[24] = static_cast<uint8_t>(ip >> 8);
  f[25] = static_cast<uint8_t>(ip);
  const size_t udpLength = size_t{f[38]} << 8 | f[39];
  uint16_t udp = static_cast<uint16_t>(~Sum(&f[34], udpLength, 17 + udpLength));
  udp = udp == 0 ? 0xFFFF : udp;
  f[40] = static_cast<uint8_t>(udp >> 8);
  f[41] = static_cast<uint8_t>(udp);
}

// A board frame: notices carry a tag (marker A5), requests do not (B5).
std::vector<uint8_t> BoardFrame(bool notice, const std::vector<uint8_t> &payload,
                                uint32_t tag = 0) {
  const size_t header = notice ? 52 : 48;
  std::vector<uint8_t> f(header + payload.size(), 0);
  std::memset(f.data(), 0xFF, 6);
  f[6] = 0x02;
  f[12] = 0x08;
  f[14] = 0x45;
  const size_t total = f.size() - 14, udp = f.size() - 34;
  f[16] = static_cast<uint8_t>(total >> 8);
  f[17] = static_cast<uint8_t>(total);
  f[23] = 17;
  if (!notice) {
    f[34] = 0xC3;
    f[35] = 0x50;
  }
  f[36] = 0xEA;
  f[37] = 0x60;
  f[38] = static_cast<uint8_t>(udp >> 8);
  f[39] = static_cast<uint8_t>(udp);
  f[42] = f[43] = notice ? 0xA5 : 0xB5;
  f[44] = 0x81;
  f[45] = 0x17;
  f[46] = static_cast<uint8_t>(payload.size() >> 8);
  f[47] = static_cast<uint8_t>(payload.size());
  if (notice) {
    for (int i = 0; i < 4; ++i) {
      f[48 + i] = static_cast<uint8_t>(tag >> (24 - 8 * i));
    }
  }
  std::copy(payload.begin(), payload.end(), f.begin() + static_cast<ptrdiff_t>(header));
  FillChecksums(f);
  return f;
}

std::vector<uint8_t> Request(uint32_t code, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> payload = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                                  static_cast<uint8_t>(code >> 16),
                                  static_cast<uint8_t>(code >> 24)};
  payload.insert(payload.end(), data.begin(), data.end());
  return BoardFrame(false, payload);
}

struct Answer {
  uint16_t port;
  uint16_t status;
  std::vector<uint8_t> data;
};

// Reads a frame the way the board's driver does: UDP destination port, and
// the IPv4 total length less 28 bytes of answer from offset 42.
Answer Parse(const std::vector<uint8_t> &f) {
  Answer a{};
  EXPECT_GE(f.size(), 60u) << "padded to the Ethernet minimum";
  EXPECT_EQ(Sum(&f[14], 20), 0xFFFF) << "IPv4 header checksum";
  const size_t udpLength = size_t{f[38]} << 8 | f[39];
  EXPECT_EQ(Sum(&f[34], udpLength, 17 + udpLength), 0xFFFF) << "UDP checksum";
  a.port = static_cast<uint16_t>(f[36] << 8 | f[37]);
  const size_t length = (size_t{f[16]} << 8 | f[17]) - 28;
  EXPECT_GE(length, 2u);
  a.status = static_cast<uint16_t>(f[42] | f[43] << 8);
  a.data.assign(f.begin() + 44, f.begin() + 42 + static_cast<ptrdiff_t>(length));
  return a;
}

class MgmtControllerTest : public ::testing::Test {
protected:
  MgmtControllerTest() { controller.Attach(&board); }

  Answer Ask(uint32_t code, std::vector<uint8_t> data = {}) {
    const size_t before = board.sent.size();
    controller.OnFrame(Request(code, std::move(data)));
    EXPECT_EQ(board.sent.size(), before + 1);
    return board.sent.empty() ? Answer{} : Parse(board.sent.back().frame);
  }

  sim::Machine machine;
  MgmtController controller{machine};
  Board board;
};

TEST_F(MgmtControllerTest, ReadAnswersTheStoredItemToPort50000AfterTheDefaultDelay) {
  controller.SetItem(0x02030000, {0x82});
  const Answer a = Ask(0x02030000);
  EXPECT_EQ(a.port, 50000);
  EXPECT_EQ(a.status, MgmtController::kStatusAccepted);
  EXPECT_EQ(a.data, std::vector<uint8_t>({0x82}));
  EXPECT_EQ(board.sent.back().delayNs, 200'000u);
  ASSERT_EQ(controller.Requests().size(), 1u);
  EXPECT_EQ(controller.Requests()[0].code, 0x02030000u);
  EXPECT_EQ(controller.Requests()[0].outcome, Outcome::Answered);
}

TEST_F(MgmtControllerTest, DefaultsCoverTheItemsTheAgentReads) {
  EXPECT_EQ(Ask(0x02030000).data, std::vector<uint8_t>({0x00}));
  EXPECT_EQ(Ask(0x02000000).data, std::vector<uint8_t>({0, 0, 1, 1}));
  EXPECT_EQ(Ask(0x02040000).data, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(Ask(0x01070000).data, std::vector<uint8_t>({0}));
  for (uint8_t k = 0; k < 8; ++k) {
    EXPECT_EQ(Ask(0x01080000, {k}).data, std::vector<uint8_t>(8, 0)) << int{k};
  }
  EXPECT_EQ(Ask(0x05010000).status, MgmtController::kStatusUnknownItem);
}

TEST_F(MgmtControllerTest, WriteStoresUnderTheReadCodeAndIsLogged) {
  const Answer w = Ask(0x02230000, {0x02});
  EXPECT_EQ(w.status, MgmtController::kStatusAccepted);
  EXPECT_TRUE(w.data.empty());
  EXPECT_EQ(controller.Item(0x02030000), std::vector<uint8_t>({0x02}));
  EXPECT_EQ(Ask(0x02030000).data, std::vector<uint8_t>({0x02}));
  ASSERT_EQ(controller.Writes().size(), 1u);
  EXPECT_EQ(controller.Writes()[0].code, 0x02230000u);
  EXPECT_EQ(controller.Writes()[0].data, std::vector<uint8_t>({0x02}));
  // The text item is write-only for the agent but kept all the same.
  std::vector<uint8_t> text(32, 0);
  std::memcpy(text.data(), "host01", 6);
  Ask(0x01290000, text);
  EXPECT_EQ(controller.Item(0x01090000), text);
}

TEST_F(MgmtControllerTest, RangesAreIndexedByTheirFirstByte) {
  Ask(0x01280000, {3, 192, 168, 1, 10, 192, 168, 1, 20});
  EXPECT_EQ(Ask(0x01080000, {3}).data, std::vector<uint8_t>({192, 168, 1, 10, 192, 168, 1, 20}));
  EXPECT_EQ(Ask(0x01080000, {4}).data, std::vector<uint8_t>(8, 0));
  EXPECT_EQ(Ask(0x01080000).status, MgmtController::kStatusBadParameter);
  controller.SetRange(7, {10, 0, 0, 1}, {10, 0, 0, 9});
  EXPECT_EQ(Ask(0x01080000, {7}).data, std::vector<uint8_t>({10, 0, 0, 1, 10, 0, 0, 9}));
}

TEST_F(MgmtControllerTest, DisplayEnablePairWriteLandsOnTheComparedByte) {
  Ask(0x02200000, {0, 1});
  EXPECT_EQ(Ask(0x02000000).data, std::vector<uint8_t>({0, 0, 0, 1}));
}

TEST_F(MgmtControllerTest, RefusedItemAnswersItsStatusAndChangesNothing) {
  controller.Refuse(0x02230000, 0x0005);
  EXPECT_EQ(Ask(0x02230000, {3}).status, 0x0005);
  EXPECT_EQ(controller.Item(0x02030000), std::vector<uint8_t>({0x00}));
  EXPECT_TRUE(controller.Writes().empty());
  EXPECT_EQ(Ask(0x02030000).status, MgmtController::kStatusAccepted) << "only the write refused";
  controller.Unrefuse(0x02230000);
  EXPECT_EQ(Ask(0x02230000, {3}).status, MgmtController::kStatusAccepted);
}

TEST_F(MgmtControllerTest, SilentControllerSendsNothingAndActsOnNothing) {
  controller.SetSilentFor(0x02230000, true);
  controller.OnFrame(Request(0x02230000, {1}));
  EXPECT_TRUE(board.sent.empty());
  EXPECT_EQ(controller.Item(0x02030000), std::vector<uint8_t>({0x00}));
  EXPECT_EQ(Ask(0x02030000).status, 0);
  controller.SetSilent(true);
  controller.OnFrame(Request(0x02030000));
  EXPECT_EQ(board.sent.size(), 1u);
  ASSERT_EQ(controller.Requests().size(), 3u);
  EXPECT_EQ(controller.Requests()[0].outcome, Outcome::Silent);
  EXPECT_EQ(controller.Requests()[2].outcome, Outcome::Silent);
}

TEST_F(MgmtControllerTest, DroppedRequestsVanishThenServiceResumes) {
  controller.DropNextRequests(2);
  controller.OnFrame(Request(0x02230000, {1}));
  controller.OnFrame(Request(0x02030000));
  EXPECT_TRUE(board.sent.empty());
  EXPECT_EQ(controller.Item(0x02030000), std::vector<uint8_t>({0x00}));
  EXPECT_EQ(Ask(0x02030000).data, std::vector<uint8_t>({0x00}));
  EXPECT_EQ(controller.Requests()[0].outcome, Outcome::Dropped);
  EXPECT_EQ(controller.Requests()[1].outcome, Outcome::Dropped);
}

TEST_F(MgmtControllerTest, LateAnswersCarryTheirDelay) {
  controller.SetAnswerDelayFor(0x02040000, 750'000'000);
  Ask(0x02040000);
  EXPECT_EQ(board.sent.back().delayNs, 750'000'000u);
  Ask(0x02030000);
  EXPECT_EQ(board.sent.back().delayNs, 200'000u);
  controller.SetAnswerDelay(5'000);
  Ask(0x02030000);
  EXPECT_EQ(board.sent.back().delayNs, 5'000u);
}

TEST_F(MgmtControllerTest, OtherTrafficGoesOutAheadOfTheAnswer) {
  controller.SetTrafficBeforeAnswer(2, MgmtController::Traffic::NonAnswer);
  controller.SetItem(0x02030000, {0x81});
  controller.OnFrame(Request(0x02030000));
  ASSERT_EQ(board.sent.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(Parse(board.sent[i].frame).port, 50000) << i;
    EXPECT_EQ(board.sent[i].delayNs, board.sent[2].delayNs);
  }
  EXPECT_EQ(Parse(board.sent[2].frame).data, std::vector<uint8_t>({0x81}));
  // A stale answer repeats the previous one, to port 50000, before the real one.
  controller.SetTrafficBeforeAnswer(1, MgmtController::Traffic::StaleAnswer);
  controller.SetItem(0x02030000, {0x83});
  controller.OnFrame(Request(0x02030000));
  ASSERT_EQ(board.sent.size(), 5u);
  EXPECT_EQ(Parse(board.sent[3].frame).port, 50000);
  EXPECT_EQ(Parse(board.sent[3].frame).data, std::vector<uint8_t>({0x81}));
  EXPECT_EQ(Parse(board.sent[4].frame).data, std::vector<uint8_t>({0x83}));
}

TEST_F(MgmtControllerTest, NoticesAreKeptInOrderWithTheirTags) {
  controller.OnFrame(BoardFrame(true, {2, 5, 0, 1, 2, 'a'}, 600000));
  controller.OnFrame(BoardFrame(true, {}, 600000));
  controller.OnFrame(BoardFrame(true, {2, 5, 0, 2, 2, 'b'}, 7));
  ASSERT_EQ(controller.Notices().size(), 3u);
  EXPECT_EQ(controller.Notices()[0].tag, 600000u);
  EXPECT_EQ(controller.Notices()[0].payload, std::vector<uint8_t>({2, 5, 0, 1, 2, 'a'}));
  EXPECT_TRUE(controller.Notices()[1].payload.empty());
  EXPECT_EQ(controller.Notices()[2].tag, 7u);
  EXPECT_TRUE(board.sent.empty()) << "notices are not answered";
}

TEST_F(MgmtControllerTest, FramesWithBadOrMissingChecksumsAreDropped) {
  std::vector<uint8_t> f = Request(0x02030000);
  f[41] ^= 0x01;
  controller.OnFrame(f);
  f[40] = f[41] = 0; // never inserted
  controller.OnFrame(f);
  f = Request(0x02030000);
  f[25] ^= 0x80;
  controller.OnFrame(f);
  EXPECT_EQ(controller.ChecksumFailures(), 3u);
  EXPECT_TRUE(controller.Requests().empty());
  EXPECT_TRUE(board.sent.empty());
}

TEST_F(MgmtControllerTest, InconsistentLengthsAndForeignTrafficAreNotActedOn) {
  std::vector<uint8_t> f = Request(0x02030000);
  f[47] = 9; // payload length beyond the datagram
  FillChecksums(f);
  controller.OnFrame(f);
  EXPECT_EQ(controller.MalformedFrames(), 1u);
  f = Request(0x02030000);
  f[37] = 0x61; // UDP port 60001
  FillChecksums(f);
  controller.OnFrame(f);
  f = Request(0x02030000);
  f[13] = 0x06; // ARP
  controller.OnFrame(f);
  EXPECT_EQ(controller.IgnoredFrames(), 2u);
  EXPECT_TRUE(board.sent.empty());
  // A request too short for a command code is answered as malformed.
  controller.OnFrame(BoardFrame(false, {1, 2}));
  ASSERT_EQ(board.sent.size(), 1u);
  EXPECT_EQ(Parse(board.sent[0].frame).status, MgmtController::kStatusMalformed);
}

} // namespace
