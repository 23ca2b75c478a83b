// Drivers that go wrong, as two test drivers do on purpose: a host fault in
// a driver's code (a wild pointer, a jump to no code, a stack overflow, a
// wild pointer handed to a service) ends its run with a fault naming the
// driver and the process goes on; a driver whose entry point fails is
// unloaded, and what it left behind ends the run when something uses it.
#include "DxeFixture.h"
#include "TestModules.h"

#include "sim/loader/ModuleImage.h"

#include <Guid/EventGroup.h>
#include <Protocol/LoadedImage.h>

namespace sim::test {

MGMT_SIM_MODULE_IMAGE(WildPointerDxe, EFI_IMAGE_ENTRY_POINT)
MGMT_SIM_MODULE_IMAGE(FailedEntryDxe, EFI_IMAGE_ENTRY_POINT)

namespace {

using Entry = std::remove_pointer_t<EFI_IMAGE_ENTRY_POINT>;

class DriverFaultTest : public DxeFixture {
protected:
  // Loads the image and runs its entry point on a fresh image handle.
  RunOutcome Start(ModuleImage &image, uint64_t stackBytes = FirmwareRunner::kDxeStackBytes) {
    image.Load();
    return FirmwareRunner::Run(
        machine_,
        [&] {
          imageHandle_ = dxe_->NewImageHandle();
          entryStatus_ = dxe_->RunEntryPoint(image.EntryPoint<Entry>(), imageHandle_);
        },
        stackBytes);
  }

  void Misbehave(UINT8 how) {
    std::u16string name = u"Misbehave";
    ASSERT_EQ(variables_.Set(reinterpret_cast<const CHAR16 *>(name.c_str()), &kMisbehaveVendor,
                             EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &how),
              EFI_SUCCESS);
  }

  EFI_HANDLE imageHandle_ = nullptr;
  EFI_STATUS entryStatus_ = EFI_NOT_STARTED;
};

std::string StartOf(const std::string &text, size_t length) { return text.substr(0, length); }

TEST_F(DriverFaultTest, HostFaultEndsTheRunNamingTheDriverAndTheProcessGoesOn) {
  const std::string wild = "0x4bad0000f000";
  struct Case {
    UINT8 how;
    uint64_t stackBytes;
    std::string detail; // the whole text, or its start up to the code address
  };
  const std::vector<Case> cases = {
      {kMisbehaveRead, FirmwareRunner::kDxeStackBytes,
       "WildPointerDxe: bad memory read at " + wild + " (code at WildPointerDxe+0x"},
      {kMisbehaveWrite, FirmwareRunner::kDxeStackBytes,
       "WildPointerDxe: bad memory write at " + wild + " (code at WildPointerDxe+0x"},
      {kMisbehaveJump, FirmwareRunner::kDxeStackBytes,
       "WildPointerDxe: jump to " + wild + ", where there is no code"},
      {kMisbehaveServiceArgument, FirmwareRunner::kDxeStackBytes,
       "simulator code called from WildPointerDxe: bad memory write at " + wild},
      {kMisbehaveOverflow, FirmwareRunner::kDxeStackBytes,
       "WildPointerDxe: stack overflow: the " +
           std::to_string(FirmwareRunner::kDxeStackBytes / 1024) + " KiB firmware stack ran out"},
      {kMisbehaveOverflow, FirmwareRunner::kPeiStackBytes,
       "WildPointerDxe: stack overflow: the " +
           std::to_string(FirmwareRunner::kPeiStackBytes / 1024) + " KiB firmware stack ran out"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.how));
    Misbehave(c.how);
    RunOutcome outcome = Start(WildPointerDxeImage(), c.stackBytes);
    EXPECT_EQ(outcome.kind, RunOutcome::Fault);
    EXPECT_EQ(StartOf(outcome.detail, c.detail.size()), c.detail) << outcome.detail;
    // The process, the machine and the next boot go on.
    NewBoot();
    Misbehave(kMisbehaveNothing);
    RunOutcome next = Start(WildPointerDxeImage());
    EXPECT_EQ(next.kind, RunOutcome::Completed) << next.detail;
    EXPECT_EQ(entryStatus_, EFI_SUCCESS);
    NewBoot();
  }
  EXPECT_EQ(machine_.memory().StacksInUse(), 0u);
}

TEST_F(DriverFaultTest, FailedEntryPointUnloadsTheDriverAndWhatItLeftEndsTheRunWhenUsed) {
  EFI_GUID left = kLeftInterfaceGuid;
  EFI_GUID awaited = kAwaitedProtocolGuid;
  EFI_GUID readyToBoot = EFI_EVENT_GROUP_READY_TO_BOOT;
  EFI_GUID loadedImage = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  const std::string interfaceHandedOut =
      " handed out the 6D0B2C41-1E77-4F3A-9B08-52C433E17A90 interface that FailedEntryDxe "
      "installed before it was unloaded (its entry point returned 0x8000000000000007)";
  const std::string notifyDue = "an event's notify function in FailedEntryDxe was due to run "
                                "after the driver was unloaded (its entry point returned "
                                "0x8000000000000007)";
  int other = 0;
  struct Use {
    const char *what;
    std::function<void()> use;
    std::string detail;
  };
  const std::vector<Use> uses = {
      {"its interface located",
       [&] {
         void *interface = nullptr;
         bs_->LocateProtocol(&left, nullptr, &interface);
       },
       "BootServices.LocateProtocol" + interfaceHandedOut},
      {"its interface taken from its handle",
       [&] {
         UINTN count = 0;
         EFI_HANDLE *handles = nullptr;
         ASSERT_EQ(bs_->LocateHandleBuffer(ByProtocol, &left, nullptr, &count, &handles),
                   EFI_SUCCESS);
         void *interface = nullptr;
         bs_->HandleProtocol(handles[0], &left, &interface);
       },
       "BootServices.HandleProtocol" + interfaceHandedOut},
      {"the protocol it waits for installed",
       [&] {
         EFI_HANDLE handle = nullptr;
         bs_->InstallProtocolInterface(&handle, &awaited, EFI_NATIVE_INTERFACE, &other);
       },
       notifyDue},
      {"ready-to-boot signalled", [&] { dxe_->SignalEventGroup(readyToBoot); }, notifyDue},
  };
  for (const Use &u : uses) {
    SCOPED_TRACE(u.what);
    NewBoot();
    RunOutcome start = Start(FailedEntryDxeImage());
    ASSERT_EQ(start.kind, RunOutcome::Completed) << start.detail;
    EXPECT_EQ(entryStatus_, EFI_DEVICE_ERROR);
    EXPECT_TRUE(dxe_->Unloaded("FailedEntryDxe"));
    EXPECT_EQ(dxe_->InterfaceOn(imageHandle_, loadedImage), nullptr)
        << "the loaded-image protocol leaves with the driver";
    RunOutcome outcome = Run(u.use);
    EXPECT_EQ(outcome.kind, RunOutcome::Fault);
    EXPECT_EQ(outcome.detail, u.detail);
  }
  // Nothing used, nothing wrong: the boot goes on past a failed driver.
  NewBoot();
  ASSERT_EQ(Start(FailedEntryDxeImage()).kind, RunOutcome::Completed);
  RunOk([&] {
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &left, EFI_NATIVE_INTERFACE, &other),
              EFI_SUCCESS);
  });
}

} // namespace
} // namespace sim::test
