// A test rig that drives the Ethernet controller model the way a driver does:
// registers over the simulated bus, descriptor rings and buffers in guest
// memory laid out as the link driver lays them out, and independent reference
// checksums to judge what the model put on the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "Machine.h"
#include "NicModel.h"
#include "NicRegisters.h"
#include "PmTimer.h"

namespace nictest {

constexpr uint16_t kIoBase = 0xE000;
constexpr uint32_t kRingSize = 256;
constexpr uint32_t kRxBufferSize = 0x600;
constexpr uint32_t kTxControl = 0xA0880000; // UDP and IPv4 insertion, transport offset 34

// RFC 1071 sum verified the receiver's way: a block including its checksum
// field sums to 0xFFFF.
inline uint16_t ReferenceSum(const uint8_t *data, size_t length, uint64_t start = 0) {
  uint64_t sum = start;
  for (size_t i = 0; i < length; ++i) {
    sum += (i % 2 == 0) ? uint64_t{data[i]} << 8 : data[i];
  }
  while (sum > 0xFFFF) {
    sum = (sum >> 16) + (sum & 0xFFFF);
  }
  return static_cast<uint16_t>(sum);
}

inline bool ReferenceIpv4Ok(const std::vector<uint8_t> &frame) {
  return frame.size() >= 34 && ReferenceSum(&frame[14], 20) == 0xFFFF;
}

inline bool ReferenceUdpOk(const std::vector<uint8_t> &frame) {
  if (frame.size() < 42) {
    return false;
  }
  const size_t udpLength = (size_t{frame[38]} << 8) | frame[39];
  if (udpLength < 8 || 34 + udpLength > frame.size() || (frame[40] == 0 && frame[41] == 0)) {
    return false;
  }
  uint64_t pseudo = 17 + udpLength;
  for (size_t i = 26; i < 34; i += 2) {
    pseudo += (uint64_t{frame[i]} << 8) | frame[i + 1];
  }
  return ReferenceSum(&frame[34], udpLength, pseudo) == 0xFFFF;
}

// Bit-by-bit CRC-32 of the frame check sequence.
inline uint32_t ReferenceCrc32(const uint8_t *data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
  }
  return ~crc;
}

// A management-link request frame as the board builds it: broadcast, zero
// IPv4 addresses, time to live 0, UDP 50000 -> 60000, both checksums zero.
inline std::vector<uint8_t> BoardRequest(const std::vector<uint8_t> &payload,
                                         const uint8_t source[6] = nullptr) {
  std::vector<uint8_t> f(48 + payload.size(), 0);
  std::memset(f.data(), 0xFF, 6);
  for (int i = 0; i < 6; ++i) {
    f[6 + i] = source ? source[i] : static_cast<uint8_t>(0x10 + i);
  }
  f[12] = 0x08;
  f[14] = 0x45;
  const size_t total = payload.size() + 34, udp = payload.size() + 14;
  f[16] = static_cast<uint8_t>(total >> 8);
  f[17] = static_cast<uint8_t>(total);
  f[23] = 17;
  f[34] = 0xC3;
  f[35] = 0x50;
  f[36] = 0xEA;
  f[37] = 0x60;
  f[38] = static_cast<uint8_t>(udp >> 8);
  f[39] = static_cast<uint8_t>(udp);
  f[42] = f[43] = 0xB5;
  f[44] = 0x81;
  f[45] = 0x17;
  f[46] = static_cast<uint8_t>(payload.size() >> 8);
  f[47] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), f.begin() + 48);
  return f;
}

inline std::vector<uint8_t> ReadRequest(uint32_t code, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> payload = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                                  static_cast<uint8_t>(code >> 16),
                                  static_cast<uint8_t>(code >> 24)};
  payload.insert(payload.end(), data.begin(), data.end());
  return BoardRequest(payload);
}

struct Received {
  std::vector<uint8_t> frame; // without the frame check sequence
  uint32_t lengthField;
  bool error;
  uint32_t descriptor;
};

class NicRig {
public:
  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::PmTimer timer{machine.clock(), machine.bus()};
  sim::NicModel nic;

  explicit NicRig(sim::NicModel::Config config = {}) : nic(machine, WithIo(config)) {
    machine.bus().Pci().Attach(1, 0, 0, &nic, "nic");
    uint64_t address = 0xFFFFFFFF;
    const uint64_t pages = (2 * 4096 + kRingSize * kRxBufferSize + kRingSize * 2048) / 4096;
    EXPECT_TRUE(
        machine.memory().AllocatePages(sim::GuestMemory::AllocKind::MaxAddress, 4, pages, address));
    area_ = address;
    std::memset(reinterpret_cast<void *>(area_), 0, pages * 4096);
  }

  static sim::NicModel::Config WithIo(sim::NicModel::Config config) {
    config.ioBase = kIoBase;
    return config;
  }

