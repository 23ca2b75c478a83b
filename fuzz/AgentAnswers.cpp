// MgmtAgentDxe's handling of the controller's answers: every exchange that
// reads an item (display mode and enable, request word, ranges, range
// option) and every write's acknowledgement, over a link that answers with
// any bytes, any stated length and any status, and sometimes breaks its own
// contract by claiming more than the capacity it was given. Setup, AcceVar
// and the live Setup buffer start from the input too. Afterwards Setup keeps
// its size, AcceVar keeps its size, and nothing was written past a buffer.
#include "AgentInternal.h"
#include "FuzzSupport.h"

#include <Guid/SetupVariable.h>
#include <MgmtLink/Frames.h>
#include <Protocol/SetupBuffer.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

FuzzedDataProvider *gIn;
std::vector<uint8_t> gLive;

EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *, UINT8, UINT32) {
  return gIn->ConsumeBool() ? EFI_SUCCESS : EFI_ALREADY_STARTED;
}

EFI_STATUS EFIAPI Transact(MGMT_LINK_PROTOCOL *, CONST VOID *Request, UINT16 RequestLength,
                           UINT32, VOID *Response, UINT16 *ResponseLength) {
  if (Request == nullptr || RequestLength < 4 || Response == nullptr ||
      ResponseLength == nullptr) {
    std::abort(); // the agent never sends a request without its code
  }
  switch (gIn->ConsumeIntegralInRange<int>(0, 7)) {
  case 0:
    return EFI_DEVICE_ERROR; // no answer within the polls
  case 1:
    *ResponseLength = gIn->ConsumeIntegral<UINT16>();
    return EFI_BUFFER_TOO_SMALL;
  default:
    break;
  }
  const bool honest = gIn->ConsumeIntegralInRange<int>(0, 7) != 0;
  std::vector<uint8_t> answer =
      gIn->ConsumeBytes<uint8_t>(gIn->ConsumeIntegralInRange<size_t>(0, kMgmtAnswerMax));
  const UINT16 capacity = *ResponseLength;
  if (honest && answer.size() > capacity) {
    *ResponseLength = (UINT16)answer.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  const size_t copied = answer.size() < capacity ? answer.size() : capacity;
  if (copied != 0) {
    std::memcpy(Response, answer.data(), copied);
  }
  *ResponseLength = honest ? (UINT16)answer.size() : gIn->ConsumeIntegral<UINT16>();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetBuffer(CONST CHAR16 *, CONST EFI_GUID *, VOID **Buffer, UINTN *Size) {
  *Buffer = gLive.data();
  *Size = gLive.size();
  return EFI_SUCCESS;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  gIn = &in;
  fuzz::Services services;
  mSystemTable = &services.system;
  mBootServices = &services.boot;
  mRuntimeServices = &services.runtime;
  MGMT_LINK_PROTOCOL link{};
  link.Open = Open;
  link.Transact = Transact;
  SETUP_BUFFER_PROTOCOL setupBuffer{};
  setupBuffer.GetBuffer = GetBuffer;
  services.protocols.push_back({&gMgmtLinkProtocolGuid, &link});
  services.protocols.push_back({&gSetupBufferProtocolGuid, &setupBuffer});

  // Setup mostly of its proper size, a poll count among its bytes.
  std::vector<uint8_t> setup(in.ConsumeBool() ? kSetupVariableSize
                                              : in.ConsumeIntegralInRange<size_t>(1, 4096));
  for (size_t i = 0; i < 64 && i < setup.size(); i++) {
    setup[(i * 41) % setup.size()] = in.ConsumeIntegral<uint8_t>();
  }
  services.Set(kSetupVariableName, gSetupVariableGuid, 7, setup);
  if (in.ConsumeBool()) {
    services.Set(kAcceVarName, gAcceVarGuid, kAcceVarAttributes,
                 in.ConsumeBytes<uint8_t>(in.ConsumeBool() ? kAcceVarSize : 8));
  }
  const size_t acceVarSize = services.Find(kAcceVarName, gAcceVarGuid) != nullptr
                                 ? services.Find(kAcceVarName, gAcceVarGuid)->data.size()
                                 : kAcceVarSize;
  gLive = std::vector<uint8_t>(kSetupVariableSize);
  const std::vector<uint8_t> text = in.ConsumeBytes<uint8_t>(kSetupMgmtTextItemSize);
  std::copy(text.begin(), text.end(), gLive.begin() + SetupOffset::MgmtTextItem);

  SyncRequestWord(&link);
  PullRanges(nullptr, nullptr);
  PushRanges(nullptr, nullptr);
  PushTextItem(nullptr, nullptr);
  std::jmp_buf reset;
  if (setjmp(reset) == 0) {
    fuzz::gResetPoint = &reset;
    (void)SyncDisplayMode(&link);
  }
  fuzz::gResetPoint = nullptr;

  const fuzz::Variable *after = services.Find(kSetupVariableName, gSetupVariableGuid);
  if (after == nullptr || after->data.size() != setup.size()) {
    std::abort(); // Setup lost or resized
  }
  const fuzz::Variable *acceVar = services.Find(kAcceVarName, gAcceVarGuid);
  if (acceVar != nullptr && acceVar->data.size() != acceVarSize) {
    std::abort(); // AcceVar resized
  }
  if (gLive.size() != kSetupVariableSize) {
    std::abort();
  }
  gIn = nullptr;
  return 0;
}
