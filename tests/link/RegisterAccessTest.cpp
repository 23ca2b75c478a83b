// The indirect windows against the controller model: byte lanes of the
// extended window, the OCP failure flag silencing the internal MAC
// registers, and PHY page selection on GPHY chips.
#include "LinkFixture.h"

#include "RegisterAccess.h"

namespace link_test {
namespace {

using ExtendedWindowTest = VersionFixture<61>;

TEST_F(ExtendedWindowTest, ByteReadInLaneTwoUsesItsEnableAndShift) {
  Load();
  RunOk([&] { NicExtWrite(Context(), 0xDC, 4, 0x11223344); });
  machine_.trace().Enable(true);
  UINT32 value = 0;
  RunOk([&] { value = NicExtRead(Context(), 0xDE, 1); });
  EXPECT_EQ(value, 0x22u);
  uint16_t command = static_cast<uint16_t>(nic_.BarBase(0) + 0x74);
  EXPECT_EQ(machine_.trace().Count(sim::TraceMatch::IoWr(command, 0x000040DC)), 1u);
}

TEST_F(ExtendedWindowTest, WordWriteTouchesOnlyItsLanes) {
  Load();
  RunOk([&] {
    NicExtWrite(Context(), 0xCC, 4, 0xAAAAAAAA);
    NicExtWrite(Context(), 0xCE, 2, 0x1234);
  });
  EXPECT_EQ(nic_.ExtendedRegister(0xCC), 0x1234AAAAu);
}

using OcpWindowTest = VersionFixture<54>;

TEST_F(OcpWindowTest, TimedOutReadSilencesTheInternalMacRegisters) {
  Load();
  nic_.SetCompletionDelay(sim::NicModel::Window::Ocp, sim::NicModel::kNever);
  UINT32 value = 0;
  RunOk([&] { value = NicOcpRead(Context(), 0x10, 4); });
  EXPECT_EQ(value, 0xFFFFFFFFu);
  nic_.SetInternalRegister(0xE8DE, 0x1234);
  machine_.trace().Enable(true);
  UINT16 mac = 0;
  RunOk([&] {
    mac = NicMacRead(Context(), 0xE8DE);
    NicMacWrite(Context(), 0xE8DE, 0x5678);
  });
  EXPECT_EQ(mac, 0xFFFF);
  EXPECT_EQ(nic_.InternalRegister(0xE8DE), 0x1234);
  EXPECT_TRUE(machine_.trace().Filter("nic").empty()) << "the controller is not touched";
}

TEST_F(OcpWindowTest, NarrowWriteFrom0x70UpKeepsTheRestOfTheDword) {
  Load();
  nic_.SetOobRegister(0x70, 0x11223344);
  RunOk([&] { NicOcpWrite(Context(), 0x72, 2, 0xBEEF); });
  EXPECT_EQ(nic_.OobRegister(0x70), 0xBEEF3344u);
}

using GphyTest = VersionFixture<61>;

TEST_F(GphyTest, PageSelectWritesNothingAndPicksTheWindowAddress) {
  Load();
  machine_.trace().Enable(true);
  RunOk([&] { NicPhyWrite(Context(), 31, 0x0A43); });
  EXPECT_TRUE(machine_.trace().Filter("nic").empty());
  RunOk([&] { NicPhyWrite(Context(), 18, 0x0A5A); });
  EXPECT_EQ(nic_.PhyRegister(0xA434), 0x0A5A);
  UINT16 value = 0;
  RunOk([&] { value = NicPhyRead(Context(), 18); });
  EXPECT_EQ(value, 0x0A5A);
}

using PhyAccessTest = VersionFixture<4, false>;

TEST_F(PhyAccessTest, RegisterThroughTheAccessRegisterReadsBack) {
  Load();
  UINT16 value = 0;
  RunOk([&] {
    NicPhyWrite(Context(), 4, 0x01E1);
    value = NicPhyRead(Context(), 4);
  });
  EXPECT_EQ(value, 0x01E1);
  EXPECT_EQ(nic_.PhyRegister(0xA408), 0x01E1);
}

} // namespace
} // namespace link_test
