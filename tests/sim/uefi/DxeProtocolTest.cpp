// Handle database and protocol notifications, driven through the boot
// services table the way DXE drivers use it.
#include "DxeFixture.h"

#include <Protocol/DevicePath.h>

#include <cstring>

namespace sim::test {
namespace {

EFI_GUID gFirst = TestGuid(1);
EFI_GUID gSecond = TestGuid(2);
EFI_GUID gThird = TestGuid(3);
EFI_GUID gDevicePath = EFI_DEVICE_PATH_PROTOCOL_GUID;

int gInterfaceA, gInterfaceB, gInterfaceC;

using ProtocolNotifyTest = DxeFixture;

// Installing a protocol inside a notification: its own notification runs
// after the first one returns and before the outermost install returns.
TEST_F(ProtocolNotifyTest, NestedInstallIsNotifiedAfterTheOuterNotificationReturns) {
  Log log;
  RunOk([&] {
    void *registration = nullptr;
    EFI_EVENT outer = MakeNotifyEvent(
        TPL_CALLBACK,
        [](EFI_EVENT, void *context) EFIAPI {
          auto *log = static_cast<Log *>(context);
          log->Add("outer begins");
          EFI_HANDLE handle = nullptr;
          EXPECT_EQ(
              gBS->InstallProtocolInterface(&handle, &gSecond, EFI_NATIVE_INTERFACE, &gInterfaceB),
              EFI_SUCCESS);
          log->Add("outer ends");
        },
        &log);
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gFirst, outer, &registration), EFI_SUCCESS);
    EFI_EVENT inner = MakeNotifyEvent(
        TPL_CALLBACK,
        [](EFI_EVENT, void *context) EFIAPI {
          EFI_TPL tpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);
          gBS->RestoreTPL(tpl);
          static_cast<Log *>(context)->Add("inner at TPL " + std::to_string(tpl));
        },
        &log);
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gSecond, inner, &registration), EFI_SUCCESS);

    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    log.Add("install returned");
  });
  EXPECT_EQ(log.lines, (std::vector<std::string>{"outer begins", "outer ends", "inner at TPL 8",
                                                 "install returned"}));
}

TEST_F(ProtocolNotifyTest, RegistrationHandsOutEachLaterInstallationOnceInOrder) {
  RunOk([&] {
    EFI_HANDLE early = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&early, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceC),
              EFI_SUCCESS);
    int signals = 0;
    EFI_EVENT event = MakeCountingEvent(&signals);
    void *registration = nullptr;
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gFirst, event, &registration), EFI_SUCCESS);
    EXPECT_EQ(signals, 0) << "registration alone signals nothing";
    void *found = nullptr;
    EXPECT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_NOT_FOUND)
        << "an installation before the registration is not handed out";

    EFI_HANDLE h1 = nullptr, h2 = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&h1, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&h2, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceB),
              EFI_SUCCESS);
    EXPECT_EQ(signals, 2);
    ASSERT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &gInterfaceA);
    ASSERT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &gInterfaceB);
    EXPECT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_NOT_FOUND);
    EXPECT_EQ(found, nullptr);

    // Without a registration: the first instance in installation order.
    ASSERT_EQ(bs_->LocateProtocol(&gFirst, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &gInterfaceC);
  });
}

TEST_F(ProtocolNotifyTest, ReinstallSignalsTheNotificationAndHandsOutTheNewInterface) {
  RunOk([&] {
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    int signals = 0;
    EFI_EVENT event = MakeCountingEvent(&signals);
    void *registration = nullptr;
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gFirst, event, &registration), EFI_SUCCESS);

    EXPECT_EQ(bs_->ReinstallProtocolInterface(handle, &gFirst, &gInterfaceB, &gInterfaceC),
              EFI_NOT_FOUND)
        << "the old interface must match";
    EXPECT_EQ(signals, 0);
    ASSERT_EQ(bs_->ReinstallProtocolInterface(handle, &gFirst, &gInterfaceA, &gInterfaceA),
              EFI_SUCCESS);
    EXPECT_EQ(signals, 1) << "reinstalling the same instance notifies again";
    EFI_HANDLE found = nullptr;
    UINTN size = sizeof found;
    ASSERT_EQ(bs_->LocateHandle(ByRegisterNotify, nullptr, registration, &size, &found),
              EFI_SUCCESS);
    EXPECT_EQ(found, handle);
    EXPECT_EQ(bs_->LocateHandle(ByRegisterNotify, nullptr, registration, &size, &found),
              EFI_NOT_FOUND);
  });
}

