// Running the modules' images in a boot.
#include "ImageBoot.h"

#include "sim/core/Machine.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/Dxe.h"

namespace sim::cpu {
namespace {
bool gCounting = false;
CpuStats gTotals;

void Add(CpuStats &to, const CpuStats &from) {
  to.instructions += from.instructions;
  to.ioAccesses += from.ioAccesses;
  to.mmioAccesses += from.mmioAccesses;
  to.msrReads += from.msrReads;
  to.pauses += from.pauses;
  to.traps += from.traps;
  to.calls += from.calls;
}
} // namespace

ImageBoot::~ImageBoot() {
  for (const Cpu *cpu : {peiCpu_.get(), dxeCpu_.get()}) {
    if (cpu != nullptr) {
      Add(gTotals, cpu->Stats());
    }
  }
}

void ImageBoot::CountInstructions(bool on) { gCounting = on; }
CpuStats ImageBoot::Totals() { return gTotals; }
void ImageBoot::ResetTotals() { gTotals = CpuStats{}; }

EFI_STATUS ImageBoot::RunPei(const std::string &module, unsigned slot, Pei &pei) {
  if (peiCpu_ == nullptr) {
    peiCpu_ = std::make_unique<Cpu>(machine_, Arch::Ia32);
    peiCpu_->CountInstructions(gCounting);
    peiWorld_ = std::make_unique<PeiIa32>(*peiCpu_, pei);
  }
  const LoadedImage &image = peiCpu_->Load(module, *images_.Find(module));
  // A file handle names the module's file; nothing reads through it.
  auto *handle = static_cast<uint32_t *>(peiCpu_->Scratch(16));
  *handle = slot;
  return peiWorld_->RunModule(image.entry,
                              static_cast<uint32_t>(reinterpret_cast<uint64_t>(handle)));
}

void ImageBoot::SignalEndOfPei() {
  if (peiWorld_ != nullptr) {
    peiWorld_->SignalEndOfPei();
  }
}

bool ImageBoot::PeiPpiInstalled(const EFI_GUID &guid) const {
  return peiWorld_ != nullptr && peiWorld_->FindPpi(guid) != 0;
}

EFI_STATUS ImageBoot::RunDxe(const std::string &module, Dxe &dxe) {
  if (dxeCpu_ == nullptr) {
    dxeCpu_ = std::make_unique<Cpu>(machine_, Arch::X64);
    dxeCpu_->CountInstructions(gCounting);
  }
  const LoadedImage &image = dxeCpu_->Load(module, *images_.Find(module));
  Dxe::ImageInfo info;
  info.imageBase = reinterpret_cast<void *>(image.base);
  info.imageSize = image.size;
  EFI_HANDLE handle = dxe.NewImageHandle(info);
  // The entry point is image code: the Dxe's call goes to the emulated CPU.
  return dxe.RunEntryPoint(reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(image.entry), handle);
}

} // namespace sim::cpu
