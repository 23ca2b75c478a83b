// MGMT_LINK_PROTOCOL: the one way drivers reach the management controller.
// NicLinkDxe installs it on top of the Ethernet controller; the agent and the
// inventory reporter open the link, send notices or run request/answer
// exchanges, and close it again. The record is exactly six function pointers,
// writable, because the agent swaps Transact for its retry wrapper.
#pragma once

#include <Uefi/UefiBaseType.h>

#define MGMT_LINK_PROTOCOL_GUID                                                                    \
  {                                                                                                \
    0x1341D592, 0xD87F, 0x4616, { 0x99, 0x45, 0xBD, 0x36, 0xAC, 0xDC, 0xB0, 0x61 }                 \
  }

typedef struct _MGMT_LINK_PROTOCOL MGMT_LINK_PROTOCOL;

/**
  Switches the controller's out-of-band firmware on or off and waits until it
  confirms the new mode.

  @param[in] This   The interface record.
  @param[in] Mode   1 = on, 0 = off.

  @retval EFI_SUCCESS        The firmware reports the wanted mode.
  @retval EFI_DEVICE_ERROR        The firmware did not confirm in time.
  @retval EFI_INVALID_PARAMETER   Mode is neither 0 nor 1 (nothing is touched).
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_SET_OOB_MODE)(IN MGMT_LINK_PROTOCOL *This, IN UINT8 Mode);

/**
  Prepares the out-of-band firmware once per device context; later calls do
  nothing.

  @param[in] This     The interface record.
  @param[in] Enable   Must not be 0.

  @retval EFI_SUCCESS             Configured now or earlier.
  @retval EFI_INVALID_PARAMETER   Enable is 0.
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_CONFIGURE_OOB)(IN MGMT_LINK_PROTOCOL *This, IN UINT8 Enable);

/**
  Sends Buffer as the payload of one notice frame, without waiting for any
  answer. The buffer stays the caller's; the driver copies it.

  @param[in] This     The interface record.
  @param[in] Buffer   Payload bytes.
  @param[in] Length   Payload length, at most kMgmtNoticeMaxPayload (1468).

  @retval EFI_SUCCESS             The frame was handed to the controller.
  @retval EFI_INVALID_PARAMETER   Length is too large.
  @retval EFI_DEVICE_ERROR        No link came up within the link wait, or the
                                  controller could not take the frame.
  @retval EFI_NOT_READY           The link was never opened (no rings yet).
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_SEND)(IN MGMT_LINK_PROTOCOL *This, IN CONST VOID *Buffer,
                                           IN UINT16 Length);

/**
  Reports the open state as the controller shows it and two out-of-band state
  bits (see kMgmtLinkStatus*). Also refreshes the driver's opened state.

  @param[in]  This     The interface record.
  @param[out] Status   Receives the status byte.

  @retval EFI_SUCCESS             The byte was stored.
  @retval EFI_INVALID_PARAMETER   Status is NULL.
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_GET_STATUS)(IN MGMT_LINK_PROTOCOL *This, OUT UINT8 *Status);

/**
  Opens (brings up the controller and waits for link) or closes the link, and
  makes Tag the link tag that later notices carry.

  @param[in] This     The interface record.
  @param[in] Enable   1 = open, 0 = close.
  @param[in] Tag      Link tag; every client passes kMgmtLinkTag (600000).

  @retval EFI_SUCCESS             The link is in the requested state.
  @retval EFI_INVALID_PARAMETER   The link is already in the requested state.
  @retval EFI_DEVICE_ERROR        Opening: no link within the link wait.
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_OPEN)(IN MGMT_LINK_PROTOCOL *This, IN UINT8 Enable,
                                           IN UINT32 Tag);

/**
  Sends Request as the payload of one request frame and waits for the
  controller's answer, polling the receive ring once per millisecond.

  @param[in]     This             The interface record.
  @param[in]     Request          Request bytes.
  @param[in]     RequestLength    1 .. kMgmtRequestMaxPayload (1472).
  @param[in]     Polls            Receive polls before giving up.
  @param[out]    Response         Receives the answer bytes.
  @param[in,out] ResponseLength   In: capacity of Response. Out: answer length.

  @retval EFI_SUCCESS             An answer was delivered.
  @retval EFI_INVALID_PARAMETER   Request, Response or ResponseLength is NULL, or
                                  RequestLength is 0 or too large.
  @retval EFI_BUFFER_TOO_SMALL    The answer states more bytes than *ResponseLength
                                  or than its frame carried; *ResponseLength now
                                  holds the stated length and nothing was copied.
  @retval EFI_DEVICE_ERROR        No link, or no answer within Polls polls.
  @retval EFI_NOT_READY           The link was never opened (no rings yet).
  @retval other                   The staging buffer could not be allocated.
**/
typedef EFI_STATUS(EFIAPI *MGMT_LINK_TRANSACT)(IN MGMT_LINK_PROTOCOL *This, IN CONST VOID *Request,
                                               IN UINT16 RequestLength, IN UINT32 Polls,
                                               OUT VOID *Response, IN OUT UINT16 *ResponseLength);

struct _MGMT_LINK_PROTOCOL {
  MGMT_LINK_SET_OOB_MODE SetOobMode;
  MGMT_LINK_CONFIGURE_OOB ConfigureOob;
  MGMT_LINK_SEND Send;
  MGMT_LINK_GET_STATUS GetStatus;
  MGMT_LINK_OPEN Open;
  MGMT_LINK_TRANSACT Transact;
};

static_assert(sizeof(MGMT_LINK_PROTOCOL) == EFI_ABI_PICK(48, 24), "six slots and nothing else");
static_assert(OFFSET_OF(MGMT_LINK_PROTOCOL, Open) == EFI_ABI_PICK(32, 16));
static_assert(OFFSET_OF(MGMT_LINK_PROTOCOL, Transact) == EFI_ABI_PICK(40, 20));

// Bits of the GetStatus byte.
constexpr UINT8 kMgmtLinkStatusOobMask = 0x03; // OOB register 0x188 bits 9..8
constexpr UINT8 kMgmtLinkStatusOpen = 0x04;    // link open as the controller shows it

extern EFI_GUID gMgmtLinkProtocolGuid;
