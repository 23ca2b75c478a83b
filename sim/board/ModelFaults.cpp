// Reading the misuse counters of each device model on the board.
#include "ModelFaults.h"

#include "Board.h"

#include "Chipset.h"
#include "Ec.h"
#include "PmTimer.h"
#include "SuperIo.h"

#if MGMT_BOARD_HAS_NIC
#include "MgmtController.h"
#include "NicModel.h"
#endif
#if MGMT_BOARD_HAS_PCH_GPIO
#include "PchGpioModel.h"
#endif

namespace sim::board {

void AddModelFaults(std::vector<ModelFaultCounts> &total,
                    const std::vector<ModelFaultCounts> &more) {
  for (const ModelFaultCounts &model : more) {
    ModelFaultCounts *into = nullptr;
    for (ModelFaultCounts &known : total) {
      into = known.model == model.model ? &known : into;
    }
    if (into == nullptr) {
      total.push_back(model);
      continue;
    }
    for (const ModelFaultCounter &counter : model.counters) {
      bool added = false;
      for (ModelFaultCounter &known : into->counters) {
        if (known.name == counter.name) {
          known.value += counter.value;
          added = true;
        }
      }
      if (!added) {
        into->counters.push_back(counter);
      }
    }
  }
}

std::vector<ModelFaultCounts> Board::PlatformModelFaults() const {
  std::vector<ModelFaultCounts> faults;
  if (chipset_) {
    faults.push_back({"chipset",
                      {{"refusedWrites", chipset_->RefusedWrites()},
                       {"unmirroredWrites", chipset_->UnmirroredWrites()},
                       {"unknownDmiWrites", chipset_->dmi().UnknownWrites()},
                       {"unclaimedSidebandReads", chipset_->sideband().UnclaimedReads()},
                       {"unclaimedSidebandWrites", chipset_->sideband().UnclaimedWrites()}}});
  }
  if (ec_) {
    faults.push_back({"ec",
                      {{"overruns", ec_->Overruns()},
                       {"emptyReads", ec_->EmptyReads()},
                       {"strayBytes", ec_->StrayBytes()},
                       {"unknownCommands", ec_->UnknownCommands()},
                       {"readOnlyWrites", ec_->ReadOnlyWrites()}}});
  }
  if (superio_) {
    const uint64_t open = superio_->ConfigEntries() - superio_->ConfigExits();
    faults.push_back({"superio",
                      {{"accessesOutsideConfig", superio_->AccessesOutsideConfig()},
                       {"unknownDeviceWrites", superio_->UnknownDeviceWrites()},
                       {"badWidthAccesses", superio_->BadWidthAccesses()},
                       {"configLeftOpen", open}}});
  }
  if (pmTimer_) {
    faults.push_back({"pm-timer", {{"ignoredWrites", pmTimer_->IgnoredWrites()}}});
  }
#if MGMT_BOARD_HAS_PCH_GPIO
  if (pchGpio_) {
    faults.push_back({"pch-gpio",
                      {{"refusedWrites", pchGpio_->RefusedWrites()},
                       {"unknownWrites", pchGpio_->UnknownWrites()},
                       {"sidebandStartsWhileBusy", pchGpio_->bridge().StartsWhileBusy()},
                       {"sidebandHiddenWrites", pchGpio_->bridge().HiddenWrites()}}});
  }
#endif
  return faults;
}

std::vector<ModelFaultCounts> Board::ModelFaults() const {
  std::vector<ModelFaultCounts> faults = platformFaults_;
  AddModelFaults(faults, PlatformModelFaults());
#if MGMT_BOARD_HAS_NIC
  if (nic_) {
    // The controller lives across resets: its counters are already totals.
    faults.push_back({"nic",
                      {{"lockedWrites", nic_->LockedWrites()},
                       {"writesDuringReset", nic_->WritesDuringReset()},
                       {"unknownWrites", nic_->UnknownWrites()},
                       {"readOnlyWrites", nic_->ReadOnlyWrites()},
                       {"dmaFaults", nic_->DmaFaults()},
                       {"ignoredDoorbells", nic_->IgnoredDoorbells()},
                       {"checksumFaults", nic_->ChecksumFaults()},
                       {"mapConflicts", nic_->MapConflicts()}}});
  }
  if (controller_) {
    faults.push_back({"mgmt-controller",
                      {{"malformedFrames", controller_->MalformedFrames()},
                       {"checksumFailures", controller_->ChecksumFailures()}}});
  }
#endif
  return faults;
}

} // namespace sim::board
