// Reassembly of the inventory documents from the management controller's
// notice log. Each notice payload is taken as one chunk: a 5-byte header
// (message id, the number 5 little-endian, sequence number, slice count) and
// one slice of the document text, a full 799-byte slice followed by a zero
// byte of its own. Chunks of one message id, in sequence order 1..N with the
// same N and link tag, make one document; its text is the slices joined, up
// to the terminating zero that travelled as the text's last byte. Anything
// else (a notice that is not a chunk, a gap, a changed slice count, a short
// slice before the last, a text whose length contradicts N, an upload that
// never got its last chunk) is reported as a problem, never as a document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::documents {

constexpr size_t kChunkHeaderSize = 5;
constexpr size_t kSliceMax = 799;

struct Document {
  uint8_t messageId = 0;
  std::string text; // the characters, without the terminating zero
  uint32_t tag = 0;
  uint8_t chunkCount = 0;
  size_t firstNotice = 0; // positions in the notice log
  size_t lastNotice = 0;
  uint64_t timeNs = 0; // when the last chunk arrived
};

struct Problem {
  enum class Kind {
    NotAChunk,      // payload too short or header size field not 5
    BadHeader,      // sequence 0, count 0, or sequence above count
    BadSliceLength, // over-long chunk, full slice without its zero, short slice before the last
    OutOfSequence,  // a chunk that does not continue its upload
    CountChanged,   // N differs from the upload's first chunk
    TagChanged,     // link tag differs within one upload
    BadText,        // joined slices do not end in the one terminating zero, or N contradicts T
    Incomplete,     // the upload stopped before its last chunk
  };
  Kind kind;
  std::optional<uint8_t> messageId;
  size_t notice = 0; // where it was detected (for Incomplete: the upload's last chunk)
  std::string detail;
};
const char *ProblemKindName(Problem::Kind kind);

struct Reassembly {
  std::vector<Document> documents; // in the order they were completed
  std::vector<Problem> problems;

  // The last complete document with this id, if any.
  const Document *Latest(uint8_t messageId) const;
  std::vector<const Document *> All(uint8_t messageId) const;
  bool Clean() const { return problems.empty(); }
  std::string Describe() const; // problems, one per line
};

struct NoticeView {
  uint64_t timeNs;
  uint32_t tag;
  const std::vector<uint8_t> *payload;
};

Reassembly Reassemble(const std::vector<NoticeView> &notices);

// Any log of records with timeNs, tag and payload members (the controller
// model's NoticeRecord).
template <typename Records> Reassembly ReassembleNotices(const Records &records) {
  std::vector<NoticeView> views;
  for (const auto &record : records) {
    views.push_back(NoticeView{record.timeNs, record.tag, &record.payload});
  }
  return Reassemble(views);
}

} // namespace sim::documents
