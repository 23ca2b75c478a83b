// Reassembly of documents from notice logs: whole documents from one or many
// chunks (including the bare last header after an exact multiple of 799),
// uploads of different ids interleaved and repeated, and every kind of
// incomplete or inconsistent upload reported as a problem and never as a
// document.
#include "Documents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::documents::Problem;
using sim::documents::Reassemble;
using sim::documents::ReassembleNotices;

struct Record {
  uint64_t timeNs;
  uint32_t tag;
  std::vector<uint8_t> payload;
};

constexpr uint32_t kTag = 600000;

std::vector<uint8_t> Chunk(uint8_t id, uint8_t sequence, uint8_t count, const std::string &slice,
                           bool extraZero) {
  std::vector<uint8_t> chunk = {id, 5, 0, sequence, count};
  chunk.insert(chunk.end(), slice.begin(), slice.end());
  if (extraZero) {
    chunk.push_back(0);
  }
  return chunk;
}

// The chunks of `text` as the uploader cuts them.
std::vector<std::vector<uint8_t>> Cut(uint8_t id, const std::string &text) {
  std::string full = text + '\0';
  uint8_t count = static_cast<uint8_t>(full.size() / 799 + 1);
  std::vector<std::vector<uint8_t>> chunks;
  for (uint8_t s = 1; s <= count; s++) {
    size_t offset = (s - 1) * 799u;
    size_t slice = std::min<size_t>(799, full.size() - offset);
    chunks.push_back(Chunk(id, s, count, full.substr(offset, slice), slice == 799));
  }
  return chunks;
}

void Append(std::vector<Record> &log, const std::vector<std::vector<uint8_t>> &chunks,
            uint32_t tag = kTag) {
  for (const auto &chunk : chunks) {
    log.push_back(Record{log.size() * 1000, tag, chunk});
  }
}

std::string Text(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; i++) {
    text += static_cast<char>('a' + i % 26);
  }
  return text;
}

TEST(DocumentsTest, UploadsOfAnyLengthComeBackAsTheirText) {
  for (size_t length : {0, 21, 797, 798, 799, 1000, 1597, 1598, 5000}) {
    SCOPED_TRACE(length);
    std::vector<Record> log;
    Append(log, Cut(2, Text(length)));
    auto result = ReassembleNotices(log);
    EXPECT_TRUE(result.Clean()) << result.Describe();
    ASSERT_EQ(result.documents.size(), 1u);
    EXPECT_EQ(result.documents[0].messageId, 2);
    EXPECT_EQ(result.documents[0].text, Text(length));
    EXPECT_EQ(result.documents[0].tag, kTag);
    EXPECT_EQ(result.documents[0].chunkCount, log.size());
    EXPECT_EQ(result.documents[0].lastNotice, log.size() - 1);
  }
}

TEST(DocumentsTest, InterleavedAndRepeatedUploadsAreKeptApart) {
  std::vector<Record> log;
  auto inventory = Cut(2, Text(1700));
  auto uuid = Cut(3, "{\"UUID\":\"x\"}");
  Append(log, {inventory[0]});
  Append(log, uuid);
  Append(log, {inventory[1], inventory[2]});
  Append(log, Cut(3, "second"));
  auto result = ReassembleNotices(log);
  EXPECT_TRUE(result.Clean()) << result.Describe();
  ASSERT_EQ(result.documents.size(), 3u);
  EXPECT_EQ(result.documents[0].messageId, 3);
  EXPECT_EQ(result.Latest(2)->text, Text(1700));
  EXPECT_EQ(result.Latest(3)->text, "second");
  EXPECT_EQ(result.All(3).size(), 2u);
  EXPECT_EQ(result.Latest(4), nullptr);
}

struct Broken {
  const char *name;
  std::vector<std::vector<uint8_t>> chunks;
  Problem::Kind kind;
};
void PrintTo(const Broken &b, std::ostream *os) { *os << b.name; }

