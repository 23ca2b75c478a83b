// UploadDocument on the wire of the recording link: slicing at 799 bytes,
// the 5-byte header, the extra zero after a full slice, the Open/Send/Open
// bracket, the refusal of texts whose slice count would not fit, and a
// failing chunk that abandons its document but closes the link (the mend),
// so the next document of the run still goes out.
#include "InventoryFixture.h"

#include "Upload.h"

namespace inventory_test {
namespace {

class UploadTest : public InventoryFixture {
protected:
  void SetUp() override {
    ServeImage(TestBoard().Image());
    InstallLink();
    ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  }

  void Upload(const std::string &text, uint8_t id) {
    sim::RunOutcome outcome =
        sim::FirmwareRunner::Run(machine_, [&] { Inventory::UploadDocument(text.c_str(), id); });
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  std::vector<size_t> SendLengths() const {
    std::vector<size_t> lengths;
    for (const RecordingLink::Call &call : link_.Calls()) {
      if (call.kind == RecordingLink::Call::Send) {
        lengths.push_back(call.bytes.size());
      }
    }
    return lengths;
  }
};

// Printable text of `length` characters that shows where each byte came from.
std::string TextOf(size_t length) {
  std::string text(length, ' ');
  for (size_t i = 0; i < length; i++) {
    text[i] = static_cast<char>('!' + (i * 7 + i / 799) % 90);
  }
  return text;
}

struct SliceCase {
  size_t length;
  std::vector<size_t> chunks;
};
void PrintTo(const SliceCase &c, std::ostream *os) { *os << "L = " << c.length; }

class UploadSliceTest : public UploadTest, public ::testing::WithParamInterface<SliceCase> {};

TEST_P(UploadSliceTest, ChunksCarryTheTextAndItsTerminator) {
  const SliceCase &c = GetParam();
  std::string text = TextOf(c.length);
  Upload(text, 2);

  EXPECT_EQ(SendLengths(), c.chunks);
  const auto &calls = link_.Calls();
  ASSERT_EQ(calls.size(), c.chunks.size() + 2);
  EXPECT_EQ(calls.front().kind, RecordingLink::Call::Open);
  EXPECT_EQ(calls.front().enable, 1);
  EXPECT_EQ(calls.front().tag, kMgmtLinkTag);
  EXPECT_EQ(calls.back().kind, RecordingLink::Call::Open);
  EXPECT_EQ(calls.back().enable, 0);
  EXPECT_EQ(calls.back().tag, kMgmtLinkTag);

  // Header, slice bytes and the zero byte after a full slice, chunk by chunk.
  std::string full = text + '\0';
  size_t n = c.chunks.size();
  for (size_t s = 1; s <= n; s++) {
    const std::vector<uint8_t> &chunk = calls[s].bytes;
    ASSERT_GE(chunk.size(), 5u);
    EXPECT_EQ(chunk[0], 2);
    EXPECT_EQ(chunk[1], 5);
    EXPECT_EQ(chunk[2], 0);
    EXPECT_EQ(chunk[3], s);
    EXPECT_EQ(chunk[4], n);
    size_t offset = (s - 1) * 799;
    size_t slice = std::min<size_t>(799, full.size() - offset);
    EXPECT_EQ(std::string(chunk.begin() + 5, chunk.begin() + 5 + slice),
              full.substr(offset, slice));
    if (slice == 799) {
      ASSERT_EQ(chunk.size(), 805u);
      EXPECT_EQ(chunk[804], 0);
    } else {
      EXPECT_EQ(chunk.size(), 5 + slice);
    }
  }

  sim::documents::Reassembly documents = Documents();
  EXPECT_TRUE(documents.Clean()) << documents.Describe();
  ASSERT_EQ(documents.documents.size(), 1u);
  EXPECT_EQ(documents.documents[0].text, text);
}

INSTANTIATE_TEST_SUITE_P(Lengths, UploadSliceTest,
                         ::testing::Values(SliceCase{0, {6}}, SliceCase{21, {27}},
                                           SliceCase{797, {803}}, SliceCase{798, {805, 5}},
                                           SliceCase{799, {805, 6}}, SliceCase{1000, {805, 207}},
                                           SliceCase{1597, {805, 805, 5}},
                                           SliceCase{2500, {805, 805, 805, 109}}),
                         [](const ::testing::TestParamInfo<SliceCase> &info) {
                           return "L" + std::to_string(info.param.length);
                         });

TEST_F(UploadTest, PathDocumentIsOneTwentySevenByteChunk) {
  const std::string path = "{\n\t\"uPath\":\t\"Q7146\"\n}";
  Upload(path, 4);
  std::vector<uint8_t> expected = {0x04, 0x05, 0x00, 0x01, 0x01};
  expected.insert(expected.end(), path.begin(), path.end());
  expected.push_back(0x00);
  ASSERT_EQ(link_.Notices().size(), 1u);
  EXPECT_EQ(link_.Notices()[0].payload, expected);
  EXPECT_EQ(link_.Notices()[0].tag, kMgmtLinkTag);
}

TEST_F(UploadTest, LongestTextWith254SlicesIsSentWhole) {
  std::string text = TextOf(202944);
  Upload(text, 3);
  std::vector<size_t> lengths = SendLengths();
  ASSERT_EQ(lengths.size(), 254u);
  EXPECT_EQ(lengths.back(), 5u + (202945 - 253 * 799));
  std::optional<sim::documents::Document> document = LatestDocument(3);
  ASSERT_TRUE(document.has_value());
  EXPECT_EQ(document->chunkCount, 254);
  EXPECT_EQ(document->text, text);
}

TEST_F(UploadTest, TextTooLongForAByteOfSlicesIsNotSentAtAll) {
  Upload(TextOf(202945), 3);
  EXPECT_TRUE(link_.Calls().empty());
  EXPECT_FALSE(link_.IsOpen());
  Upload(TextOf(400000), 3);
  EXPECT_TRUE(link_.Calls().empty());
}

TEST_F(UploadTest, FailedChunkAbandonsTheDocumentButClosesTheLink) {
  link_.FailSend(2);
  Upload(TextOf(2000), 2); // three chunks; the second fails
  const auto &calls = link_.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].kind, RecordingLink::Call::Open);
  EXPECT_EQ(calls[1].kind, RecordingLink::Call::Send);
  EXPECT_EQ(calls[2].kind, RecordingLink::Call::Send);
  EXPECT_EQ(calls[2].status, EFI_DEVICE_ERROR);
  EXPECT_EQ(calls[3].kind, RecordingLink::Call::Open);
  EXPECT_EQ(calls[3].enable, 0);
  EXPECT_EQ(calls[3].status, EFI_SUCCESS);
  EXPECT_FALSE(link_.IsOpen());

