// PEI services over guest memory. The PPI database keeps firmware's own
// descriptors (PI semantics: the caller's descriptor is what is installed);
// callback notifications run inside InstallPpi for each newly installed
// match, and inside NotifyPpi at once for each match already installed.
// Dispatch notifications run after the module that caused them returns;
// none run at the end of PEI, when dispatching is over.
#include "Pei.h"

#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"
#include "sim/uefi/GuidText.h"
#include "sim/uefi/ServiceCommon.h"
#include "sim/uefi/Trap.h"
#include "sim/uefi/VariableStore.h"

#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

Pei *gCurrent = nullptr;

constexpr uint64_t kPage = GuestMemory::kPageSize;
constexpr uint64_t kInternalPages = 4;
constexpr uint64_t kPeiMemoryLimit = 0xFFFFFFFF;
constexpr uint16_t kPmTimerPort = 0x1808;
constexpr uint64_t kPmTimerHz = 3579545;
constexpr uint32_t kPmTimerMask = 0xFFFFFF;
// IDT of 256 x64 gate descriptors; PEI code only reads its base.
constexpr uint64_t kIdtBytes = 256 * 16;

constexpr EFI_GUID kReadOnlyVariable2Guid = EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID;
constexpr EFI_GUID kStallGuid = EFI_PEI_STALL_PPI_GUID;
constexpr EFI_GUID kEndOfPeiGuid = EFI_PEI_END_OF_PEI_PHASE_PPI_GUID;

Pei &Self() {
  Pei *pei = Pei::Current();
  if (pei == nullptr) {
    std::fprintf(stderr, "mgmt-sim: a PEI service was called with no PEI phase alive\n");
    std::abort();
  }
  return *pei;
}

EFI_STATUS EFIAPI InstallPpiEntry(const EFI_PEI_SERVICES **, const EFI_PEI_PPI_DESCRIPTOR *list) {
  return Self().InstallPpi(list);
}
EFI_STATUS EFIAPI ReInstallPpiEntry(const EFI_PEI_SERVICES **, const EFI_PEI_PPI_DESCRIPTOR *oldPpi,
                                    const EFI_PEI_PPI_DESCRIPTOR *newPpi) {
  return Self().ReInstallPpi(oldPpi, newPpi);
}
EFI_STATUS EFIAPI LocatePpiEntry(const EFI_PEI_SERVICES **, const EFI_GUID *guid, UINTN instance,
                                 EFI_PEI_PPI_DESCRIPTOR **descriptor, VOID **ppi) {
  return Self().LocatePpi(guid, instance, descriptor, ppi);
}
EFI_STATUS EFIAPI NotifyPpiEntry(const EFI_PEI_SERVICES **, const EFI_PEI_NOTIFY_DESCRIPTOR *list) {
  return Self().NotifyPpi(list);
}
EFI_STATUS EFIAPI GetBootModeEntry(const EFI_PEI_SERVICES **, EFI_BOOT_MODE *bootMode) {
  return Self().GetBootMode(bootMode);
}
EFI_STATUS EFIAPI SetBootModeEntry(const EFI_PEI_SERVICES **, EFI_BOOT_MODE bootMode) {
  return Self().SetBootMode(bootMode);
}
EFI_STATUS EFIAPI GetHobListEntry(const EFI_PEI_SERVICES **, VOID **hobList) {
  return Self().GetHobList(hobList);
}
EFI_STATUS EFIAPI CreateHobEntry(const EFI_PEI_SERVICES **, UINT16 type, UINT16 length,
                                 VOID **hob) {
  return Self().CreateHob(type, length, hob);
}
EFI_STATUS EFIAPI AllocatePagesEntry(const EFI_PEI_SERVICES **, EFI_MEMORY_TYPE memoryType,
                                     UINTN pages, EFI_PHYSICAL_ADDRESS *memory) {
  return Self().AllocatePages(memoryType, pages, memory);
}
EFI_STATUS EFIAPI AllocatePoolEntry(const EFI_PEI_SERVICES **, UINTN size, VOID **buffer) {
  return Self().AllocatePool(size, buffer);
}
EFI_STATUS EFIAPI ResetSystemEntry(const EFI_PEI_SERVICES **) {
  Self().ResetSystem(EfiResetCold, "PeiServices.ResetSystem");
}
VOID EFIAPI ResetSystem2Entry(EFI_RESET_TYPE type, EFI_STATUS, UINTN, VOID *) {
  Self().ResetSystem(type, "PeiServices.ResetSystem2");
}
// Modules here already run from memory, which is what this answer means.
EFI_STATUS EFIAPI RegisterForShadowEntry(EFI_PEI_FILE_HANDLE) { return EFI_ALREADY_STARTED; }

