// The UEFI variables the modules are configured by: Setup (owned by the
// firmware's setup forms; the modules read and write a few bytes of it at
// fixed offsets), AcceVar (requests the management controller passed on) and
// NetworkStackVar. Names, vendor GUIDs, sizes, field offsets and bits.
#pragma once

#include <Uefi/UefiBaseType.h>

// ---------------------------------------------------------------------------
// Setup

#define SETUP_VARIABLE_GUID                                                                        \
  {                                                                                                \
    0xEC87D643, 0xEBA4, 0x4BB5, { 0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9 }                 \
  }

constexpr CHAR16 kSetupVariableName[] = {'S', 'e', 't', 'u', 'p', 0};
constexpr UINT32 kSetupVariableSize = 2638; // every reader uses a buffer of exactly this size

// Byte offsets of the fields the modules use; multi-byte values are
// little-endian and need not be aligned.
namespace SetupOffset {
// Super I/O and EC option: bit 7 of Super I/O register 0x1B, GPIO pin 47 and
// EC bank-1 register 0x90 follow it.
constexpr UINT32 SioEcOption = 1866; // 0x74A
// Request to PEI about the management device (kMgmtFirstStart*); the agent
// sets it to 0xFF so that the PEI action happens once.
constexpr UINT32 MgmtFirstStartMark = 1987; // 0x7C3
constexpr UINT32 MgmtOobEnable = 1988;      // 1 = the controller's out-of-band mode is wanted
constexpr UINT32 MgmtAgentEnable = 1989;    // 1 = the management link is used
constexpr UINT32 MgmtRebindEnable = 1990;   // 1 = follow the controller through PCI enumeration
constexpr UINT32 MgmtHobForce = 1991;       // 1 = treat the device HOB as enabled
constexpr UINT32 MgmtDisplayMode = 1992;    // 0..3 (kMgmtDisplayMode* in MgmtLink/Commands.h)
constexpr UINT32 MgmtResetCount = 2084;     // resets caused by the display-mode exchange, 0..3
constexpr UINT32 MgmtLinkPollCount = 2085;  // UINT32: receive polls per link transaction
constexpr UINT32 MgmtRangeOption = 2089;    // option byte that accompanies the address ranges
constexpr UINT32 MgmtRangeRows = 2090;      // range rows in use, 1..8
constexpr UINT32 MgmtRangeFirstBase = 2091; // MgmtRangeFirst[0]
constexpr UINT32 MgmtRangeLastBase = 2331;  // MgmtRangeLast[0]
constexpr UINT32 MgmtTextItem = 2571;       // UTF-16 text, NUL-terminated, to the end
} // namespace SetupOffset

constexpr UINT32 kSetupMgmtLinkPollCountSize = 4;
// Address range fields: IPv4 text in 15 UTF-16 code units, terminator included.
constexpr UINT32 kSetupMgmtRangeCount = 8;
constexpr UINT32 kSetupMgmtRangeFieldSize = 30;
constexpr UINT32 kSetupMgmtRangeFieldChars = kSetupMgmtRangeFieldSize / sizeof(CHAR16);
constexpr UINT32 kSetupMgmtTextItemSize = kSetupVariableSize - SetupOffset::MgmtTextItem; // 67

// Offset of the text field MgmtRangeFirst[K] / MgmtRangeLast[K], K = 0..7.
constexpr UINT32 MgmtRangeFirst(UINT32 K) {
  return SetupOffset::MgmtRangeFirstBase + kSetupMgmtRangeFieldSize * K;
}
constexpr UINT32 MgmtRangeLast(UINT32 K) {
  return SetupOffset::MgmtRangeLastBase + kSetupMgmtRangeFieldSize * K;
}

// MgmtFirstStartMark values.
constexpr UINT8 kMgmtFirstStartDriveHigh = 0; // drive the pad high, pulse the reset pad
constexpr UINT8 kMgmtFirstStartDriveLow = 1;  // drive the pad low, pulse the reset pad
constexpr UINT8 kMgmtFirstStartDone = 0xFF;   // nothing to do; other values only pulse

constexpr UINT8 kMgmtResetCountMax = 3; // a count beyond it returns to 0 and spares that reset

static_assert(MgmtRangeFirst(0) == 2091 && MgmtRangeFirst(7) == 2301);
static_assert(MgmtRangeLast(0) == 2331 && MgmtRangeLast(7) == 2541);
static_assert(MgmtRangeLast(kSetupMgmtRangeCount - 1) + kSetupMgmtRangeFieldSize ==
                  SetupOffset::MgmtTextItem,
              "the range fields run up to the text item");
static_assert(MgmtRangeFirst(kSetupMgmtRangeCount) == SetupOffset::MgmtRangeLastBase);
static_assert(SetupOffset::MgmtLinkPollCount + kSetupMgmtLinkPollCountSize ==
              SetupOffset::MgmtRangeOption);
static_assert(kSetupMgmtTextItemSize == 67);

// ---------------------------------------------------------------------------
// AcceVar: one UINT32 into which the agent only ever sets bits.

#define ACCE_VAR_GUID                                                                              \
  {                                                                                                \
    0x00195627, 0x6276, 0x4692, { 0x99, 0x22, 0x4C, 0xDA, 0x9C, 0xF2, 0x7B, 0x1D }                 \
  }

constexpr CHAR16 kAcceVarName[] = {'A', 'c', 'c', 'e', 'V', 'a', 'r', 0};
constexpr UINT32 kAcceVarSize = 4;
constexpr UINT32 kAcceVarAttributes = 7;     // non-volatile, boot-service and runtime access
constexpr UINT32 kAcceVarRequestPair = 0x1;  // set when request-word bits 0..1 are pending
constexpr UINT32 kAcceVarRequestThird = 0x6; // set when request-word bit 2 is pending

// ---------------------------------------------------------------------------
// NetworkStackVar: only byte 0 counts; a missing variable counts as 0, and
// the agent follows the controller through PCI enumeration only while it is 0.

#define NETWORK_STACK_VAR_GUID                                                                     \
  {                                                                                                \
    0xD1405D16, 0x7AFC, 0x4695, { 0xBB, 0x12, 0x41, 0x45, 0x9D, 0x36, 0x95, 0xA2 }                 \
  }

constexpr CHAR16 kNetworkStackVarName[] = {'N', 'e', 't', 'w', 'o', 'r', 'k', 'S',
                                           't', 'a', 'c', 'k', 'V', 'a', 'r', 0};
constexpr UINT32 kNetworkStackVarSize = 8; // read buffer

extern EFI_GUID gSetupVariableGuid;
extern EFI_GUID gAcceVarGuid;
extern EFI_GUID gNetworkStackVarGuid;
