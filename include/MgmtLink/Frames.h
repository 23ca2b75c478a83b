// Wire layout of the management link: the notice and request frames the board
// sends, and how an answer frame from the management controller is recognised.
// Both sides of the link (the link driver and the controller model) build and
// parse frames with these names, so the byte positions live in one place.
#pragma once

#include <Uefi/UefiBaseType.h>

// All multi-byte fields on the wire are big-endian. Offsets count from the
// first byte of the Ethernet header.

// Ethernet II header.
constexpr UINT32 kMgmtFrameEthDestOffset = 0;
constexpr UINT32 kMgmtFrameEthSourceOffset = 6;
constexpr UINT32 kMgmtFrameEtherTypeOffset = 12;
constexpr UINT32 kMgmtEthHeaderSize = 14;
constexpr UINT32 kMgmtEthAddressSize = 6;
constexpr UINT8 kMgmtEthBroadcastByte = 0xFF;
constexpr UINT16 kMgmtEtherTypeIpv4 = 0x0800;

// IPv4 header: no options, zero addresses, time to live 0.
constexpr UINT32 kMgmtFrameIpVersionOffset = 14;
constexpr UINT32 kMgmtFrameIpTosOffset = 15;
constexpr UINT32 kMgmtFrameIpTotalLengthOffset = 16;
constexpr UINT32 kMgmtFrameIpIdentificationOffset = 18;
constexpr UINT32 kMgmtFrameIpFragmentOffset = 20;
constexpr UINT32 kMgmtFrameIpTtlOffset = 22;
constexpr UINT32 kMgmtFrameIpProtocolOffset = 23;
constexpr UINT32 kMgmtFrameIpChecksumOffset = 24;
constexpr UINT32 kMgmtFrameIpSourceOffset = 26;
constexpr UINT32 kMgmtFrameIpDestOffset = 30;
constexpr UINT32 kMgmtIpHeaderSize = 20;
constexpr UINT8 kMgmtIpVersionAndLength = 0x45; // version 4, five 32-bit words
constexpr UINT8 kMgmtIpProtocolUdp = 17;

// UDP header. The controller fills both checksums on transmission.
constexpr UINT32 kMgmtFrameUdpOffset = 34; // transport-header offset for checksum insertion
constexpr UINT32 kMgmtFrameUdpSourcePortOffset = 34;
constexpr UINT32 kMgmtFrameUdpDestPortOffset = 36;
constexpr UINT32 kMgmtFrameUdpLengthOffset = 38;
constexpr UINT32 kMgmtFrameUdpChecksumOffset = 40;
constexpr UINT32 kMgmtUdpHeaderSize = 8;
constexpr UINT16 kMgmtNoticeSourcePort = 0;
constexpr UINT16 kMgmtRequestSourcePort = 50000; // 0xC350
constexpr UINT16 kMgmtControllerPort = 60000;    // 0xEA60, destination of both kinds
constexpr UINT16 kMgmtAnswerPort = 50000;        // an answer is any frame sent to this port

// Link header, right after the UDP header.
constexpr UINT32 kMgmtFrameMarkerOffset = 42;
constexpr UINT32 kMgmtFrameSignatureOffset = 44;
constexpr UINT32 kMgmtFramePayloadLengthOffset = 46;
constexpr UINT32 kMgmtFrameLinkTagOffset = 48; // notices only
constexpr UINT8 kMgmtNoticeMarker = 0xA5;      // both marker bytes
constexpr UINT8 kMgmtRequestMarker = 0xB5;     // both marker bytes
constexpr UINT8 kMgmtLinkSignature[2] = {0x81, 0x17};
constexpr UINT32 kMgmtNoticeLinkHeaderSize = 10; // marker, signature, length, link tag
constexpr UINT32 kMgmtRequestLinkHeaderSize = 6; // marker, signature, length

// Where the caller's payload starts, and the fixed part of each frame kind.
constexpr UINT32 kMgmtNoticePayloadOffset = 52;
constexpr UINT32 kMgmtRequestPayloadOffset = 48;
constexpr UINT32 kMgmtNoticeHeaderSize = kMgmtNoticePayloadOffset;
constexpr UINT32 kMgmtRequestHeaderSize = kMgmtRequestPayloadOffset;

// Answer: the UDP payload of a frame to kMgmtAnswerPort, whatever link header
// it carries; its length is the IPv4 total length less the IPv4 and UDP headers.
constexpr UINT32 kMgmtAnswerOffset = 42;
constexpr UINT32 kMgmtAnswerLengthBias = kMgmtIpHeaderSize + kMgmtUdpHeaderSize; // 28

// Limits. One static buffer holds the outgoing frame of either kind; a
// received frame loses its 4-byte frame check sequence and is cut to 1514.
constexpr UINT32 kMgmtFrameBufferSize = 1520;
constexpr UINT32 kMgmtNoticeMaxPayload = kMgmtFrameBufferSize - kMgmtNoticeHeaderSize;   // 1468
constexpr UINT32 kMgmtRequestMaxPayload = kMgmtFrameBufferSize - kMgmtRequestHeaderSize; // 1472
constexpr UINT32 kMgmtFcsSize = 4;
constexpr UINT32 kMgmtReceivedFrameMax = 1514;
constexpr UINT32 kMgmtAnswerMax = kMgmtReceivedFrameMax - kMgmtAnswerOffset; // 1472

