// Host time of a default-board boot from the shipped EFI images on the
// emulated CPU beside the same boot from host builds, with the simulated
// accesses and emulated instructions behind it (build the firmware preset
// first; without images the image case reports an error).
#include "Board.h"
#include "BootRunner.h"

#include <benchmark/benchmark.h>

#if MGMT_BOARD_HAS_CPU
#include "ImageBoot.h"
#include "ImageSet.h"

#include <filesystem>

namespace {

using sim::board::Board;
using sim::board::BootRunner;

std::shared_ptr<const sim::cpu::ImageSet> ShippedImages() {
  if (!std::filesystem::is_directory(MGMT_FIRMWARE_IMAGES)) {
    return nullptr;
  }
  std::vector<sim::cpu::ImageSet::Module> modules;
  for (const auto &m : BootRunner::Modules()) {
    modules.push_back(
        {m.name, m.phase == "PEI" ? sim::cpu::Arch::Ia32 : sim::cpu::Arch::X64});
  }
  return std::make_shared<const sim::cpu::ImageSet>(
      sim::cpu::ImageSet::FromDirectory(MGMT_FIRMWARE_IMAGES, modules));
}

// Arg 0: host builds; arg 1: the seven images.
void BM_ImageBootVsHostBoot(benchmark::State &state) {
  std::shared_ptr<const sim::cpu::ImageSet> images;
  if (state.range(0) == 1) {
    images = ShippedImages();
    if (images == nullptr || images->Names().size() != 7) {
      state.SkipWithError("the seven images are not built (cmake --build --preset firmware)");
      return;
    }
  }
  uint64_t accesses = 0;
  sim::cpu::ImageBoot::CountInstructions(false);
  sim::cpu::ImageBoot::ResetTotals();
  for (auto _ : state) {
    Board board;
    BootRunner runner(board);
    runner.UseImages(images);
    benchmark::DoNotOptimize(runner.Run(4));
    accesses = board.machine().bus().Accesses();
  }
  const sim::cpu::CpuStats timed = sim::cpu::ImageBoot::Totals();
  const double boots = static_cast<double>(state.iterations());
  state.counters["accesses"] = static_cast<double>(accesses);
  state.counters["s_per_access"] = benchmark::Counter(
      static_cast<double>(accesses) * boots,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["image_accesses"] = static_cast<double>(timed.Accesses()) / boots;
  state.counters["host_calls_from_images"] = static_cast<double>(timed.traps) / boots;
  if (images != nullptr) {
    // Counting costs time of its own: one more boot, outside the timing.
    sim::cpu::ImageBoot::CountInstructions(true);
    sim::cpu::ImageBoot::ResetTotals();
    {
      Board board;
      BootRunner runner(board);
      runner.UseImages(images);
      (void)runner.Run(4);
    }
    sim::cpu::ImageBoot::CountInstructions(false);
    const double instructions =
        static_cast<double>(sim::cpu::ImageBoot::Totals().instructions);
    state.counters["instructions"] = instructions;
    state.counters["s_per_instruction"] = benchmark::Counter(
        instructions * boots, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  }
}
BENCHMARK(BM_ImageBootVsHostBoot)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
#endif
