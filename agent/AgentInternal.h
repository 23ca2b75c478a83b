// MgmtAgentDxe's module-wide state and the operations its parts call on one
// another: the request layer, the Setup exchanges, the notifications, the
// out-of-band switch and device hiding. The NIC I/O instance and the
// displays have their own headers (NicIo.h, Display.h).
#pragma once

#include <Guid/MgmtDeviceHob.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/PciIo.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiServices.h>

// ---------------------------------------------------------------------------
// Module-wide state

extern EFI_HANDLE mImageHandle;
extern EFI_SYSTEM_TABLE *mSystemTable;
extern EFI_BOOT_SERVICES *mBootServices;
extern EFI_RUNTIME_SERVICES *mRuntimeServices;
// Data of MGMT_DEVICE_HOB, valid for the driver's life; only Enabled is written.
extern MGMT_DEVICE_HOB_DATA *mDeviceHob;
// The controller was found in the device HOB and the link interface exists.
extern BOOLEAN mNicPresent;
// The link's own Transact, saved when the retry wrapper took its slot.
extern MGMT_LINK_TRANSACT mSavedTransact;

// Tag every Open of the link carries.
constexpr UINT32 kAgentLinkTag = 600000;

// ---------------------------------------------------------------------------
// Request layer (RequestLayer.cpp)

[[nodiscard]] EFI_STATUS AgentReadItem(UINT32 Code, VOID *Buffer, UINT16 *DataSize);
[[nodiscard]] EFI_STATUS AgentWriteItem(UINT32 Code, CONST VOID *Data, UINT16 Length);
VOID AgentSetLinkOpen(BOOLEAN Enable);
[[nodiscard]] EFI_STATUS AgentGetPollCount(UINT32 *PollCount);
EFI_STATUS EFIAPI AgentTransactWithRetry(MGMT_LINK_PROTOCOL *This, CONST VOID *Request,
                                         UINT16 RequestLength, UINT32 Polls, VOID *Response,
                                         UINT16 *ResponseLength);
// One read with a parameter (the range read): Request already holds the code
// and its parameter. Same answer checks as AgentReadItem.
[[nodiscard]] EFI_STATUS AgentReadItemWithParameter(CONST UINT8 *Request, UINT16 RequestLength,
                                                    VOID *Buffer, UINT16 *DataSize);

// ---------------------------------------------------------------------------
// Setup variable access (SetupSync.cpp)

// Reads the whole Setup variable into Buffer (kSetupVariableSize bytes). The
// buffer is cleared first; a variable of any other size counts as unreadable.
[[nodiscard]] EFI_STATUS AgentReadSetup(UINT8 *Buffer, UINT32 *Attributes, UINTN *Size);

// ---------------------------------------------------------------------------
// Setup synchronization (SetupSync.cpp, Ipv4Text.cpp)

[[nodiscard]] EFI_STATUS SyncDisplayMode(MGMT_LINK_PROTOCOL *Link);
VOID SyncRequestWord(MGMT_LINK_PROTOCOL *Link);
VOID EFIAPI PullRanges(EFI_EVENT Event, VOID *Context);
VOID EFIAPI PushRanges(EFI_EVENT Event, VOID *Context);
VOID EFIAPI PushTextItem(EFI_EVENT Event, VOID *Context);

constexpr UINT32 kIpv4TextMaxChars = 15; // code units looked at by the parser
// Text is UTF-16, little-endian, at any alignment; reading stops at the
// terminator or after kIpv4TextMaxChars code units.
[[nodiscard]] EFI_STATUS ParseIpv4Text(CONST VOID *Text, UINT8 *Address);
// Writes the "%d.%d.%d.%d" text of Address into a 30-byte UTF-16 field.
VOID FormatIpv4Text(CONST UINT8 *Address, VOID *Field);

// ---------------------------------------------------------------------------
// Start-up and notifications (StartUp.cpp, Notifications.cpp)

extern "C" EFI_STATUS EFIAPI MgmtAgentDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable);
[[nodiscard]] EFI_STATUS MgmtAgentStartUp(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, no context) + RegisterProtocolNotify.
EFI_STATUS AgentRegisterNotify(EFI_GUID *Protocol, EFI_EVENT_NOTIFY Notify);
VOID EFIAPI InstallRetryWrapper(EFI_EVENT Event, VOID *Context);
VOID EFIAPI RemoveLink(EFI_EVENT Event, VOID *Context);
VOID EFIAPI TeardownCheck(EFI_EVENT Event, VOID *Context);
VOID EFIAPI RebindAfterEnumeration(EFI_EVENT Event, VOID *Context);

// ---------------------------------------------------------------------------
// Out-of-band switch and device hiding (OobSwitch.cpp, DeviceHiding.cpp)

[[nodiscard]] EFI_STATUS SetOobState(UINT8 Wanted);
EFI_STATUS HideMgmtDevices();

// A device-HOB entry whose device or function number does not fit its field
// of a configuration address would reach another function's registers.
static inline BOOLEAN AgentEntryAddressable(CONST MGMT_DEVICE_HOB_ENTRY *Entry) {
  return (Entry->Device <= 31 && Entry->Function <= 7) ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Small memory helpers (no library behind the module)

static inline VOID AgentZeroMem(VOID *Buffer, UINTN Length) {
  UINT8 *To = (UINT8 *)Buffer;
  while (Length-- != 0) {
    *To++ = 0;
  }
}

static inline VOID AgentCopyMem(VOID *Destination, CONST VOID *Source, UINTN Length) {
  UINT8 *To = (UINT8 *)Destination;
  CONST UINT8 *From = (CONST UINT8 *)Source;
  while (Length-- != 0) {
    *To++ = *From++;
  }
}

static inline UINT32 AgentReadUint32(CONST UINT8 *Bytes) {
  return (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) | ((UINT32)Bytes[2] << 16) |
         ((UINT32)Bytes[3] << 24);
}

static inline VOID AgentWriteUint32(UINT8 *Bytes, UINT32 Value) {
  Bytes[0] = (UINT8)Value;
  Bytes[1] = (UINT8)(Value >> 8);
  Bytes[2] = (UINT8)(Value >> 16);
  Bytes[3] = (UINT8)(Value >> 24);
}
