// The management controller at the far end of the management link. It takes
// the board's notices (kept in order with their link tags, for the document
// reassembler) and requests (a little-endian command code, then data), and
// answers each request with a frame to UDP port 50000 whose payload is a
// 16-bit status word (0 = accepted) followed by the item's data, from a store
// of configuration items keyed by read code (plus an index parameter for
// indexed items). A write (item bit 0x20) stores its data under the read code
// and is logged. Answers travel back after a delay of virtual time. Faults:
// refusing an item, staying silent, answering late, dropping requests, and
// sending other traffic ahead of an answer.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "LinkPeer.h"

namespace sim {

class Machine;

struct NoticeRecord {
  uint64_t timeNs = 0;
  uint32_t tag = 0;
  std::vector<uint8_t> payload;
};

struct RequestRecord {
  enum class Outcome { Answered, Silent, Dropped };
  uint64_t timeNs = 0;
  uint32_t code = 0;
  std::vector<uint8_t> data; // the request after the command code
  Outcome outcome = Outcome::Answered;
  uint16_t status = 0; // status word of the answer (when answered)
};

struct ItemWriteRecord {
  uint64_t timeNs = 0;
  uint32_t code = 0; // the write code as sent
  std::vector<uint8_t> data;
};

class MgmtController final : public LinkPeer {
public:
  // Status words. Any non-zero word is a refusal to the board.
  static constexpr uint16_t kStatusAccepted = 0x0000;
  static constexpr uint16_t kStatusUnknownItem = 0x0001;
  static constexpr uint16_t kStatusBadParameter = 0x0002;
  static constexpr uint16_t kStatusMalformed = 0x0003;
  static constexpr uint16_t kStatusRefused = 0x0004;

  static constexpr uint64_t kDefaultAnswerDelayNs = 200'000;
  static constexpr uint16_t kControllerPort = 60000; // requests and notices arrive here
  static constexpr uint16_t kAnswerPort = 50000;     // answers go here
  static constexpr uint16_t kChatterPort = 60001;    // other traffic of the controller

  struct Config {
    std::array<uint8_t, 6> stationAddress = {0x02, 0x00, 0x4D, 0x43, 0x00, 0x01};
    uint64_t answerDelayNs = kDefaultAnswerDelayNs;
    // Frames with a wrong (or absent) IPv4 or UDP checksum are dropped, as a
    // real stack drops them.
    bool requireChecksums = true;
  };

  // How an item's requests are laid out.
  struct ItemShape {
    // Bytes of index parameter after the code (reads) or at the start of the
    // data (writes); each index value is a separate item.
    size_t parameterSize = 0;
    // A write overlays the stored value from this offset (0: replaces it).
    size_t writeOffset = 0;
  };

  explicit MgmtController(Machine &machine);
  MgmtController(Machine &machine, Config config);

  // The board end that answers are sent to (the Ethernet controller model).
  void Attach(LinkEndpoint *board) { board_ = board; }

  void OnFrame(const std::vector<uint8_t> &frame) override;

  // ---- Item store (keys are read codes; write codes are mapped to them) ----
  // Loads the items the board's agent uses with neutral values: display mode
  // 0x00 (no value held), display-enable pair {0, 0, 1, 1}, request word 0,
  // range option 0, eight empty ranges, an empty 32-byte text item.
  void LoadDefaults();
  void DefineItem(uint32_t code, ItemShape shape);
  void SetItem(uint32_t code, std::vector<uint8_t> value, std::vector<uint8_t> parameter = {});
  void EraseItem(uint32_t code, std::vector<uint8_t> parameter = {});
  std::optional<std::vector<uint8_t>> Item(uint32_t code,
                                           std::vector<uint8_t> parameter = {}) const;
  // Range `index` (0..7) as two dotted-order IPv4 addresses.
  void SetRange(uint8_t index, std::array<uint8_t, 4> first, std::array<uint8_t, 4> last);

