// Fixture of the MgmtDevicePei suites: a machine with the chipset, the GPIO
// communities of its series, the PM timer and a PEI phase; module code runs
// on a firmware fiber. Helpers read HOBs and tell the GPIO model's write log
// as a short story per pad ("CL-" configuration lock opened, "TX+" TX lock
// closed, "DW0" word 0 written, "GPE" enable written, ...).
#pragma once

#include <gtest/gtest.h>

#include <Pi/PiHob.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../ec/FirmwareTest.h"
#include "Chipset.h"
#include "PchGpio.h"
#include "PchGpioModel.h"
#include "PmTimer.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/VariableStore.h"

class MgmtDeviceFixture : public FirmwareTest {
protected:
  using Reg = sim::PchGpioModel::Reg;

  static constexpr uint64_t kWatchdogNs = 2'000'000'000;

  explicit MgmtDeviceFixture(uint16_t deviceId = sim::Chipset::kDeviceIdH,
                             EFI_BOOT_MODE bootMode = BOOT_WITH_FULL_CONFIGURATION,
                             uint64_t peiMemory = sim::Pei::kDefaultMemoryBytes)
      : chipset(machine, deviceId), gpio(machine, chipset.sideband(), chipset.Series()),
        pei(machine, variables, bootMode, peiMemory) {
    mPchSeries = kPchSeriesUnknown; // a freshly loaded module
    machine.SetWatchdog(kWatchdogNs);
  }

  const EFI_HOB_GUID_TYPE *FindGuidHob(const EFI_GUID &guid) const {
    return static_cast<const EFI_HOB_GUID_TYPE *>(GetNextGuidHob(&guid, pei.HobList()));
  }
  size_t CountGuidHobs(const EFI_GUID &guid) const {
    size_t count = 0;
    for (const void *hob = GetNextGuidHob(&guid, pei.HobList()); hob != nullptr;
         hob = GetNextGuidHob(&guid, GetNextHob(hob))) {
      ++count;
    }
    return count;
  }

  // Memory writes into the sideband window and into the bridge's
  // configuration space.
  size_t SidebandWindowWrites() { return MmioWritesIn(0xFD000000, 0x1000000); }
  size_t BridgeWrites() { return MmioWritesIn(0xE00F9000, 0x1000); }
  size_t MmioWritesIn(uint64_t base, uint64_t length) {
    size_t count = 0;
    for (const sim::TraceEntry &entry : machine.trace().Entries()) {
      count += entry.kind == sim::TraceEntry::MmioWrite && entry.address >= base &&
               entry.address - base < length;
    }
    return count;
  }

  // The model's writes that concern one pad, in order.
  std::vector<std::string> Story(unsigned group, unsigned pad) const {
    std::vector<std::string> story;
    const uint32_t bit = 1u << (pad % 32);
    for (const sim::PchGpioModel::Write &w : gpio.Writes()) {
      if (w.group != group) {
        continue;
      }
      if (w.reg == Reg::PadConfig) {
        if (w.pad == pad) {
          story.push_back("DW" + std::to_string(w.word));
        }
        continue;
      }
      if (w.reg == Reg::Ownership || w.pad != pad / 32 * 32) {
        continue;
      }
      if (w.reg == Reg::ConfigLock || w.reg == Reg::TxLock) {
        const bool was = (w.before & bit) != 0;
        const bool is = (w.after & bit) != 0;
        story.push_back(std::string(w.reg == Reg::ConfigLock ? "CL" : "TX") + (was && !is   ? "-"
                                                                               : !was && is ? "+"
                                                                                            : "="));
      } else if (w.reg == Reg::HostOwnership) {
        story.push_back("HOST");
      } else if (w.reg == Reg::GpeEnable) {
        story.push_back("GPE");
      } else if (w.reg == Reg::NmiEnable) {
        story.push_back("NMI");
      } else if (w.reg == Reg::SmiEnable) {
        story.push_back("SMI");
      }
    }
    return story;
  }

  sim::PmTimer timer{machine.clock(), machine.bus()};
  sim::Chipset chipset;
  sim::PchGpioModel gpio;
  sim::VariableStore variables;
  sim::Pei pei;
};
