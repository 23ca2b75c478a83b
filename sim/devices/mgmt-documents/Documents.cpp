// Document reassembly over the notice log (see Documents.h).
#include "Documents.h"

#include <map>

namespace sim::documents {

namespace {

constexpr uint8_t kHeaderSizeValue = 5;

struct Upload {
  uint8_t count = 0;
  uint8_t next = 1;
  uint32_t tag = 0;
  std::string bytes;
  size_t firstNotice = 0;
  size_t lastNotice = 0;
  bool broken = false; // reported already; later chunks are absorbed quietly
};

std::string Id(uint8_t id) { return "message " + std::to_string(id); }

} // namespace

const char *ProblemKindName(Problem::Kind kind) {
  switch (kind) {
  case Problem::Kind::NotAChunk:
    return "not a chunk";
  case Problem::Kind::BadHeader:
    return "bad header";
  case Problem::Kind::BadSliceLength:
    return "bad slice length";
  case Problem::Kind::OutOfSequence:
    return "out of sequence";
  case Problem::Kind::CountChanged:
    return "slice count changed";
  case Problem::Kind::TagChanged:
    return "link tag changed";
  case Problem::Kind::BadText:
    return "bad text";
  case Problem::Kind::Incomplete:
    return "incomplete";
  }
  return "?";
}

const Document *Reassembly::Latest(uint8_t messageId) const {
  for (auto it = documents.rbegin(); it != documents.rend(); ++it) {
    if (it->messageId == messageId) {
      return &*it;
    }
  }
  return nullptr;
}

std::vector<const Document *> Reassembly::All(uint8_t messageId) const {
  std::vector<const Document *> found;
  for (const Document &document : documents) {
    if (document.messageId == messageId) {
      found.push_back(&document);
    }
  }
  return found;
}

std::string Reassembly::Describe() const {
  std::string text;
  for (const Problem &problem : problems) {
    text += "notice " + std::to_string(problem.notice) + ": " + ProblemKindName(problem.kind) +
            ": " + problem.detail + "\n";
  }
  return text;
}

Reassembly Reassemble(const std::vector<NoticeView> &notices) {
  Reassembly result;
  std::map<uint8_t, Upload> uploads;

  auto report = [&](Problem::Kind kind, std::optional<uint8_t> id, size_t notice,
                    std::string detail) {
    result.problems.push_back(Problem{kind, id, notice, std::move(detail)});
  };
  auto abandon = [&](uint8_t id, Upload &upload, Problem::Kind kind, size_t notice,
                     std::string detail) {
    report(kind, id, notice, std::move(detail));
    upload.broken = true;
  };

  for (size_t index = 0; index < notices.size(); index++) {
    const NoticeView &notice = notices[index];
    const std::vector<uint8_t> &payload = *notice.payload;
    if (payload.size() < kChunkHeaderSize) {
      report(Problem::Kind::NotAChunk, std::nullopt, index,
             "payload of " + std::to_string(payload.size()) +
                 " bytes is shorter than the 5-byte chunk header");
      continue;
    }
    uint8_t id = payload[0];
    if (payload[1] != kHeaderSizeValue || payload[2] != 0) {
      report(Problem::Kind::NotAChunk, id, index,
             "header size field is " + std::to_string(payload[1] | payload[2] << 8) + ", not 5");
      continue;
    }
    uint8_t sequence = payload[3];
    uint8_t count = payload[4];
    if (sequence == 0 || count == 0 || sequence > count) {
      report(Problem::Kind::BadHeader, id, index,
             Id(id) + ": sequence " + std::to_string(sequence) + " of " + std::to_string(count));
      continue;
    }

    // The slice: a full one is 799 bytes plus its own zero byte.
    size_t sliceLength = payload.size() - kChunkHeaderSize;
    bool full = false;
    std::string sliceProblem;
    if (sliceLength > kSliceMax + 1) {
      sliceProblem = "chunk of " + std::to_string(payload.size()) + " bytes exceeds 805";
    } else if (sliceLength == kSliceMax + 1) {
      if (payload.back() != 0) {
        sliceProblem = "full slice is not followed by a zero byte";
      }
      full = true;
      sliceLength = kSliceMax;
    } else if (sliceLength == kSliceMax) {
      sliceProblem = "a 799-byte slice without the zero byte that follows a full slice";
    }

    auto found = uploads.find(id);
    if (sequence == 1) {
      if (found != uploads.end() && !found->second.broken) {
        const Upload &old = found->second;
        report(Problem::Kind::Incomplete, id, old.lastNotice,
               Id(id) + ": upload stopped after " + std::to_string(old.next - 1) + " of " +
                   std::to_string(old.count) + " chunks (a new upload began at notice " +
                   std::to_string(index) + ")");
      }
      Upload fresh;
      fresh.count = count;
      fresh.tag = notice.tag;
      fresh.firstNotice = index;
      found = uploads.insert_or_assign(id, fresh).first;
    } else if (found == uploads.end()) {
      report(Problem::Kind::OutOfSequence, id, index,
             Id(id) + ": chunk " + std::to_string(sequence) + " of " + std::to_string(count) +
                 " without an upload in progress");
      continue;
    }

    Upload &upload = found->second;
    upload.lastNotice = index;
    if (upload.broken) {
      continue;
    }
    if (sequence != upload.next) {
      abandon(id, upload, Problem::Kind::OutOfSequence, index,
              Id(id) + ": chunk " + std::to_string(sequence) + " where " +
                  std::to_string(upload.next) + " was due");
      continue;
    }
    if (count != upload.count) {
      abandon(id, upload, Problem::Kind::CountChanged, index,
              Id(id) + ": chunk " + std::to_string(sequence) + " says " + std::to_string(count) +
                  " slices, the upload began with " + std::to_string(upload.count));
      continue;
    }
    if (notice.tag != upload.tag) {
      abandon(id, upload, Problem::Kind::TagChanged, index,
              Id(id) + ": link tag " + std::to_string(notice.tag) + " after " +
                  std::to_string(upload.tag));
      continue;
    }
    if (!sliceProblem.empty()) {
      abandon(id, upload, Problem::Kind::BadSliceLength, index,
              Id(id) + ", chunk " + std::to_string(sequence) + ": " + sliceProblem);
      continue;
    }
    if (sequence < count && !full) {
      abandon(id, upload, Problem::Kind::BadSliceLength, index,
              Id(id) + ", chunk " + std::to_string(sequence) + " of " + std::to_string(count) +
                  ": a " + std::to_string(sliceLength) + "-byte slice before the last chunk");
      continue;
    }

    upload.bytes.append(reinterpret_cast<const char *>(payload.data()) + kChunkHeaderSize,
                        sliceLength);
    upload.next++;
    if (sequence < count) {
      continue;
    }

    // Last chunk: the joined slices are the text and its one terminator.
    const std::string &bytes = upload.bytes;
    size_t firstZero = bytes.find('\0');
    size_t expectedCount = bytes.size() / kSliceMax + 1;
    if (bytes.empty() || firstZero != bytes.size() - 1) {
      abandon(id, upload, Problem::Kind::BadText, index,
              Id(id) + ": the " + std::to_string(bytes.size()) +
                  " bytes received do not end in the text's one terminating zero");
      continue;
    }
    if (expectedCount != count) {
      abandon(id, upload, Problem::Kind::BadText, index,
              Id(id) + ": " + std::to_string(bytes.size()) + " bytes with the terminator make " +
                  std::to_string(expectedCount) + " slices, the header says " +
                  std::to_string(count));
      continue;
    }
    Document document;
    document.messageId = id;
    document.text = bytes.substr(0, bytes.size() - 1);
    document.tag = upload.tag;
    document.chunkCount = count;
    document.firstNotice = upload.firstNotice;
    document.lastNotice = index;
    document.timeNs = notice.timeNs;
    result.documents.push_back(std::move(document));
    uploads.erase(found);
  }

  for (const auto &[id, upload] : uploads) {
    if (!upload.broken) {
      report(Problem::Kind::Incomplete, id, upload.lastNotice,
             Id(id) + ": upload stopped after " + std::to_string(upload.next - 1) + " of " +
                 std::to_string(upload.count) + " chunks");
    }
  }
  return result;
}

} // namespace sim::documents
