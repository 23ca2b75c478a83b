// The PEI phase as IA32 images see it: a PEI services table, PPI descriptors,
// the read-only variable and stall PPIs, all in the IA32 layout (4-byte UINTN
// and pointers, cdecl), built for the 32-bit world rather than the x86-64
// structures reinterpreted. Its slots are traps into the boot's Pei: the HOB
// list, pool, pages, boot mode, variables and stall are that Pei's, so host
// modules and images share one HOB list. PPIs of IA32 images live in a PPI
// database of this world with the PI rules of the host one (callbacks inside
// the install, at once for a PPI already there; dispatch notifications after
// the module returns) and the same trace events.
//
// The IDT and the PEI-services slot follow the reference core: the UINTN
// just below the IDT holds the EFI_PEI_SERVICES ** that PEIMs receive.
//
// PPIs cross from the host world where their layout is known: the board's
// PCI_DEVICE_LIST_PPI and a host EcPei's EC_ACCESS_PPI appear here with trap
// functions. The other way is not bridged (see ImageSet's rules).
#pragma once

#include "Cpu.h"

#include <Pi/PiPeiCis.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
class Pei;
}

namespace sim::cpu {

class PeiIa32 {
public:
  static constexpr size_t kIdtEntries = 256; // 8-byte IA32 gates
  PeiIa32(Cpu &cpu, Pei &pei);
  ~PeiIa32();
  PeiIa32(const PeiIa32 &) = delete;
  PeiIa32 &operator=(const PeiIa32 &) = delete;

  // EFI_PEI_SERVICES ** as PEIMs receive it.
  uint32_t PeiServices() const { return servicesSlot_; }
  uint32_t IdtBase() const { return idt_; }

  // Runs an IA32 entry point, then the dispatch notifications due. Returns
  // the status widened to the 64-bit form.
  EFI_STATUS RunModule(uint64_t entry, uint32_t fileHandle);
  // Installs this world's end-of-PEI PPI (after the host Pei's), so that
  // notifications of images run.
  void SignalEndOfPei();
  // Interface of the first PPI of `guid` installed by an image, or 0.
  uint32_t FindPpi(const EFI_GUID &guid) const;

private:
  struct Descriptor { // EFI_PEI_PPI_DESCRIPTOR / EFI_PEI_NOTIFY_DESCRIPTOR, IA32
    uint32_t Flags;
    uint32_t Guid;
    uint32_t PpiOrNotify;
  };
  struct Notify {
    uint32_t descriptor;
    size_t dispatchCursor;
  };

  void BuildTables();
  void BridgeHostPpis();
  uint32_t Install(uint32_t list, bool trace);
  uint32_t ReInstall(uint32_t oldPpi, uint32_t newPpi);
  uint32_t Locate(uint32_t guid, uint32_t instance, uint32_t descriptorOut, uint32_t ppiOut);
  uint32_t NotifyPpi(uint32_t list);
  void RunCallbacks(size_t firstNotify, size_t endNotify, size_t firstPpi, size_t endPpi);
  void RunDispatchNotifies();
  void CallNotify(uint32_t notify, uint32_t ppi);
  size_t ListLength(uint32_t list, bool notify);

  // Guest memory checked before the host touches it: a bad pointer from an
  // image ends the run as a fault instead of crashing the simulator.
  template <typename T> T *At(uint32_t address, size_t count = 1, const char *what = "pointer");
  const Descriptor &DescriptorAt(uint32_t address) { return *At<Descriptor>(address); }
  const EFI_GUID &GuidAt(uint32_t address) { return *At<EFI_GUID>(address, 1, "GUID pointer"); }
  uint32_t Scratch32(size_t bytes);

  Cpu &cpu_;
  Pei &pei_;
  uint32_t table_ = 0;
  uint32_t servicesSlot_ = 0;
  uint32_t idt_ = 0;
  std::vector<uint32_t> ppis_;   // descriptor addresses, installation order
  std::vector<Notify> callbacks_;
  std::vector<Notify> dispatches_;
  std::vector<const void *> bridged_; // host interfaces already bridged
  uint32_t endOfPei_ = 0;
};

} // namespace sim::cpu
