// Internet checksums and the Ethernet frame check sequence, shared by the
// Ethernet controller model (which inserts checksums on transmission) and the
// management-controller model (which checks what arrives and builds answers).
// Offsets are from the first byte of the Ethernet header; every function
// refuses (returns false) rather than read past the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::net {

inline constexpr size_t kEthHeaderSize = 14;
inline constexpr size_t kIpOffset = kEthHeaderSize;
inline constexpr size_t kIpMinHeaderSize = 20;
inline constexpr size_t kUdpHeaderSize = 8;
inline constexpr size_t kMinFrameSize = 60; // without the frame check sequence
inline constexpr size_t kFcsSize = 4;
inline constexpr uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr uint8_t kIpProtocolUdp = 17;

// One's-complement sum of big-endian 16-bit words (odd length padded with a
// zero byte), folded, not inverted.
uint32_t OnesComplementSum(const uint8_t *data, size_t length, uint32_t sum = 0);
// The Internet checksum of a block: the inverted folded sum.
uint16_t InternetChecksum(const uint8_t *data, size_t length);

// IPv4 header at `ipOffset`: fills the header checksum. False when the header
// is not IPv4 or does not fit in the frame.
bool InsertIpv4Checksum(std::vector<uint8_t> &frame, size_t ipOffset);
// UDP header at `udpOffset` of the IPv4 datagram at `ipOffset`: fills the UDP
// checksum over the pseudo-header, the header and the payload that the UDP
// length field covers (a computed 0 is sent as 0xFFFF). False when the
// lengths do not fit in the frame.
bool InsertUdpChecksum(std::vector<uint8_t> &frame, size_t ipOffset, size_t udpOffset);

bool Ipv4ChecksumValid(const std::vector<uint8_t> &frame, size_t ipOffset = kIpOffset);
// A zero UDP checksum ("none sent") counts as invalid: the board always asks
// for insertion, so a zero field means it did not happen.
bool UdpChecksumValid(const std::vector<uint8_t> &frame, size_t ipOffset = kIpOffset);

// Big-endian field helpers; out-of-range reads yield 0.
uint16_t Get16(const std::vector<uint8_t> &frame, size_t offset);
uint32_t Get32(const std::vector<uint8_t> &frame, size_t offset);
void Put16(std::vector<uint8_t> &frame, size_t offset, uint16_t value);
void Put32(std::vector<uint8_t> &frame, size_t offset, uint32_t value);

// IEEE 802.3 CRC-32 as carried in the frame check sequence (transmitted
// least significant byte first).
uint32_t EthernetFcs(const uint8_t *data, size_t length);

// A broadcast Ethernet II / IPv4 / UDP frame with zero IPv4 addresses and the
// given time to live, both checksums filled and padded to the 60-byte minimum.
std::vector<uint8_t> BuildUdpFrame(const uint8_t source[6], uint16_t sourcePort,
                                   uint16_t destinationPort, const std::vector<uint8_t> &payload,
                                   uint8_t timeToLive = 0);

} // namespace sim::net
