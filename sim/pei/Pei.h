// The PEI phase of one boot: the PEI services table with a working PPI
// database (install, reinstall, locate, notify), boot mode, the HOB list in
// guest memory (PHIT first, CreateHob, PEI pool in memory-pool HOBs, pages
// from the top of PEI memory), the read-only variable PPI over the variable
// store, the stall PPI on the PM timer, and end of PEI. Every slot that is not
// emulated traps and names itself.
//
// PEI modules receive EFI_PEI_SERVICES**: the address of a cell holding the
// table's address. The UINTN just below the interrupt descriptor table holds
// that same EFI_PEI_SERVICES**, as a PI foundation keeps it, so code that
// finds the IDT through ReadIdtr reads the slot once and gets what PEIMs
// receive. Call RunModule and SignalEndOfPei
// inside a FirmwareRunner run: they run firmware code (entry points, notify
// functions) that may end the run.
#pragma once

#include <Pi/PiHob.h>
#include <Pi/PiPeiCis.h>

#include "sim/core/GuestMemory.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Machine;
class VariableStore;

class Pei {
public:
  // Bytes of PEI memory: the HOB list and PEI pool grow up from its bottom,
  // PEI pages come down from its top.
  static constexpr uint64_t kDefaultMemoryBytes = 1024 * 1024;
  // Bound on descriptors in one InstallPpi/NotifyPpi list; a list that does
  // not end within it is taken as missing its TERMINATE_LIST flag.
  static constexpr size_t kMaxDescriptorsPerList = 64;
  static constexpr size_t kMaxPpis = 256;
  static constexpr size_t kMaxNotifies = 256;

  Pei(Machine &machine, VariableStore &variables,
      EFI_BOOT_MODE bootMode = BOOT_WITH_FULL_CONFIGURATION,
      uint64_t memoryBytes = kDefaultMemoryBytes);
  ~Pei();
  Pei(const Pei &) = delete;
  Pei &operator=(const Pei &) = delete;

  // The Pei the EFIAPI entry points serve (the latest constructed one that is
  // still alive, or the one made current explicitly).
  static Pei *Current();
  void MakeCurrent();

  const EFI_PEI_SERVICES **PeiServices() const { return servicesPointer_; }
  Machine &machine() const { return machine_; }
  VariableStore &variables() const { return variables_; }

  // Calls a PEI module's entry point, then the dispatch notifications due.
  EFI_STATUS RunModule(EFI_PEIM_ENTRY_POINT2 entry, EFI_PEI_FILE_HANDLE fileHandle);
  // Installs the end-of-PEI PPI, so its callback notifications run.
  void SignalEndOfPei();
  // The start of the HOB list (the PHIT), for DXE's configuration table.
  void *HobList() const { return reinterpret_cast<void *>(memoryBottom_); }
  EFI_BOOT_MODE BootMode() const;
  uint64_t HobFreeBytes() const;
  // Runs after every successful InstallPpi, once its callbacks ran (the
  // IA32 PEI services of image boots mirror PPIs of host modules with it).
  void SetInstallObserver(std::function<void()> observer) { installObserver_ = std::move(observer); }
  // Interface of the instance-th installed PPI of `guid`, or nullptr.
  void *FindPpi(const EFI_GUID &guid, size_t instance = 0) const;

  // ---- Service implementations, reached by firmware through the table ----
  EFI_STATUS InstallPpi(const EFI_PEI_PPI_DESCRIPTOR *list);
  EFI_STATUS ReInstallPpi(const EFI_PEI_PPI_DESCRIPTOR *oldPpi,
                          const EFI_PEI_PPI_DESCRIPTOR *newPpi);
  EFI_STATUS LocatePpi(const EFI_GUID *guid, UINTN instance, EFI_PEI_PPI_DESCRIPTOR **descriptor,
                       void **ppi);
  EFI_STATUS NotifyPpi(const EFI_PEI_NOTIFY_DESCRIPTOR *list);
  EFI_STATUS GetBootMode(EFI_BOOT_MODE *bootMode);
  EFI_STATUS SetBootMode(EFI_BOOT_MODE bootMode);
  EFI_STATUS GetHobList(void **hobList);
  EFI_STATUS CreateHob(UINT16 type, UINT16 length, void **hob);
  EFI_STATUS AllocatePages(EFI_MEMORY_TYPE memoryType, UINTN pages, EFI_PHYSICAL_ADDRESS *memory);
  EFI_STATUS AllocatePool(UINTN size, void **buffer);
  EFI_STATUS Stall(UINTN microseconds);
  [[noreturn]] void ResetSystem(EFI_RESET_TYPE type, const char *service);
  // Takes the text whole (moved in): the run never comes back to destroy
  // the caller's strings.
  [[noreturn]] void Fault(std::string detail);

private:
  struct Ppi {
    const EFI_PEI_PPI_DESCRIPTOR *descriptor;
  };
  struct Notify {
    const EFI_PEI_NOTIFY_DESCRIPTOR *descriptor;
    size_t dispatchCursor; // dispatch notifies: PPIs up to here were handled
  };

  void BuildTables();
  // A named event in the machine's trace, device "pei".
  void *InternalAlloc(size_t bytes);
  EFI_HOB_HANDOFF_INFO_TABLE &Phit() const {
    return *reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(memoryBottom_);
  }
  const EFI_PEI_PPI_DESCRIPTOR *FindDescriptor(const EFI_GUID &guid, size_t instance) const;
  void CallNotify(const EFI_PEI_NOTIFY_DESCRIPTOR *notify, void *ppi);
  // Each callback notify in [firstNotify, endNotify) for each PPI in
  // [firstPpi, endPpi) whose GUID it names, notify by notify.
  void RunCallbacks(size_t firstNotify, size_t endNotify, size_t firstPpi, size_t endPpi);
  void RunDispatchNotifies();

  Machine &machine_;
  VariableStore &variables_;
  Pei *previous_ = nullptr;

  GuestArena internal_;
  EFI_PEI_SERVICES *services_ = nullptr;
  const EFI_PEI_SERVICES **servicesPointer_ = nullptr; // what PEIMs receive
  UINTN *idtSlot_ = nullptr;                           // just below the IDT
  uint64_t memoryBottom_ = 0;
  uint64_t memoryPages_ = 0;

  std::vector<Ppi> ppis_;          // installation order
  std::vector<Notify> callbacks_;  // registration order
  std::vector<Notify> dispatches_; // registration order
  std::function<void()> installObserver_;
};

} // namespace sim