TEST_F(ProtocolNotifyTest, ClosedEventLosesItsRegistration) {
  RunOk([&] {
    int signals = 0;
    EFI_EVENT event = MakeCountingEvent(&signals);
    void *registration = nullptr;
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gFirst, event, &registration), EFI_SUCCESS);
    ASSERT_EQ(bs_->CloseEvent(event), EFI_SUCCESS);
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    EXPECT_EQ(signals, 0);
    void *found = nullptr;
    EXPECT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_NOT_FOUND);
  });
}

using HandleDatabaseTest = DxeFixture;

TEST_F(HandleDatabaseTest, LocateHandleBufferFollowsInstallationOrderOfTheProtocol) {
  RunOk([&] {
    EFI_HANDLE h1 = nullptr, h2 = nullptr, h3 = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&h1, &gThird, EFI_NATIVE_INTERFACE, nullptr),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&h2, &gThird, EFI_NATIVE_INTERFACE, nullptr),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&h3, &gThird, EFI_NATIVE_INTERFACE, nullptr),
              EFI_SUCCESS);
    // The protocol goes on the handles in another order than their creation.
    for (EFI_HANDLE h : {h2, h3, h1}) {
      ASSERT_EQ(bs_->InstallProtocolInterface(&h, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
                EFI_SUCCESS);
    }
    const uint64_t poolBefore = dxe_->PoolAllocationsInUse();
    UINTN count = 0;
    EFI_HANDLE *buffer = nullptr;
    ASSERT_EQ(bs_->LocateHandleBuffer(ByProtocol, &gFirst, nullptr, &count, &buffer), EFI_SUCCESS);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(buffer[0], h2);
    EXPECT_EQ(buffer[1], h3);
    EXPECT_EQ(buffer[2], h1);
    EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore + 1) << "the buffer is the caller's pool";
    ASSERT_EQ(bs_->FreePool(buffer), EFI_SUCCESS);
    EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore);

    EXPECT_EQ(bs_->LocateHandleBuffer(ByProtocol, &gSecond, nullptr, &count, &buffer),
              EFI_NOT_FOUND);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer, nullptr);
  });
}

// A reinstallation counts as the latest installation: the handle moves to the
// end of the protocol's order, and a registration hands it out once more.
TEST_F(HandleDatabaseTest, ReinstalledInterfaceMovesToTheEndOfTheOrder) {
  RunOk([&] {
    int signals = 0;
    void *registration = nullptr;
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gFirst, MakeCountingEvent(&signals), &registration),
              EFI_SUCCESS);
    EFI_HANDLE h1 = nullptr, h2 = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&h1, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&h2, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceB),
              EFI_SUCCESS);
    UINTN count = 0;
    EFI_HANDLE *buffer = nullptr;
    // One handle per call, in installation order.
    for (EFI_HANDLE expected : {h1, h2}) {
      ASSERT_EQ(bs_->LocateHandleBuffer(ByRegisterNotify, nullptr, registration, &count, &buffer),
                EFI_SUCCESS);
      ASSERT_EQ(count, 1u);
      EXPECT_EQ(buffer[0], expected);
      ASSERT_EQ(bs_->FreePool(buffer), EFI_SUCCESS);
    }
    EXPECT_EQ(bs_->LocateHandleBuffer(ByRegisterNotify, nullptr, registration, &count, &buffer),
              EFI_NOT_FOUND);

    ASSERT_EQ(bs_->ReinstallProtocolInterface(h1, &gFirst, &gInterfaceA, &gInterfaceC),
              EFI_SUCCESS);
    EXPECT_EQ(signals, 3);
    ASSERT_EQ(bs_->LocateHandleBuffer(ByProtocol, &gFirst, nullptr, &count, &buffer), EFI_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(buffer[0], h2);
    EXPECT_EQ(buffer[1], h1);
    ASSERT_EQ(bs_->FreePool(buffer), EFI_SUCCESS);
    void *found = nullptr;
    ASSERT_EQ(bs_->LocateProtocol(&gFirst, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &gInterfaceB) << "the first in order is now the one not reinstalled";
    ASSERT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &gInterfaceC);
    EXPECT_EQ(bs_->LocateProtocol(&gFirst, registration, &found), EFI_NOT_FOUND);
  });
}

