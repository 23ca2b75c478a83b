// IA32 PEI services over the boot's Pei. Every argument arrives as a 32-bit
// stack slot; every pointer an image hands over is checked against guest
// memory before the host reads or writes through it.
#include "PeiIa32.h"

#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/GuidText.h"
#include "sim/uefi/ServiceCommon.h"
#include "sim/uefi/Trap.h"
#include "sim/uefi/VariableStore.h"

#include <Ppi/EcAccess.h>
#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/PciDeviceList.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim::cpu {
namespace {

constexpr EFI_GUID kReadOnlyVariable2Guid = EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID;
constexpr EFI_GUID kStallGuid = EFI_PEI_STALL_PPI_GUID;
constexpr EFI_GUID kEndOfPeiGuid = EFI_PEI_END_OF_PEI_PHASE_PPI_GUID;
constexpr EFI_GUID kPciDeviceListGuid = PCI_DEVICE_LIST_PPI_GUID;
constexpr EFI_GUID kEcAccessGuid = EC_ACCESS_PPI_GUID;

// The IA32 PEI services table: the header, then 28 four-byte slots in the
// order of EFI_PEI_SERVICES.
constexpr uint32_t kHeaderBytes = 24;
constexpr uint32_t kSlotCount = 28;
const char *const kSlotNames[kSlotCount] = {
    "InstallPpi",        "ReInstallPpi",     "LocatePpi",         "NotifyPpi",
    "GetBootMode",       "SetBootMode",      "GetHobList",        "CreateHob",
    "FfsFindNextVolume", "FfsFindNextFile",  "FfsFindSectionData", "InstallPeiMemory",
    "AllocatePages",     "AllocatePool",     "CopyMem",           "SetMem",
    "ReportStatusCode",  "ResetSystem",      "CpuIo",             "PciCfg",
    "FfsFindFileByName", "FfsGetFileInfo",   "FfsGetVolumeInfo",  "RegisterForShadow",
    "FindSectionData3",  "FfsGetFileInfo2",  "ResetSystem2",      "FreePages"};

// EFI_STATUS is 32 bits wide on IA32, its error bit the top one.
uint32_t Narrow(EFI_STATUS status) {
  return static_cast<uint32_t>(status & 0x7FFFFFFF) | (EFI_ERROR(status) ? 0x80000000u : 0);
}
EFI_STATUS Widen(uint32_t status) {
  return (status & 0x80000000u) != 0 ? (EFI_STATUS{status & 0x7FFFFFFFu} | MAX_BIT) : status;
}

uint32_t Addr(const void *pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uint64_t>(pointer));
}

} // namespace

template <typename T> T *PeiIa32::At(uint32_t address, size_t count, const char *what) {
  if (!cpu_.machine().memory().Contains(address, sizeof(T) * count)) {
    char detail[160];
    std::snprintf(detail, sizeof detail,
                  "an IA32 PEI service was given a %s outside guest memory: 0x%X (called from %s)",
                  what, address, cpu_.Describe(cpu_.Caller()).c_str());
    pei_.Fault(detail);
  }
  return reinterpret_cast<T *>(uint64_t{address});
}

uint32_t PeiIa32::Scratch32(size_t bytes) { return Addr(cpu_.Scratch(bytes)); }

PeiIa32::PeiIa32(Cpu &cpu, Pei &pei) : cpu_(cpu), pei_(pei) {
  if (cpu.arch() != Arch::Ia32) {
    throw ImageError("the IA32 PEI services need an IA32 CPU");
  }
  BuildTables();
  // A host module's PPI reaches IA32 notifications while it is installed.
  pei_.SetInstallObserver([this] { BridgeHostPpis(); });
}

PeiIa32::~PeiIa32() { pei_.SetInstallObserver(nullptr); }

