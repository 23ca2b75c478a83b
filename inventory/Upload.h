// The chunked upload of one printed document over MGMT_LINK_PROTOCOL: the
// text with its terminating zero cut into slices of at most 799 bytes, each
// sent as one notice behind an INVENTORY_CHUNK_HEADER, between Open(1) and
// Open(0). One-way: the caller learns nothing of the outcome.
#pragma once

#include <MgmtLink/Commands.h>
#include <Uefi/UefiBaseType.h>

namespace Inventory {

// Sequence number and slice count are single bytes and the slice loop counts
// in 8 bits, so at most 254 slices can be numbered and counted without the
// counter wrapping: a text of up to 202,944 characters. Longer texts are
// refused (not sent) rather than sent with a wrong slice count.
constexpr UINTN kUploadMaxSlices = 254;
constexpr UINTN kUploadMaxTextLength = kUploadMaxSlices * kInventoryChunkSliceMax - 2;
static_assert(kUploadMaxTextLength == 202944);

VOID UploadDocument(IN CONST CHAR8 *Text, IN UINT8 MessageId);

} // namespace Inventory