TEST_F(HandleDatabaseTest, InstallAndUninstallFollowTheRules) {
  RunOk([&] {
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gSecond, EFI_NATIVE_INTERFACE, &gInterfaceB),
              EFI_SUCCESS);
    EXPECT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceC),
              EFI_INVALID_PARAMETER)
        << "a protocol goes on a handle once";
    EFI_GUID **guids = nullptr;
    UINTN count = 0;
    ASSERT_EQ(bs_->ProtocolsPerHandle(handle, &guids, &count), EFI_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_TRUE(CompareGuid(guids[0], &gFirst));
    EXPECT_TRUE(CompareGuid(guids[1], &gSecond));
    ASSERT_EQ(bs_->FreePool(guids), EFI_SUCCESS);

    EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &gFirst, &gInterfaceB), EFI_NOT_FOUND)
        << "the interface must match";
    EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &gThird, nullptr), EFI_NOT_FOUND);
    ASSERT_EQ(bs_->UninstallProtocolInterface(handle, &gFirst, &gInterfaceA), EFI_SUCCESS);
    void *interface = nullptr;
    EXPECT_EQ(bs_->HandleProtocol(handle, &gFirst, &interface), EFI_UNSUPPORTED);
    ASSERT_EQ(bs_->HandleProtocol(handle, &gSecond, &interface), EFI_SUCCESS);
    EXPECT_EQ(interface, &gInterfaceB);

    // Without protocols the handle is gone.
    ASSERT_EQ(bs_->UninstallProtocolInterface(handle, &gSecond, &gInterfaceB), EFI_SUCCESS);
    EXPECT_EQ(bs_->HandleProtocol(handle, &gSecond, &interface), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs_->InstallProtocolInterface(&handle, &gFirst, EFI_NATIVE_INTERFACE, nullptr),
              EFI_INVALID_PARAMETER);
    UINTN size = 0;
    EXPECT_EQ(bs_->LocateHandle(AllHandles, nullptr, nullptr, &size, nullptr), EFI_NOT_FOUND);
  });
}

TEST_F(HandleDatabaseTest, LocateHandleReportsTheSizeItNeeds) {
  RunOk([&] {
    EFI_HANDLE h1 = nullptr, h2 = nullptr;
    ASSERT_EQ(bs_->InstallProtocolInterface(&h1, &gFirst, EFI_NATIVE_INTERFACE, nullptr),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&h2, &gFirst, EFI_NATIVE_INTERFACE, nullptr),
              EFI_SUCCESS);
    EFI_HANDLE buffer[2] = {};
    UINTN size = sizeof(EFI_HANDLE);
    EXPECT_EQ(bs_->LocateHandle(ByProtocol, &gFirst, nullptr, &size, buffer), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
    EXPECT_EQ(buffer[0], nullptr);
    ASSERT_EQ(bs_->LocateHandle(ByProtocol, &gFirst, nullptr, &size, buffer), EFI_SUCCESS);
    EXPECT_EQ(buffer[0], h1);
    EXPECT_EQ(buffer[1], h2);
    EXPECT_EQ(bs_->LocateHandle(ByProtocol, nullptr, nullptr, &size, buffer),
              EFI_INVALID_PARAMETER);
  });
}