void PeiIa32::BuildTables() {
  table_ = Scratch32(kHeaderBytes + 4 * kSlotCount);
  auto *header = At<uint8_t>(table_, kHeaderBytes);
  const uint64_t signature = PEI_SERVICES_SIGNATURE;
  const uint32_t revision = PEI_SERVICES_REVISION;
  const uint32_t size = kHeaderBytes + 4 * kSlotCount;
  std::memcpy(header, &signature, 8);
  std::memcpy(header + 8, &revision, 4);
  std::memcpy(header + 12, &size, 4);
  auto *slots = At<uint32_t>(table_ + kHeaderBytes, kSlotCount);

  using Handler = Cpu::TrapHandler;
  auto set = [&](unsigned slot, Handler handler) {
    slots[slot] = static_cast<uint32_t>(
        cpu_.AddTrap(std::string("PeiServices.") + kSlotNames[slot], std::move(handler)));
  };
  for (unsigned slot = 0; slot < kSlotCount; slot++) {
    const std::string name = std::string("PeiServices.") + kSlotNames[slot];
    set(slot, [name](Cpu &) -> uint64_t {
      StopOnUnemulatedSlot(name.c_str());
      return EFI_UNSUPPORTED;
    });
  }
  // No CPU I/O or PCI configuration PPI: modules reach hardware directly.
  slots[18] = 0;
  slots[19] = 0;
  set(0, [this](Cpu &c) { return Install(static_cast<uint32_t>(c.Arg(1)), true); });
  set(1, [this](Cpu &c) {
    return ReInstall(static_cast<uint32_t>(c.Arg(1)), static_cast<uint32_t>(c.Arg(2)));
  });
  set(2, [this](Cpu &c) {
    return Locate(static_cast<uint32_t>(c.Arg(1)), static_cast<uint32_t>(c.Arg(2)),
                  static_cast<uint32_t>(c.Arg(3)), static_cast<uint32_t>(c.Arg(4)));
  });
  set(3, [this](Cpu &c) { return NotifyPpi(static_cast<uint32_t>(c.Arg(1))); });
  set(4, [this](Cpu &c) -> uint64_t {
    const uint32_t out = static_cast<uint32_t>(c.Arg(1));
    if (out == 0) {
      return Narrow(EFI_INVALID_PARAMETER);
    }
    return Narrow(pei_.GetBootMode(At<EFI_BOOT_MODE>(out)));
  });
  set(5, [this](Cpu &c) {
    return Narrow(pei_.SetBootMode(static_cast<EFI_BOOT_MODE>(c.Arg(1))));
  });
  set(6, [this](Cpu &c) -> uint64_t {
    const uint32_t out = static_cast<uint32_t>(c.Arg(1));
    if (out == 0) {
      return Narrow(EFI_INVALID_PARAMETER);
    }
    *At<uint32_t>(out) = Addr(pei_.HobList());
    return 0;
  });
  set(7, [this](Cpu &c) -> uint64_t {
    const uint32_t out = static_cast<uint32_t>(c.Arg(3));
    if (out == 0) {
      return Narrow(EFI_INVALID_PARAMETER);
    }
    void *hob = nullptr;
    const EFI_STATUS status = pei_.CreateHob(static_cast<UINT16>(c.Arg(1)),
                                             static_cast<UINT16>(c.Arg(2)), &hob);
    if (!EFI_ERROR(status)) {
      *At<uint32_t>(out) = Addr(hob);
    }
    return Narrow(status);
  });
  set(12, [this](Cpu &c) {
    const uint32_t out = static_cast<uint32_t>(c.Arg(3));
    return Narrow(pei_.AllocatePages(static_cast<EFI_MEMORY_TYPE>(c.Arg(1)), c.Arg(2),
                                     out == 0 ? nullptr : At<EFI_PHYSICAL_ADDRESS>(out)));
  });
  set(13, [this](Cpu &c) -> uint64_t {
    const uint32_t out = static_cast<uint32_t>(c.Arg(2));
    if (out == 0) {
      return Narrow(EFI_INVALID_PARAMETER);
    }
    void *buffer = nullptr;
    const EFI_STATUS status = pei_.AllocatePool(c.Arg(1), &buffer);
    if (!EFI_ERROR(status)) {
      *At<uint32_t>(out) = Addr(buffer);
    }
    return Narrow(status);
  });
  set(14, [this](Cpu &c) -> uint64_t {
    const uint32_t length = static_cast<uint32_t>(c.Arg(2));
    if (length != 0) {
      std::memmove(At<uint8_t>(static_cast<uint32_t>(c.Arg(0)), length),
                   At<uint8_t>(static_cast<uint32_t>(c.Arg(1)), length), length);
    }
    return 0;
  });
  set(15, [this](Cpu &c) -> uint64_t {
    const uint32_t length = static_cast<uint32_t>(c.Arg(1));
    if (length != 0) {
      std::memset(At<uint8_t>(static_cast<uint32_t>(c.Arg(0)), length),
                  static_cast<uint8_t>(c.Arg(2)), length);
    }
    return 0;
  });
  set(17, [this](Cpu &) -> uint64_t { pei_.ResetSystem(EfiResetCold, "PeiServices.ResetSystem"); });
  // Modules here already run from memory, which is what this answer means.
  set(23, [](Cpu &) { return Narrow(EFI_ALREADY_STARTED); });
  set(26, [this](Cpu &c) -> uint64_t {
    pei_.ResetSystem(static_cast<EFI_RESET_TYPE>(c.Arg(0)), "PeiServices.ResetSystem2");
  });

  // The slot PEIMs receive, and the IDT with the slot's address below it.
  const uint32_t block = Scratch32(16 + 16 + kIdtEntries * 8);
  servicesSlot_ = block;
  *At<uint32_t>(servicesSlot_) = table_;
  idt_ = block + 32;
  *At<uint32_t>(idt_ - 4) = servicesSlot_;
  cpu_.SetIdtr(idt_, static_cast<uint16_t>(kIdtEntries * 8 - 1));

  // The platform PPIs, mirrors of the host world's (installed there, and
  // traced, by the Pei).
  struct {
    uint32_t GetVariable;
    uint32_t NextVariableName;
  } variable{};
  variable.GetVariable = static_cast<uint32_t>(cpu_.AddTrap(
      "EFI_PEI_READ_ONLY_VARIABLE2_PPI.GetVariable", [this](Cpu &c) -> uint64_t {
        const uint32_t sizeAt = static_cast<uint32_t>(c.Arg(4));
        if (sizeAt == 0) {
          return Narrow(EFI_INVALID_PARAMETER);
        }
        UINTN size = *At<uint32_t>(sizeAt);
        const uint32_t name = static_cast<uint32_t>(c.Arg(1));
        const uint32_t guid = static_cast<uint32_t>(c.Arg(2));
        const uint32_t attributes = static_cast<uint32_t>(c.Arg(3));
        const uint32_t data = static_cast<uint32_t>(c.Arg(5));
        const EFI_STATUS status = pei_.variables().Get(
            name == 0 ? nullptr : At<CHAR16>(name), guid == 0 ? nullptr : &GuidAt(guid),
            attributes == 0 ? nullptr : At<UINT32>(attributes), &size,
            data == 0 ? nullptr : At<uint8_t>(data, size));
        *At<uint32_t>(sizeAt) = static_cast<uint32_t>(size);
        return Narrow(status);
      }));
  variable.NextVariableName = static_cast<uint32_t>(cpu_.AddTrap(
      "EFI_PEI_READ_ONLY_VARIABLE2_PPI.NextVariableName", [this](Cpu &c) -> uint64_t {
        const uint32_t sizeAt = static_cast<uint32_t>(c.Arg(1));
        const uint32_t name = static_cast<uint32_t>(c.Arg(2));
        const uint32_t guid = static_cast<uint32_t>(c.Arg(3));
        if (sizeAt == 0 || name == 0 || guid == 0) {
          return Narrow(EFI_INVALID_PARAMETER);
        }
        UINTN size = *At<uint32_t>(sizeAt);
        const EFI_STATUS status = pei_.variables().GetNextName(
            &size, At<CHAR16>(name, size / 2 + 1), At<EFI_GUID>(guid));
        *At<uint32_t>(sizeAt) = static_cast<uint32_t>(size);
        return Narrow(status);
      }));
  struct {
    uint32_t Resolution;
    uint32_t Stall;
  } stall{1, static_cast<uint32_t>(cpu_.AddTrap("EFI_PEI_STALL_PPI.Stall", [this](Cpu &c) {
            return Narrow(pei_.Stall(c.Arg(2)));
          }))};
  const uint32_t interfaces = Scratch32(16 + 2 * sizeof(EFI_GUID));
  std::memcpy(At<uint8_t>(interfaces, sizeof variable), &variable, sizeof variable);
  std::memcpy(At<uint8_t>(interfaces + 8, sizeof stall), &stall, sizeof stall);
  auto *guids = At<EFI_GUID>(interfaces + 16, 2);
  guids[0] = kReadOnlyVariable2Guid;
  guids[1] = kStallGuid;
  const uint32_t list = Scratch32(2 * sizeof(Descriptor));
  auto *descriptors = At<Descriptor>(list, 2);
  descriptors[0] = {EFI_PEI_PPI_DESCRIPTOR_PPI, interfaces + 16, interfaces};
  descriptors[1] = {EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
                    interfaces + 32, interfaces + 8};
  (void)Install(list, false);
}