  uint64_t In(uint8_t reg, unsigned size) { return machine.bus().IoRead(kIoBase + reg, size); }
  uint8_t In8(uint8_t reg) { return static_cast<uint8_t>(In(reg, 1)); }
  uint16_t In16(uint8_t reg) { return static_cast<uint16_t>(In(reg, 2)); }
  uint32_t In32(uint8_t reg) { return static_cast<uint32_t>(In(reg, 4)); }
  void Out(uint8_t reg, unsigned size, uint64_t v) {
    machine.bus().IoWrite(kIoBase + reg, size, v);
  }
  void Out8(uint8_t reg, uint8_t v) { Out(reg, 1, v); }
  void Out16(uint8_t reg, uint16_t v) { Out(reg, 2, v); }
  void Out32(uint8_t reg, uint32_t v) { Out(reg, 4, v); }

  // Lets virtual time pass, then touches a register as a polling driver does.
  void Wait(uint64_t us) {
    machine.clock().AdvanceUs(us);
    (void)In16(sim::nic::reg::kInterruptStatus);
  }

  uint64_t RxRing() const { return area_; }
  uint64_t TxRing() const { return area_ + 4096; }
  uint64_t RxBuffer(uint32_t i) const { return area_ + 8192 + uint64_t{i} * kRxBufferSize; }
  uint64_t TxBuffer(uint32_t i) const {
    return area_ + 8192 + uint64_t{kRingSize} * kRxBufferSize + uint64_t{i} * 2048;
  }
  uint32_t *Desc(uint64_t ring, uint32_t i) {
    return reinterpret_cast<uint32_t *>(ring + uint64_t{i} * 16);
  }

  // Rings laid out as the link driver lays them out; controller started.
  void Start(bool waitReset = true) {
    for (uint32_t i = 0; i < kRingSize; ++i) {
      uint32_t *tx = Desc(TxRing(), i);
      tx[0] = i == kRingSize - 1 ? sim::nic::kDescEndOfRing : 0;
      tx[1] = tx[2] = tx[3] = 0;
      GiveBack(i);
    }
    txNext_ = rxNext_ = 0;
    Out8(sim::nic::reg::kCommand, sim::nic::kCommandReset);
    if (waitReset) {
      Wait(100);
    }
    Out32(sim::nic::reg::kTxRingLow, static_cast<uint32_t>(TxRing()));
    Out32(sim::nic::reg::kTxRingHigh, 0);
    Out32(sim::nic::reg::kRxRingLow, static_cast<uint32_t>(RxRing()));
    Out32(sim::nic::reg::kRxRingHigh, 0);
    Out8(sim::nic::reg::kCommand, sim::nic::kCommandRxEnable | sim::nic::kCommandTxEnable);
  }

  void GiveBack(uint32_t i) {
    uint32_t *rx = Desc(RxRing(), i);
    const uint64_t buffer = RxBuffer(i);
    rx[1] = 0;
    rx[2] = static_cast<uint32_t>(buffer);
    rx[3] = static_cast<uint32_t>(buffer >> 32);
    rx[0] =
        sim::nic::kDescOwn | (i == kRingSize - 1 ? sim::nic::kDescEndOfRing : 0) | kRxBufferSize;
  }

  // Puts one frame on the next transmit descriptor; rings the doorbell.
  uint32_t Queue(const std::vector<uint8_t> &frame, uint32_t control = kTxControl,
                 bool ring = true) {
    const uint32_t d = txNext_;
    std::memcpy(reinterpret_cast<void *>(TxBuffer(d)), frame.data(), frame.size());
    uint32_t *tx = Desc(TxRing(), d);
    tx[1] = control;
    tx[2] = static_cast<uint32_t>(TxBuffer(d));
    tx[3] = 0;
    tx[0] = static_cast<uint32_t>(frame.size()) | sim::nic::kDescFirst | sim::nic::kDescLast |
            (d == kRingSize - 1 ? sim::nic::kDescEndOfRing : 0) | sim::nic::kDescOwn;
    txNext_ = (d + 1) % kRingSize;
    if (ring) {
      Doorbell();
    }
    return d;
  }

  void Doorbell() {
    const unsigned v = nic.ChipVersion();
    if (v == 62 || v == 63) {
      Out8(sim::nic::reg::kTxPollAlt, sim::nic::kTxPollAltNormal);
    } else {
      Out8(sim::nic::reg::kTxPoll, sim::nic::kTxPollNormal);
    }
  }

  // Takes the next completed receive descriptor, if any, and gives it back.
  std::optional<Received> Receive() {
    (void)In16(sim::nic::reg::kInterruptStatus);
    uint32_t *rx = Desc(RxRing(), rxNext_);
    if (rx[0] & sim::nic::kDescOwn) {
      return std::nullopt;
    }
    Received r;
    r.lengthField = rx[0] & sim::nic::kRxLengthMask;
    r.error = (rx[0] & sim::nic::kRxError) != 0;
    r.descriptor = rxNext_;
    const uint32_t length = r.lengthField >= 4 ? r.lengthField - 4 : 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(RxBuffer(rxNext_));
    r.frame.assign(bytes, bytes + std::min<uint32_t>(length, kRxBufferSize));
    GiveBack(rxNext_);
    rxNext_ = (rxNext_ + 1) % kRingSize;
    return r;
  }

  uint32_t TxNext() const { return txNext_; }

private:
  uint64_t area_ = 0;
  uint32_t txNext_ = 0;
  uint32_t rxNext_ = 0;
};

} // namespace nictest
