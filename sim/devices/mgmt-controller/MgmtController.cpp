// Management-controller model: frame parsing, the item store and the faults.
#include "MgmtController.h"

#include <MgmtLink/Commands.h>
#include <MgmtLink/Frames.h>

#include <algorithm>
#include <cstdio>

#include "Ipv4Udp.h"
#include "Machine.h"

namespace sim {

namespace {
constexpr uint8_t kNonAnswerPayload[] = {0xC5, 0xC5, 0x81, 0x17, 0x00, 0x00};

uint32_t Le32(const uint8_t *bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}
} // namespace

MgmtController::MgmtController(Machine &machine) : MgmtController(machine, Config{}) {}

MgmtController::MgmtController(Machine &machine, Config config)
    : machine_(machine), config_(config) {
  LoadDefaults();
}

void MgmtController::LoadDefaults() {
  DefineItem(kMgmtReadRange, ItemShape{kMgmtRangeReadParamSize, 0});
  // The board writes {enable, 1}; the controller keeps them as bytes 2 and 3
  // of its 4-byte copy, which is what the board compares on its next start.
  DefineItem(kMgmtReadDisplayEnable, ItemShape{0, kMgmtDisplayEnableCompareIndex});
  SetItem(kMgmtReadDisplayMode, {0x00});
  SetItem(kMgmtReadDisplayEnable, {0x00, 0x00, 0x01, 0x01});
  SetItem(kMgmtReadRequestWord, {0x00, 0x00, 0x00, 0x00});
  SetItem(kMgmtReadRangeOption, {0x00});
  for (uint8_t index = 0; index < kMgmtRangeCount; ++index) {
    SetRange(index, {0, 0, 0, 0}, {0, 0, 0, 0});
  }
  SetItem(MgmtCodeAsRead(kMgmtWriteTextItem), std::vector<uint8_t>(kMgmtTextItemRecordSize, 0));
}

void MgmtController::DefineItem(uint32_t code, ItemShape shape) {
  shapes_[MgmtCodeAsRead(code) | (code & 0xFFFF)] = shape;
}

MgmtController::ItemShape MgmtController::ShapeOf(uint32_t readCode) const {
  auto it = shapes_.find(readCode);
  return it == shapes_.end() ? ItemShape{} : it->second;
}

void MgmtController::SetItem(uint32_t code, std::vector<uint8_t> value,
                             std::vector<uint8_t> parameter) {
  items_[Key{MgmtCodeAsRead(code) | (code & 0xFFFF), std::move(parameter)}] = std::move(value);
}

void MgmtController::EraseItem(uint32_t code, std::vector<uint8_t> parameter) {
  items_.erase(Key{MgmtCodeAsRead(code) | (code & 0xFFFF), std::move(parameter)});
}

std::optional<std::vector<uint8_t>> MgmtController::Item(uint32_t code,
                                                         std::vector<uint8_t> parameter) const {
  auto it = items_.find(Key{MgmtCodeAsRead(code) | (code & 0xFFFF), std::move(parameter)});
  if (it == items_.end()) {
    return std::nullopt;
  }
  return it->second;
}

void MgmtController::SetRange(uint8_t index, std::array<uint8_t, 4> first,
                              std::array<uint8_t, 4> last) {
  std::vector<uint8_t> value(first.begin(), first.end());
  value.insert(value.end(), last.begin(), last.end());
  SetItem(kMgmtReadRange, std::move(value), {index});
}

void MgmtController::Refuse(uint32_t code, uint16_t status) {
  refused_[code] = status == kStatusAccepted ? kStatusRefused : status;
}

void MgmtController::Unrefuse(uint32_t code) { refused_.erase(code); }

void MgmtController::SetSilentFor(uint32_t code, bool silent) {
  if (silent) {
    silentFor_.insert(code);
  } else {
    silentFor_.erase(code);
  }
}

void MgmtController::ClearLogs() {
  notices_.clear();
  requests_.clear();
  writes_.clear();
  ignoredFrames_ = malformedFrames_ = checksumFailures_ = answersSent_ = 0;
}

std::vector<uint8_t> MgmtController::AnswerFrame(uint16_t status,
                                                 const std::vector<uint8_t> &data) const {
  // Sized once, then filled: inserting behind a two-byte initializer list
  // draws a false -Warray-bounds from GCC 12 at -O3.
  std::vector<uint8_t> payload(2 + data.size());
  payload[0] = static_cast<uint8_t>(status);
  payload[1] = static_cast<uint8_t>(status >> 8);
  std::copy(data.begin(), data.end(), payload.begin() + 2);
  return net::BuildUdpFrame(config_.stationAddress.data(), kControllerPort, kAnswerPort, payload);
}

std::vector<uint8_t> MgmtController::NonAnswerFrame() const {
  return net::BuildUdpFrame(
      config_.stationAddress.data(), kControllerPort, kChatterPort,
      std::vector<uint8_t>(std::begin(kNonAnswerPayload), std::end(kNonAnswerPayload)));
}

void MgmtController::Send(std::vector<uint8_t> frame, uint64_t delayNs) {
  if (board_ != nullptr) {
    board_->SendToBoard(std::move(frame), delayNs);
  }
}

void MgmtController::SendAnswerFrame(uint16_t status, const std::vector<uint8_t> &data,
                                     uint64_t delayNs) {
  Send(AnswerFrame(status, data), delayNs);
}

void MgmtController::SendNonAnswerFrame(uint64_t delayNs) { Send(NonAnswerFrame(), delayNs); }

void MgmtController::SendRaw(std::vector<uint8_t> frame, uint64_t delayNs) {
  Send(std::move(frame), delayNs);
}

void MgmtController::OnFrame(const std::vector<uint8_t> &frame) {
  // Ethernet II carrying IPv4/UDP to the controller's port.
  if (net::Get16(frame, kMgmtFrameEtherTypeOffset) != kMgmtEtherTypeIpv4 ||
      frame.size() < net::kEthHeaderSize + net::kIpMinHeaderSize) {
    ++ignoredFrames_;
    return;
  }
  const size_t ipLength = size_t{frame[net::kIpOffset] & 0x0Fu} * 4;
  const size_t udp = net::kIpOffset + ipLength;
  if ((frame[net::kIpOffset] >> 4) != 4 || ipLength < net::kIpMinHeaderSize ||
      frame.size() < udp + net::kUdpHeaderSize ||
      frame[kMgmtFrameIpProtocolOffset] != kMgmtIpProtocolUdp ||
      net::Get16(frame, udp + 2) != kControllerPort) {
    ++ignoredFrames_;
    return;
  }
  if (config_.requireChecksums &&
      (!net::Ipv4ChecksumValid(frame) || !net::UdpChecksumValid(frame))) {
    ++checksumFailures_;
    machine_.trace().Emit("mgmt", ev::MgmtBadChecksum{});
    return;
  }
  const size_t udpLength = net::Get16(frame, udp + 4);
  if (udpLength < net::kUdpHeaderSize || udpLength > frame.size() - udp) {
    ++malformedFrames_;
    return;
  }
  const size_t payload = udp + net::kUdpHeaderSize;
  const size_t payloadLength = udpLength - net::kUdpHeaderSize;
  if (payloadLength < kMgmtRequestLinkHeaderSize || frame[payload + 2] != kMgmtLinkSignature[0] ||
      frame[payload + 3] != kMgmtLinkSignature[1] || frame[payload] != frame[payload + 1]) {
    ++ignoredFrames_;
    return;
  }
  if (frame[payload] == kMgmtNoticeMarker) {
    HandleNotice(frame, payload, payloadLength);
  } else if (frame[payload] == kMgmtRequestMarker) {
    HandleRequest(frame, payload, payloadLength);
  } else {
    ++ignoredFrames_;
  }
}

void MgmtController::HandleNotice(const std::vector<uint8_t> &frame, size_t udpPayload,
                                  size_t payloadLength) {
  const size_t length = net::Get16(frame, udpPayload + 4);
  if (payloadLength < kMgmtNoticeLinkHeaderSize ||
      length > payloadLength - kMgmtNoticeLinkHeaderSize) {
    ++malformedFrames_;
    machine_.trace().Emit("mgmt", ev::MgmtMalformed{ev::MgmtMalformed::Frame::Notice});
    return;
  }
  NoticeRecord record;
  record.timeNs = machine_.clock().NowNs();
  record.tag = net::Get32(frame, udpPayload + 6);
  const auto begin = frame.begin() + static_cast<ptrdiff_t>(udpPayload + kMgmtNoticeLinkHeaderSize);
  record.payload.assign(begin, begin + static_cast<ptrdiff_t>(length));
  machine_.trace().Emit("mgmt", ev::MgmtNotice{record.tag, length});
  notices_.push_back(std::move(record));
}

void MgmtController::HandleRequest(const std::vector<uint8_t> &frame, size_t udpPayload,
                                   size_t payloadLength) {
  const size_t length = net::Get16(frame, udpPayload + 4);
  if (length > payloadLength - kMgmtRequestLinkHeaderSize) {
    ++malformedFrames_;
    machine_.trace().Emit("mgmt", ev::MgmtMalformed{ev::MgmtMalformed::Frame::Request});
    return;
  }
  const uint8_t *message = &frame[udpPayload + kMgmtRequestLinkHeaderSize];
  RequestRecord record;
  record.timeNs = machine_.clock().NowNs();
  if (length >= kMgmtCommandCodeSize) {
    record.code = Le32(message);
    record.data.assign(message + kMgmtCommandCodeSize, message + length);
  }
  if (dropNext_ > 0) {
    --dropNext_;
    record.outcome = RequestRecord::Outcome::Dropped;
    machine_.trace().Emit("mgmt", ev::MgmtDrop{record.code});
    requests_.push_back(std::move(record));
    return;
  }
  if (silent_ || silentFor_.count(record.code) != 0) {
    record.outcome = RequestRecord::Outcome::Silent;
    machine_.trace().Emit("mgmt", ev::MgmtSilent{record.code});
    requests_.push_back(std::move(record));
    return;
  }

  std::vector<uint8_t> data;
  record.status =
      length < kMgmtCommandCodeSize ? kStatusMalformed : Serve(record.code, record.data, data);
  std::vector<uint8_t> answer(2 + data.size());
  answer[0] = static_cast<uint8_t>(record.status);
  answer[1] = static_cast<uint8_t>(record.status >> 8);
  std::copy(data.begin(), data.end(), answer.begin() + 2);

  auto delay = delayFor_.find(record.code);
  const uint64_t delayNs = delay == delayFor_.end() ? config_.answerDelayNs : delay->second;
  for (unsigned i = 0; i < trafficCount_; ++i) {
    if (trafficKind_ == Traffic::NonAnswer) {
      Send(NonAnswerFrame(), delayNs);
    } else {
      const std::vector<uint8_t> stale(
          lastAnswerPayload_.size() >= 2 ? lastAnswerPayload_ : std::vector<uint8_t>{0x00, 0x00});
      Send(net::BuildUdpFrame(config_.stationAddress.data(), kControllerPort, kAnswerPort, stale),
           delayNs);
    }
  }
  Send(net::BuildUdpFrame(config_.stationAddress.data(), kControllerPort, kAnswerPort, answer),
       delayNs);
  ++answersSent_;
  lastAnswerPayload_ = std::move(answer);
  machine_.trace().Emit("mgmt", ev::MgmtRequest{record.code, record.status, record.timeNs + delayNs});
  requests_.push_back(std::move(record));
}

uint16_t MgmtController::Serve(uint32_t code, const std::vector<uint8_t> &data,
                               std::vector<uint8_t> &answer) {
  if (auto refused = refused_.find(code); refused != refused_.end()) {
    return refused->second;
  }
  const uint32_t readCode = MgmtCodeAsRead(code) | (code & 0xFFFF);
  const ItemShape shape = ShapeOf(readCode);
  if (data.size() < shape.parameterSize) {
    return kStatusBadParameter;
  }
  const auto split = data.begin() + static_cast<ptrdiff_t>(shape.parameterSize);
  Key key{readCode, std::vector<uint8_t>(data.begin(), split)};

  if (MgmtCodeIsWrite(code)) {
    std::vector<uint8_t> value(split, data.end());
    std::vector<uint8_t> &stored = items_[key];
    if (shape.writeOffset == 0) {
      stored = std::move(value);
    } else {
      if (stored.size() < shape.writeOffset + value.size()) {
        stored.resize(shape.writeOffset + value.size(), 0);
      }
      std::copy(value.begin(), value.end(),
                stored.begin() + static_cast<ptrdiff_t>(shape.writeOffset));
    }
    writes_.push_back(ItemWriteRecord{machine_.clock().NowNs(), code, data});
    return kStatusAccepted;
  }

  auto it = items_.find(key);
  if (it == items_.end()) {
    return kStatusUnknownItem;
  }
  answer = it->second;
  return kStatusAccepted;
}

} // namespace sim
