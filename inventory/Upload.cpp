// UploadDocument (see Upload.h). A chunk is built in a zeroed 1024-byte
// buffer: header, slice, and after a full 799-byte slice one zero byte of its
// own, so the bytes after the header always end with a zero (except for an
// empty last slice, a bare header). A chunk that fails to send abandons the
// document, but the link is still closed, so the next document can open it.
#include "Upload.h"

#include <Protocol/MgmtLink.h>
#include <MgmtLink/Frames.h>

#include "Driver.h"

namespace Inventory {

namespace {

// Characters of Text, counting no further than Limit + 1.
UINTN BoundedLength(CONST CHAR8 *Text, UINTN Limit) {
  UINTN Length = 0;
  while (Length <= Limit && Text[Length] != '\0') {
    Length++;
  }
  return Length;
}

} // namespace

VOID UploadDocument(IN CONST CHAR8 *Text, IN UINT8 MessageId) {
  if (mBootServices == NULL || Text == NULL) {
    return;
  }
  MGMT_LINK_PROTOCOL *Link = NULL;
  if (EFI_ERROR(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, NULL, (VOID **)&Link)) ||
      Link == NULL) {
    return;
  }

  UINTN Length = BoundedLength(Text, kUploadMaxTextLength);
  if (Length > kUploadMaxTextLength) {
    return;
  }
  UINTN Total = Length + 1; // the terminator travels too
  UINT8 Count = (UINT8)(Total / kInventoryChunkSliceMax + 1);

  INVENTORY_CHUNK_HEADER Header;
  Header.MessageId = MessageId;
  Header.HeaderSize[0] = (UINT8)kInventoryChunkHeaderSize;
  Header.HeaderSize[1] = 0;
  Header.Sequence = 0;
  Header.Count = Count;

  if (EFI_ERROR(Link->Open(Link, 1, kMgmtLinkTag))) {
    return;
  }

  UINT8 Chunk[kInventoryChunkBufferSize];
  mBootServices->SetMem(Chunk, sizeof(Chunk), 0);
  for (UINT8 Sequence = 1; Sequence <= Count; Sequence++) {
    UINTN Offset = (UINTN)(Sequence - 1) * kInventoryChunkSliceMax;
    UINTN Slice = Total - Offset;
    BOOLEAN Full = FALSE;
    if (Slice >= kInventoryChunkSliceMax) {
      Slice = kInventoryChunkSliceMax;
      Full = TRUE;
    }

    Header.Sequence = Sequence;
    CONST UINT8 *HeaderBytes = (CONST UINT8 *)&Header;
    for (UINTN Index = 0; Index < kInventoryChunkHeaderSize; Index++) {
      Chunk[Index] = HeaderBytes[Index];
    }
    for (UINTN Index = 0; Index < Slice; Index++) {
      Chunk[kInventoryChunkHeaderSize + Index] = (UINT8)Text[Offset + Index];
    }
    // A full slice is followed by the zero byte already in the buffer.
    UINT16 ChunkLength = (UINT16)(kInventoryChunkHeaderSize + Slice + (Full ? 1 : 0));

    if (EFI_ERROR(Link->Send(Link, Chunk, ChunkLength))) {
      // The rest of this document is dropped, but the link is closed so the
      // next document gets its own Open.
      (VOID) Link->Open(Link, 0, kMgmtLinkTag);
      return;
    }
    mBootServices->SetMem(Chunk, sizeof(Chunk), 0);
  }

  (VOID) Link->Open(Link, 0, kMgmtLinkTag); // nothing to do if closing fails
}

} // namespace Inventory
