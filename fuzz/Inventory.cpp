// InventoryDxe's ready-to-boot report over any SMBIOS table image: the
// image is read by the simulator's own parser (as mgmt-sim reads --smbios),
// its structures are served the way the simulator's SMBIOS stand-in serves
// them (a pool copy per call), the processor ratio MSR holds any value, and
// the link sometimes refuses. Whatever the structures hold, the notices the
// report sends must reassemble, by the controller's own reassembly, into
// documents without a single problem, and every pool block is given back.
#include "Driver.h"
#include "FuzzSupport.h"
#include "Report.h"

#include <MgmtLink/Frames.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/SmbiosRead.h>

#include "Documents.h"
#include "SmbiosTable.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

const sim::smbios::Table *gTable;
FuzzedDataProvider *gIn;
std::vector<std::vector<uint8_t>> gPayloads;
bool gOpen;

EFI_STATUS EFIAPI ReadStructure(UINT8 Type, UINT8 Instance, VOID **Structure, UINT64 *Reserved) {
  const sim::smbios::Structure *found = nullptr;
  if (Structure == nullptr || Instance == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((found = gTable->Find(Type, Instance)) == nullptr) {
    return EFI_NOT_FOUND;
  }
  *Structure = std::malloc(found->bytes.size());
  std::memcpy(*Structure, found->bytes.data(), found->bytes.size());
  if (Reserved != nullptr) {
    *Reserved = found->handle;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *, UINT8 Enable, UINT32) {
  if (Enable != 0 && gIn->ConsumeIntegralInRange<int>(0, 15) == 0) {
    return EFI_DEVICE_ERROR;
  }
  gOpen = Enable != 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Send(MGMT_LINK_PROTOCOL *, CONST VOID *Buffer, UINT16 Length) {
  if (!gOpen || Buffer == nullptr || Length > kMgmtNoticeMaxPayload) {
    std::abort();
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(Buffer);
  gPayloads.emplace_back(bytes, bytes + Length);
  return EFI_SUCCESS;
}

VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  gIn = &in;
  fuzz::gMsrValue = in.ConsumeIntegral<uint64_t>();
  const std::vector<uint8_t> image = in.ConsumeRemainingBytes<uint8_t>();
  sim::smbios::ParseResult parsed = sim::smbios::ParseSmbiosImage(image);
  if (!parsed) {
    if (parsed.error.empty()) {
      std::abort(); // a refusal names its fault
    }
    return 0;
  }
  gTable = &*parsed.table;

  fuzz::Services services;
  services.boot.SetMem = SetMem;
  SMBIOS_READ_PROTOCOL smbios{};
  smbios.ReadStructure = ReadStructure;
  MGMT_LINK_PROTOCOL link{};
  link.Open = Open;
  link.Send = Send;
  services.protocols.push_back({&gMgmtLinkProtocolGuid, &link});
  Inventory::mSystemTable = &services.system;
  Inventory::mBootServices = &services.boot;
  Inventory::mRuntimeServices = &services.runtime;
  Inventory::mSmbiosRead = &smbios;
  gPayloads.clear();
  gOpen = false;

  Inventory::OnReadyToBoot(nullptr, nullptr);
  if (gOpen) {
    std::abort(); // the link is left closed
  }

  std::vector<sim::documents::NoticeView> notices;
  for (const std::vector<uint8_t> &payload : gPayloads) {
    notices.push_back({0, kMgmtLinkTag, &payload});
  }
  const sim::documents::Reassembly documents = sim::documents::Reassemble(notices);
  // A document cut short by a refused Open or Send is the one problem allowed.
  for (const sim::documents::Problem &problem : documents.problems) {
    if (problem.kind != sim::documents::Problem::Kind::Incomplete) {
      std::abort();
    }
  }
  gIn = nullptr;
  return 0;
}