// A PCI root, a PCI device under it and a graphics child under the device.
struct Paths {
  ACPI_HID_DEVICE_PATH root;
  EFI_DEVICE_PATH_PROTOCOL rootEnd;
  ACPI_HID_DEVICE_PATH deviceRoot;
  PCI_DEVICE_PATH device;
  EFI_DEVICE_PATH_PROTOCOL deviceEnd;
  ACPI_HID_DEVICE_PATH childRoot;
  PCI_DEVICE_PATH childDevice;
  PCI_DEVICE_PATH child;
  EFI_DEVICE_PATH_PROTOCOL childEnd;
};

void Node(EFI_DEVICE_PATH_PROTOCOL &header, UINT8 type, UINT8 subType, UINTN length) {
  header.Type = type;
  header.SubType = subType;
  SetDevicePathNodeLength(&header, length);
}

Paths MakePaths() {
  Paths p{};
  for (ACPI_HID_DEVICE_PATH *root : {&p.root, &p.deviceRoot, &p.childRoot}) {
    Node(root->Header, ACPI_DEVICE_PATH, ACPI_DP, sizeof *root);
    root->HID = EISA_PNP_ID(0x0A03);
  }
  for (PCI_DEVICE_PATH *device : {&p.device, &p.childDevice}) {
    Node(device->Header, HARDWARE_DEVICE_PATH, HW_PCI_DP, sizeof *device);
    device->Device = 2;
  }
  Node(p.child.Header, HARDWARE_DEVICE_PATH, HW_PCI_DP, sizeof p.child);
  p.child.Device = 7;
  for (EFI_DEVICE_PATH_PROTOCOL *end : {&p.rootEnd, &p.deviceEnd, &p.childEnd}) {
    SetDevicePathEndNode(end);
  }
  return p;
}

TEST_F(HandleDatabaseTest, LocateDevicePathFindsTheLongestWholeNodePrefix) {
  static Paths paths = MakePaths();
  RunOk([&] {
    EFI_HANDLE root = nullptr, device = nullptr;
    ASSERT_EQ(bs_->InstallMultipleProtocolInterfaces(&root, &gDevicePath, &paths.root, &gFirst,
                                                     &gInterfaceA, nullptr),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallMultipleProtocolInterfaces(&device, &gDevicePath, &paths.deviceRoot,
                                                     &gFirst, &gInterfaceB, nullptr),
              EFI_SUCCESS);
    auto *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&paths.childRoot);
    EFI_HANDLE found = nullptr;
    ASSERT_EQ(bs_->LocateDevicePath(&gFirst, &path, &found), EFI_SUCCESS);
    EXPECT_EQ(found, device);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(path), reinterpret_cast<uint8_t *>(&paths.child))
        << "the path is advanced past the matched nodes";

    path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&paths.childRoot);
    EXPECT_EQ(bs_->LocateDevicePath(&gSecond, &path, &found), EFI_NOT_FOUND);

    // Installing a device path that another handle already carries fails
    // whole: nothing of the set stays installed.
    EFI_HANDLE twin = nullptr;
    EXPECT_EQ(bs_->InstallMultipleProtocolInterfaces(&twin, &gSecond, &gInterfaceC, &gDevicePath,
                                                     &paths.deviceRoot, nullptr),
              EFI_ALREADY_STARTED);
    EXPECT_EQ(twin, nullptr);
    void *interface = nullptr;
    EXPECT_EQ(bs_->LocateProtocol(&gSecond, nullptr, &interface), EFI_NOT_FOUND);
  });
}

TEST_F(HandleDatabaseTest, UninstallMultipleRestoresEverythingWhenOnePairFails) {
  RunOk([&] {
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(bs_->InstallMultipleProtocolInterfaces(&handle, &gFirst, &gInterfaceA, &gSecond,
                                                     &gInterfaceB, nullptr),
              EFI_SUCCESS);
    EXPECT_EQ(bs_->UninstallMultipleProtocolInterfaces(handle, &gFirst, &gInterfaceA, &gSecond,
                                                       &gInterfaceC, nullptr),
              EFI_INVALID_PARAMETER);
    void *interface = nullptr;
    ASSERT_EQ(bs_->HandleProtocol(handle, &gFirst, &interface), EFI_SUCCESS);
    EXPECT_EQ(interface, &gInterfaceA);
    ASSERT_EQ(bs_->UninstallMultipleProtocolInterfaces(handle, &gFirst, &gInterfaceA, &gSecond,
                                                       &gInterfaceB, nullptr),
              EFI_SUCCESS);
    EXPECT_TRUE(dxe_->Handles().empty());
  });
}

