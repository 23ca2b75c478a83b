// Management-link frames byte for byte, which received frames count as the
// answer to a request, and how a watcher of the wire reads frames back.
#include "Frames.h"

#include <MgmtLink/FrameParse.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

const UINT8 kStation[6] = {0x00, 0xE0, 0x4C, 0x12, 0x34, 0x56};

// The fixed part every frame starts with, for a given IPv4 total length.
std::vector<UINT8> EthIpHeader(UINT16 TotalLength) {
  return {0xFF,
          0xFF,
          0xFF,
          0xFF,
          0xFF,
          0xFF, // broadcast
          0x00,
          0xE0,
          0x4C,
          0x12,
          0x34,
          0x56, // station address
          0x08,
          0x00, // IPv4
          0x45,
          0x00,
          (UINT8)(TotalLength >> 8),
          (UINT8)TotalLength,
          0x00,
          0x00,
          0x00,
          0x00, // id, flags, fragment
          0x00,
          0x11,
          0x00,
          0x00, // TTL 0, UDP, checksum 0
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          0}; // 0.0.0.0 to 0.0.0.0
}

std::vector<UINT8> Append(std::vector<UINT8> Head, const std::vector<UINT8> &Tail) {
  Head.insert(Head.end(), Tail.begin(), Tail.end());
  return Head;
}

class FrameBuild : public ::testing::Test {
protected:
  // Filled with a pattern so that a field the builder forgets shows up.
  UINT8 Frame[kMgmtFrameBufferSize];
  void SetUp() override { memset(Frame, 0, sizeof(Frame)); }
  std::vector<UINT8> Bytes(UINT32 Length) const { return {Frame, Frame + Length}; }
};

TEST_F(FrameBuild, EmptyNoticeIs52BytesWithUdpLength18AndTheLinkTag) {
  UINT32 Length = BuildNoticeFrame(Frame, kStation, kMgmtLinkTag, nullptr, 0);
  ASSERT_EQ(Length, 52u);
  auto Expected = Append(EthIpHeader(38), {0x00, 0x00, 0xEA, 0x60, 0x00, 18, 0x00, 0x00, // UDP
                                           0xA5, 0xA5, 0x81, 0x17, 0x00, 0x00,           // link
                                           0x00, 0x09, 0x27, 0xC0});                     // tag
  EXPECT_EQ(Bytes(Length), Expected);
}

TEST_F(FrameBuild, NoticeCarriesPayloadUnchangedAfterTheTag) {
  const UINT8 Payload[] = {0x02, 0x05, 0x00, 0x01, 0x01, '{'};
  UINT32 Length = BuildNoticeFrame(Frame, kStation, 0x01020304, Payload, sizeof(Payload));
  ASSERT_EQ(Length, 58u);
  auto Expected = Append(EthIpHeader(44),
                         {0x00, 0x00, 0xEA, 0x60, 0x00, 24,   0x00, 0x00, 0xA5, 0xA5, 0x81, 0x17,
                          0x00, 0x06, 0x01, 0x02, 0x03, 0x04, 0x02, 0x05, 0x00, 0x01, 0x01, '{'});
  EXPECT_EQ(Bytes(Length), Expected);
}

TEST_F(FrameBuild, FourByteRequestIs52BytesFromPort50000WithoutTag) {
  const UINT8 Request[] = {0x00, 0x00, 0x03, 0x02}; // item 0x02030000, little-endian
  UINT32 Length = BuildRequestFrame(Frame, kStation, Request, sizeof(Request));
  ASSERT_EQ(Length, 52u);
  auto Expected = Append(EthIpHeader(38), {0xC3, 0x50, 0xEA, 0x60, 0x00, 18, 0x00, 0x00, 0xB5, 0xB5,
                                           0x81, 0x17, 0x00, 0x04, 0x00, 0x00, 0x03, 0x02});
  EXPECT_EQ(Bytes(Length), Expected);
}

TEST_F(FrameBuild, OneByteRequestIs49BytesWithoutPadding) {
  const UINT8 Request[] = {0x7E};
  EXPECT_EQ(BuildRequestFrame(Frame, kStation, Request, 1), 49u);
  EXPECT_EQ(Frame[48], 0x7E);
}