  // ---- Faults ----
  // Requests with exactly this code (read or write code as sent) are answered
  // with `status` and change nothing.
  void Refuse(uint32_t code, uint16_t status = kStatusRefused);
  void Unrefuse(uint32_t code);
  // No answer at all, for every request or for one code.
  void SetSilent(bool silent) { silent_ = silent; }
  void SetSilentFor(uint32_t code, bool silent);
  // Virtual time between a request and its answer, for all or one code.
  void SetAnswerDelay(uint64_t ns) { config_.answerDelayNs = ns; }
  void SetAnswerDelayFor(uint32_t code, uint64_t ns) { delayFor_[code] = ns; }
  // The next `count` requests vanish as if lost on the wire: not acted on,
  // not answered.
  void DropNextRequests(unsigned count) { dropNext_ = count; }
  // Frames sent right before every answer (same arrival time, earlier in
  // order): NonAnswer frames go to another UDP port and must be skipped by the
  // board; StaleAnswer frames repeat the previous answer to port 50000.
  enum class Traffic { NonAnswer, StaleAnswer };
  void SetTrafficBeforeAnswer(unsigned count, Traffic kind = Traffic::NonAnswer) {
    trafficCount_ = count;
    trafficKind_ = kind;
  }
  // Unsolicited frames, e.g. stale answers waiting on the board's ring before
  // a request is made.
  void SendAnswerFrame(uint16_t status, const std::vector<uint8_t> &data, uint64_t delayNs = 0);
  void SendNonAnswerFrame(uint64_t delayNs = 0);
  void SendRaw(std::vector<uint8_t> frame, uint64_t delayNs = 0);

  // Frames this controller puts on the wire.
  std::vector<uint8_t> AnswerFrame(uint16_t status, const std::vector<uint8_t> &data) const;
  std::vector<uint8_t> NonAnswerFrame() const;

  // ---- What arrived ----
  const std::vector<NoticeRecord> &Notices() const { return notices_; }
  const std::vector<RequestRecord> &Requests() const { return requests_; }
  const std::vector<ItemWriteRecord> &Writes() const { return writes_; }
  // Frames that were not IPv4/UDP to port 60000 with a link header.
  uint64_t IgnoredFrames() const { return ignoredFrames_; }
  // Frames with a link header whose lengths do not hold together.
  uint64_t MalformedFrames() const { return malformedFrames_; }
  uint64_t ChecksumFailures() const { return checksumFailures_; }
  uint64_t AnswersSent() const { return answersSent_; }
  void ClearLogs();

private:
  struct Key {
    uint32_t code;
    std::vector<uint8_t> parameter;
    auto operator<=>(const Key &) const = default;
  };

  void HandleNotice(const std::vector<uint8_t> &frame, size_t udpPayload, size_t payloadLength);
  void HandleRequest(const std::vector<uint8_t> &frame, size_t udpPayload, size_t payloadLength);
  // Status and data of the answer; applies writes.
  uint16_t Serve(uint32_t code, const std::vector<uint8_t> &data, std::vector<uint8_t> &answer);
  void Send(std::vector<uint8_t> frame, uint64_t delayNs);
  ItemShape ShapeOf(uint32_t readCode) const;

  Machine &machine_;
  Config config_;
  LinkEndpoint *board_ = nullptr;

  std::map<uint32_t, ItemShape> shapes_;
  std::map<Key, std::vector<uint8_t>> items_;
  std::map<uint32_t, uint16_t> refused_;
  std::set<uint32_t> silentFor_;
  std::map<uint32_t, uint64_t> delayFor_;
  bool silent_ = false;
  unsigned dropNext_ = 0;
  unsigned trafficCount_ = 0;
  Traffic trafficKind_ = Traffic::NonAnswer;
  std::vector<uint8_t> lastAnswerPayload_; // status word and data of the last answer

  std::vector<NoticeRecord> notices_;
  std::vector<RequestRecord> requests_;
  std::vector<ItemWriteRecord> writes_;
  uint64_t ignoredFrames_ = 0;
  uint64_t malformedFrames_ = 0;
  uint64_t checksumFailures_ = 0;
  uint64_t answersSent_ = 0;
};

} // namespace sim
