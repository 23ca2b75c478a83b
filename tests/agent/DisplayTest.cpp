// Display selection on graphics-output installations and the logo on the
// other displays on the logo trigger, with display controllers, graphics
// outputs and a firmware volume on the simulated board; and ParentDevicePath.
#include "DisplayTestSupport.h"

#include "SetupStandIns.h"

#include <Protocol/MgmtTriggers.h>

namespace {

using namespace agent_test;

class SelectDisplayTest : public DisplayTestBase {
protected:
  SelectDisplayTest() { Listen(&gEfiGraphicsOutputProtocolGuid, SelectDisplay); }
};

TEST_F(SelectDisplayTest, ModeTwoWithdrawsOnlyDisplaysArrivingAfterTheControllers) {
  SeedDisplayMode(kMgmtDisplayModeControllerOnly);
  Screen &before = AddCard();
  Screen &mgmt = AddMgmtDisplay();
  Screen &after = AddCard();
  Connect(before);
  Connect(mgmt);
  Connect(after);
  EXPECT_FALSE(before.Withdrawn());
  EXPECT_FALSE(mgmt.Withdrawn());
  EXPECT_TRUE(after.Withdrawn());
  // Only the graphics output goes; the logo output and path stay.
  EXPECT_NE(dxe->InterfaceOn(after.output->Handle(), gLogoOutputProtocolGuid), nullptr);
  EXPECT_EQ(mMgmtDisplaySeen, 1);
}

TEST_F(SelectDisplayTest, ModeOneKeepsEveryDisplayAndStartsAnUnsetControllerDisplay) {
  SeedDisplayMode(1);
  Screen &mgmt = AddMgmtDisplay(/*initialMode=*/-1);
  Screen &after = AddCard();
  Connect(mgmt);
  Connect(after);
  EXPECT_FALSE(after.Withdrawn());
  EXPECT_EQ(mgmt.device->CurrentMode(), 0);
  EXPECT_EQ(mgmt.output->Gop()->Mode->Info->HorizontalResolution, 1024u);
  EXPECT_EQ(mgmt.output->stats().setModes, 1u);
}

TEST_F(SelectDisplayTest, ControllerDisplayWithAResolutionKeepsItsMode) {
  SeedDisplayMode(kMgmtDisplayModeControllerOnly);
  Screen &mgmt = AddMgmtDisplay(/*initialMode=*/2);
  Connect(mgmt);
  EXPECT_EQ(mgmt.device->CurrentMode(), 2);
  EXPECT_EQ(mgmt.output->stats().setModes, 0u);
}

TEST_F(SelectDisplayTest, UnreadableSetupNeverWithdraws) {
  Screen &mgmt = AddMgmtDisplay();
  Screen &noSetup = AddCard();
  Screen &shortSetup = AddCard();
  Connect(mgmt);
  Connect(noSetup);
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtDisplayMode] = kMgmtDisplayModeControllerOnly;
  setup.resize(kSetupVariableSize - 1); // the field is there, the layout is not
  SeedSetup(setup);
  Connect(shortSetup);
  EXPECT_FALSE(noSetup.Withdrawn());
  EXPECT_FALSE(shortSetup.Withdrawn());
}

TEST_F(SelectDisplayTest, DisplayWithoutAPciDeviceIsLeftAloneAndMarksNothing) {
  SeedDisplayMode(kMgmtDisplayModeControllerOnly);
  Screen &stray = AddMgmtDisplay();
  ConnectWithoutPci(stray);
  EXPECT_EQ(mMgmtDisplaySeen, 0) << "its identity could not be read";
  Screen &card = AddCard();
  Connect(card);
  EXPECT_FALSE(stray.Withdrawn());
  EXPECT_FALSE(card.Withdrawn());
}

TEST_F(SelectDisplayTest, LeavesNoPoolBehind) {
  SeedDisplayMode(kMgmtDisplayModeControllerOnly);
  Screen &mgmt = AddMgmtDisplay();
  Screen &card = AddCard();
  const uint64_t before = dxe->PoolAllocationsInUse();
  Connect(mgmt);
  Connect(card);
  ASSERT_TRUE(card.Withdrawn());
  EXPECT_EQ(dxe->PoolAllocationsInUse(), before);
}

class LogoOnDisplaysTest : public DisplayTestBase {
protected:
  LogoOnDisplaysTest() { Listen(&gLogoTriggerProtocolGuid, DrawLogoOnOtherDisplays); }

