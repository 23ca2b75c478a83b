// Complete boots of a board: the PEI modules in their start order with the
// boot mode, end of PEI, the HOB list handed to DXE, the DXE drivers, the
// firmware core's later installations the drivers react to, ready-to-boot
// and exit-boot-services, after which the board watches the devices for a
// while: a DMA write into the OS's memory then fails the run. A reset ends a boot and the next one follows with the
// non-volatile variables kept, until a boot reaches ready-to-boot or the
// number of boots runs out. Every step runs on a firmware fiber, so a reset,
// the watchdog or an emulation fault ends it cleanly; what each step did is
// read back from the models and the variable store and kept as notes.
#pragma once

#include "Board.h"

#include <sim/core/FirmwareRunner.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::cpu {
class ImageSet;
}

namespace sim::board {

// One link request seen on the wire, with the answer that followed it.
struct LinkExchange {
  uint64_t timeNs = 0;
  uint32_t code = 0;
  std::vector<uint8_t> data; // request bytes after the code
  unsigned attempts = 1;     // identical requests sent in a row
  bool answered = false;
  uint16_t status = 0;
  std::vector<uint8_t> answer; // answer data after the status word
};

struct VariableChange {
  std::string name;
  bool existed = false;
  bool exists = false;
  std::vector<uint8_t> oldValue;
  std::vector<uint8_t> newValue;
};

struct HobRecord {
  std::string name; // GUID name or HOB type
  uint16_t type = 0;
  uint16_t length = 0;
  std::vector<uint8_t> data; // after the GUID-extension header
};

struct StepRecord {
  std::string name;  // module or firmware-core step
  std::string phase; // "PEI", "DXE" or "core"
  bool isModule = false;
  // For a firmware-core step: the module whose notification or event did
  // the work (its time is that module's too).
  std::string actor;
  bool present = true; // false: module not in this build
  bool ran = false;
  uint64_t status = 0; // the entry point's EFI_STATUS
  RunOutcome::Kind outcome = RunOutcome::Completed;
  std::string outcomeDetail;
  uint64_t startNs = 0;
  uint64_t endNs = 0;
  std::vector<std::string> notes;        // what it did, in words
  std::vector<LinkExchange> exchanges;   // requests made during it
  size_t noticesSent = 0;                // notice frames during it
  std::vector<VariableChange> variables; // changed during it
  uint64_t TimeNs() const { return endNs - startNs; }
};

struct BootRecord {
  unsigned number = 0;
  uint32_t bootMode = 0;
  uint64_t startNs = 0;
  uint64_t endNs = 0;
  std::vector<StepRecord> steps;
  // S3Resume: the PEI phase handed back to the OS; no DXE phase runs.
  enum class Ending { ReadyToBoot, S3Resume, Reset, Watchdog, Fault, PowerOff } ending =
      Ending::ReadyToBoot;
  std::string endStep; // the step that ended the boot
  std::string endDetail;
  uint64_t resetValue = 0;
  std::vector<HobRecord> hobs;
  // DMA writes by device models into the OS's memory after the boot exited
  // boot services (while the board watched them), and the first of them.
  uint64_t dmaAfterExitBootServices = 0;
  std::string firstDmaAfterExit;
  // What firmware still held through the pool and page services when the
  // DXE phase handed over to the OS (right before exit-boot-services).
  uint64_t poolBytesAtExit = 0;
  uint64_t pagesAtExit = 0;
};
const char *EndingName(BootRecord::Ending ending);

struct RunRecord {
  std::vector<BootRecord> boots;
  bool reachedReadyToBoot = false;
  // A hang or a failure the real system would not have (exit status 1).
  bool failed = false;
  std::string failure;
  // Modules that ran as EFI images on the emulated CPU, and their folder.
  std::vector<std::string> imageModules;
  std::string imageDirectory;
  uint64_t dmaAfterExitBootServices = 0; // every boot's
};

class BootRunner {
public:
  // How long the board lets the devices run after exit-boot-services.
  static constexpr uint64_t kOsWatchNs = 100'000'000;

  explicit BootRunner(Board &board) : board_(board) {}

  // Runs boots until one reaches ready-to-boot, at most maxBoots.
  RunRecord Run(unsigned maxBoots);

  // Boots the modules of `images` from their EFI images on the emulated CPU
  // and the rest from their host builds (needs a build with the CPU).
  void UseImages(std::shared_ptr<const cpu::ImageSet> images) { images_ = std::move(images); }

  // Names of the seven modules in start order, and whether each is linked in.
  struct ModuleInfo {
    std::string name;
    std::string phase;
    bool present;
  };
  static std::vector<ModuleInfo> Modules();

  // What the OS does first after exit-boot-services, before the board
  // watches the devices (none by default; a test may re-enable a device).
  void SetOsStart(std::function<void(Board &)> osStart) { osStart_ = std::move(osStart); }

private:
  BootRecord Boot(unsigned number);
  // Lets the devices run for kOsWatchNs and records their DMA into the OS's memory.
  void WatchAfterExitBootServices(BootRecord &boot);

  Board &board_;
  std::shared_ptr<const cpu::ImageSet> images_;
  std::function<void(Board &)> osStart_;
};

std::string DescribeItem(uint32_t code);

} // namespace sim::board