TEST_F(HandleDatabaseTest, DriverOpenBlocksUninstallUntilClosed) {
  RunOk([&] {
    EFI_HANDLE controller = nullptr, driver = dxe_->NewImageHandle();
    ASSERT_EQ(
        bs_->InstallProtocolInterface(&controller, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
        EFI_SUCCESS);
    void *interface = nullptr;
    ASSERT_EQ(bs_->OpenProtocol(controller, &gFirst, &interface, driver, controller,
                                EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_SUCCESS);
    EXPECT_EQ(bs_->OpenProtocol(controller, &gFirst, &interface, driver, controller,
                                EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_ALREADY_STARTED);
    EXPECT_EQ(bs_->UninstallProtocolInterface(controller, &gFirst, &gInterfaceA),
              EFI_ACCESS_DENIED);
    ASSERT_EQ(bs_->CloseProtocol(controller, &gFirst, driver, controller), EFI_SUCCESS);
    EXPECT_EQ(bs_->CloseProtocol(controller, &gFirst, driver, controller), EFI_NOT_FOUND);
    EXPECT_EQ(bs_->UninstallProtocolInterface(controller, &gFirst, &gInterfaceA), EFI_SUCCESS);
  });
}

// A child controller's open holds the interface as a driver's does; by-handle
// and get opens are let go of when the interface is replaced.
TEST_F(HandleDatabaseTest, ChildControllerOpenRefusesUninstallAndReinstall) {
  RunOk([&] {
    EFI_HANDLE controller = nullptr, child = nullptr, driver = dxe_->NewImageHandle();
    ASSERT_EQ(
        bs_->InstallProtocolInterface(&controller, &gFirst, EFI_NATIVE_INTERFACE, &gInterfaceA),
        EFI_SUCCESS);
    ASSERT_EQ(bs_->InstallProtocolInterface(&child, &gSecond, EFI_NATIVE_INTERFACE, &gInterfaceB),
              EFI_SUCCESS);
    void *interface = nullptr;
    ASSERT_EQ(bs_->OpenProtocol(controller, &gFirst, &interface, driver, nullptr,
                                EFI_OPEN_PROTOCOL_GET_PROTOCOL),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->ReinstallProtocolInterface(controller, &gFirst, &gInterfaceA, &gInterfaceB),
              EFI_SUCCESS);
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
    UINTN count = 99;
    ASSERT_EQ(bs_->OpenProtocolInformation(controller, &gFirst, &entries, &count), EFI_SUCCESS);
    EXPECT_EQ(count, 0u) << "the get open went with the old interface";
    bs_->FreePool(entries);

    ASSERT_EQ(bs_->OpenProtocol(controller, &gFirst, &interface, driver, child,
                                EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER),
              EFI_SUCCESS);
    EXPECT_EQ(bs_->UninstallProtocolInterface(controller, &gFirst, &gInterfaceB),
              EFI_ACCESS_DENIED);
    EXPECT_EQ(bs_->ReinstallProtocolInterface(controller, &gFirst, &gInterfaceB, &gInterfaceC),
              EFI_ACCESS_DENIED);
    EXPECT_EQ(dxe_->InterfaceOn(controller, gFirst), &gInterfaceB);
    ASSERT_EQ(bs_->CloseProtocol(controller, &gFirst, driver, child), EFI_SUCCESS);
    EXPECT_EQ(bs_->UninstallProtocolInterface(controller, &gFirst, &gInterfaceB), EFI_SUCCESS);
  });
}

} // namespace
} // namespace sim::test