void PeiIa32::BridgeHostPpis() {
  // The board's device list: the same packed bytes after the Refresh slot.
  for (size_t instance = 0;; instance++) {
    auto *host = static_cast<PCI_DEVICE_LIST_PPI *>(pei_.FindPpi(kPciDeviceListGuid, instance));
    if (host == nullptr) {
      break;
    }
    if (std::find(bridged_.begin(), bridged_.end(), host) != bridged_.end()) {
      continue;
    }
    bridged_.push_back(host);
    const size_t bytes = kPciDeviceListRecordsOffset + 4 * size_t{host->RecordCount};
    const uint32_t copy = Scratch32(bytes + 64 * 4);
    auto sync = [this, host, copy] {
      const size_t now = kPciDeviceListRecordsOffset + 4 * size_t{host->RecordCount};
      auto *bytesAt = At<uint8_t>(copy, now);
      std::memcpy(bytesAt + 8, reinterpret_cast<const uint8_t *>(host) + 8, now - 8);
    };
    sync();
    *At<uint32_t>(copy) = static_cast<uint32_t>(
        cpu_.AddTrap("PCI_DEVICE_LIST_PPI.Refresh", [host, sync](Cpu &) -> uint64_t {
          const EFI_STATUS status = host->Refresh(host);
          sync();
          return Narrow(status);
        }));
    const uint32_t descriptor = Scratch32(16 + sizeof(EFI_GUID));
    *At<EFI_GUID>(descriptor + 16) = kPciDeviceListGuid;
    *At<Descriptor>(descriptor) = {
        EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, descriptor + 16, copy};
    (void)Install(descriptor, false);
  }
  // A host EcPei's EC_ACCESS_PPI: eight traps that call its operations.
  auto *ec = static_cast<EC_ACCESS_PPI *>(pei_.FindPpi(kEcAccessGuid));
  if (ec != nullptr && std::find(bridged_.begin(), bridged_.end(), ec) == bridged_.end()) {
    bridged_.push_back(ec);
    const uint32_t copy = Scratch32(8 * 4 + 16 + sizeof(EFI_GUID));
    void *const *operations = reinterpret_cast<void *const *>(ec);
    for (unsigned k = 0; k < 8; k++) {
      void *operation = operations[k];
      *At<uint32_t>(copy + 4 * k) = static_cast<uint32_t>(
          cpu_.AddTrap("EC_ACCESS_PPI", [operation](Cpu &c) -> uint64_t {
            // Every operation takes at most four 32-bit or pointer arguments.
            using Operation = UINT32(EFIAPI *)(UINT64, UINT64, UINT64, UINT64);
            return reinterpret_cast<Operation>(operation)(c.Arg(0), c.Arg(1), c.Arg(2),
                                                          c.Arg(3));
          }));
    }
    const uint32_t descriptor = copy + 32;
    *At<EFI_GUID>(descriptor + 16) = kEcAccessGuid;
    *At<Descriptor>(descriptor) = {
        EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, descriptor + 16, copy};
    (void)Install(descriptor, false);
  }
}

