// Messages that ride inside management-link frames: the command codes of the
// management controller's configuration items with their request and answer
// layouts, and the chunk header of the inventory upload. The agent, the
// inventory reporter and the controller model all speak these.
#pragma once

#include <Uefi/UefiBaseType.h>

// ---------------------------------------------------------------------------
// Configuration items
//
// A command code is 32 bits: item group in bits 31..24, item number in bits
// 23..16 (bit 0x20 of the item byte marks a write), low 16 bits zero. It is
// sent little-endian at the start of a request.

constexpr UINT8 kMgmtItemWriteBit = 0x20;

constexpr UINT32 MgmtReadCode(UINT8 Group, UINT8 Item) {
  return ((UINT32)Group << 24) | ((UINT32)(Item & (UINT8)~kMgmtItemWriteBit) << 16);
}
constexpr UINT32 MgmtWriteCode(UINT8 Group, UINT8 Item) {
  return ((UINT32)Group << 24) | ((UINT32)(Item | kMgmtItemWriteBit) << 16);
}
constexpr UINT8 MgmtCodeGroup(UINT32 Code) { return (UINT8)(Code >> 24); }
constexpr UINT8 MgmtCodeItem(UINT32 Code) { return (UINT8)(Code >> 16); }
constexpr BOOLEAN MgmtCodeIsWrite(UINT32 Code) {
  return (MgmtCodeItem(Code) & kMgmtItemWriteBit) != 0 ? TRUE : FALSE;
}
// The write code of the item a read code names, and the other way round.
constexpr UINT32 MgmtCodeAsWrite(UINT32 Code) {
  return MgmtWriteCode(MgmtCodeGroup(Code), MgmtCodeItem(Code));
}
constexpr UINT32 MgmtCodeAsRead(UINT32 Code) {
  return MgmtReadCode(MgmtCodeGroup(Code), MgmtCodeItem(Code));
}

constexpr UINT8 kMgmtGroupNetwork = 0x01; // address ranges, range option, text item
constexpr UINT8 kMgmtGroupDisplay = 0x02; // display mode, display-enable pair, request word

// Items the agent exchanges. Data widths are in bytes.
// Display mode, 1 byte: bit 7 = the controller holds a value, bits 6..0 = mode.
constexpr UINT32 kMgmtReadDisplayMode = MgmtReadCode(kMgmtGroupDisplay, 0x03);   // 0x02030000
constexpr UINT32 kMgmtWriteDisplayMode = MgmtWriteCode(kMgmtGroupDisplay, 0x03); // 0x02230000
// Display-enable pair: read up to 4 bytes (byte 2 is compared); write 2 bytes.
constexpr UINT32 kMgmtReadDisplayEnable = MgmtReadCode(kMgmtGroupDisplay, 0x00);   // 0x02000000
constexpr UINT32 kMgmtWriteDisplayEnable = MgmtWriteCode(kMgmtGroupDisplay, 0x00); // 0x02200000
// Request word, 32-bit little-endian; writing it back acknowledges requests.
constexpr UINT32 kMgmtReadRequestWord = MgmtReadCode(kMgmtGroupDisplay, 0x04);   // 0x02040000
constexpr UINT32 kMgmtWriteRequestWord = MgmtWriteCode(kMgmtGroupDisplay, 0x04); // 0x02240000
// Range option byte, 1 byte.
constexpr UINT32 kMgmtReadRangeOption = MgmtReadCode(kMgmtGroupNetwork, 0x07);   // 0x01070000
constexpr UINT32 kMgmtWriteRangeOption = MgmtWriteCode(kMgmtGroupNetwork, 0x07); // 0x01270000
// Address range: read takes a 1-byte index and answers 8 bytes; write 9 bytes.
constexpr UINT32 kMgmtReadRange = MgmtReadCode(kMgmtGroupNetwork, 0x08);   // 0x01080000
constexpr UINT32 kMgmtWriteRange = MgmtWriteCode(kMgmtGroupNetwork, 0x08); // 0x01280000
// Text item: write only, 32 bytes of zero-padded 8-bit text.
constexpr UINT32 kMgmtWriteTextItem = MgmtWriteCode(kMgmtGroupNetwork, 0x09); // 0x01290000

static_assert(kMgmtReadDisplayMode == 0x02030000 && kMgmtWriteDisplayMode == 0x02230000);
static_assert(kMgmtReadDisplayEnable == 0x02000000 && kMgmtWriteDisplayEnable == 0x02200000);
static_assert(kMgmtReadRequestWord == 0x02040000 && kMgmtWriteRequestWord == 0x02240000);
static_assert(kMgmtReadRangeOption == 0x01070000 && kMgmtWriteRangeOption == 0x01270000);
static_assert(kMgmtReadRange == 0x01080000 && kMgmtWriteRange == 0x01280000);
static_assert(kMgmtWriteTextItem == 0x01290000);