  void Trigger() {
    RunToEnd([&] { ASSERT_EQ(sim::InstallLogoTrigger(*dxe), EFI_SUCCESS); });
  }
  static bool HasLogo(const Screen &s) { return s.output->stats().logoBlts != 0; }
};

TEST_F(LogoOnDisplaysTest, OneDisplayGetsNoLogo) {
  Screen &card = AddCard();
  Connect(card);
  sim::FirmwareVolume &fv = AddVolume(sim::DefaultLogoBmp());
  Trigger();
  EXPECT_FALSE(HasLogo(card));
  EXPECT_EQ(card.device->PixelsWritten(), 0u);
  EXPECT_EQ(fv.ReadSectionCalls(), 0u);
}

TEST_F(LogoOnDisplaysTest, EveryDisplayButTheControllersGetsTheLogo) {
  Screen &card = AddCard();
  Screen &mgmt = AddMgmtDisplay();
  Screen &second = AddCard();
  Screen &noLogoOutput = AddCard();
  Connect(card);
  Connect(mgmt);
  Connect(second);
  Connect(noLogoOutput, /*withLogoOutput=*/false);
  AddVolume(sim::DefaultLogoBmp());
  const uint64_t pool = dxe->PoolAllocationsInUse();
  Trigger();
  EXPECT_TRUE(HasLogo(card));
  EXPECT_TRUE(HasLogo(second));
  EXPECT_FALSE(HasLogo(mgmt));
  EXPECT_EQ(mgmt.device->PixelsWritten(), 0u);
  EXPECT_EQ(noLogoOutput.device->PixelsWritten(), 0u);
  // The logo's frame colour at its top-left corner, centred on 1024 x 768.
  const uint32_t x = (1024 - sim::kDefaultLogoWidth) / 2;
  const uint32_t y = (768 - sim::kDefaultLogoHeight) / 2;
  EXPECT_EQ(card.Pixel(x, y), 0xC8CCD4u);
  EXPECT_EQ(card.Pixel(x - 1, y), 0u);
  EXPECT_EQ(dxe->PoolAllocationsInUse(), pool) << "section, BLT buffer and lists freed";
}

TEST_F(LogoOnDisplaysTest, ADisplayLeadingToNoPciDeviceEndsTheWalk) {
  Screen &stray = AddCard();
  Screen &card = AddCard();
  ConnectWithoutPci(stray);
  Connect(card);
  AddVolume(sim::DefaultLogoBmp());
  Trigger();
  EXPECT_FALSE(HasLogo(stray));
  EXPECT_FALSE(HasLogo(card));
}

// ---------------------------------------------------------------------------

class ParentDevicePathTest : public AgentTest {
protected:
  // ParentDevicePath of `path`, as bytes (empty for NULL), freed again.
  Bytes Parent(const Bytes &path) {
    Bytes out;
    RunToEnd([&] {
      EFI_DEVICE_PATH_PROTOCOL *parent =
          ParentDevicePath(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data()));
      if (parent != nullptr) {
        const size_t size = sim::DevicePathSize(parent);
        const auto *bytes = reinterpret_cast<const uint8_t *>(parent);
        out.assign(bytes, bytes + size);
        EXPECT_EQ(mBootServices->FreePool(parent), EFI_SUCCESS);
      }
    });
    return out;
  }
};

TEST_F(ParentDevicePathTest, DropsTheLastNodeOrGivesNothing) {
  const Bytes pci = sim::PciDevicePath({{2, 0}});
  const Bytes output = sim::DevicePathBuilder(sim::AsDevicePath(pci)).AcpiAdr(0x80010100).Build();
  EXPECT_EQ(Parent(output), pci);
  EXPECT_EQ(Parent(pci), sim::DevicePathBuilder().PciRoot().Build());
  EXPECT_TRUE(Parent(sim::DevicePathBuilder().PciRoot().Build()).empty()) << "one node";
  EXPECT_TRUE(Parent(sim::DevicePathBuilder().Build()).empty()) << "end node only";
  Bytes broken = output;
  broken[sim::DevicePathSize(sim::AsDevicePath(pci)) - 4 + 2] = 2; // _ADR node of length 2
  EXPECT_TRUE(Parent(broken).empty()) << "a node shorter than its header";
  EXPECT_EQ(dxe->PoolAllocationsInUse(), 0u);
}

} // namespace