EFI_STATUS EFIAPI GetVariableEntry(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *, const CHAR16 *name,
                                   const EFI_GUID *guid, UINT32 *attributes, UINTN *dataSize,
                                   VOID *data) {
  return Self().variables().Get(name, guid, attributes, dataSize, data);
}
EFI_STATUS EFIAPI NextVariableNameEntry(const EFI_PEI_READ_ONLY_VARIABLE2_PPI *, UINTN *nameSize,
                                        CHAR16 *name, EFI_GUID *guid) {
  return Self().variables().GetNextName(nameSize, name, guid);
}
EFI_STATUS EFIAPI StallEntry(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *,
                             UINTN microseconds) {
  return Self().Stall(microseconds);
}

// Descriptors in a firmware-supplied list up to and including the one that
// carries TERMINATE_LIST; 0 when a descriptor is refused by `valid` or the
// list does not end within kMaxDescriptorsPerList.
template <typename Descriptor, typename Valid>
size_t ListLength(const Descriptor *list, Valid valid) {
  for (size_t count = 0; count < Pei::kMaxDescriptorsPerList; count++) {
    if (!valid(list[count])) {
      return 0;
    }
    if ((list[count].Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0) {
      return count + 1;
    }
  }
  return 0;
}

} // namespace

Pei::Pei(Machine &machine, VariableStore &variables, EFI_BOOT_MODE bootMode, uint64_t memoryBytes)
    : machine_(machine), variables_(variables), previous_(gCurrent),
      internal_(machine.memory(), EfiBootServicesData, kInternalPages, kPeiMemoryLimit) {
  gCurrent = this;
  memoryPages_ = std::max<uint64_t>(1, (memoryBytes + kPage - 1) / kPage);
  // PEI memory lies below 4 GiB, where 32-bit PEI code reaches it; it is
  // filled piece by piece as the services hand it out.
  memoryBottom_ = kPeiMemoryLimit;
  if (!machine_.memory().AllocatePages(GuestMemory::AllocKind::MaxAddress, EfiBootServicesData,
                                       memoryPages_, memoryBottom_, GuestMemory::Fill::None)) {
    Fault("guest memory is exhausted: no room for PEI memory");
  }
  const uint64_t top = memoryBottom_ + memoryPages_ * kPage;
  auto &phit = Phit();
  std::memset(&phit, 0, sizeof phit);
  phit.Header = EFI_HOB_GENERIC_HEADER{EFI_HOB_TYPE_HANDOFF, sizeof phit, 0};
  phit.Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  phit.BootMode = bootMode;
  phit.EfiMemoryTop = top;
  phit.EfiMemoryBottom = memoryBottom_;
  phit.EfiFreeMemoryTop = top;
  phit.EfiEndOfHobList = memoryBottom_ + sizeof phit;
  auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(phit.EfiEndOfHobList);
  *end = EFI_HOB_GENERIC_HEADER{EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof *end, 0};
  phit.EfiFreeMemoryBottom = phit.EfiEndOfHobList + sizeof *end;
  BuildTables();
}

Pei::~Pei() {
  // Guest memory stays as it is: the HOB list lives on into DXE.
  if (machine_.IdtrBase() == reinterpret_cast<uint64_t>(idtSlot_) + sizeof(UINTN)) {
    machine_.SetIdtr(0, 0);
  }
  if (gCurrent == this) {
    gCurrent = previous_;
  }
}

Pei *Pei::Current() { return gCurrent; }

void Pei::MakeCurrent() { gCurrent = this; }

void *Pei::InternalAlloc(size_t bytes) {
  return TakeRecord(machine_, internal_, bytes, "the PEI services");
}

