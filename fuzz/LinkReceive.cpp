// NicLinkDxe's receive path: the receive step over descriptors and buffers
// the controller wrote (any contents, any ring position), each frame it hands
// out offered to the answer matching with any capacity, as Transact's poll
// loop does. Descriptors and buffers live in a static DMA area (below 4 GiB
// in this non-PIE program); the staging buffer and the caller's response
// buffer are heap blocks of their exact size, so a byte past either shows.
#include "Frames.h"
#include "Rings.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

alignas(kNicRingAlignment) uint8_t gRing[kNicRingBytes];
alignas(kNicRingAlignment) uint8_t gBuffers[kNicRingDescriptors * kNicRxBufferSize];
NIC_DEVICE_CONTEXT gCtx;
uint16_t gInterruptStatus;

EFI_STATUS RegisterAccess(VOID *, UINT8 Code, UINT8 Length, UINT64, VOID *Buffer) {
  if (Code == NicAccessIoRead || Code == NicAccessMemRead) {
    uint32_t Value = gInterruptStatus;
    std::memcpy(Buffer, &Value, Length <= 4 ? Length : 4);
  }
  return EFI_SUCCESS;
}

UINTN EFIAPI Stall(UINTN Microseconds) { return Microseconds; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::memset(&gCtx, 0, sizeof(gCtx));
  gCtx.Signature = kNicContextSignature;
  gCtx.Hooks.UniqueId = &gCtx.Adapter;
  gCtx.Hooks.RegisterAccess = RegisterAccess;
  gCtx.Hooks.Stall = Stall;
  gCtx.Adapter.RxRing = (UINT64)(uintptr_t)gRing;
  gCtx.Adapter.RxBuffers = (UINT64)(uintptr_t)gBuffers;
  gCtx.Adapter.RxIndex = (UINT16)(in.ConsumeIntegral<uint8_t>() % kNicRingDescriptors);
  gInterruptStatus = in.ConsumeIntegral<uint16_t>();
  const UINT16 capacity = in.ConsumeIntegral<uint16_t>();

  // Every descriptor the controller has not filled stays with it.
  for (uint32_t i = 0; i < kNicRingDescriptors; i++) {
    const uint32_t owned = kNicDescOwn | kNicRxBufferSize;
    std::memcpy(gRing + i * kNicDescriptorSize, &owned, 4);
  }
  // The filled ones, from the current position on: descriptor word, frame.
  uint32_t index = gCtx.Adapter.RxIndex;
  for (uint32_t filled = 0; filled < kNicRingDescriptors && in.remaining_bytes() > 0; filled++) {
    const uint32_t word0 = in.ConsumeIntegral<uint32_t>();
    std::memcpy(gRing + index * kNicDescriptorSize, &word0, 4);
    const std::vector<uint8_t> frame =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kNicRxBufferSize));
    uint8_t *buffer = gBuffers + index * kNicRxBufferSize;
    std::memset(buffer, 0, kNicRxBufferSize);
    if (!frame.empty()) {
      std::memcpy(buffer, frame.data(), frame.size());
    }
    index = (index + 1) % kNicRingDescriptors;
  }

  uint8_t *staging = static_cast<uint8_t *>(std::malloc(kMgmtReceivedFrameMax));
  uint8_t *response = static_cast<uint8_t *>(std::malloc(capacity == 0 ? 1 : capacity));
  for (uint32_t poll = 0; poll < kNicRingDescriptors + 1; poll++) {
    UINT32 received = 0xDEADBEEF;
    if (NicReceive(&gCtx, staging, &received) != NicHwOk) {
      break;
    }
    if (received > kMgmtReceivedFrameMax || gCtx.Adapter.RxIndex >= kNicRingDescriptors) {
      std::abort();
    }
    UINT16 length = capacity;
    const MGMT_ANSWER_MATCH match = MatchAnswer(staging, received, response, &length);
    if (match == MgmtAnswerDelivered && (length > capacity || length > received)) {
      std::abort(); // more delivered than fits or than arrived
    }
  }
  std::free(response);
  std::free(staging);
  return 0;
}