// Request message: the code, then the write data or the read parameter.
constexpr UINT32 kMgmtCommandCodeSize = 4;
constexpr UINT32 kMgmtRequestBufferSize = 1024;
constexpr UINT32 kMgmtMaxWriteData = kMgmtRequestBufferSize - kMgmtCommandCodeSize; // 1020

// Answer message: a 16-bit little-endian status word, then the item's data.
constexpr UINT32 kMgmtAnswerBufferSize = 1024;
constexpr UINT32 kMgmtAnswerStatusOffset = 0;
constexpr UINT32 kMgmtAnswerStatusSize = 2;
constexpr UINT32 kMgmtAnswerDataOffset = 2;
constexpr UINT16 kMgmtAnswerAccepted = 0x0000; // any other status word is a refusal

// Receive polls per transaction when Setup gives none (about half a second).
constexpr UINT32 kMgmtDefaultPollCount = 500;
// Calls of the link's Transact made by the retry wrapper before it gives up.
constexpr UINT32 kMgmtTransactAttempts = 5;

// Display mode item.
constexpr UINT8 kMgmtDisplayModeHeld = 0x80; // the controller holds a value
constexpr UINT8 kMgmtDisplayModeMask = 0x7F;
constexpr UINT8 kMgmtDisplayModeMax = 3;            // larger values are clamped to this
constexpr UINT8 kMgmtDisplayModeControllerOnly = 2; // only the controller's display stays
constexpr UINT8 kMgmtDisplayModeLeaveAlone = 3;     // the agent leaves the displays alone
// Display-enable pair: the byte of the controller's copy compared with the pair's first.
constexpr UINT32 kMgmtDisplayEnableReadSize = 4;
constexpr UINT32 kMgmtDisplayEnableCompareIndex = 2;
constexpr UINT32 kMgmtDisplayEnableWriteSize = 2;

// Request word: bits 0..2 are one-shot requests of the controller.
constexpr UINT32 kMgmtRequestWordPending = 0x7;
constexpr UINT32 kMgmtRequestWordFirstPair = 0x3; // sets AcceVar bit 0
constexpr UINT32 kMgmtRequestWordThird = 0x4;     // sets AcceVar bits 1 and 2

// Address ranges: index 0..7; an IPv4 address is 4 bytes in dotted order.
constexpr UINT32 kMgmtRangeCount = 8;
constexpr UINT32 kMgmtRangeReadParamSize = 1;
constexpr UINT32 kMgmtRangeAnswerSize = 8; // first address, then last address
constexpr UINT32 kMgmtRangeRecordSize = 9; // index, first address, last address
constexpr UINT32 kMgmtTextItemRecordSize = 32;

// ---------------------------------------------------------------------------
// Inventory upload
//
// A printed document, with its terminating zero, is cut into slices of at
// most 799 bytes; each chunk is a 5-byte header followed by one slice (and a
// zero byte after a full slice).

typedef struct {
  UINT8 MessageId;     // which document
  UINT8 HeaderSize[2]; // the number 5, little-endian, in every chunk
  UINT8 Sequence;      // slice number, from 1
  UINT8 Count;         // number of slices of the document
} INVENTORY_CHUNK_HEADER;

static_assert(sizeof(INVENTORY_CHUNK_HEADER) == 5);
static_assert(OFFSET_OF(INVENTORY_CHUNK_HEADER, HeaderSize) == 1);
static_assert(OFFSET_OF(INVENTORY_CHUNK_HEADER, Sequence) == 3);
static_assert(OFFSET_OF(INVENTORY_CHUNK_HEADER, Count) == 4);

constexpr UINT32 kInventoryChunkHeaderSize = 5;
constexpr UINT32 kInventoryChunkSliceMax = 799;
constexpr UINT32 kInventoryChunkBufferSize = 1024;
constexpr UINT32 kInventoryChunkMaxLength = kInventoryChunkHeaderSize + kInventoryChunkSliceMax + 1;
static_assert(kInventoryChunkMaxLength == 805);

constexpr UINT8 kInventoryMessageInventory = 2;
constexpr UINT8 kInventoryMessageUuid = 3;
constexpr UINT8 kInventoryMessagePath = 4;
constexpr UINT8 kInventoryMessageModel = 5;
