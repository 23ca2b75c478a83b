// Following the controller through PCI enumeration: when the firmware core
// installs PCI I/O for the board's controller (identity and subsystem), the
// agent enables its decoding and reinstalls the same NIC I/O instance with the
// enumerated location and windows. Other devices, another subsystem, or a
// start-up that did not ask for it change nothing.
#include "AgentTestSupport.h"

#include <Protocol/NicIo.h>

#include "NicIo.h"
#include "Pci.h"
#include "PciIoDevice.h"

namespace {

using namespace agent_test;
using sim::PciConfigSpace;
using sim::PciIoDevice;

constexpr EFI_GUID kHobListGuid = HOB_LIST_GUID;
constexpr uint8_t kNicBus = 3;
constexpr uint16_t kHobIoBase = 0xD000; // unclaimed: the switch finds the state it wants
constexpr uint64_t kHobMemBase = 0xF0000000;

VOID EFIAPI CountNotification(EFI_EVENT, VOID *Context) { ++*static_cast<int *>(Context); }

class RebindTest : public AgentTest {
protected:
  RebindTest() {
    Identify(nic, 0x3A7C);
    machine.bus().Pci().Attach(kNicBus, 0, 0, &nic, "nic");
    linkHandle = InstallLink(link); // the link exists at start-up: the NIC is present
    link.SetItem(kMgmtReadDisplayMode, {0});
    link.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 1});
    link.SetItem(kMgmtReadRequestWord, {0, 0, 0, 0});
  }
  ~RebindTest() override { machine.bus().Pci().Detach(kNicBus, 0, 0); }

  static void Identify(PciConfigSpace &function, uint16_t subsystem) {
    function.SetIds(0x10EC, 0x8168);
    function.SetSubsystem(0x10EC, subsystem);
    function.SetWriteMask(0x04, 2, 0x0007);
    function.SetBar(0, PciConfigSpace::BarKind::Io, 0x100, kHobIoBase);
    function.SetBar(2, PciConfigSpace::BarKind::Mem64, 0x1000, kHobMemBase);
  }

  EFI_STATUS Start(uint8_t rebindEnable, std::optional<uint8_t> networkStack) {
    Bytes setup = LinkInUseSetup();
    setup[SetupOffset::MgmtRebindEnable] = rebindEnable;
    SeedSetup(setup);
    if (networkStack) {
      EXPECT_EQ(variables.Seed("NetworkStackVar", kNetworkStackVarGuid, kNvBsRt,
                               Bytes{*networkStack, 0, 0, 0, 0, 0, 0, 0}),
                EFI_SUCCESS);
    }
    dxe->AddConfigurationTable(
        kHobListGuid, hobs.Build(std::vector<HobEntry>{
                          {kMgmtDeviceKindFunction, kNicBus, 0, 0, kHobIoBase, 0x100, 0x10, 0},
                          {kMgmtDeviceKindFunction, kNicBus, 0, 0, kHobMemBase, 0x1000, 0x18, 4}}));
    mSystemTable = nullptr;
    EFI_STATUS status = EFI_NOT_STARTED;
    RunToEnd([&] {
      status = dxe->RunEntryPoint(MgmtAgentDxeEntryPoint, imageHandle);
      // Counts every (re)installation of NIC I/O from here on.
      EFI_EVENT event;
      ASSERT_EQ(mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotification,
                                           &nicIoInstallations, &event),
                EFI_SUCCESS);
      VOID *registration;
      ASSERT_EQ(mBootServices->RegisterProtocolNotify(&gNicIoProtocolGuid, event, &registration),
                EFI_SUCCESS);
    });
    return status;
  }

  // The firmware core enumerates a function and installs its PCI I/O.
  void Enumerate(PciIoDevice &device) {
    RunToEnd([&] { ASSERT_EQ(device.Install(), EFI_SUCCESS); });
  }

  PciConfigSpace nic;
  FakeLink link;
  HobListBuilder hobs{machine};
  int nicIoInstallations = 0;
  EFI_HANDLE linkHandle = nullptr;
};

