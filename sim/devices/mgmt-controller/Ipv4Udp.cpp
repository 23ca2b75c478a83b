// Checksums and frame building for IPv4/UDP over Ethernet II.
#include "Ipv4Udp.h"

#include <array>

namespace sim::net {

namespace {
constexpr size_t kIpTotalLengthOffset = 2;
constexpr size_t kIpProtocolOffset = 9;
constexpr size_t kIpChecksumOffset = 10;
constexpr size_t kIpSourceOffset = 12;
constexpr size_t kIpTtlOffset = 8;
constexpr size_t kUdpLengthOffset = 4;
constexpr size_t kUdpChecksumOffset = 6;

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint16_t>(sum);
}

// IPv4 header length, or 0 when the header at ipOffset is not a whole IPv4 header.
size_t IpHeaderLength(const std::vector<uint8_t> &frame, size_t ipOffset) {
  if (ipOffset >= frame.size() || frame.size() - ipOffset < kIpMinHeaderSize) {
    return 0;
  }
  const uint8_t versionAndLength = frame[ipOffset];
  const size_t length = size_t{versionAndLength & 0x0Fu} * 4;
  if ((versionAndLength >> 4) != 4 || length < kIpMinHeaderSize ||
      length > frame.size() - ipOffset) {
    return 0;
  }
  return length;
}

// Pseudo-header plus UDP datagram sum; false when the datagram does not fit.
bool UdpSum(const std::vector<uint8_t> &frame, size_t ipOffset, size_t udpOffset, uint32_t &sum) {
  if (IpHeaderLength(frame, ipOffset) == 0 || udpOffset >= frame.size() ||
      frame.size() - udpOffset < kUdpHeaderSize) {
    return false;
  }
  const size_t udpLength = Get16(frame, udpOffset + kUdpLengthOffset);
  if (udpLength < kUdpHeaderSize || udpLength > frame.size() - udpOffset) {
    return false;
  }
  sum = OnesComplementSum(&frame[ipOffset + kIpSourceOffset], 8); // source and destination
  sum += frame[ipOffset + kIpProtocolOffset];
  sum += static_cast<uint32_t>(udpLength);
  sum = OnesComplementSum(&frame[udpOffset], udpLength, sum);
  return true;
}
} // namespace

uint32_t OnesComplementSum(const uint8_t *data, size_t length, uint32_t sum) {
  uint64_t wide = sum;
  for (size_t i = 0; i + 1 < length; i += 2) {
    wide += (uint32_t{data[i]} << 8) | data[i + 1];
  }
  if (length & 1) {
    wide += uint32_t{data[length - 1]} << 8;
  }
  while (wide >> 16) {
    wide = (wide & 0xFFFF) + (wide >> 16);
  }
  return static_cast<uint32_t>(wide);
}

uint16_t InternetChecksum(const uint8_t *data, size_t length) {
  return static_cast<uint16_t>(~Fold(OnesComplementSum(data, length)));
}

uint16_t Get16(const std::vector<uint8_t> &frame, size_t offset) {
  if (offset >= frame.size() || frame.size() - offset < 2) {
    return 0;
  }
  return static_cast<uint16_t>((frame[offset] << 8) | frame[offset + 1]);
}

uint32_t Get32(const std::vector<uint8_t> &frame, size_t offset) {
  if (offset >= frame.size() || frame.size() - offset < 4) {
    return 0;
  }
  return (uint32_t{Get16(frame, offset)} << 16) | Get16(frame, offset + 2);
}

void Put16(std::vector<uint8_t> &frame, size_t offset, uint16_t value) {
  if (frame.size() < offset + 2) {
    frame.resize(offset + 2);
  }
  frame[offset] = static_cast<uint8_t>(value >> 8);
  frame[offset + 1] = static_cast<uint8_t>(value);
}

void Put32(std::vector<uint8_t> &frame, size_t offset, uint32_t value) {
  Put16(frame, offset, static_cast<uint16_t>(value >> 16));
  Put16(frame, offset + 2, static_cast<uint16_t>(value));
}

bool InsertIpv4Checksum(std::vector<uint8_t> &frame, size_t ipOffset) {
  const size_t length = IpHeaderLength(frame, ipOffset);
  if (length == 0) {
    return false;
  }
  Put16(frame, ipOffset + kIpChecksumOffset, 0);
  Put16(frame, ipOffset + kIpChecksumOffset, InternetChecksum(&frame[ipOffset], length));
  return true;
}

bool InsertUdpChecksum(std::vector<uint8_t> &frame, size_t ipOffset, size_t udpOffset) {
  if (udpOffset + kUdpHeaderSize > frame.size()) {
    return false;
  }
  Put16(frame, udpOffset + kUdpChecksumOffset, 0);
  uint32_t sum = 0;
  if (!UdpSum(frame, ipOffset, udpOffset, sum)) {
    return false;
  }
  uint16_t checksum = static_cast<uint16_t>(~Fold(sum));
  if (checksum == 0) {
    checksum = 0xFFFF; // zero means "no checksum" in UDP over IPv4
  }
  Put16(frame, udpOffset + kUdpChecksumOffset, checksum);
  return true;
}

bool Ipv4ChecksumValid(const std::vector<uint8_t> &frame, size_t ipOffset) {
  const size_t length = IpHeaderLength(frame, ipOffset);
  return length != 0 && Fold(OnesComplementSum(&frame[ipOffset], length)) == 0xFFFF;
}

bool UdpChecksumValid(const std::vector<uint8_t> &frame, size_t ipOffset) {
  const size_t ipLength = IpHeaderLength(frame, ipOffset);
  if (ipLength == 0 || frame[ipOffset + kIpProtocolOffset] != kIpProtocolUdp) {
    return false;
  }
  const size_t udpOffset = ipOffset + ipLength;
  if (Get16(frame, udpOffset + kUdpChecksumOffset) == 0) {
    return false;
  }
  uint32_t sum = 0;
  return UdpSum(frame, ipOffset, udpOffset, sum) && Fold(sum) == 0xFFFF;
}

uint32_t EthernetFcs(const uint8_t *data, size_t length) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

std::vector<uint8_t> BuildUdpFrame(const uint8_t source[6], uint16_t sourcePort,
                                   uint16_t destinationPort, const std::vector<uint8_t> &payload,
                                   uint8_t timeToLive) {
  std::vector<uint8_t> frame(kEthHeaderSize + kIpMinHeaderSize + kUdpHeaderSize, 0);
  for (size_t i = 0; i < 6; ++i) {
    frame[i] = 0xFF;
    frame[6 + i] = source[i];
  }
  Put16(frame, 12, kEtherTypeIpv4);
  const size_t ip = kIpOffset;
  const size_t udp = ip + kIpMinHeaderSize;
  frame[ip] = 0x45;
  Put16(frame, ip + kIpTotalLengthOffset,
        static_cast<uint16_t>(kIpMinHeaderSize + kUdpHeaderSize + payload.size()));
  frame[ip + kIpTtlOffset] = timeToLive;
  frame[ip + kIpProtocolOffset] = kIpProtocolUdp;
  Put16(frame, udp, sourcePort);
  Put16(frame, udp + 2, destinationPort);
  Put16(frame, udp + kUdpLengthOffset, static_cast<uint16_t>(kUdpHeaderSize + payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  InsertIpv4Checksum(frame, ip);
  InsertUdpChecksum(frame, ip, udp);
  if (frame.size() < kMinFrameSize) {
    frame.resize(kMinFrameSize, 0);
  }
  return frame;
}

} // namespace sim::net