std::vector<Broken> BrokenUploads() {
  auto three = Cut(2, Text(2000)); // 805, 805, 410
  std::vector<Broken> cases;
  cases.push_back({"ShortPayload", {{2, 5, 0, 1}}, Problem::Kind::NotAChunk});
  cases.push_back({"HeaderSizeNotFive", {{2, 6, 0, 1, 1, 'x', 0}}, Problem::Kind::NotAChunk});
  cases.push_back(
      {"SequenceZero", {Chunk(2, 0, 1, std::string("x\0", 2), false)}, Problem::Kind::BadHeader});
  cases.push_back({"SequenceAboveCount",
                   {Chunk(2, 3, 2, std::string("x\0", 2), false)},
                   Problem::Kind::BadHeader});
  cases.push_back({"MissingLastChunk", {three[0], three[1]}, Problem::Kind::Incomplete});
  cases.push_back({"GapInSequence", {three[0], three[2]}, Problem::Kind::OutOfSequence});
  cases.push_back({"ChunkWithoutStart", {three[1], three[2]}, Problem::Kind::OutOfSequence});
  auto changed = three;
  changed[1][4] = 4;
  cases.push_back({"CountChanged", changed, Problem::Kind::CountChanged});
  auto noZero = three;
  noZero[0][804] = 'Z';
  cases.push_back({"FullSliceWithoutZero", noZero, Problem::Kind::BadSliceLength});
  auto unpadded = three;
  unpadded[0].pop_back(); // 799 bytes without the extra zero
  cases.push_back({"FullSliceUnpadded", unpadded, Problem::Kind::BadSliceLength});
  auto shortMiddle = three;
  shortMiddle[1].resize(500);
  cases.push_back({"ShortSliceBeforeLast", shortMiddle, Problem::Kind::BadSliceLength});
  auto oversized = three;
  oversized[0].push_back(0);
  cases.push_back({"OversizedChunk", oversized, Problem::Kind::BadSliceLength});
  auto noTerminator = Cut(2, "abc");
  noTerminator[0].back() = 'd';
  cases.push_back({"NoTerminator", noTerminator, Problem::Kind::BadText});
  auto embeddedZero = Cut(2, "abcdef");
  embeddedZero[0][7] = 0;
  cases.push_back({"ZeroInsideText", embeddedZero, Problem::Kind::BadText});
  // 799 bytes with the terminator take two slices (the second a bare
  // header); a single chunk claiming to be all of it is inconsistent.
  cases.push_back({"CountContradictsLength",
                   {Chunk(2, 1, 1, Text(798) + std::string(1, '\0'), true)},
                   Problem::Kind::BadText});
  return cases;
}

class BrokenUploadTest : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenUploadTest, IsReportedAndNotReturnedAsADocument) {
  std::vector<Record> log;
  Append(log, GetParam().chunks);
  Append(log, Cut(5, "{\"ModelName\":\"after\"}")); // a good upload after the bad one
  auto result = ReassembleNotices(log);
  ASSERT_FALSE(result.problems.empty());
  EXPECT_EQ(result.problems[0].kind, GetParam().kind) << result.Describe();
  EXPECT_EQ(result.Latest(2), nullptr);
  ASSERT_NE(result.Latest(5), nullptr);
  EXPECT_EQ(result.Latest(5)->text, "{\"ModelName\":\"after\"}");
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenUploadTest, ::testing::ValuesIn(BrokenUploads()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DocumentsTest, RestartedUploadReportsTheAbandonedOneAndKeepsTheNew) {
  std::vector<Record> log;
  auto first = Cut(2, Text(1200));
  Append(log, {first[0]});
  Append(log, Cut(2, "retry"));
  auto result = ReassembleNotices(log);
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_EQ(result.problems[0].kind, Problem::Kind::Incomplete);
  EXPECT_EQ(result.problems[0].notice, 0u);
  ASSERT_EQ(result.documents.size(), 1u);
  EXPECT_EQ(result.documents[0].text, "retry");
}

TEST(DocumentsTest, ChangedLinkTagWithinAnUploadIsInconsistent) {
  std::vector<Record> log;
  auto chunks = Cut(2, Text(900));
  Append(log, {chunks[0]}, kTag);
  Append(log, {chunks[1]}, kTag + 1);
  auto result = ReassembleNotices(log);
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_EQ(result.problems[0].kind, Problem::Kind::TagChanged);
  EXPECT_TRUE(result.documents.empty());
}

} // namespace