void Pei::BuildTables() {
  services_ = static_cast<EFI_PEI_SERVICES *>(InternalAlloc(sizeof(EFI_PEI_SERVICES)));
  EFI_PEI_SERVICES &ps = *services_;
  ps.Hdr = EFI_TABLE_HEADER{PEI_SERVICES_SIGNATURE, PEI_SERVICES_REVISION, sizeof(EFI_PEI_SERVICES),
                            0, 0};
  ps.InstallPpi = InstallPpiEntry;
  ps.ReInstallPpi = ReInstallPpiEntry;
  ps.LocatePpi = LocatePpiEntry;
  ps.NotifyPpi = NotifyPpiEntry;
  ps.GetBootMode = GetBootModeEntry;
  ps.SetBootMode = SetBootModeEntry;
  ps.GetHobList = GetHobListEntry;
  ps.CreateHob = CreateHobEntry;
  SIM_TRAP_SLOT(ps, "PeiServices", FfsFindNextVolume);
  SIM_TRAP_SLOT(ps, "PeiServices", FfsFindNextFile);
  SIM_TRAP_SLOT(ps, "PeiServices", FfsFindSectionData);
  SIM_TRAP_SLOT(ps, "PeiServices", InstallPeiMemory);
  ps.AllocatePages = AllocatePagesEntry;
  ps.AllocatePool = AllocatePoolEntry;
  ps.CopyMem = CopyMemService;
  ps.SetMem = SetMemService;
  SIM_TRAP_SLOT(ps, "PeiServices", ReportStatusCode);
  ps.ResetSystem = ResetSystemEntry;
  // CpuIo and PciCfg stay NULL: their PPI layouts are not defined here, and
  // modules reach hardware through Hw.h.
  SIM_TRAP_SLOT(ps, "PeiServices", FfsFindFileByName);
  SIM_TRAP_SLOT(ps, "PeiServices", FfsGetFileInfo);
  SIM_TRAP_SLOT(ps, "PeiServices", FfsGetVolumeInfo);
  ps.RegisterForShadow = RegisterForShadowEntry;
  SIM_TRAP_SLOT(ps, "PeiServices", FindSectionData3);
  SIM_TRAP_SLOT(ps, "PeiServices", FfsGetFileInfo2);
  ps.ResetSystem2 = ResetSystem2Entry;
  SIM_TRAP_SLOT(ps, "PeiServices", FreePages);

  // PI "PEI Services Table Retrieval" (x86): the UINTN just below the IDT
  // holds the EFI_PEI_SERVICES ** that PEIMs receive. As in the reference
  // core, that is the address of a cell in the foundation's own data which
  // holds the table's address, so a lookup dereferences the slot once.
  servicesPointer_ =
      static_cast<const EFI_PEI_SERVICES **>(InternalAlloc(sizeof(EFI_PEI_SERVICES *)));
  *servicesPointer_ = services_;
  auto *block = static_cast<uint8_t *>(InternalAlloc(sizeof(UINTN) + kIdtBytes + 16));
  auto *idt = reinterpret_cast<uint8_t *>(
      (reinterpret_cast<uint64_t>(block) + sizeof(UINTN) + 15) / 16 * 16);
  idtSlot_ = reinterpret_cast<UINTN *>(idt - sizeof(UINTN));
  *idtSlot_ = reinterpret_cast<UINTN>(servicesPointer_);
  machine_.SetIdtr(reinterpret_cast<uint64_t>(idt), static_cast<uint16_t>(kIdtBytes - 1));

  // The platform PPIs every module may locate.
  auto *guids = static_cast<EFI_GUID *>(InternalAlloc(2 * sizeof(EFI_GUID)));
  guids[0] = kReadOnlyVariable2Guid;
  guids[1] = kStallGuid;
  auto *variable = static_cast<EFI_PEI_READ_ONLY_VARIABLE2_PPI *>(
      InternalAlloc(sizeof(EFI_PEI_READ_ONLY_VARIABLE2_PPI)));
  variable->GetVariable = GetVariableEntry;
  variable->NextVariableName = NextVariableNameEntry;
  auto *stall = static_cast<EFI_PEI_STALL_PPI *>(InternalAlloc(sizeof(EFI_PEI_STALL_PPI)));
  stall->Resolution = 1;
  stall->Stall = StallEntry;
  auto *list =
      static_cast<EFI_PEI_PPI_DESCRIPTOR *>(InternalAlloc(2 * sizeof(EFI_PEI_PPI_DESCRIPTOR)));
  list[0] = EFI_PEI_PPI_DESCRIPTOR{EFI_PEI_PPI_DESCRIPTOR_PPI, &guids[0], variable};
  list[1] = EFI_PEI_PPI_DESCRIPTOR{
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &guids[1], stall};
  if (EFI_ERROR(InstallPpi(list))) {
    Fault("the platform PPIs could not be installed");
  }
}

