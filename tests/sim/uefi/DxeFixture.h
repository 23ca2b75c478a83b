// A machine, a variable store and one DXE phase, with firmware-side code run
// inside a FirmwareRunner so that a fault or a reset ends the run, not the
// test binary. Tests call the services through the EFIAPI tables.
#pragma once

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::test {

// Distinct protocol GUIDs for tests; the values mean nothing.
inline EFI_GUID TestGuid(uint32_t n) {
  return EFI_GUID{
      0x5E570000u + n, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44}};
}

// The current boot services, for notify functions (they get only a context).
inline EFI_BOOT_SERVICES *gBS = nullptr;

class DxeFixture : public ::testing::Test {
protected:
  DxeFixture() : scope_(machine_) { NewBoot(); }

  // Drops the current DXE phase and starts the next boot's.
  void NewBoot() {
    dxe_.reset();
    dxe_ = std::make_unique<Dxe>(machine_, variables_);
    bs_ = dxe_->SystemTable()->BootServices;
    rt_ = dxe_->SystemTable()->RuntimeServices;
    gBS = bs_;
  }

  RunOutcome Run(std::function<void()> body) {
    return FirmwareRunner::Run(machine_, std::move(body));
  }

  // Runs body and expects it to complete.
  void RunOk(std::function<void()> body) {
    RunOutcome outcome = Run(std::move(body));
    ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
  }

  EFI_EVENT MakeNotifyEvent(EFI_TPL tpl, EFI_EVENT_NOTIFY notify, void *context) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, tpl, notify, context, &event), EFI_SUCCESS);
    return event;
  }

  // A TPL_CALLBACK event whose notify function counts its runs in *count.
  EFI_EVENT MakeCountingEvent(int *count) {
    return MakeNotifyEvent(
        TPL_CALLBACK, [](EFI_EVENT, void *context) EFIAPI { ++*static_cast<int *>(context); },
        count);
  }

  Machine machine_;
  MachineScope scope_;
  VariableStore variables_;
  std::unique_ptr<Dxe> dxe_;
  EFI_BOOT_SERVICES *bs_ = nullptr;
  EFI_RUNTIME_SERVICES *rt_ = nullptr;
};

// Records what notify functions saw; contexts point at one of these.
struct Log {
  std::vector<std::string> lines;
  void Add(std::string line) { lines.push_back(std::move(line)); }
};

} // namespace sim::test
