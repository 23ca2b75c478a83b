// What a boot costs: host time of a full default boot and of a boot against
// a silent controller; virtual time per module of the default boot beside
// the delays the modules must spend (pulses, stalls); and the sizes of the
// EFI images of the firmware build beside their budgets.
#include "Board.h"
#include "BootRunner.h"

#include <benchmark/benchmark.h>
#include <toml++/toml.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

using sim::board::Board;
using sim::board::BoardOptions;
using sim::board::BootRunner;

sim::board::RunRecord BootOnce(const BoardOptions &options) {
  Board board(options);
  BootRunner runner(board);
  return runner.Run(options.maxBoots);
}

void BM_DefaultBoot(benchmark::State &state) {
  for (auto _ : state) {
    sim::board::RunRecord run = BootOnce({});
    benchmark::DoNotOptimize(run.boots.size());
  }
}
BENCHMARK(BM_DefaultBoot)->Unit(benchmark::kMillisecond);

void BM_SilentControllerBoot(benchmark::State &state) {
  BoardOptions options;
  options.controllerSilent = true;
  const uint32_t polls = static_cast<uint32_t>(state.range(0));
  options.setupBytes[2085] = {uint8_t(polls), uint8_t(polls >> 8), uint8_t(polls >> 16),
                              uint8_t(polls >> 24)};
  for (auto _ : state) {
    sim::board::RunRecord run = BootOnce(options);
    benchmark::DoNotOptimize(run.boots.size());
  }
  state.SetLabel(std::to_string(polls) + " receive polls per attempt");
}
BENCHMARK(BM_SilentControllerBoot)->Arg(50)->Arg(500)->Unit(benchmark::kMillisecond)->Iterations(1);

// Virtual time per module against the waits each one must spend: the
// counters are milliseconds of virtual time ("<module>" spent,
// "<module>_mandated" the least the module's own delays add up to).
void BM_VirtualTimePerModule(benchmark::State &state) {
  std::map<std::string, double> spent;
  for (auto _ : state) {
    spent.clear();
    BoardOptions options;
    options.setupBytes[1987] = {0}; // first start: the 100 ms pad pulse too
    sim::board::RunRecord run = BootOnce(options);
    for (const sim::board::StepRecord &step : run.boots.front().steps) {
      const std::string &owner = step.isModule ? step.name : step.actor;
      if (!owner.empty()) {
        spent[owner] += static_cast<double>(step.TimeNs()) / 1e6;
      }
    }
  }
  // SioGpioPei: the five pins held low for 10 ms. MgmtDevicePei: the reset
  // pad held low for 100 ms at first start. The others mandate no wait of
  // their own on a board that answers at once.
  const std::map<std::string, double> mandated = {{"SioGpioPei", 10.0}, {"MgmtDevicePei", 100.0}};
  for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
    state.counters[m.name] = spent.count(m.name) ? spent[m.name] : 0.0;
    auto it = mandated.find(m.name);
    if (it != mandated.end()) {
      state.counters[m.name + "_mandated"] = it->second;
    }
  }
}
BENCHMARK(BM_VirtualTimePerModule)->Iterations(1)->Unit(benchmark::kMillisecond);

// Sizes of images/<Module>.efi in bytes (MGMT_FIRMWARE_IMAGES or the
// firmware preset's directory) beside each module's budget from the module
// list ("<Module>.efi" and "<Module>_budget"); a missing image counts 0.
void BM_EfiImageSizes(benchmark::State &state) {
  const char *env = std::getenv("MGMT_FIRMWARE_IMAGES");
  const std::filesystem::path dir = env != nullptr ? env : MGMT_FIRMWARE_IMAGES;
  toml::table modules;
  try {
    modules = toml::parse_file(MGMT_MODULE_LIST);
  } catch (const toml::parse_error &error) {
    state.SkipWithError(error.what());
    return;
  }
  for (auto _ : state) {
    for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(dir / (m.name + ".efi"), ec);
      state.counters[m.name + ".efi"] = ec ? 0.0 : static_cast<double>(size);
      state.counters[m.name + "_budget"] =
          static_cast<double>(modules["modules"][m.name]["budget"].value_or(int64_t{0}));
    }
  }
  state.SetLabel(dir.string());
}
BENCHMARK(BM_EfiImageSizes)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
