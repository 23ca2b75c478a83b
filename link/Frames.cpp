// Management-link frames, byte for byte. Checksums are left zero here: the
// transmit descriptor asks the controller to insert them.
#include "Frames.h"

UINT8 mFrameBuffer[kMgmtFrameBufferSize];

namespace {

void PutBig16(UINT8 *At, UINT16 Value) {
  At[0] = (UINT8)(Value >> 8);
  At[1] = (UINT8)Value;
}

// Fields common to both kinds, up to the UDP source port.
void BuildEthIpHeader(UINT8 *Frame, const UINT8 *StationAddress, UINT16 IpTotalLength) {
  for (UINT32 I = 0; I < kMgmtEthAddressSize; I++) {
    Frame[kMgmtFrameEthDestOffset + I] = kMgmtEthBroadcastByte;
    Frame[kMgmtFrameEthSourceOffset + I] = StationAddress[I];
  }
  PutBig16(&Frame[kMgmtFrameEtherTypeOffset], kMgmtEtherTypeIpv4);
  Frame[kMgmtFrameIpVersionOffset] = kMgmtIpVersionAndLength;
  Frame[kMgmtFrameIpTosOffset] = 0;
  PutBig16(&Frame[kMgmtFrameIpTotalLengthOffset], IpTotalLength);
  Frame[kMgmtFrameIpProtocolOffset] = kMgmtIpProtocolUdp;
  for (UINT32 I = kMgmtFrameIpChecksumOffset; I < kMgmtFrameUdpOffset; I++) {
    Frame[I] = 0; // header checksum, source and destination address
  }
}

void BuildUdpAndLinkHeader(UINT8 *Frame, UINT16 UdpLength, UINT8 Marker, UINT16 PayloadLength) {
  PutBig16(&Frame[kMgmtFrameUdpDestPortOffset], kMgmtControllerPort);
  PutBig16(&Frame[kMgmtFrameUdpLengthOffset], UdpLength);
  PutBig16(&Frame[kMgmtFrameUdpChecksumOffset], 0);
  Frame[kMgmtFrameMarkerOffset] = Marker;
  Frame[kMgmtFrameMarkerOffset + 1] = Marker;
  Frame[kMgmtFrameSignatureOffset] = kMgmtLinkSignature[0];
  Frame[kMgmtFrameSignatureOffset + 1] = kMgmtLinkSignature[1];
  PutBig16(&Frame[kMgmtFramePayloadLengthOffset], PayloadLength);
}

void CopyPayload(UINT8 *To, const UINT8 *Payload, UINT16 Length) {
  for (UINT16 I = 0; I < Length; I++) {
    To[I] = Payload[I];
  }
}

} // namespace

UINT32 BuildNoticeFrame(UINT8 *Frame, const UINT8 *StationAddress, UINT32 LinkTag,
                        const UINT8 *Payload, UINT16 Length) {
  BuildEthIpHeader(Frame, StationAddress, MgmtNoticeIpTotalLength(Length));
  PutBig16(&Frame[kMgmtFrameUdpSourcePortOffset], kMgmtNoticeSourcePort);
  BuildUdpAndLinkHeader(Frame, MgmtNoticeUdpLength(Length), kMgmtNoticeMarker, Length);
  Frame[kMgmtFrameLinkTagOffset + 0] = (UINT8)(LinkTag >> 24);
  Frame[kMgmtFrameLinkTagOffset + 1] = (UINT8)(LinkTag >> 16);
  Frame[kMgmtFrameLinkTagOffset + 2] = (UINT8)(LinkTag >> 8);
  Frame[kMgmtFrameLinkTagOffset + 3] = (UINT8)LinkTag;
  CopyPayload(&Frame[kMgmtNoticePayloadOffset], Payload, Length);
  return kMgmtNoticeHeaderSize + Length;
}

UINT32 BuildRequestFrame(UINT8 *Frame, const UINT8 *StationAddress, const UINT8 *Payload,
                         UINT16 Length) {
  BuildEthIpHeader(Frame, StationAddress, MgmtRequestIpTotalLength(Length));
  PutBig16(&Frame[kMgmtFrameUdpSourcePortOffset], kMgmtRequestSourcePort);
  BuildUdpAndLinkHeader(Frame, MgmtRequestUdpLength(Length), kMgmtRequestMarker, Length);
  CopyPayload(&Frame[kMgmtRequestPayloadOffset], Payload, Length);
  return kMgmtRequestHeaderSize + Length;
}

MGMT_ANSWER_MATCH MatchAnswer(const UINT8 *Frame, UINT32 FrameLength, UINT8 *Response,
                              UINT16 *ResponseLength) {
  if (FrameLength < kMgmtAnswerOffset) {
    return MgmtAnswerNone; // too short to carry a UDP header
  }
  const UINT8 *Port = &Frame[kMgmtFrameUdpDestPortOffset];
  if (Port[0] != (UINT8)(kMgmtAnswerPort >> 8) || Port[1] != (UINT8)kMgmtAnswerPort) {
    return MgmtAnswerNone;
  }
  UINT32 TotalLength = ((UINT32)Frame[kMgmtFrameIpTotalLengthOffset] << 8) |
                       Frame[kMgmtFrameIpTotalLengthOffset + 1];
  if (TotalLength < kMgmtAnswerLengthBias) {
    return MgmtAnswerNone; // a negative answer length: malformed
  }
  UINT32 Length = TotalLength - kMgmtAnswerLengthBias;
  // The port alone makes a frame the answer; one that states more bytes than
  // arrived, or than the caller can take, is refused whole rather than cut.
  if (Length > FrameLength - kMgmtAnswerOffset || Length > *ResponseLength) {
    *ResponseLength = (UINT16)Length;
    return MgmtAnswerTooLarge;
  }
  for (UINT32 I = 0; I < Length; I++) {
    Response[I] = Frame[kMgmtAnswerOffset + I];
  }
  *ResponseLength = (UINT16)Length;
  return MgmtAnswerDelivered;
}
