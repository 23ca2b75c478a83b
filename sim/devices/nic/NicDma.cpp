// Ethernet controller model: descriptor rings by DMA. Transmission gathers a
// frame's descriptors, inserts the checksums the first descriptor asks for,
// gives the descriptors back and puts the frame on the wire; reception writes
// arrived frames (with their frame check sequence) into descriptors the
// driver owns over to the controller. Every address comes from the driver and
// is checked before it is touched.
#include "NicModel.h"

#include <cstring>

#include "Ipv4Udp.h"
#include "Machine.h"

extern "C" {
// The writable data of a non-PIE executable (crt1 and the default linker script).
extern char __data_start[];
extern char _end[];
}

namespace sim {

using namespace nic;

namespace {
constexpr uint64_t k4GiB = 0x100000000ull;

struct Descriptor {
  uint32_t index;
  uint64_t address;
  uint32_t words[4];
  uint64_t Buffer() const { return words[2] | (uint64_t{words[3]} << 32); }
};

} // namespace

void NicModel::AllowDma(uint64_t base, uint64_t length) {
  if (length != 0 && base < k4GiB && length <= k4GiB - base) {
    dmaRanges_.emplace_back(base, base + length);
  }
}

void NicModel::AllowExecutableDataDma() {
  const auto begin = reinterpret_cast<uint64_t>(__data_start);
  const auto end = reinterpret_cast<uint64_t>(_end);
  if (end > begin) {
    AllowDma(begin, end - begin);
  }
}

bool NicModel::DmaAllowed(uint64_t address, uint64_t length) const {
  if (length == 0) {
    return true;
  }
  if (address >= k4GiB || length > k4GiB - address) {
    return false;
  }
  for (const auto &[begin, end] : dmaRanges_) {
    if (address >= begin && address + length <= end) {
      return true;
    }
  }
  const GuestMemory &memory = machine_.memory();
  if (!memory.Contains(address, length)) {
    return false;
  }
  // Every page touched must be allocated: DMA into freed memory is a driver bug.
  uint32_t type = 0;
  const uint64_t last = address + length - 1;
  for (uint64_t page = address & ~(GuestMemory::kPageSize - 1); page <= last;
       page += GuestMemory::kPageSize) {
    if (!memory.TypeAt(page < address ? address : page, type)) {
      return false;
    }
  }
  return true;
}

bool NicModel::DmaRead(uint64_t address, void *out, uint64_t length) {
  if (!DmaAllowed(address, length)) {
    ++dmaFaults_;
    SetInterrupt(kIsrSystemError);
    Emit(ev::NicDmaFault{false, address, length});
    return false;
  }
  if (length != 0) {
    std::memcpy(out, reinterpret_cast<const void *>(address), length);
  }
  return true;
}

bool NicModel::DmaWrite(uint64_t address, const void *in, uint64_t length) {
  if (!DmaAllowed(address, length)) {
    ++dmaFaults_;
    SetInterrupt(kIsrSystemError);
    Emit(ev::NicDmaFault{true, address, length});
    return false;
  }
  if (length != 0) {
    std::memcpy(reinterpret_cast<void *>(address), in, length);
    machine_.memory().NoteDmaWrite("nic", address, length);
  }
  return true;
}

// ---- Transmission ----

void NicModel::TransmitDoorbell() {
  if (!(enables_ & kCommandTxEnable) || resetPending_ || !BusMaster()) {
    ++ignoredDoorbells_;
    using Why = ev::NicDoorbellIgnored::Why;
    Emit(ev::NicDoorbellIgnored{!(enables_ & kCommandTxEnable) ? Why::TransmitterOff
                                : resetPending_                ? Why::InReset
                                                               : Why::BusMasteringOff});
    return;
  }
  const uint64_t ring = TxRingAddress();
  uint32_t examined = 0; // one ring's worth of descriptors per doorbell
  bool sent = false;
  while (examined < kMaxRingDescriptors) {
    std::vector<Descriptor> segments;
    uint32_t index = txIndex_;
    bool complete = false;
    // Counted separately: gcc 12 at -O1 misreads segments.size() after push_back as a use after free.
    uint32_t chained = 0;
    while (examined + chained < kMaxRingDescriptors) {
      Descriptor d{index, ring + uint64_t{index} * kDescriptorSize, {}};
      if (!DmaRead(d.address, d.words, sizeof(d.words))) {
        return;
      }
      if (!(d.words[0] & kDescOwn)) {
        break;
      }
      segments.push_back(d);
      ++chained;
      index = (d.words[0] & kDescEndOfRing) ? 0 : (index + 1) % kMaxRingDescriptors;
      if (d.words[0] & kDescLast) {
        complete = true;
        break;
      }
    }
    if (!complete) {
      break; // nothing (more) owned, or a frame whose last segment is not handed over yet
    }
    examined += chained;

    std::vector<uint8_t> frame;
    bool usable = (segments.front().words[0] & kDescFirst) != 0;
    for (const Descriptor &d : segments) {
      const uint32_t length = d.words[0] & kTxLengthMask;
      Emit(ev::NicTxDesc{d.index, length});
      if (!usable || frame.size() + length > kMaxTxFrame) {
        usable = false;
        continue;
      }
      const size_t at = frame.size();
      frame.resize(at + length);
      if (!DmaRead(d.Buffer(), frame.data() + at, length)) {
        return; // the engine stops on a bus error; the descriptors stay owned
      }
    }
    for (const Descriptor &d : segments) {
      const uint32_t word0 = d.words[0] & ~kDescOwn;
      if (!DmaWrite(d.address, &word0, sizeof(word0))) {
        return;
      }
    }
    txIndex_ = index;
    if (usable) {
      Transmit(std::move(frame), segments.front().index, segments.front().words[1]);
      sent = true;
    } else {
      ++txDropped_;
      Emit(ev::NicTxDrop{segments.front().index});
    }
  }
  if (sent) {
    SetInterrupt(kIsrTxOk);
  }
}

void NicModel::Transmit(std::vector<uint8_t> frame, uint32_t firstDescriptor, uint32_t control) {
  const uint32_t length = static_cast<uint32_t>(frame.size());
  if (control & (kTxInsertIpv4 | kTxInsertUdp)) {
    const size_t transport = (control >> kTxTransportOffsetShift) & kTxTransportOffsetMask;
    bool ok = true;
    if (control & kTxInsertIpv4) {
      ok = net::InsertIpv4Checksum(frame, net::kIpOffset) && ok;
    }
    if (control & kTxInsertUdp) {
      ok = net::InsertUdpChecksum(frame, net::kIpOffset, transport) && ok;
    }
    if (!ok) {
      ++checksumFaults_;
      Emit(ev::NicChecksumFault{firstDescriptor});
    }
  }
  if (config_.padShortFrames && frame.size() < net::kMinFrameSize) {
    frame.resize(net::kMinFrameSize, 0);
  }
  if (!linkUp_) {
    ++txDropped_;
    Emit(ev::NicTxDrop{});
    return;
  }
  const uint64_t now = machine_.clock().NowNs();
  Emit(ev::NicTxFrame{firstDescriptor, length});
  txLog_.push_back(TxRecord{now, firstDescriptor, length, control, frame});
  if (tap_ != nullptr) {
    tap_->OnWireFrame(now, LinkDirection::ToPeer, frame);
  }
  if (peer_ != nullptr) {
    peer_->OnFrame(frame);
  }
}

// ---- Reception ----

void NicModel::SendToBoard(std::vector<uint8_t> frame, uint64_t delayNs) {
  InjectFrame(std::move(frame), RxOptions{}, delayNs);
}

void NicModel::InjectFrame(std::vector<uint8_t> frame, RxOptions options, uint64_t delayNs) {
  const uint64_t due = DueAt(delayNs);
  if (due == kNever) {
    return;
  }
  wire_.emplace(due, Frame{std::move(frame), options});
}

void NicModel::ArriveFromWire(Frame frame, uint64_t atNs) {
  if (!linkUp_) {
    ++rxDropped_;
    Emit(ev::NicRxDrop{ev::NicRxDrop::Why::LinkDown});
    return;
  }
  if (tap_ != nullptr) {
    tap_->OnWireFrame(atNs, LinkDirection::ToBoard, frame.bytes);
  }
  if (!(enables_ & kCommandRxEnable) || resetPending_) {
    ++rxDropped_;
    Emit(ev::NicRxDrop{ev::NicRxDrop::Why::ReceiverOff});
    return;
  }
  if (rxQueue_.size() >= kRxQueueLimit) {
    ++rxDropped_;
    SetInterrupt(kIsrRxOverflow);
    Emit(ev::NicRxDrop{ev::NicRxDrop::Why::QueueFull});
    return;
  }
  rxQueue_.push_back(std::move(frame));
}

void NicModel::DrainRxQueue() {
  while (!rxQueue_.empty()) {
    if (!(enables_ & kCommandRxEnable) || resetPending_ || !BusMaster()) {
      return;
    }
    Descriptor d{rxIndex_, RxRingAddress() + uint64_t{rxIndex_} * kDescriptorSize, {}};
    if (!DmaRead(d.address, d.words, sizeof(d.words))) {
      return;
    }
    if (!(d.words[0] & kDescOwn)) {
      if (!rxStalled_) {
        rxStalled_ = true;
        SetInterrupt(kIsrRxNoDescriptor);
        Emit(ev::NicRxStalled{rxIndex_});
      }
      return;
    }
    Frame &frame = rxQueue_.front();
    std::vector<uint8_t> bytes = frame.bytes;
    const uint32_t fcs = net::EthernetFcs(bytes.data(), bytes.size());
    for (unsigned i = 0; i < net::kFcsSize; ++i) {
      bytes.push_back(static_cast<uint8_t>(fcs >> (8 * i)));
    }
    const uint32_t bufferSize = d.words[0] & kRxBufferSizeMask;
    bool error = frame.options.error;
    if (errorNext_ > 0) {
      --errorNext_;
      error = true;
    }
    if (bytes.size() > bufferSize) {
      error = true; // does not fit: what fits is written, the descriptor says error
    }
    const uint64_t written = bytes.size() < bufferSize ? bytes.size() : bufferSize;
    if (!DmaWrite(d.Buffer(), bytes.data(), written)) {
      return; // stays queued; the bus error is flagged
    }
    const uint32_t lengthField = frame.options.overrideLength ? frame.options.lengthField
                                                              : static_cast<uint32_t>(bytes.size());
    const uint32_t word1 = 0;
    const uint32_t word0 = (d.words[0] & kDescEndOfRing) | kDescFirst | kDescLast |
                           (error ? kRxError : 0) | (lengthField & kRxLengthMask);
    if (!DmaWrite(d.address + 4, &word1, sizeof(word1)) ||
        !DmaWrite(d.address, &word0, sizeof(word0))) {
      return;
    }
    rxLog_.push_back(
        RxRecord{machine_.clock().NowNs(), d.index, lengthField & kRxLengthMask, error});
    Emit(ev::NicRxFrame{d.index, lengthField & kRxLengthMask, error});
    SetInterrupt(error ? kIsrRxError : kIsrRxOk);
    rxIndex_ = (d.words[0] & kDescEndOfRing) ? 0 : (rxIndex_ + 1) % kMaxRingDescriptors;
    rxStalled_ = false;
    rxQueue_.pop_front();
  }
}

} // namespace sim
