// MgmtDevicePei's copy of the PCI device list into MGMT_DEVICE_HOB at the
// end of PEI, over any record count and any records (record addresses are
// 32-bit, so the records sit in a static pool below 4 GiB; a zero address
// ends the list). The HOB must count only what it holds (at most its 32
// entries), hold the records in list order, and nothing is written outside
// the HOB the PEI services created.
#include "MgmtDevicePei.h"

#include <Guid/MgmtDeviceHob.h>
#include <Pi/PiHob.h>
#include <Pi/PiPeiCis.h>
#include <Ppi/PciDeviceList.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPoolRecords = 48;
PCI_DEVICE_LIST_RECORD gRecords[kPoolRecords];
PCI_DEVICE_LIST_PPI *gList;
void *gHob;
UINT16 gHobLength;

EFI_STATUS EFIAPI Refresh(PCI_DEVICE_LIST_PPI *) { return EFI_SUCCESS; }

EFI_STATUS EFIAPI LocatePpi(CONST EFI_PEI_SERVICES **, CONST EFI_GUID *Guid, UINTN Instance,
                            EFI_PEI_PPI_DESCRIPTOR **, VOID **Ppi) {
  if (Instance != 0 || std::memcmp(Guid, &gPciDeviceListPpiGuid, sizeof(EFI_GUID)) != 0) {
    return EFI_NOT_FOUND;
  }
  *Ppi = gList;
  return EFI_SUCCESS;
}

// The PI rule for CreateHob: Length is the whole HOB, header included; the
// generic header is filled in, the rest is the caller's.
EFI_STATUS EFIAPI CreateHob(CONST EFI_PEI_SERVICES **, UINT16 Type, UINT16 Length, VOID **Hob) {
  if (gHob != nullptr || Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
    std::abort(); // one HOB, of a sensible length
  }
  gHob = std::calloc(1, Length);
  gHobLength = Length;
  auto *header = static_cast<EFI_HOB_GENERIC_HEADER *>(gHob);
  header->HobType = Type;
  header->HobLength = Length;
  *Hob = gHob;
  return EFI_SUCCESS;
}

VOID EFIAPI CopyMem(VOID *Destination, VOID *Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}

VOID EFIAPI SetMem(VOID *Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const UINT32 count = in.ConsumeBool() ? in.ConsumeIntegralInRange<UINT32>(0, 40)
                                        : in.ConsumeIntegral<UINT32>();
  // The list carries as many addresses as the module may read (it stops at
  // its 32 entries), in a block of exactly that size.
  const size_t addresses = count < kMgmtDeviceHobMaxEntries + 1 ? count : kMgmtDeviceHobMaxEntries + 1;
  const size_t listSize = kPciDeviceListRecordsOffset + 4 * addresses;
  auto *block = static_cast<uint8_t *>(std::calloc(1, listSize));
  gList = reinterpret_cast<PCI_DEVICE_LIST_PPI *>(block);
  gList->Refresh = Refresh;
  gList->RecordCount = count;
  std::vector<const PCI_DEVICE_LIST_RECORD *> listed;
  for (size_t i = 0; i < addresses; i++) {
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    const PCI_DEVICE_LIST_RECORD *record = pick == 0 ? nullptr : &gRecords[pick % kPoolRecords];
    const UINT32 address = (UINT32)(uintptr_t)record;
    std::memcpy(block + kPciDeviceListRecordsOffset + 4 * i, &address, 4);
    listed.push_back(record);
  }
  for (PCI_DEVICE_LIST_RECORD &record : gRecords) {
    const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof(record));
    std::memset(&record, 0, sizeof(record));
    if (!bytes.empty()) {
      std::memcpy(&record, bytes.data(), bytes.size());
    }
  }

  EFI_PEI_SERVICES services{};
  services.LocatePpi = LocatePpi;
  services.CreateHob = CreateHob;
  services.CopyMem = CopyMem;
  services.SetMem = SetMem;
  EFI_PEI_SERVICES *servicesPointer = &services;
  gHob = nullptr;
  const EFI_STATUS status = MgmtDeviceEndOfPei(&servicesPointer, nullptr, nullptr);
  if (status == EFI_SUCCESS) {
    if (gHob == nullptr || gHobLength != sizeof(MGMT_DEVICE_HOB)) {
      std::abort();
    }
    const auto *hob = static_cast<const MGMT_DEVICE_HOB *>(gHob);
    const MGMT_DEVICE_HOB_DATA &d = hob->Data;
    if (d.EntryCount > kMgmtDeviceHobMaxEntries || d.EntryCount > count) {
      std::abort();
    }
    for (size_t i = 0; i < d.EntryCount; i++) {
      const PCI_DEVICE_LIST_RECORD *r = listed[i];
      const MGMT_DEVICE_HOB_ENTRY &e = d.Entries[i];
      if (r == nullptr || e.Kind != r->Kind || e.Bus != r->Bus || e.Device != r->Device ||
          e.Function != r->Function || e.Base != r->Base || e.Length != r->Length ||
          e.BarOffset != r->BarOffset || e.BarType != r->BarType) {
        std::abort();
      }
    }
    // The count stops only at the list's end, a null record or the HOB's size.
    if (d.EntryCount < count && d.EntryCount < kMgmtDeviceHobMaxEntries &&
        listed[d.EntryCount] != nullptr) {
      std::abort();
    }
  }
  std::free(gHob);
  std::free(block);
  return 0;
}