// Tag that every client gives to Open; notices carry it in their link header.
constexpr UINT32 kMgmtLinkTag = 600000; // 0x000927C0

// Length fields as functions of the payload length N.
constexpr UINT16 MgmtNoticeIpTotalLength(UINT16 N) {
  return (UINT16)(N + kMgmtIpHeaderSize + kMgmtUdpHeaderSize + kMgmtNoticeLinkHeaderSize);
}
constexpr UINT16 MgmtNoticeUdpLength(UINT16 N) {
  return (UINT16)(N + kMgmtUdpHeaderSize + kMgmtNoticeLinkHeaderSize);
}
constexpr UINT16 MgmtRequestIpTotalLength(UINT16 N) {
  return (UINT16)(N + kMgmtIpHeaderSize + kMgmtUdpHeaderSize + kMgmtRequestLinkHeaderSize);
}
constexpr UINT16 MgmtRequestUdpLength(UINT16 N) {
  return (UINT16)(N + kMgmtUdpHeaderSize + kMgmtRequestLinkHeaderSize);
}

// Byte images of the fixed parts, for code that overlays a frame buffer.
// Every multi-byte field is a byte array because the wire is big-endian.
typedef struct {
  UINT8 Destination[6];
  UINT8 Source[6];
  UINT8 EtherType[2];
  UINT8 VersionAndLength;
  UINT8 TypeOfService;
  UINT8 TotalLength[2];
  UINT8 Identification[2];
  UINT8 FlagsAndFragment[2];
  UINT8 TimeToLive;
  UINT8 Protocol;
  UINT8 HeaderChecksum[2];
  UINT8 SourceAddress[4];
  UINT8 DestinationAddress[4];
  UINT8 UdpSourcePort[2];
  UINT8 UdpDestinationPort[2];
  UINT8 UdpLength[2];
  UINT8 UdpChecksum[2];
} MGMT_FRAME_IP_UDP_HEADER;

typedef struct {
  MGMT_FRAME_IP_UDP_HEADER Ip;
  UINT8 Marker[2];
  UINT8 Signature[2];
  UINT8 PayloadLength[2];
  UINT8 LinkTag[4];
} MGMT_NOTICE_FRAME_HEADER;

typedef struct {
  MGMT_FRAME_IP_UDP_HEADER Ip;
  UINT8 Marker[2];
  UINT8 Signature[2];
  UINT8 PayloadLength[2];
} MGMT_REQUEST_FRAME_HEADER;

static_assert(sizeof(MGMT_FRAME_IP_UDP_HEADER) == kMgmtAnswerOffset, "Ethernet+IPv4+UDP");
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, EtherType) == kMgmtFrameEtherTypeOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, TotalLength) == kMgmtFrameIpTotalLengthOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, TimeToLive) == kMgmtFrameIpTtlOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, Protocol) == kMgmtFrameIpProtocolOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, HeaderChecksum) == kMgmtFrameIpChecksumOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, SourceAddress) == kMgmtFrameIpSourceOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, DestinationAddress) == kMgmtFrameIpDestOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, UdpSourcePort) == kMgmtFrameUdpSourcePortOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, UdpDestinationPort) ==
              kMgmtFrameUdpDestPortOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, UdpLength) == kMgmtFrameUdpLengthOffset);
static_assert(OFFSET_OF(MGMT_FRAME_IP_UDP_HEADER, UdpChecksum) == kMgmtFrameUdpChecksumOffset);
static_assert(OFFSET_OF(MGMT_NOTICE_FRAME_HEADER, Marker) == kMgmtFrameMarkerOffset);
static_assert(OFFSET_OF(MGMT_NOTICE_FRAME_HEADER, Signature) == kMgmtFrameSignatureOffset);
static_assert(OFFSET_OF(MGMT_NOTICE_FRAME_HEADER, PayloadLength) == kMgmtFramePayloadLengthOffset);
static_assert(OFFSET_OF(MGMT_NOTICE_FRAME_HEADER, LinkTag) == kMgmtFrameLinkTagOffset);
static_assert(sizeof(MGMT_NOTICE_FRAME_HEADER) == kMgmtNoticePayloadOffset);
static_assert(sizeof(MGMT_REQUEST_FRAME_HEADER) == kMgmtRequestPayloadOffset);
static_assert(kMgmtNoticeHeaderSize == kMgmtEthHeaderSize + kMgmtIpHeaderSize + kMgmtUdpHeaderSize +
                                           kMgmtNoticeLinkHeaderSize);
static_assert(kMgmtRequestHeaderSize == kMgmtEthHeaderSize + kMgmtIpHeaderSize +
                                            kMgmtUdpHeaderSize + kMgmtRequestLinkHeaderSize);
static_assert(kMgmtNoticeMaxPayload == 1468 && kMgmtRequestMaxPayload == 1472);
static_assert(kMgmtAnswerMax == 1472);
static_assert(MgmtNoticeIpTotalLength(0) == 38 && MgmtNoticeUdpLength(0) == 18);
static_assert(MgmtRequestIpTotalLength(4) == 38 && MgmtRequestUdpLength(4) == 18);
