// The controller model's register file as a driver sees it over the bus:
// identity, chip-version bits, the self-clearing reset, an absent function,
// the interrupt status, the link bit, the indirect windows with their
// completion bits, the PHY, and the OOB firmware's answers.
#include <gtest/gtest.h>

#include "NicRig.h"
#include "Pci.h"

namespace {

using namespace sim::nic;
using nictest::NicRig;
using sim::NicModel;

constexpr uint64_t kEcam = 0xE0000000 + (1u << 20);

class NicRegisterTest : public ::testing::Test {
protected:
  NicRig rig;
  NicModel &nic = rig.nic;

  uint32_t Config32(uint16_t reg) {
    return static_cast<uint32_t>(rig.machine.bus().MmioRead(kEcam + reg, 4));
  }
  void ConfigWrite32(uint16_t reg, uint32_t value) {
    rig.machine.bus().MmioWrite(kEcam + reg, 4, value);
  }
  // Issues an extended-window command and waits for its completion bit.
  uint32_t ExtCommand(uint32_t command) {
    rig.Out32(reg::kExtCommand, command);
    for (int i = 0; i < 100; ++i) {
      const uint32_t v = rig.In32(reg::kExtCommand);
      if (((v & kWindowFlag) != 0) != ((command & kWindowFlag) != 0)) {
        return rig.In32(reg::kExtData);
      }
    }
    ADD_FAILURE() << "extended window never completed";
    return 0;
  }
  uint32_t OobType3Read(uint16_t address) { return ExtCommand(0x3DC2F000u | address); }
  void OobType3Write(uint16_t address, uint32_t value) {
    rig.Out32(reg::kExtData, value);
    ExtCommand(0xBDC2F000u | address);
  }
};

TEST_F(NicRegisterTest, PciIdentityAndBarsAsTheBoardProgramsThem) {
  EXPECT_EQ(Config32(0x00), 0x816810ECu);
  EXPECT_EQ(Config32(0x2C), 0x3A7C10ECu);
  EXPECT_EQ(Config32(0x08) >> 8, 0x020000u); // Ethernet controller
  EXPECT_EQ(Config32(0x10), uint32_t{nictest::kIoBase} | 1);
  EXPECT_EQ(Config32(0x18) & 0xF, 0x4u); // 64-bit memory BAR
  EXPECT_EQ(Config32(0x20) & 0xF, 0x4u);
  // Sizing the I/O BAR reports 256 bytes.
  ConfigWrite32(0x10, 0xFFFFFFFF);
  EXPECT_EQ(Config32(0x10), 0xFFFFFF01u);
  // Identity is read-only; the bring-up bytes 0x79 and 0x70F take writes.
  ConfigWrite32(0x00, 0);
  EXPECT_EQ(Config32(0x00), 0x816810ECu);
  rig.machine.bus().MmioWrite(kEcam + 0x79, 1, 0x50);
  rig.machine.bus().MmioWrite(kEcam + 0x70F, 1, 0x17);
  EXPECT_EQ(nic.ConfigRead(0x79, 1), 0x50u);
  EXPECT_EQ(nic.ConfigRead(0x70F, 1), 0x17u);
}

TEST_F(NicRegisterTest, RegistersFollowTheBarsAndTheDecodeEnables) {
  EXPECT_EQ(rig.In8(reg::kStationAddress), 0x00);
  EXPECT_EQ(rig.In8(reg::kStationAddress + 2), 0x4C);
  ConfigWrite32(0x10, 0xD001);
  EXPECT_EQ(rig.In8(reg::kStationAddress + 2), 0xFF) << "old window still decodes";
  EXPECT_EQ(rig.machine.bus().IoRead(0xD000 + 2, 1), 0x4Cu);
  // The memory BAR shows the same registers.
  const uint64_t mmio = nic.BarBase(kMmioBarIndex);
  EXPECT_EQ(rig.machine.bus().MmioRead(mmio + reg::kTxConfig, 4),
            rig.machine.bus().IoRead(0xD000 + reg::kTxConfig, 4));
  rig.machine.bus().MmioWrite(kEcam + 0x04, 2, 0x0004); // decoding off, bus master on
  EXPECT_EQ(rig.machine.bus().IoRead(0xD000 + 2, 1), 0xFFu);
  EXPECT_EQ(rig.machine.bus().MmioRead(mmio, 4), 0xFFFFFFFFu);
}

TEST_F(NicRegisterTest, EveryChipVersionReportsBitsTheIdentificationTableMapsBack) {
  for (unsigned v = 1; v <= kMaxChipVersion; ++v) {
    if (v == 33) {
      EXPECT_FALSE(nic.SetChipVersion(v)) << "no part reports version 33";
      continue;
    }
    ASSERT_TRUE(nic.SetChipVersion(v));
    EXPECT_EQ(ChipVersionOf(rig.In32(reg::kTxConfig)), v) << "version " << v;
  }
  EXPECT_EQ(ChipVersionOf(0x28900000), 55u);
  EXPECT_EQ(ChipVersionOf(0x28B00000), 57u);
  EXPECT_EQ(ChipVersionOf(0x28800000), 54u);
  EXPECT_EQ(ChipVersionOf(0x60A00000), 0u);
  EXPECT_EQ(ChipVersionOf(0x98000000), 6u);
  EXPECT_EQ(ChipVersionOf(0x34800000), 18u);
  EXPECT_EQ(ChipVersionOf(0x34900000), 20u);
  // The board's part passes the agent's out-of-band check.
  ASSERT_TRUE(nic.SetChipVersion(61));
  EXPECT_EQ(rig.In32(reg::kTxConfig) & 0x7CF00000, 0x54A00000u);
  nic.SetVersionBits(0x60A00000);
  EXPECT_EQ(nic.ChipVersion(), 0u);
}

TEST_F(NicRegisterTest, VersionBitsAreReadOnlyAndConfigurationBitsStick) {
  const uint32_t before = rig.In32(reg::kTxConfig);
  rig.Out32(reg::kTxConfig, before | 0x00020000 | 0x0700);
  EXPECT_EQ(rig.In32(reg::kTxConfig), before | 0x00020700);
  EXPECT_EQ(nic.ReadOnlyWrites(), 0u) << "writing back the bits read is not a fault";
  rig.Out32(reg::kTxConfig, 0);
  EXPECT_EQ(rig.In32(reg::kTxConfig) & kTxConfigVersionMask, before & kTxConfigVersionMask);
  EXPECT_EQ(nic.ReadOnlyWrites(), 1u);
  rig.Out8(reg::kTxConfig, 0x80); // byte write reaches bit 7 only
  EXPECT_EQ(rig.In32(reg::kTxConfig) & 0xFFFF, kTxConfigIdle | 0x80);
}

TEST_F(NicRegisterTest, ResetBitClearsItselfAfterTheConfiguredDelay) {
  nic.SetResetDelay(300'000);
  rig.Out8(reg::kCommand, kCommandRxEnable | kCommandTxEnable);
  const uint64_t start = rig.machine.clock().NowNs();
  rig.Out8(reg::kCommand, kCommandReset);
  EXPECT_EQ(rig.In8(reg::kCommand), kCommandReset) << "enables drop with the reset";
  rig.machine.clock().AdvanceNs(start + 299'000 - rig.machine.clock().NowNs());
  EXPECT_EQ(rig.In8(reg::kCommand), kCommandReset);
  rig.machine.clock().AdvanceNs(1'000);
  EXPECT_EQ(rig.In8(reg::kCommand), 0x00);
  EXPECT_EQ(rig.machine.trace().Count(sim::TraceMatch::Of<sim::ev::NicReset>()), 1u);
}

TEST_F(NicRegisterTest, ResetThatNeverCompletesKeepsTheBitAndIgnoresStarts) {
  nic.SetResetDelay(NicModel::kNever);
  rig.Out8(reg::kCommand, kCommandReset);
  rig.Wait(1'000'000);
  EXPECT_EQ(rig.In8(reg::kCommand), kCommandReset);
  rig.Out8(reg::kCommand, kCommandRxEnable | kCommandTxEnable);
  EXPECT_EQ(rig.In8(reg::kCommand), kCommandReset);
  EXPECT_EQ(nic.WritesDuringReset(), 1u);
}

TEST_F(NicRegisterTest, AbsentFunctionReadsAllOnesAndKeepsNothing) {
  nic.SetAbsent(true);
  EXPECT_EQ(rig.In8(reg::kCommand), 0xFF);
  EXPECT_EQ(rig.In32(reg::kTxConfig), 0xFFFFFFFFu);
  EXPECT_EQ(Config32(0x00), 0xFFFFFFFFu);
  rig.Out8(reg::kCommand, kCommandReset);
  rig.Out32(reg::kTxRingLow, 0x1234);
  nic.SetAbsent(false);
  EXPECT_EQ(rig.In8(reg::kCommand), 0x00);
  EXPECT_EQ(rig.In32(reg::kTxRingLow), 0u);
}

TEST_F(NicRegisterTest, LinkBitFollowsTheCableAndFlagsAChange) {
  EXPECT_EQ(rig.In8(reg::kPhyStatus) & kPhyStatusLink, kPhyStatusLink);
  nic.SetLink(false);
  EXPECT_EQ(rig.In8(reg::kPhyStatus) & kPhyStatusLink, 0);
  const uint16_t isr = rig.In16(reg::kInterruptStatus);
  EXPECT_EQ(isr & kIsrLinkChange, kIsrLinkChange);
  rig.Out16(reg::kInterruptStatus, 0); // writing zero clears nothing
  EXPECT_EQ(rig.In16(reg::kInterruptStatus), isr);
  rig.Out16(reg::kInterruptStatus, isr); // writing the value back clears it
  EXPECT_EQ(rig.In16(reg::kInterruptStatus), 0);
  rig.Out8(reg::kPhyStatus, 0xFF);
  EXPECT_EQ(nic.ReadOnlyWrites(), 1u);
}

TEST_F(NicRegisterTest, WritesOutsideTheKnownRegistersAndToLockedOnesAreCounted) {
  rig.Out32(reg::kRxConfig, 0x0000E70E);
  rig.Out16(reg::kRxMaxSize, 0x05F3);
  rig.Out32(0xF5, 0x04); // the 32-bit write some versions make at 0xF5
  EXPECT_EQ(nic.UnknownWrites(), 0u);
  rig.Out8(0x80, 1);
  EXPECT_EQ(nic.UnknownWrites(), 1u);
  rig.Out8(0x56, 0xFF);
  EXPECT_EQ(nic.LockedWrites(), 1u);
  EXPECT_EQ(rig.In8(0x56), 0x00);
  rig.Out8(reg::kConfigLock, kConfigUnlock);
  rig.Out8(0x56, 0xFF);
  rig.Out8(reg::kConfigLock, 0);
  EXPECT_EQ(rig.In8(0x56), 0xFF);
  EXPECT_EQ(nic.LockedWrites(), 1u);
}

TEST_F(NicRegisterTest, ExtendedWindowHonoursByteEnablesAndCompletionTiming) {
  nic.SetCompletionDelay(NicModel::Window::Extended, 2'000);
  rig.Out32(reg::kExtData, 0x00AB0000);
  rig.Out32(reg::kExtCommand, 0x800040DC); // lane 2 of dword 0xDC
  EXPECT_NE(rig.In32(reg::kExtCommand) & kWindowFlag, 0u) << "write not done yet";
  rig.machine.clock().AdvanceNs(2'000);
  EXPECT_EQ(rig.In32(reg::kExtCommand), 0x000040DCu);
  EXPECT_EQ(nic.ExtendedRegister(0xDC), 0x00AB0000u);
  rig.Out32(reg::kExtData, 0x11223344);
  rig.Out32(reg::kExtCommand, 0x8000F0DC);
  rig.machine.clock().AdvanceNs(2'000);
  rig.Out32(reg::kExtData, 0);
  rig.Out32(reg::kExtCommand, 0x0000F0DC); // read
  EXPECT_EQ(rig.In32(reg::kExtCommand) & kWindowFlag, 0u) << "read not done yet";
  rig.machine.clock().AdvanceNs(2'000);
  EXPECT_EQ(rig.In32(reg::kExtCommand), 0x8000F0DCu);
  EXPECT_EQ(rig.In32(reg::kExtData), 0x11223344u);
}

TEST_F(NicRegisterTest, WindowsWhoseCompletionNeverComesKeepTheirBit) {
  nic.SetCompletionDelay(NicModel::Window::Extended, NicModel::kNever);
  nic.SetCompletionDelay(NicModel::Window::Ocp, NicModel::kNever);
  nic.SetCompletionDelay(NicModel::Window::Gphy, NicModel::kNever);
  nic.SetCompletionDelay(NicModel::Window::PhyAccess, NicModel::kNever);
  rig.Out32(reg::kExtCommand, 0x0000F0DC);
  rig.Out32(reg::kOcpCommand, 0x0000F010);
  rig.Out32(reg::kGphy, 0x52010000);
  rig.Out32(reg::kPhyAccess, 0x80010000);
  rig.Wait(1'000'000);
  EXPECT_EQ(rig.In32(reg::kExtCommand) & kWindowFlag, 0u);
  EXPECT_EQ(rig.In32(reg::kOcpCommand) & kWindowFlag, 0u);
  EXPECT_EQ(rig.In32(reg::kGphy) & kWindowFlag, 0u);
  EXPECT_NE(rig.In32(reg::kPhyAccess) & kWindowFlag, 0u);
}

TEST_F(NicRegisterTest, InternalMacRegistersThroughTheOcpDataRegister) {
  rig.Out32(reg::kOcpData, 0x80000000u | (0xE052u >> 1) << 16 | 0x1235);
  EXPECT_EQ(nic.InternalRegister(0xE052), 0x1235);
  rig.Out32(reg::kOcpData, (0xE052u >> 1) << 16);
  EXPECT_EQ(rig.In32(reg::kOcpData) & 0xFFFF, 0x1235u);
  // The agent's signature read.
  nic.SetInternalRegister(internal::kSignature, 0x0078);
  rig.Out32(reg::kOcpData, 0x6E000000);
  EXPECT_EQ(rig.In32(reg::kOcpData) & 0x78, 0x78u);
}

TEST_F(NicRegisterTest, GphyWindowAndPagedPhyAccessReachTheSamePhyRegisters) {
  // Page 0x0C41, register 19, through the GPHY window: address 0xC416.
  rig.Out32(reg::kGphy, 0x80000000u | (0xC416u >> 1) << 16 | 0x0500);
  rig.Wait(20);
  EXPECT_EQ(rig.In32(reg::kGphy) & kWindowFlag, 0u);
  EXPECT_EQ(nic.PhyRegister(0xC416), 0x0500);
  // The same register through the PHY access register: page select, then write.
  rig.Out32(reg::kPhyAccess, 0x80000000u | 31u << 16 | 0x0C41);
  rig.Wait(20);
  rig.Out32(reg::kPhyAccess, 0x80000000u | 19u << 16 | 0x0777);
  EXPECT_NE(rig.In32(reg::kPhyAccess) & kWindowFlag, 0u) << "write still in progress";
  rig.Wait(20);
  EXPECT_EQ(rig.In32(reg::kPhyAccess) & kWindowFlag, 0u);
  EXPECT_EQ(nic.PhyRegister(0xC416), 0x0777);
  // A read completes with bit 31 set and the data below.
  rig.Out32(reg::kPhyAccess, 19u << 16);
  rig.Wait(20);
  EXPECT_EQ(rig.In32(reg::kPhyAccess), 0x80130777u);
  // The link status bit of the standard status register, on page 0.
  rig.Out32(reg::kPhyAccess, 0x80000000u | 31u << 16);
  nic.SetLink(false);
  rig.Out32(reg::kGphy, (PhyStandardAddress(kPhyBmsr) >> 1) << 16);
  rig.Wait(20);
  EXPECT_EQ(rig.In32(reg::kGphy) & kBmsrLink, 0u);
}

TEST_F(NicRegisterTest, OcpWindowReachesOobRegistersAndThePhyOnVersion54) {
  ASSERT_TRUE(nic.SetChipVersion(54));
  rig.Out32(reg::kOcpCommand, 0x0000F010); // 32-bit read of OOB 0x10
  rig.Out32(reg::kOcpKick, 0);
  rig.Wait(100);
  EXPECT_NE(rig.In32(reg::kOcpCommand) & kWindowFlag, 0u);
  EXPECT_EQ(rig.In32(reg::kOcpData) & oob::kStatusRunning, oob::kStatusRunning);
  // 16-bit write of lane 0 goes through the byte enables.
  rig.Out32(reg::kOcpData, 0x00000200);
  rig.Out32(reg::kOcpCommand, 0x80003010);
  EXPECT_EQ(nic.OobRegister(oob::kStatus) & 0x0200, 0x0200u);
  // PHY write through OCP register 0x60.
  rig.Out32(reg::kOcpData, 0x80000000u | 4u << 16 | 0x01E1);
  rig.Out32(reg::kOcpCommand, 0x8000F060);
  rig.Wait(100);
  EXPECT_EQ(nic.PhyRegister(PhyStandardAddress(4)), 0x01E1);
}

TEST_F(NicRegisterTest, OobFirmwarePresenceShowsWhereEachKindLooks) {
  nic.SetOobFirmware(true);
  ASSERT_TRUE(nic.SetChipVersion(55));
  EXPECT_EQ(nic.OobRegister(oob::kStatus) & oob::kStatusRunning, oob::kStatusRunning);
  EXPECT_EQ(nic.OobRegister(oob::kState) & oob::kStateRunning, 0u);
  ASSERT_TRUE(nic.SetChipVersion(57));
  EXPECT_EQ(nic.OobRegister(oob::kStatus) & oob::kStatusRunning, 0u);
  EXPECT_EQ(nic.OobRegister(oob::kStatusAlt) & oob::kStatusRunning, oob::kStatusRunning);
  ASSERT_TRUE(nic.SetChipVersion(61));
  EXPECT_EQ(OobType3Read(oob::kState) & oob::kStateRunning, oob::kStateRunning);
  nic.SetOobFirmware(false);
  EXPECT_EQ(OobType3Read(oob::kState) & oob::kStateRunning, 0u);
}

TEST_F(NicRegisterTest, OobFirmwareAnswersARequestAfterItsDelay) {
  nic.SetOobResponseDelay(5'000'000);
  OobType3Write(oob::kCommand, oob::kCommandStart);
  OobType3Write(oob::kDoorbell, 1);
  rig.Wait(4'900);
  EXPECT_EQ(OobType3Read(oob::kAcknowledge) & 1, 0u);
  rig.Wait(100);
  EXPECT_EQ(OobType3Read(oob::kAcknowledge) & 1, 1u);
  EXPECT_EQ(OobType3Read(oob::kDoorbell) & 1, 0u) << "the firmware took the command";
  ASSERT_EQ(nic.OobRequests().size(), 1u);
  EXPECT_TRUE(nic.OobRequests()[0].answered);
  // Mode on and off through register 0x188 bit 8.
  OobType3Write(oob::kCommand, oob::kCommandModeOn);
  OobType3Write(oob::kDoorbell, 1);
  rig.Wait(5'000);
  EXPECT_EQ(OobType3Read(oob::kMode) & oob::kModeOn, oob::kModeOn);
  OobType3Write(oob::kCommand, oob::kCommandModeOff);
  OobType3Write(oob::kDoorbell, 1);
  rig.Wait(5'000);
  EXPECT_EQ(OobType3Read(oob::kMode) & oob::kModeOn, 0u);
}

TEST_F(NicRegisterTest, OobFirmwareThatNeverAnswersOrIsStoppedLeavesRequestsPending) {
  nic.SetOobResponseDelay(NicModel::kNever);
  OobType3Write(oob::kCommand, oob::kCommandModeOn);
  OobType3Write(oob::kDoorbell, 1);
  rig.Wait(5'000'000);
  EXPECT_EQ(OobType3Read(oob::kMode) & oob::kModeOn, 0u);
  nic.SetOobResponseDelay(1'000);
  nic.SetOobFirmware(false);
  OobType3Write(oob::kDoorbell, 1);
  rig.Wait(10'000);
  EXPECT_EQ(OobType3Read(oob::kMode) & oob::kModeOn, 0u);
  ASSERT_EQ(nic.OobRequests().size(), 2u);
  EXPECT_FALSE(nic.OobRequests()[1].answered);
}

TEST_F(NicRegisterTest, AgentSwitchSequencesTurnTheFirmwareOffAndOn) {
  // Off: command 0x55, doorbell bit 0 of 0x030, back to back without waiting.
  rig.Out32(reg::kExtData, 0x55);
  rig.Out32(reg::kExtCommand, 0xBDC2F180);
  rig.Out32(reg::kExtCommand, 0x3DC2F030);
  const uint32_t doorbell = rig.In32(reg::kExtData) | 1;
  rig.Out32(reg::kExtData, doorbell);
  rig.Out32(reg::kExtCommand, 0xBDC2F030);
  rig.Wait(2'000);
  rig.Out32(reg::kExtCommand, 0x3DC2F128);
  EXPECT_EQ(rig.In32(reg::kExtData) & 1, 0u);
  EXPECT_FALSE(nic.OobFirmwareRunning());
  // On: pulse internal 0xE0C4, write 1 to internal 0xD3FC, firmware boots.
  rig.Out32(reg::kOcpData, 0xF0620001);
  rig.Out32(reg::kOcpData, 0xF0620000);
  rig.Out32(reg::kOcpData, 0xE9FE0001);
  rig.Wait(500);
  EXPECT_FALSE(nic.OobFirmwareRunning());
  rig.Wait(1'000);
  rig.Out32(reg::kExtCommand, 0x3DC2F128);
  EXPECT_EQ(rig.In32(reg::kExtData) & 1, 1u);
}

TEST_F(NicRegisterTest, Type3WritesNeedTheLockOpenOnLockVersions) {
  ASSERT_TRUE(nic.SetChipVersion(42));
  OobType3Write(oob::kConfig, 0x00130001);
  EXPECT_EQ(nic.OobRegister(oob::kConfig), 0u);
  EXPECT_EQ(nic.LockedWrites(), 1u);
  rig.Out8(reg::kConfigLock, kConfigUnlock);
  OobType3Write(oob::kConfig, 0x00130001);
  rig.Out8(reg::kConfigLock, 0);
  EXPECT_EQ(nic.OobRegister(oob::kConfig), 0x00130001u);
}

TEST_F(NicRegisterTest, KindOneFirmwareSignalsReadyAndBusy) {
  ASSERT_TRUE(nic.SetChipVersion(54));
  nic.SetOobResponseDelay(10'000);
  rig.Out32(reg::kOcpData, 1);
  rig.Out32(reg::kOcpCommand, 0x80001030); // byte write of OOB 0x30
  EXPECT_NE(nic.OobRegister(oob::kBusy0) & 0xFF, 0u) << "busy while the request is pending";
  rig.Wait(10);
  EXPECT_EQ(nic.OobRegister(oob::kStatus) & oob::kStatusReady, oob::kStatusReady);
  EXPECT_EQ(nic.OobRegister(oob::kBusy0) & 0xFFFF, 0u);
  nic.SetOobBusyStuck(true);
  EXPECT_EQ(nic.OobRegister(oob::kBusy1) >> 8 & 0xFF, 1u);
}

TEST_F(NicRegisterTest, PowerOnResetRestoresRegistersButKeepsTheChip) {
  ASSERT_TRUE(nic.SetChipVersion(44));
  rig.Out32(reg::kTxRingLow, 0x1000);
  rig.Out8(reg::kCommand, kCommandRxEnable);
  nic.PowerOnReset();
  EXPECT_EQ(rig.In32(reg::kTxRingLow), 0u);
  EXPECT_EQ(rig.In8(reg::kCommand), 0u);
  EXPECT_EQ(ChipVersionOf(rig.In32(reg::kTxConfig)), 44u);
  EXPECT_EQ(rig.In8(reg::kStationAddress + 5), 0x01);
}

} // namespace