TEST_F(FrameBuild, MaximumPayloadsFillTheFrameBufferExactly) {
  std::vector<UINT8> Payload(kMgmtRequestMaxPayload);
  for (size_t I = 0; I < Payload.size(); I++) {
    Payload[I] = (UINT8)(I * 7);
  }
  ASSERT_EQ(BuildNoticeFrame(Frame, kStation, kMgmtLinkTag, Payload.data(), 1468), 1520u);
  EXPECT_EQ(Frame[16] * 256 + Frame[17], 1468 + 38);
  EXPECT_EQ(Frame[38] * 256 + Frame[39], 1468 + 18);
  EXPECT_EQ(0, memcmp(&Frame[52], Payload.data(), 1468));

  ASSERT_EQ(BuildRequestFrame(Frame, kStation, Payload.data(), 1472), 1520u);
  EXPECT_EQ(Frame[16] * 256 + Frame[17], 1472 + 34);
  EXPECT_EQ(Frame[38] * 256 + Frame[39], 1472 + 14);
  EXPECT_EQ(Frame[46] * 256 + Frame[47], 1472);
  EXPECT_EQ(0, memcmp(&Frame[48], Payload.data(), 1472));
}

TEST_F(FrameBuild, RequestAfterNoticeRewritesEveryHeaderFieldButLeavesTtlZero) {
  const UINT8 Payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  BuildNoticeFrame(Frame, kStation, kMgmtLinkTag, Payload, 8);
  UINT32 Length = BuildRequestFrame(Frame, kStation, Payload, 4);
  auto Expected = Append(EthIpHeader(38), {0xC3, 0x50, 0xEA, 0x60, 0x00, 18, 0x00, 0x00, 0xB5, 0xB5,
                                           0x81, 0x17, 0x00, 0x04, 1, 2, 3, 4});
  EXPECT_EQ(Bytes(Length), Expected);
}

TEST_F(FrameBuild, IdentificationFlagsAndTtlAreNeverWritten) {
  // Those bytes stay zero from load; the builder leaves whatever is there.
  memset(Frame, 0xCC, sizeof(Frame));
  BuildNoticeFrame(Frame, kStation, kMgmtLinkTag, nullptr, 0);
  for (UINT32 Offset = 18; Offset <= 22; Offset++) {
    EXPECT_EQ(Frame[Offset], 0xCC) << "offset " << Offset;
  }
  EXPECT_EQ(Frame[23], 17);
  EXPECT_EQ(Frame[24],
            0); // checksums are written as zero for the controller to fill
  EXPECT_EQ(Frame[41], 0);
}

TEST(FrameBuffer, IsZeroAtLoadSoTtlIsZeroInEveryFrame) {
  for (UINT32 I = 0; I < kMgmtFrameBufferSize; I++) {
    ASSERT_EQ(mFrameBuffer[I], 0) << "byte " << I;
  }
  BuildRequestFrame(mFrameBuffer, kStation, kStation, 6);
  EXPECT_EQ(mFrameBuffer[22], 0);
}

// A received frame to the given UDP destination port carrying Answer, with
// the IPv4 total length field stating TotalLength.
std::vector<UINT8> AnswerFrame(UINT16 Port, const std::vector<UINT8> &Answer, UINT16 TotalLength) {
  std::vector<UINT8> Frame = EthIpHeader(TotalLength);
  Frame.insert(Frame.end(), {0xEA, 0x60, (UINT8)(Port >> 8), (UINT8)Port, 0, 0, 0, 0});
  Frame.insert(Frame.end(), Answer.begin(), Answer.end());
  return Frame;
}

std::vector<UINT8> AnswerFrame(UINT16 Port, const std::vector<UINT8> &Answer) {
  return AnswerFrame(Port, Answer, (UINT16)(Answer.size() + 28));
}

struct Delivery {
  MGMT_ANSWER_MATCH Match;
  UINT16 Length;
  std::vector<UINT8> Bytes;
};

Delivery Match(const std::vector<UINT8> &Frame, UINT16 Capacity = 1024) {
  std::vector<UINT8> Response(Capacity + 16, 0xEE);
  UINT16 Length = Capacity;
  MGMT_ANSWER_MATCH Result =
      MatchAnswer(Frame.data(), (UINT32)Frame.size(), Response.data(), &Length);
  return {Result, Length, Response};
}

TEST(AnswerMatch, FrameToPort50000IsDeliveredWhateverItsLinkHeader) {
  auto Frame = AnswerFrame(50000, {0x12, 0x34, 0x00, 0x00, 0x05});
  Frame[12] = 0x86; // not even IPv4: nothing but the port decides
  Frame[13] = 0xDD;
  Delivery D = Match(Frame);
  ASSERT_EQ(D.Match, MgmtAnswerDelivered);
  ASSERT_EQ(D.Length, 5);
  EXPECT_EQ(std::vector<UINT8>(D.Bytes.begin(), D.Bytes.begin() + 5),
            (std::vector<UINT8>{0x12, 0x34, 0x00, 0x00, 0x05}));
  EXPECT_EQ(D.Bytes[5], 0xEE); // nothing written past the answer
}

