// Which display notifications the start-up registers: display selection only
// when MgmtDisplayMode is not 3 at start, the logo trigger only when the link
// is in use. Seen through what happens to real displays afterwards.
#include "DisplayTestSupport.h"

#include <Protocol/MgmtTriggers.h>

#include "SetupStandIns.h"

namespace {

using namespace agent_test;

constexpr EFI_GUID kHobListGuid = HOB_LIST_GUID;
constexpr uint8_t kNicBus = 3;

class StartUpDisplaysTest : public DisplayTestBase {
protected:
  StartUpDisplaysTest() {
    nic.SetIds(0x10EC, 0x8168);
    nic.SetSubsystem(0x10EC, 0x3A7C);
    machine.bus().Pci().Attach(kNicBus, 0, 0, &nic, "nic");
    InstallLink(link);
    link.SetItem(kMgmtReadDisplayMode, {0});
    link.SetItem(kMgmtReadRequestWord, {0, 0, 0, 0});
  }
  ~StartUpDisplaysTest() override { machine.bus().Pci().Detach(kNicBus, 0, 0); }

  void Start(const Bytes &setup) {
    SeedSetup(setup);
    // The controller agrees with the mode: no display change, no reset.
    const uint8_t enabled = setup[SetupOffset::MgmtDisplayMode] != 3 ? 1 : 0;
    link.SetItem(kMgmtReadDisplayEnable, {0, 0, enabled, 1});
    dxe->AddConfigurationTable(kHobListGuid,
                               hobs.Build(std::vector<HobEntry>{{kMgmtDeviceKindFunction, kNicBus,
                                                                 0, 0, 0xD000, 0x100, 0x10, 0}}));
    mSystemTable = nullptr;
    RunToEnd(
        [&] { ASSERT_EQ(dxe->RunEntryPoint(MgmtAgentDxeEntryPoint, imageHandle), EFI_SUCCESS); });
  }
  static Bytes SetupWithMode(uint8_t mode) {
    Bytes setup = LinkInUseSetup();
    setup[SetupOffset::MgmtDisplayMode] = mode;
    return setup;
  }

  sim::PciConfigSpace nic;
  FakeLink link;
  HobListBuilder hobs{machine};
};

TEST_F(StartUpDisplaysTest, ModeTwoAtStartWithdrawsCardsArrivingAfterTheManagementDisplay) {
  Start(SetupWithMode(2));
  Screen &mgmt = AddMgmtDisplay();
  Screen &card = AddCard();
  Connect(mgmt);
  Connect(card);
  EXPECT_FALSE(mgmt.Withdrawn());
  EXPECT_TRUE(card.Withdrawn());
}

TEST_F(StartUpDisplaysTest, ModeThreeAtStartRegistersNoDisplaySelection) {
  Start(SetupWithMode(3));
  SeedSetup(SetupWithMode(2)); // what the callback would read, had it been registered
  Screen &mgmt = AddMgmtDisplay();
  Screen &card = AddCard();
  Connect(mgmt);
  Connect(card);
  EXPECT_FALSE(card.Withdrawn());
}

TEST_F(StartUpDisplaysTest, LogoTriggerDrawsOnlyWhenTheLinkIsInUse) {
  Bytes setup = SetupWithMode(3);
  setup[SetupOffset::MgmtAgentEnable] = 0;
  Start(setup);
  Screen &mgmt = AddMgmtDisplay();
  Screen &card = AddCard();
  Connect(mgmt);
  Connect(card);
  AddVolume(sim::DefaultLogoBmp());
  RunToEnd([&] { ASSERT_EQ(sim::InstallLogoTrigger(*dxe), EFI_SUCCESS); });
  EXPECT_EQ(card.device->PixelsWritten(), 0u) << "link not in use: no logo notification";
}

TEST_F(StartUpDisplaysTest, LogoTriggerDrawsOnTheCardWithTheLinkInUse) {
  Start(SetupWithMode(3));
  Screen &mgmt = AddMgmtDisplay();
  Screen &card = AddCard();
  Connect(mgmt);
  Connect(card);
  AddVolume(sim::DefaultLogoBmp());
  RunToEnd([&] { ASSERT_EQ(sim::InstallLogoTrigger(*dxe), EFI_SUCCESS); });
  EXPECT_GT(card.device->PixelsWritten(), 0u);
  EXPECT_EQ(mgmt.device->PixelsWritten(), 0u);
}

} // namespace
