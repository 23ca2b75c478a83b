// Building the two frame kinds the link driver sends (notices and requests)
// and recognising the management controller's answer among received frames.
#pragma once

#include <MgmtLink/Frames.h>
#include <Uefi/UefiBaseType.h>

// The driver's one outgoing frame buffer, zero at load. Identification, flags,
// fragment offset and time to live are never written, so they stay zero.
extern UINT8 mFrameBuffer[kMgmtFrameBufferSize];

// Builds a notice frame (52 + Length bytes) into Frame, which holds
// kMgmtFrameBufferSize bytes. Length must not exceed kMgmtNoticeMaxPayload.
// Returns the frame length.
UINT32 BuildNoticeFrame(UINT8 *Frame, const UINT8 *StationAddress, UINT32 LinkTag,
                        const UINT8 *Payload, UINT16 Length);

// Builds a request frame (48 + Length bytes); Length must not exceed
// kMgmtRequestMaxPayload. Returns the frame length.
UINT32 BuildRequestFrame(UINT8 *Frame, const UINT8 *StationAddress, const UINT8 *Payload,
                         UINT16 Length);

enum MGMT_ANSWER_MATCH {
  MgmtAnswerNone,      // not an answer: drop it and keep waiting
  MgmtAnswerDelivered, // answer copied, *ResponseLength holds its length
  MgmtAnswerTooLarge,  // answer longer than the caller's capacity or than the
                       // bytes that arrived; nothing copied
};

// Looks at one received frame (FrameLength bytes, FCS already removed). An
// answer is any frame to UDP port 50000. On entry *ResponseLength is the
// capacity of Response; on MgmtAnswerDelivered it is the answer length, on
// MgmtAnswerTooLarge the length the answer states. A frame whose IPv4 total
// length is below the IPv4 and UDP headers is malformed and not taken as an
// answer.
MGMT_ANSWER_MATCH MatchAnswer(const UINT8 *Frame, UINT32 FrameLength, UINT8 *Response,
                              UINT16 *ResponseLength);