  // The next document opens the link again and arrives whole.
  Upload("{}", 5);
  sim::documents::Reassembly documents = Documents();
  ASSERT_NE(documents.Latest(5), nullptr);
  EXPECT_EQ(documents.Latest(5)->text, "{}");
  EXPECT_EQ(documents.Latest(2), nullptr);
  ASSERT_EQ(documents.problems.size(), 1u); // the abandoned upload, as incomplete
  EXPECT_EQ(documents.problems[0].kind, sim::documents::Problem::Kind::Incomplete);
}

TEST_F(UploadTest, LinkThatWillNotOpenGetsNoChunksAndNoClose) {
  link_.FailOpen(1);
  Upload(TextOf(100), 2);
  ASSERT_EQ(link_.Calls().size(), 1u);
  EXPECT_EQ(link_.Calls()[0].status, EFI_DEVICE_ERROR);
  Upload(TextOf(100), 3);
  EXPECT_EQ(SendLengths(), (std::vector<size_t>{106}));
}

TEST_F(UploadTest, FailedUploadLeavesNoPoolBehind) {
  uint64_t pool = dxe_->PoolAllocationsInUse();
  link_.FailSend(1);
  Upload(TextOf(900), 2);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool);
}

// The mend seen from the report: a chunk of the inventory document fails,
// and the UUID, path and model documents still reach the controller.
using UploadInReportTest = InventoryFixture;

TEST_F(UploadInReportTest, FailedInventoryChunkDoesNotCostTheLaterDocuments) {
  TestBoard board;
  board.dimms.assign(10, Dimm{8192, "A-LONG-DIMM-LOCATOR", "A-LONG-BANK-LOCATOR"});
  ServeImage(board.Image());
  InstallLink();
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t pool = dxe_->PoolAllocationsInUse();
  link_.FailSend(2);
  SignalReadyToBoot();

  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  std::vector<std::pair<uint8_t, std::string>> expected = {
      {kInventoryMessageUuid, ExpectedUuid(v)},
      {kInventoryMessagePath, ExpectedPath()},
      {kInventoryMessageModel, ExpectedModel(v)}};
  EXPECT_EQ(DocumentTexts(), expected);
  sim::documents::Reassembly documents = Documents();
  ASSERT_EQ(documents.problems.size(), 1u) << documents.Describe();
  EXPECT_EQ(documents.problems[0].messageId, kInventoryMessageInventory);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool) << dxe_->DescribeLiveAllocations();
}

} // namespace
} // namespace inventory_test