TEST(AnswerMatch, OtherDestinationPortsAreDropped) {
  for (UINT16 Port : {60000, 50001, 0x50C3, 0}) {
    EXPECT_EQ(Match(AnswerFrame(Port, {0, 0, 1})).Match, MgmtAnswerNone) << Port;
  }
}

TEST(AnswerMatch, TotalLength28IsAnEmptyAnswer) {
  Delivery D = Match(AnswerFrame(50000, {}));
  EXPECT_EQ(D.Match, MgmtAnswerDelivered);
  EXPECT_EQ(D.Length, 0);
  EXPECT_EQ(D.Bytes[0], 0xEE);
}

TEST(AnswerMatch, TotalLengthBelow28IsNotAnAnswer) {
  for (UINT16 Total : {0, 1, 27}) {
    Delivery D = Match(AnswerFrame(50000, {1, 2, 3}, Total));
    EXPECT_EQ(D.Match, MgmtAnswerNone) << Total;
    EXPECT_EQ(D.Bytes[0], 0xEE);
  }
}

// The port alone decides; an answer stating bytes that never arrived is
// refused whole, never cut to what came or read past it.
TEST(AnswerMatch, StatedLengthBeyondTheReceivedBytesIsRefused) {
  Delivery D = Match(AnswerFrame(50000, {0, 0, 7}, 28 + 4));
  EXPECT_EQ(D.Match, MgmtAnswerTooLarge);
  EXPECT_EQ(D.Length, 4);
  EXPECT_EQ(D.Bytes[0], 0xEE);
  EXPECT_EQ(Match(AnswerFrame(50000, {0, 0, 7}, 28 + 3)).Match, MgmtAnswerDelivered);
}

TEST(AnswerMatch, AnswerLongerThanCapacityCopiesNothingAndReportsItsLength) {
  std::vector<UINT8> Answer(100, 0x5A);
  Delivery D = Match(AnswerFrame(50000, Answer), 99);
  EXPECT_EQ(D.Match, MgmtAnswerTooLarge);
  EXPECT_EQ(D.Length, 100);
  EXPECT_EQ(D.Bytes[0], 0xEE);
  EXPECT_EQ(Match(AnswerFrame(50000, Answer), 100).Match, MgmtAnswerDelivered);
}

TEST(AnswerMatch, FramesTooShortForAUdpHeaderAreDropped) {
  auto Frame = AnswerFrame(50000, {});
  for (UINT32 Length : {0u, 37u, 41u}) {
    UINT8 Response[4];
    UINT16 Capacity = sizeof(Response);
    EXPECT_EQ(MatchAnswer(Frame.data(), Length, Response, &Capacity), MgmtAnswerNone) << Length;
  }
}

TEST(AnswerMatch, LargestReceivableAnswerIs1472Bytes) {
  std::vector<UINT8> Answer(kMgmtAnswerMax, 0x42);
  auto Frame = AnswerFrame(50000, Answer);
  ASSERT_EQ(Frame.size(), kMgmtReceivedFrameMax);
  Delivery D = Match(Frame, 1500);
  EXPECT_EQ(D.Match, MgmtAnswerDelivered);
  EXPECT_EQ(D.Length, 1472);
}

// ---- Reading frames back (the wire watcher's parser) ----

struct Parsed {
  MGMT_FRAME_KIND Kind;
  UINT32 Code;
  UINT16 Status;
  std::vector<UINT8> Data;
};

Parsed Parse(const std::vector<UINT8> &Frame, bool ToBoard) {
  MGMT_FRAME_VIEW View;
  const MGMT_FRAME_KIND Kind =
      MgmtParseFrame(Frame.data(), (UINT32)Frame.size(), ToBoard ? TRUE : FALSE, &View);
  EXPECT_EQ(Kind, View.Kind);
  return {Kind, View.Code, View.Status,
          View.Data == nullptr ? std::vector<UINT8>{}
                               : std::vector<UINT8>(View.Data, View.Data + View.DataLength)};
}

// An answer from the controller: UDP from 60000 to 50000 with a UDP length
// that covers Payload.
std::vector<UINT8> ControllerAnswer(const std::vector<UINT8> &Payload) {
  std::vector<UINT8> Frame = EthIpHeader((UINT16)(Payload.size() + 28));
  const UINT16 UdpLength = (UINT16)(Payload.size() + 8);
  Frame.insert(Frame.end(), {0xEA, 0x60, 0xC3, 0x50, (UINT8)(UdpLength >> 8), (UINT8)UdpLength,
                             0x00, 0x00});
  Frame.insert(Frame.end(), Payload.begin(), Payload.end());
  return Frame;
}