size_t PeiIa32::ListLength(uint32_t list, bool notify) {
  for (size_t count = 0; count < Pei::kMaxDescriptorsPerList; count++) {
    const Descriptor &d = DescriptorAt(list + static_cast<uint32_t>(count * sizeof(Descriptor)));
    const bool valid =
        notify ? (d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) != 0 &&
                     (d.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 && d.Guid != 0 &&
                     d.PpiOrNotify != 0
               : (d.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) != 0 &&
                     (d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) == 0 && d.Guid != 0;
    if (!valid) {
      return 0;
    }
    if ((d.Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0) {
      return count + 1;
    }
  }
  return 0;
}

uint32_t PeiIa32::Install(uint32_t list, bool trace) {
  if (list == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  const size_t count = ListLength(list, false);
  if (count == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  if (ppis_.size() + count > Pei::kMaxPpis) {
    return Narrow(EFI_OUT_OF_RESOURCES);
  }
  const size_t first = ppis_.size();
  for (size_t k = 0; k < count; k++) {
    const uint32_t descriptor = list + static_cast<uint32_t>(k * sizeof(Descriptor));
    ppis_.push_back(descriptor);
    if (trace) {
      cpu_.machine().trace().Emit("pei", ev::PeiInstallPpi{GuidAt(DescriptorAt(descriptor).Guid)});
    }
  }
  RunCallbacks(0, callbacks_.size(), first, first + count);
  return 0;
}

uint32_t PeiIa32::ReInstall(uint32_t oldPpi, uint32_t newPpi) {
  if (oldPpi == 0 || newPpi == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  const Descriptor &replacement = DescriptorAt(newPpi);
  if (replacement.Guid == 0 || (replacement.Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  for (size_t p = 0; p < ppis_.size(); p++) {
    if (ppis_[p] == oldPpi) {
      ppis_[p] = newPpi;
      RunCallbacks(0, callbacks_.size(), p, p + 1);
      return 0;
    }
  }
  return Narrow(EFI_NOT_FOUND);
}

uint32_t PeiIa32::Locate(uint32_t guid, uint32_t instance, uint32_t descriptorOut,
                         uint32_t ppiOut) {
  if (guid == 0 || ppiOut == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  const EFI_GUID wanted = GuidAt(guid);
  uint32_t seen = 0;
  for (uint32_t descriptor : ppis_) {
    const Descriptor &d = DescriptorAt(descriptor);
    if (SameGuid(GuidAt(d.Guid), wanted) && seen++ == instance) {
      if (descriptorOut != 0) {
        *At<uint32_t>(descriptorOut) = descriptor;
      }
      *At<uint32_t>(ppiOut) = d.PpiOrNotify;
      return 0;
    }
  }
  return Narrow(EFI_NOT_FOUND);
}

uint32_t PeiIa32::FindPpi(const EFI_GUID &guid) const {
  for (uint32_t descriptor : ppis_) {
    const auto *d = reinterpret_cast<const Descriptor *>(uint64_t{descriptor});
    if (SameGuid(*reinterpret_cast<const EFI_GUID *>(uint64_t{d->Guid}), guid)) {
      return d->PpiOrNotify;
    }
  }
  return 0;
}

uint32_t PeiIa32::NotifyPpi(uint32_t list) {
  if (list == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  const size_t count = ListLength(list, true);
  if (count == 0) {
    return Narrow(EFI_INVALID_PARAMETER);
  }
  if (callbacks_.size() + dispatches_.size() + count > Pei::kMaxNotifies) {
    return Narrow(EFI_OUT_OF_RESOURCES);
  }
  const size_t firstCallback = callbacks_.size();
  for (size_t k = 0; k < count; k++) {
    const uint32_t descriptor = list + static_cast<uint32_t>(k * sizeof(Descriptor));
    const Descriptor &d = DescriptorAt(descriptor);
    cpu_.machine().trace().Emit("pei", ev::PeiNotifyPpi{GuidAt(d.Guid)});
    if ((d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) != 0) {
      callbacks_.push_back(Notify{descriptor, 0});
    }
    if ((d.Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH) != 0) {
      dispatches_.push_back(Notify{descriptor, 0});
    }
  }
  // A callback for a PPI that is already installed runs now (PI: NotifyPpi).
  RunCallbacks(firstCallback, callbacks_.size(), 0, ppis_.size());
  return 0;
}

void PeiIa32::CallNotify(uint32_t notify, uint32_t ppi) {
  // A notify function's status means nothing to the PEI foundation.
  (void)cpu_.Call(DescriptorAt(notify).PpiOrNotify, {servicesSlot_, notify, ppi});
}

void PeiIa32::RunCallbacks(size_t firstNotify, size_t endNotify, size_t firstPpi,
                           size_t endPpi) {
  // Indexes: a notify function may install PPIs or register notifications.
  for (size_t n = firstNotify; n < endNotify; n++) {
    for (size_t p = firstPpi; p < endPpi; p++) {
      const uint32_t notify = callbacks_[n].descriptor;
      const Descriptor &ppi = DescriptorAt(ppis_[p]);
      if (SameGuid(GuidAt(DescriptorAt(notify).Guid), GuidAt(ppi.Guid))) {
        CallNotify(notify, ppi.PpiOrNotify);
      }
    }
  }
}

void PeiIa32::RunDispatchNotifies() {
  for (size_t n = 0; n < dispatches_.size(); n++) {
    while (dispatches_[n].dispatchCursor < ppis_.size()) {
      const size_t p = dispatches_[n].dispatchCursor++;
      const uint32_t notify = dispatches_[n].descriptor;
      const Descriptor &ppi = DescriptorAt(ppis_[p]);
      if (SameGuid(GuidAt(DescriptorAt(notify).Guid), GuidAt(ppi.Guid))) {
        CallNotify(notify, ppi.PpiOrNotify);
      }
    }
  }
}

EFI_STATUS PeiIa32::RunModule(uint64_t entry, uint32_t fileHandle) {
  BridgeHostPpis();
  const uint32_t status = static_cast<uint32_t>(cpu_.Call(entry, {fileHandle, servicesSlot_}));
  RunDispatchNotifies();
  return Widen(status);
}

void PeiIa32::SignalEndOfPei() {
  if (endOfPei_ == 0) {
    endOfPei_ = Scratch32(16 + sizeof(EFI_GUID));
    *At<EFI_GUID>(endOfPei_ + 16) = kEndOfPeiGuid;
    // The end-of-PEI PPI has no interface.
    *At<Descriptor>(endOfPei_) = {
        EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, endOfPei_ + 16, 0};
  }
  BridgeHostPpis();
  (void)Install(endOfPei_, false);
  RunDispatchNotifies();
}

} // namespace sim::cpu
