// Reading a management-link frame back: which of the link's kinds it is and
// where its message lies. Whatever watches the wire (the simulator's boot
// runner, captures, tests) reads frames with this one parser, so the ports,
// markers and byte positions are the ones Frames.h names.
#pragma once

#include <MgmtLink/Frames.h>
#include <Uefi/UefiBaseType.h>

enum MGMT_FRAME_KIND {
  MgmtFrameOther,   // not a frame of the link (or too short to be one)
  MgmtFrameNotice,  // board to controller, notice marker
  MgmtFrameRequest, // board to controller, request marker
  MgmtFrameAnswer,  // controller to board, to the answer port
};

typedef struct {
  MGMT_FRAME_KIND Kind;
  // Request: the command code (little-endian on the wire). Notice: the link
  // tag (big-endian on the wire). Answer: zero.
  UINT32 Code;
  UINT16 Status; // answer: the status word (little-endian on the wire)
  // Request: the bytes after the command code; notice: the payload after
  // the link header; answer: the bytes after the status word. Points into
  // the frame; cut to the bytes that arrived.
  const UINT8 *Data;
  UINT32 DataLength;
} MGMT_FRAME_VIEW;

static inline UINT16 MgmtFrameBe16(const UINT8 *Bytes) {
  return (UINT16)(((UINT16)Bytes[0] << 8) | Bytes[1]);
}

// Parses the Length bytes at Frame (without the frame check sequence).
// ToBoard tells the direction: an answer travels to the board, notices and
// requests travel from it. A frame the link does not know, or one too short
// for what its headers promise, is MgmtFrameOther. The UDP header is found
// through the IPv4 header length, and the UDP length bounds the message.
static inline MGMT_FRAME_KIND MgmtParseFrame(const UINT8 *Frame, UINT32 Length, BOOLEAN ToBoard,
                                             MGMT_FRAME_VIEW *View) {
  View->Kind = MgmtFrameOther;
  View->Code = 0;
  View->Status = 0;
  View->Data = 0;
  View->DataLength = 0;
  if (Length < kMgmtAnswerOffset ||
      MgmtFrameBe16(&Frame[kMgmtFrameEtherTypeOffset]) != kMgmtEtherTypeIpv4 ||
      Frame[kMgmtFrameIpProtocolOffset] != kMgmtIpProtocolUdp) {
    return MgmtFrameOther;
  }
  const UINT32 Udp = kMgmtEthHeaderSize + (UINT32)(Frame[kMgmtFrameIpVersionOffset] & 0x0F) * 4;
  if (Length < Udp + kMgmtUdpHeaderSize) {
    return MgmtFrameOther;
  }
  const UINT16 DestinationPort = MgmtFrameBe16(&Frame[Udp + 2]);
  UINT32 UdpLength = MgmtFrameBe16(&Frame[Udp + 4]);
  if (UdpLength < kMgmtUdpHeaderSize) {
    UdpLength = kMgmtUdpHeaderSize;
  }
  const UINT32 End = Udp + UdpLength < Length ? Udp + UdpLength : Length;
  const UINT32 Payload = Udp + kMgmtUdpHeaderSize;

  if (ToBoard) {
    if (DestinationPort != kMgmtAnswerPort || End < Payload + 2) {
      return MgmtFrameOther;
    }
    View->Status = (UINT16)(Frame[Payload] | ((UINT16)Frame[Payload + 1] << 8));
    View->Data = &Frame[Payload + 2];
    View->DataLength = End - (Payload + 2);
    View->Kind = MgmtFrameAnswer;
    return View->Kind;
  }
  if (DestinationPort != kMgmtControllerPort || End < Payload + kMgmtRequestLinkHeaderSize ||
      Frame[Payload] != Frame[Payload + 1]) {
    return MgmtFrameOther;
  }
  // The link header's length counts the bytes after the whole link header.
  const UINT32 Stated = MgmtFrameBe16(&Frame[Payload + 4]);
  if (Frame[Payload] == kMgmtRequestMarker) {
    const UINT32 Message = Payload + kMgmtRequestLinkHeaderSize;
    const UINT32 MessageEnd = Message + Stated < End ? Message + Stated : End;
    if (MessageEnd < Message + 4) {
      return MgmtFrameOther; // no room for a command code
    }
    const UINT8 *C = &Frame[Message];
    View->Code = (UINT32)C[0] | ((UINT32)C[1] << 8) | ((UINT32)C[2] << 16) | ((UINT32)C[3] << 24);
    View->Data = &Frame[Message + 4];
    View->DataLength = MessageEnd - (Message + 4);
    View->Kind = MgmtFrameRequest;
  } else if (Frame[Payload] == kMgmtNoticeMarker) {
    const UINT32 Message = Payload + kMgmtNoticeLinkHeaderSize;
    if (End < Message) {
      return MgmtFrameOther; // no room for the link tag
    }
    const UINT32 MessageEnd = Message + Stated < End ? Message + Stated : End;
    const UINT8 *T = &Frame[Payload + 6];
    View->Code = ((UINT32)T[0] << 24) | ((UINT32)T[1] << 16) | ((UINT32)T[2] << 8) | T[3];
    View->Data = &Frame[Message];
    View->DataLength = MessageEnd - Message;
    View->Kind = MgmtFrameNotice;
  }
  return View->Kind;
}