TEST_F(FrameBuild, BuiltRequestsNoticesAndAnswersParseBackToWhatWentIn) {
  const UINT8 Message[] = {0x00, 0x00, 0x23, 0x02, 0x05}; // write display mode 5
  std::vector<UINT8> Request = Bytes(BuildRequestFrame(Frame, kStation, Message, sizeof(Message)));
  Parsed R = Parse(Request, false);
  ASSERT_EQ(R.Kind, MgmtFrameRequest);
  EXPECT_EQ(R.Code, 0x02230000u);
  EXPECT_EQ(R.Data, (std::vector<UINT8>{0x05}));
  EXPECT_EQ(Parse(Request, true).Kind, MgmtFrameOther) << "a request never travels to the board";

  const UINT8 Slice[] = {0x02, 0x00, 0x01, 0x00, 0x01, '{', '}'};
  std::vector<UINT8> Notice =
      Bytes(BuildNoticeFrame(Frame, kStation, kMgmtLinkTag, Slice, sizeof(Slice)));
  Parsed N = Parse(Notice, false);
  ASSERT_EQ(N.Kind, MgmtFrameNotice);
  EXPECT_EQ(N.Code, kMgmtLinkTag);
  EXPECT_EQ(N.Data, std::vector<UINT8>(Slice, Slice + sizeof(Slice)));

  Parsed A = Parse(ControllerAnswer({0x03, 0x00, 0x07, 0x08}), true);
  ASSERT_EQ(A.Kind, MgmtFrameAnswer);
  EXPECT_EQ(A.Status, 0x0003);
  EXPECT_EQ(A.Data, (std::vector<UINT8>{0x07, 0x08}));
  EXPECT_EQ(Parse(ControllerAnswer({0x00, 0x00}), true).Data, std::vector<UINT8>{});
  EXPECT_EQ(Parse(ControllerAnswer({0x00, 0x00}), false).Kind, MgmtFrameOther)
      << "an answer never travels from the board";
}

// A request frame with one thing wrong: what the parser makes of it. Only a
// longer stated length than arrived still reads, cut to what arrived.
struct Damage {
  const char *Name;
  std::function<void(std::vector<UINT8> &)> Apply;
  MGMT_FRAME_KIND Kind;
  size_t DataLength;
};

TEST_F(FrameBuild, DamagedRequestsAreOtherFramesOrCutToWhatArrived) {
  const UINT8 Message[] = {0x00, 0x00, 0x03, 0x02, 0xAA, 0xBB};
  const std::vector<UINT8> Good =
      Bytes(BuildRequestFrame(Frame, kStation, Message, sizeof(Message)));
  const Damage Cases[] = {
      {"intact", [](std::vector<UINT8> &) {}, MgmtFrameRequest, 2},
      {"shorter than the UDP header", [](std::vector<UINT8> &F) { F.resize(41); },
       MgmtFrameOther, 0},
      {"not IPv4", [](std::vector<UINT8> &F) { F[13] = 0xDD; }, MgmtFrameOther, 0},
      {"not UDP", [](std::vector<UINT8> &F) { F[23] = 6; }, MgmtFrameOther, 0},
      {"to another port", [](std::vector<UINT8> &F) { F[37] ^= 1; }, MgmtFrameOther, 0},
      {"markers differ", [](std::vector<UINT8> &F) { F[43] = 0xA5; }, MgmtFrameOther, 0},
      {"unknown marker", [](std::vector<UINT8> &F) { F[42] = F[43] = 0xC5; }, MgmtFrameOther, 0},
      {"stated length leaves no command code", [](std::vector<UINT8> &F) { F[47] = 3; },
       MgmtFrameOther, 0},
      {"stated length beyond the frame", [](std::vector<UINT8> &F) { F[46] = 0x05; },
       MgmtFrameRequest, 2},
      {"UDP length beyond the frame", [](std::vector<UINT8> &F) { F[38] = 0x10; },
       MgmtFrameRequest, 2},
      {"UDP length cuts the data", [](std::vector<UINT8> &F) { F[39] -= 1; },
       MgmtFrameRequest, 1},
      {"UDP length below its header",
       [](std::vector<UINT8> &F) {
         F[38] = 0;
         F[39] = 3;
       },
       MgmtFrameOther, 0},
      {"IPv4 options move the UDP header", [](std::vector<UINT8> &F) { F[14] = 0x46; },
       MgmtFrameOther, 0},
  };
  for (const Damage &Case : Cases) {
    std::vector<UINT8> Damaged = Good;
    Case.Apply(Damaged);
    Parsed P = Parse(Damaged, false);
    EXPECT_EQ(P.Kind, Case.Kind) << Case.Name;
    EXPECT_EQ(P.Data.size(), Case.DataLength) << Case.Name;
    if (P.Kind == MgmtFrameRequest) {
      EXPECT_EQ(P.Code, 0x02030000u) << Case.Name;
    }
  }
}

} // namespace