void Pei::CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *notify, void *ppi) {
  // A notify function's status means nothing to the PEI foundation.
  (void)notify->Notify(const_cast<EFI_PEI_SERVICES **>(servicesPointer_),
                       const_cast<EFI_PEI_NOTIFY_DESCRIPTOR *>(notify), ppi);
}

void Pei::RunCallbacks(size_t firstNotify, size_t endNotify, size_t firstPpi, size_t endPpi) {
  // Indexes, not iterators: a notify function may install PPIs or register
  // notifications, which grows both lists.
  for (size_t n = firstNotify; n < endNotify; n++) {
    for (size_t p = firstPpi; p < endPpi; p++) {
      const EFI_PEI_NOTIFY_DESCRIPTOR *notify = callbacks_[n].descriptor;
      const EFI_PEI_PPI_DESCRIPTOR *ppi = ppis_[p].descriptor;
      if (SameGuid(*notify->Guid, *ppi->Guid)) {
        CallNotify(notify, ppi->Ppi);
      }
    }
  }
}

void Pei::RunDispatchNotifies() {
  for (size_t n = 0; n < dispatches_.size(); n++) {
    while (dispatches_[n].dispatchCursor < ppis_.size()) {
      const size_t p = dispatches_[n].dispatchCursor++;
      const EFI_PEI_NOTIFY_DESCRIPTOR *notify = dispatches_[n].descriptor;
      if (SameGuid(*notify->Guid, *ppis_[p].descriptor->Guid)) {
        CallNotify(notify, ppis_[p].descriptor->Ppi);
      }
    }
  }
}

