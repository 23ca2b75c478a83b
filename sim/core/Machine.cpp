// Machine wiring (RAM on the bus, MSR faults) and how a stop ends a run.
#include "Machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <malloc.h>

#include "FirmwareRunner.h"

namespace sim {

// Guest RAM as seen through MMIO accessors (a driver may poll a descriptor
// with MmioRead32 as well as through a pointer).
class Machine::RamTarget final : public BusTarget {
public:
  explicit RamTarget(uint64_t base) : base_(base) {}
  uint64_t Read(uint64_t offset, unsigned size) override {
    uint64_t value = 0;
    std::memcpy(&value, reinterpret_cast<void *>(base_ + offset), size);
    return value;
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    std::memcpy(reinterpret_cast<void *>(base_ + offset), &value, size);
  }

private:
  uint64_t base_;
};

const char *StopReasonName(StopReason reason) {
  switch (reason) {
  case StopReason::Reset:
    return "reset";
  case StopReason::Watchdog:
    return "watchdog";
  case StopReason::Fault:
    return "fault";
  case StopReason::PowerOff:
    return "power-off";
  }
  return "?";
}

namespace {
// A process boots machine after machine, each allocating and freeing the
// same few MiB of host heap (trace, models, tables). glibc would return the
// top of the heap to the kernel after each and map its large blocks afresh,
// so every boot paid a hundred page faults for memory it had just given
// back. Keep it: the peak stays what one boot needs.
void KeepHostHeapBetweenMachines() {
  static const bool kept = [] {
#if defined(__GLIBC__)
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
    return true;
  }();
  (void)kept;
}
} // namespace

Machine::Machine() : bus_(clock_, trace_) {
  KeepHostHeapBetweenMachines();
  trace_.SetTimeSource(&clock_);
  for (const GuestMemory::Region &region : memory_.Regions()) {
    ram_.push_back(std::make_unique<RamTarget>(region.base));
    bus_.MapMmio(region.base, region.size, ram_.back().get(),
                 region.base < GuestMemory::k4GiB ? "ram" : "ram above 4 GiB", AccessKind::Memory);
    bus_.SetQuiet(ram_.back().get(), true);
  }
  bus_.OnMsrFault([this](uint32_t index) {
    char detail[64];
    std::snprintf(detail, sizeof(detail), "RDMSR of unmodelled MSR 0x%x", index);
    Stop(StopReason::Fault, detail);
  });
}

Machine::~Machine() {
  if (current_ == this)
    current_ = nullptr;
}

void Machine::Stop(StopReason reason, std::string detail, uint64_t value) {
  if (reason == StopReason::Fault) {
    for (const auto &[owner, describe] : faultContexts_) {
      const std::string context = describe();
      if (!context.empty()) {
        detail += " (" + context + ")";
      }
    }
  }
  if (trace_.Listening()) {
    trace_.Emit("machine", ev::MachineStop{StopReasonName(reason), detail});
  }
  lastStop_ = StopRecord{reason, value, std::move(detail), clock_.NowNs()};
  if (FirmwareRunner *runner = FirmwareRunner::Current()) {
    runner->Abandon();
  }
  if (reason == StopReason::Reset) {
    return;
  }
  std::fprintf(stderr,
               "mgmt-sim: %s outside a firmware run at %llu ns: %s\n"
               "mgmt-sim: run firmware code through sim::FirmwareRunner::Run so a stop can end "
               "it\n",
               StopReasonName(reason), static_cast<unsigned long long>(clock_.NowNs()),
               lastStop_->detail.c_str());
  std::abort();
}

MachineScope::MachineScope(Machine &machine) : previous_(Machine::current_) {
  Machine::current_ = &machine;
}

MachineScope::~MachineScope() { Machine::current_ = previous_; }

} // namespace sim
