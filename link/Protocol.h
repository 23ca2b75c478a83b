// The six MGMT_LINK_PROTOCOL operations of NicLinkDxe and the waits they
// share. Each finds its device context from This by the record's fixed
// position at the end of the context.
#pragma once

#include "DeviceContext.h"

constexpr UINT32 kLinkWaitPolls = 1000; // samples of the link bit, 1 ms apart
constexpr UINTN kLinkWaitPollUs = 1000;
constexpr UINT32 kOobModePolls = 60000; // about 3 s
constexpr UINTN kOobModePollUs = 50;
constexpr UINTN kTxSettleUs = 1000;    // after queueing a frame, and once more in Transact
constexpr UINTN kReceivePollUs = 1000; // between receive polls of Transact
constexpr UINT32 kStaleFrameDrains = 3;
constexpr UINTN kStagingPages = 4;

EFI_STATUS EFIAPI SetOobMode(MGMT_LINK_PROTOCOL *This, UINT8 Mode);
EFI_STATUS EFIAPI ConfigureOob(MGMT_LINK_PROTOCOL *This, UINT8 Enable);
EFI_STATUS EFIAPI Send(MGMT_LINK_PROTOCOL *This, CONST VOID *Buffer, UINT16 Length);
EFI_STATUS EFIAPI GetStatus(MGMT_LINK_PROTOCOL *This, UINT8 *Status);
EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *This, UINT8 Enable, UINT32 Tag);
EFI_STATUS EFIAPI Transact(MGMT_LINK_PROTOCOL *This, CONST VOID *Request, UINT16 RequestLength,
                           UINT32 Polls, VOID *Response, UINT16 *ResponseLength);

// The six slots in their order; every device context's record starts as a
// copy of it (the agent later replaces the Transact slot of the installed one).
extern const MGMT_LINK_PROTOCOL kLinkProtocolTemplate;

// Samples the link bit until it is up; FALSE after kLinkWaitPolls samples.
[[nodiscard]] BOOLEAN NicLinkWait(NIC_DEVICE_CONTEXT *Ctx);