EFI_STATUS Pei::InstallPpi(const EFI_PEI_PPI_DESCRIPTOR *list) {
  if (list == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // The whole list is checked before anything goes in.
  const size_t count = ListLength(list, [](const EFI_PEI_PPI_DESCRIPTOR &d) {
    return (d.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) != 0 &&
           (d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) == 0 && d.Guid != nullptr;
  });
  if (count == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (ppis_.size() + count > kMaxPpis) {
    return EFI_OUT_OF_RESOURCES;
  }
  const size_t first = ppis_.size();
  for (size_t k = 0; k < count; k++) {
    ppis_.push_back(Ppi{&list[k]});
    machine_.trace().Emit("pei", ev::PeiInstallPpi{*list[k].Guid});
  }
  RunCallbacks(0, callbacks_.size(), first, first + count);
  if (installObserver_) {
    installObserver_();
  }
  return EFI_SUCCESS;
}

EFI_STATUS Pei::ReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *oldPpi,
                             const EFI_PEI_PPI_DESCRIPTOR *newPpi) {
  if (oldPpi == nullptr || newPpi == nullptr || newPpi->Guid == nullptr ||
      (newPpi->Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  for (size_t p = 0; p < ppis_.size(); p++) {
    if (ppis_[p].descriptor == oldPpi) {
      ppis_[p].descriptor = newPpi;
      RunCallbacks(0, callbacks_.size(), p, p + 1);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS Pei::LocatePpi(const EFI_GUID *guid, UINTN instance, EFI_PEI_PPI_DESCRIPTOR **descriptor,
                          void **ppi) {
  if (guid == nullptr || ppi == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const EFI_PEI_PPI_DESCRIPTOR *found = FindDescriptor(*guid, instance);
  if (found == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (descriptor != nullptr) {
    *descriptor = const_cast<EFI_PEI_PPI_DESCRIPTOR *>(found);
  }
  *ppi = found->Ppi;
  return EFI_SUCCESS;
}

const EFI_PEI_PPI_DESCRIPTOR *Pei::FindDescriptor(const EFI_GUID &guid, size_t instance) const {
  size_t seen = 0;
  for (const Ppi &p : ppis_) {
    if (SameGuid(*p.descriptor->Guid, guid) && seen++ == instance) {
      return p.descriptor;
    }
  }
  return nullptr;
}

void *Pei::FindPpi(const EFI_GUID &guid, size_t instance) const {
  const EFI_PEI_PPI_DESCRIPTOR *found = FindDescriptor(guid, instance);
  return found != nullptr ? found->Ppi : nullptr;
}

EFI_STATUS Pei::NotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *list) {
  if (list == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const size_t count = ListLength(list, [](const EFI_PEI_NOTIFY_DESCRIPTOR &d) {
    return (d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) != 0 &&
           (d.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 && d.Guid != nullptr && d.Notify != nullptr;
  });
  if (count == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (callbacks_.size() + dispatches_.size() + count > kMaxNotifies) {
    return EFI_OUT_OF_RESOURCES;
  }
  const size_t firstCallback = callbacks_.size();
  for (size_t k = 0; k < count; k++) {
    machine_.trace().Emit("pei", ev::PeiNotifyPpi{*list[k].Guid});
    // A descriptor with both type bits is a callback, as the PEI foundation
    // files it; it never runs a second time as a dispatch notification.
    if ((list[k].Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0) {
      callbacks_.push_back(Notify{&list[k], 0});
    } else {
      dispatches_.push_back(Notify{&list[k], 0});
    }
  }
  // A callback for a PPI that is already installed runs now.
  RunCallbacks(firstCallback, callbacks_.size(), 0, ppis_.size());
  return EFI_SUCCESS;
}

EFI_BOOT_MODE Pei::BootMode() const { return Phit().BootMode; }

EFI_STATUS Pei::GetBootMode(EFI_BOOT_MODE *bootMode) {
  if (bootMode == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *bootMode = Phit().BootMode;
  return EFI_SUCCESS;
}

EFI_STATUS Pei::SetBootMode(EFI_BOOT_MODE bootMode) {
  Phit().BootMode = bootMode;
  return EFI_SUCCESS;
}

EFI_STATUS Pei::GetHobList(void **hobList) {
  if (hobList == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *hobList = HobList();
  return EFI_SUCCESS;
}

uint64_t Pei::HobFreeBytes() const { return Phit().EfiFreeMemoryTop - Phit().EfiFreeMemoryBottom; }

EFI_STATUS Pei::CreateHob(UINT16 type, UINT16 length, void **hob) {
  if (hob == nullptr || length < sizeof(EFI_HOB_GENERIC_HEADER) ||
      type == EFI_HOB_TYPE_END_OF_HOB_LIST) {
    return EFI_INVALID_PARAMETER;
  }
  // HOB lengths are multiples of 8 so that every HOB stays 8-byte aligned.
  const uint32_t rounded = (uint32_t{length} + 7u) & ~7u;
  if (rounded > 0xFFF8u) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_HOB_HANDOFF_INFO_TABLE &phit = Phit();
  if (phit.EfiFreeMemoryTop - phit.EfiFreeMemoryBottom < rounded) {
    return EFI_OUT_OF_RESOURCES;
  }
  // The new HOB takes the end-of-list HOB's place; a new end follows it.
  // Only the header is the PEI foundation's; the body holds what the memory
  // held, as from a reference core.
  auto *created = reinterpret_cast<uint8_t *>(phit.EfiEndOfHobList);
  std::memset(created, GuestMemory::kPowerOnFill, rounded);
  *reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(created) =
      EFI_HOB_GENERIC_HEADER{type, static_cast<UINT16>(rounded), 0};
  phit.EfiEndOfHobList += rounded;
  *reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(phit.EfiEndOfHobList) =
      EFI_HOB_GENERIC_HEADER{EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  phit.EfiFreeMemoryBottom = phit.EfiEndOfHobList + sizeof(EFI_HOB_GENERIC_HEADER);
  *hob = created;
  machine_.trace().Emit("pei", ev::PeiCreateHob{type, rounded});
  return EFI_SUCCESS;
}

EFI_STATUS Pei::AllocatePool(UINTN size, void **buffer) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // PEI pool is a memory-pool HOB: it lives as long as the HOB list and is
  // never freed, and one allocation is bounded by a HOB's 16-bit length.
  if (size > 0xFFF8u - sizeof(EFI_HOB_GENERIC_HEADER)) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *hob = nullptr;
  EFI_STATUS status = CreateHob(EFI_HOB_TYPE_MEMORY_POOL,
                                static_cast<UINT16>(size + sizeof(EFI_HOB_GENERIC_HEADER)), &hob);
  if (EFI_ERROR(status)) {
    return status == EFI_INVALID_PARAMETER ? EFI_OUT_OF_RESOURCES : status;
  }
  *buffer = static_cast<uint8_t *>(hob) + sizeof(EFI_HOB_GENERIC_HEADER);
  return EFI_SUCCESS;
}

EFI_STATUS Pei::AllocatePages(EFI_MEMORY_TYPE memoryType, UINTN pages,
                              EFI_PHYSICAL_ADDRESS *memory) {
  const uint32_t type = static_cast<uint32_t>(memoryType);
  if (memory == nullptr || pages == 0 || type >= EfiMaxMemoryType ||
      type == EfiConventionalMemory) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_HOB_HANDOFF_INFO_TABLE &phit = Phit();
  const uint64_t top = phit.EfiFreeMemoryTop / kPage * kPage;
  // Room for the pages and for the HOB that records them.
  if (top < phit.EfiFreeMemoryBottom || (top - phit.EfiFreeMemoryBottom) / kPage < pages + 1) {
    return EFI_OUT_OF_RESOURCES;
  }
  const uint64_t base = top - pages * kPage;
  phit.EfiFreeMemoryTop = base;
  void *hob = nullptr;
  if (EFI_ERROR(
          CreateHob(EFI_HOB_TYPE_MEMORY_ALLOCATION, sizeof(EFI_HOB_MEMORY_ALLOCATION), &hob))) {
    phit.EfiFreeMemoryTop = top;
    return EFI_OUT_OF_RESOURCES;
  }
  auto *allocation = static_cast<EFI_HOB_MEMORY_ALLOCATION *>(hob);
  std::memset(&allocation->AllocDescriptor, 0, sizeof allocation->AllocDescriptor);
  allocation->AllocDescriptor.MemoryBaseAddress = base;
  allocation->AllocDescriptor.MemoryLength = pages * kPage;
  allocation->AllocDescriptor.MemoryType = memoryType;
  std::memset(reinterpret_cast<void *>(base), GuestMemory::kPowerOnFill, pages * kPage);
  *memory = base;
  return EFI_SUCCESS;
}

EFI_STATUS Pei::Stall(UINTN microseconds) {
  // The board's stall PPI polls the ACPI PM timer until enough ticks have
  // passed; so does this one, through the bus, in virtual time.
  if (microseconds == 0) {
    return EFI_SUCCESS;
  }
  const uint64_t us = std::min<uint64_t>(microseconds, UINT64_MAX / kPmTimerHz);
  const uint64_t ticks = (us * kPmTimerHz + 999999) / 1000000;
  Bus &bus = machine_.bus();
  const uint64_t first = bus.IoRead(kPmTimerPort, 4);
  if (first == 0xFFFFFFFFu) {
    Fault("EFI_PEI_STALL_PPI.Stall: no PM timer answers at I/O port 0x1808");
  }
  uint32_t previous = static_cast<uint32_t>(first) & kPmTimerMask;
  uint64_t elapsed = 0;
  while (elapsed < ticks) {
    bus.CpuPause();
    const uint32_t now = static_cast<uint32_t>(bus.IoRead(kPmTimerPort, 4)) & kPmTimerMask;
    elapsed += (now - previous) & kPmTimerMask;
    previous = now;
  }
  return EFI_SUCCESS;
}

EFI_STATUS Pei::RunModule(EFI_PEIM_ENTRY_POINT2 entry, EFI_PEI_FILE_HANDLE fileHandle) {
  EFI_STATUS status = entry(fileHandle, servicesPointer_);
  RunDispatchNotifies();
  return status;
}

void Pei::SignalEndOfPei() {
  machine_.trace().Emit("pei", ev::PeiEndOfPei{});
  auto *descriptor =
      static_cast<EFI_PEI_PPI_DESCRIPTOR *>(InternalAlloc(sizeof(EFI_PEI_PPI_DESCRIPTOR)));
  auto *guid = static_cast<EFI_GUID *>(InternalAlloc(sizeof(EFI_GUID)));
  *guid = kEndOfPeiGuid;
  // The end-of-PEI PPI has no interface.
  *descriptor = EFI_PEI_PPI_DESCRIPTOR{
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, guid, nullptr};
  // The PEI foundation installs this PPI once dispatching has ended: its
  // callbacks run, dispatch notifications do not.
  if (EFI_ERROR(InstallPpi(descriptor))) {
    Fault("the end-of-PEI PPI could not be installed");
  }
}

void Pei::ResetSystem(EFI_RESET_TYPE type, const char *service) {
  StopForReset(machine_, type, service);
}

void Pei::Fault(std::string detail) { StopForFault(machine_, std::move(detail)); }

} // namespace sim
