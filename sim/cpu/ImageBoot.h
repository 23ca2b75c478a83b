// One boot's image side: the emulated CPUs (IA32 for PEI, x86-64 for DXE),
// the IA32 PEI services, and each module of the ImageSet loaded fresh into
// guest memory when its turn comes, as the firmware core would load it. The
// boot runner asks it to run a module's image instead of its host build.
#pragma once

#include "Cpu.h"
#include "ImageSet.h"
#include "PeiIa32.h"

#include <Uefi/UefiBaseType.h>

#include <memory>
#include <string>

namespace sim {
class Machine;
class Pei;
class Dxe;
} // namespace sim

namespace sim::cpu {

class ImageBoot {
public:
  ImageBoot(Machine &machine, const ImageSet &images) : machine_(machine), images_(images) {}
  ~ImageBoot();
  ImageBoot(const ImageBoot &) = delete;
  ImageBoot &operator=(const ImageBoot &) = delete;

  bool Has(const std::string &module) const { return images_.Find(module) != nullptr; }

  // Loads the module's IA32 image and runs its entry point with the IA32 PEI
  // services over `pei`; `slot` tells the file handles of modules apart.
  EFI_STATUS RunPei(const std::string &module, unsigned slot, Pei &pei);
  // After pei.SignalEndOfPei(): the end of PEI in the IA32 world.
  void SignalEndOfPei();
  bool PeiPpiInstalled(const EFI_GUID &guid) const;

  // Loads the module's x86-64 image, gives it an image handle and runs its
  // entry point with `dxe`'s system table.
  EFI_STATUS RunDxe(const std::string &module, Dxe &dxe);

  // The CPUs so far (null until a module of their phase ran).
  const Cpu *PeiCpu() const { return peiCpu_.get(); }
  const Cpu *DxeCpu() const { return dxeCpu_.get(); }

  // Tells every emulated CPU of later boots to count instructions.
  static void CountInstructions(bool on);
  // The statistics of every CPU of the boots that ended so far (benchmarks).
  static CpuStats Totals();
  static void ResetTotals();

private:
  Machine &machine_;
  const ImageSet &images_;
  std::unique_ptr<Cpu> peiCpu_;
  std::unique_ptr<PeiIa32> peiWorld_;
  std::unique_ptr<Cpu> dxeCpu_;
};

} // namespace sim::cpu
