// What a boot costs: host time of a full default boot (with and without the
// transcript) and of a boot against a silent controller, each beside the bus
// accesses it makes and the virtual time it models; one iteration of a delay
// loop on the PM timer, where most accesses come from; a whole `mgmt-sim boot -q`
// process with its peak memory; virtual time per module of the default boot
// beside the delays the modules must spend (pulses, stalls); and the sizes of
// the EFI images of the firmware build beside their budgets.
#include "Board.h"
#include "BootRunner.h"
#include "Machine.h"
#include "PmTimer.h"
#include "Transcript.h"

#include <Hw.h>

#include <benchmark/benchmark.h>
#include <toml++/toml.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

extern char **environ;

namespace {

using sim::board::Board;
using sim::board::BoardOptions;
using sim::board::BootRunner;

// Host CPU time of this thread: what a boot costs, whatever else the shared
// machine runs meanwhile (wall time is reported beside it).
double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Host and virtual time and bus accesses summed over the timed boots.
struct BootTotals {
  uint64_t boots = 0;
  uint64_t accesses = 0;
  uint64_t virtualNs = 0;
  double hostNs = 0; // CPU
  double wallNs = 0;
  std::map<std::string, uint64_t> byDevice; // of the last boot
};

sim::board::RunRecord BootOnce(const BoardOptions &options, BootTotals &totals,
                               bool transcript = false) {
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ThreadCpuNs();
  Board board(options);
  BootRunner runner(board);
  sim::board::RunRecord run = runner.Run(options.maxBoots);
  if (transcript) {
    std::string text = sim::board::Transcript(board, run, false);
    benchmark::DoNotOptimize(text.data());
  }
  totals.hostNs += ThreadCpuNs() - cpuStart;
  totals.wallNs +=
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  totals.boots += 1;
  totals.accesses += board.machine().bus().Accesses();
  totals.virtualNs += board.machine().clock().NowNs();
  totals.byDevice = board.machine().bus().AccessesByDevice();
  return run;
}

// The figures every boot benchmark prints: accesses per boot, host CPU time
// per access and per boot (and wall time per boot), virtual time per boot and
// how much faster than the board it runs.
void Report(benchmark::State &state, const BootTotals &t) {
  if (t.boots == 0 || t.accesses == 0)
    return;
  state.counters["accesses_per_boot"] = static_cast<double>(t.accesses) / t.boots;
  state.counters["host_ns_per_access"] = t.hostNs / static_cast<double>(t.accesses);
  state.counters["virtual_ms_per_boot"] = static_cast<double>(t.virtualNs) / 1e6 / t.boots;
  state.counters["host_ms_per_boot"] = t.hostNs / 1e6 / t.boots;
  state.counters["wall_ms_per_boot"] = t.wallNs / 1e6 / t.boots;
  state.counters["virtual_per_host"] = static_cast<double>(t.virtualNs) / t.hostNs;
  state.counters["boots_per_s"] = 1e9 * t.boots / t.hostNs;
}

// Where a boot's accesses go: "<space>:<device>" counters of the last boot,
// for the devices with at least a thousandth of them.
void ReportDevices(benchmark::State &state, const BootTotals &t) {
  uint64_t all = 0;
  for (const auto &[device, n] : t.byDevice)
    all += n;
  for (const auto &[device, n] : t.byDevice) {
    if (n * 1000 >= all)
      state.counters[device.back() == ':' ? device + "(unclaimed)" : device] =
          static_cast<double>(n);
  }
}

void BM_DefaultBoot(benchmark::State &state) {
  BootTotals totals;
  for (auto _ : state) {
    sim::board::RunRecord run = BootOnce({}, totals);
    benchmark::DoNotOptimize(run.boots.size());
  }
  Report(state, totals);
  ReportDevices(state, totals);
}
BENCHMARK(BM_DefaultBoot)->Unit(benchmark::kMillisecond);

// The same boot and the transcript mgmt-sim prints of it.
void BM_DefaultBootWithTranscript(benchmark::State &state) {
  BootTotals totals;
  for (auto _ : state) {
    sim::board::RunRecord run = BootOnce({}, totals, true);
    benchmark::DoNotOptimize(run.boots.size());
  }
  Report(state, totals);
}
BENCHMARK(BM_DefaultBootWithTranscript)->Unit(benchmark::kMillisecond);

// One iteration of the delay loop module code runs on the PM timer (a port
// read and a pause), the source of three in four accesses of a boot.
void BM_StallPoll(benchmark::State &state) {
  sim::Machine machine;
  sim::PmTimer timer(machine.clock(), machine.bus());
  sim::MachineScope scope(machine);
  constexpr int kPolls = 1000;
  uint32_t sum = 0;
  const double cpuStart = ThreadCpuNs();
  for (auto _ : state) {
    for (int i = 0; i < kPolls; ++i) {
      sum += IoRead32(sim::PmTimer::kPort);
      CpuPause();
    }
  }
  const double polls = static_cast<double>(state.iterations()) * kPolls;
  benchmark::DoNotOptimize(sum);
  state.counters["host_ns_per_poll"] = (ThreadCpuNs() - cpuStart) / polls;
  state.counters["virtual_ns_per_poll"] = static_cast<double>(machine.clock().NowNs()) / polls;
}
BENCHMARK(BM_StallPoll);

// A whole `mgmt-sim boot -q` process (start-up, image loading, the boot,
// exit): wall time, host CPU time (user and system) and peak resident memory.
void BM_ProcessBootQuiet(benchmark::State &state) {
  const char *env = std::getenv("MGMT_SIM");
  const std::string sim = env != nullptr ? env : MGMT_SIM_PATH;
  double cpuMs = 0, sysMs = 0, peakMiB = 0;
  uint64_t runs = 0;
  for (auto _ : state) {
    char *argv[] = {const_cast<char *>(sim.c_str()), const_cast<char *>("boot"),
                    const_cast<char *>("-q"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, sim.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (error != 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      state.SkipWithError(("cannot run " + sim + " boot -q").c_str());
      return;
    }
    auto ms = [](const timeval &tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    cpuMs += ms(usage.ru_utime) + ms(usage.ru_stime);
    sysMs += ms(usage.ru_stime);
    peakMiB = std::max(peakMiB, usage.ru_maxrss / 1024.0);
    ++runs;
  }
  if (runs != 0) {
    state.counters["cpu_ms"] = cpuMs / runs;
    state.counters["sys_ms"] = sysMs / runs;
    state.counters["peak_MiB"] = peakMiB;
  }
  state.SetLabel(sim);
}
BENCHMARK(BM_ProcessBootQuiet)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SilentControllerBoot(benchmark::State &state) {
  BoardOptions options;
  options.controllerSilent = true;
  const uint32_t polls = static_cast<uint32_t>(state.range(0));
  options.setupBytes[2085] = {uint8_t(polls), uint8_t(polls >> 8), uint8_t(polls >> 16),
                              uint8_t(polls >> 24)};
  BootTotals totals;
  for (auto _ : state) {
    sim::board::RunRecord run = BootOnce(options, totals);
    benchmark::DoNotOptimize(run.boots.size());
  }
  Report(state, totals);
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
    BootTotals totals;
    sim::board::RunRecord run = BootOnce(options, totals);
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