TEST_F(RebindTest, BoardControllerIsFollowedToItsEnumeratedWindows) {
  ASSERT_EQ(Start(1, std::nullopt), EFI_SUCCESS);
  NIC_IO_PROTOCOL *instance =
      static_cast<NIC_IO_PROTOCOL *>(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid));
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->BarTable[0].BarBase, kHobIoBase);
  nic.Set16(0x04, 0); // enumeration leaves decoding off

  PciIoDevice enumerated(*dxe, {kNicBus, 0, 0}, {{0, 0xC000}, {2, 0xF1000000}});
  Enumerate(enumerated);
  EXPECT_EQ(nicIoInstallations, 1) << "reinstalled once";
  EXPECT_EQ(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid), instance) << "the same instance";
  EXPECT_EQ(enumerated.Attributes(), EFI_PCI_DEVICE_ENABLE);
  EXPECT_EQ(nic.Get16(0x04) & 0x7, 0x7) << "decoding on";
  EXPECT_EQ(instance->BusNumber, kNicBus);
  EXPECT_TRUE(NicIoBarKindIsIo(instance->BarTable[0].BarKind));
  EXPECT_EQ(instance->BarTable[0].BarBase, 0xC000u);
  EXPECT_TRUE(NicIoBarKindIsMemory(instance->BarTable[2].BarKind));
  EXPECT_EQ(instance->BarTable[2].BarBase, 0xF1000000u);
  EXPECT_EQ(instance->BarTable[2].BarLength, 0x1000u);
}

TEST_F(RebindTest, OtherDevicesAndAnotherSubsystemLeaveTheInstanceAlone) {
  ASSERT_EQ(Start(1, std::nullopt), EFI_SUCCESS);
  NIC_IO_PROTOCOL *instance =
      static_cast<NIC_IO_PROTOCOL *>(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid));
  ASSERT_NE(instance, nullptr);
  const NIC_IO_PROTOCOL before = *instance;

  PciConfigSpace display;
  display.SetIds(0x10EF, 0x816F);
  display.SetWriteMask(0x04, 2, 0x0007);
  display.SetBar(0, PciConfigSpace::BarKind::Mem32, 0x100000, 0xE8000000);
  machine.bus().Pci().Attach(0, 2, 0, &display, "display");
  PciConfigSpace twin;
  Identify(twin, 0x1234); // same controller, another board's subsystem
  twin.SetBar(0, PciConfigSpace::BarKind::Io, 0x100, 0xB000);
  machine.bus().Pci().Attach(4, 0, 0, &twin, "twin");

  PciIoDevice displayIo(*dxe, {0, 2, 0});
  PciIoDevice twinIo(*dxe, {4, 0, 0});
  Enumerate(displayIo);
  Enumerate(twinIo);
  EXPECT_EQ(nicIoInstallations, 0);
  EXPECT_EQ(std::memcmp(instance, &before, sizeof(before)), 0);
  EXPECT_EQ(twinIo.Attributes(), 0u) << "not enabled either";
  machine.bus().Pci().Detach(0, 2, 0);
  machine.bus().Pci().Detach(4, 0, 0);
}

TEST_F(RebindTest, NoRebindWhenSetupOrTheNetworkStackSaySo) {
  for (const auto &[rebind, stack] :
       std::vector<std::pair<uint8_t, std::optional<uint8_t>>>{{0, std::nullopt}, {1, 1}}) {
    NewBoot();
    InstallLink(link);
    nicIoInstallations = 0;
    ASSERT_EQ(Start(rebind, stack), EFI_SUCCESS);
    PciIoDevice enumerated(*dxe, {kNicBus, 0, 0}, {{0, 0xC000}});
    Enumerate(enumerated);
    EXPECT_EQ(nicIoInstallations, 0) << int{rebind} << " " << int{stack.value_or(0)};
    const auto *instance =
        static_cast<NIC_IO_PROTOCOL *>(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid));
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->BarTable[0].BarBase, kHobIoBase);
    (void)variables.Seed("NetworkStackVar", kNetworkStackVarGuid, kNvBsRt, {}); // next round: none
  }
}

TEST_F(RebindTest, NoRebindWithoutALinkAtStartUp) {
  RunToEnd([&] {
    ASSERT_EQ(mBootServices->UninstallProtocolInterface(linkHandle, &gMgmtLinkProtocolGuid,
                                                        link.Protocol()),
              EFI_SUCCESS);
  });
  ASSERT_EQ(Start(1, std::nullopt), EFI_SUCCESS);
  PciIoDevice enumerated(*dxe, {kNicBus, 0, 0}, {{0, 0xC000}});
  Enumerate(enumerated);
  EXPECT_EQ(nicIoInstallations, 0);
}

} // namespace
