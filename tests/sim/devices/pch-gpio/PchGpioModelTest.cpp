// The GPIO community and sideband bridge models, driven through the
// machine's bus as firmware would: register rules under the two locks,
// read-only and write-one-to-clear registers, input levels, output history
// over virtual time, and lock messages with busy, response and hidden mode.
#include <gtest/gtest.h>

#include <Register/PchGpio.h>

#include "Chipset.h"
#include "PchGpioModel.h"

namespace sim {
namespace {

using Reg = PchGpioModel::Reg;

constexpr uint8_t kPort = 0x6D; // series H: groups 2, 3, 6, 12 and 14
constexpr uint64_t kBridge = 0xE00F9000;

class GpioModelTest : public ::testing::Test {
protected:
  uint32_t Read(uint16_t offset) {
    return static_cast<uint32_t>(machine.bus().MmioRead(Sideband::Address(kPort, offset), 4));
  }
  void Write(uint16_t offset, uint32_t value, unsigned size = 4) {
    machine.bus().MmioWrite(Sideband::Address(kPort, offset), size, value);
  }
  // Group 2 of series H: pad configuration from 0x600, locks at 0x80/0x84.
  static uint16_t Dw(unsigned pad, unsigned word) {
    return static_cast<uint16_t>(0x600 + (pad * 4 + word) * 4);
  }
  uint16_t BridgeRead16(uint16_t reg) {
    return static_cast<uint16_t>(machine.bus().MmioRead(kBridge + reg, 2));
  }
  void BridgeWrite(uint16_t reg, unsigned size, uint32_t value) {
    machine.bus().MmioWrite(kBridge + reg, size, value);
  }
  void PrepareLockMessage(uint8_t port, uint16_t offset, uint32_t data, uint8_t opcode = 0x13) {
    BridgeWrite(kSbBridgeAddress, 4, (uint32_t{port} << 24) | offset);
    BridgeWrite(kSbBridgeExtAddress, 4, 0);
    BridgeWrite(kSbBridgeStatus, 2, uint32_t{opcode} << 8);
    BridgeWrite(kSbBridgeRouting, 2, 0xF000);
    BridgeWrite(kSbBridgeData, 4, data);
  }
  void StartMessage() { BridgeWrite(kSbBridgeStatus, 2, BridgeRead16(kSbBridgeStatus) | 1u); }
  uint16_t WaitDone() {
    for (int poll = 0; poll < 100000; ++poll) {
      const uint16_t status = BridgeRead16(kSbBridgeStatus);
      if ((status & kSbBridgeStatusBusy) == 0) {
        return status;
      }
    }
    ADD_FAILURE() << "bridge stayed busy";
    return 0xFFFF;
  }

  Machine machine;
  Chipset chipset{machine, Chipset::kDeviceIdH};
  PchGpioModel gpio{machine, chipset.sideband(), chipset.Series()};
};

TEST(GpioModelLayout, BothSeriesDecodeWithoutOverlappingRegisters) {
  Machine machine;
  Chipset chipset(machine, Chipset::kDeviceIdLp);
  EXPECT_NO_THROW({ PchGpioModel lp(machine, chipset.sideband(), PchSeries::LP); });
  EXPECT_NO_THROW({ PchGpioModel h(machine, chipset.sideband(), PchSeries::H); });
  PchGpioModel unknown(machine, chipset.sideband(), PchSeries::Unknown);
  EXPECT_EQ(unknown.Series(), PchSeries::H);
  EXPECT_EQ(unknown.GroupCount(), 17u);
}

// ---- Pad configuration and locks ----

TEST_F(GpioModelTest, ConfigLockFreezesEverythingButTheOutputLevel) {
  gpio.SetPadBit(Reg::ConfigLock, 2, 5, true);
  Write(Dw(5, 0), PchGpioModel::kDw0Default | kGpioDw0RxInvert | kGpioDw0TxState);
  EXPECT_EQ(gpio.PadConfig(2, 5, 0) & ~kGpioDw0RxState,
            PchGpioModel::kDw0Default | kGpioDw0TxState);
  Write(Dw(5, 1), 0x3C00);
  Write(Dw(5, 2), 0x1);
  EXPECT_EQ(gpio.PadConfig(2, 5, 1), 0u);
  EXPECT_EQ(gpio.PadConfig(2, 5, 2), 0u);
  EXPECT_EQ(gpio.RefusedWrites(), 3u);
  // Another pad of the same lock register is not affected.
  Write(Dw(6, 1), 0x3C00);
  EXPECT_EQ(gpio.PadConfig(2, 6, 1), 0x3C00u);
}

TEST_F(GpioModelTest, TxLockFreezesOnlyTheOutputLevel) {
  gpio.SetPadBit(Reg::TxLock, 2, 5, true);
  Write(Dw(5, 0), kGpioDw0TxState | kGpioDw0RxInvert);
  EXPECT_EQ(gpio.PadConfig(2, 5, 0) & (kGpioDw0TxState | kGpioDw0RxInvert), kGpioDw0RxInvert);
  EXPECT_EQ(gpio.RefusedWrites(), 1u);
}

TEST_F(GpioModelTest, LockRegistersIgnoreMemoryWrites) {
  gpio.SetPadBit(Reg::ConfigLock, 2, 5, true);
  Write(0x80, 0);
  Write(0x84, 0xFFFFFFFF);
  EXPECT_TRUE(gpio.ConfigLocked(2, 5));
  EXPECT_FALSE(gpio.TxLocked(2, 5));
  EXPECT_EQ(Read(0x80), 1u << 5);
  EXPECT_EQ(gpio.RefusedWrites(), 2u);
}

TEST_F(GpioModelTest, NarrowWriteChangesOnlyItsBytes) {
  gpio.SetPadConfig(2, 5, 1, 0x11223344);
  Write(static_cast<uint16_t>(Dw(5, 1) + 2), 0xAABB, 2);
  EXPECT_EQ(gpio.PadConfig(2, 5, 1), 0xAABB3344u);
  EXPECT_EQ(
      static_cast<uint32_t>(machine.bus().MmioRead(Sideband::Address(kPort, Dw(5, 1) + 1), 1)),
      0x33u);
}

TEST_F(GpioModelTest, InputLevelShowsOnlyThroughAnEnabledInputBuffer) {
  gpio.SetInputLevel(2, 5, false);
  EXPECT_EQ(Read(Dw(5, 0)) & kGpioDw0RxState, 0u);
  gpio.SetInputLevel(2, 5, true);
  EXPECT_EQ(Read(Dw(5, 0)) & kGpioDw0RxState, kGpioDw0RxState);
  Write(Dw(5, 0), kGpioDw0TxDisable | kGpioDw0RxDisable); // input buffer off
  EXPECT_EQ(Read(Dw(5, 0)) & kGpioDw0RxState, 0u);
  Write(Dw(5, 0), 0); // driving low: the input sees the pad's own level
  EXPECT_EQ(Read(Dw(5, 0)) & kGpioDw0RxState, 0u);
  Write(Dw(5, 0), kGpioDw0RxState); // the input level is read-only
  EXPECT_EQ(gpio.PadConfig(2, 5, 0), 0u);
}

TEST_F(GpioModelTest, OwnershipIsReadOnlyAndPacksFourBitsPerPad) {
  gpio.SetOwnership(2, 9, 1);
  gpio.SetOwnership(2, 15, 2);
  EXPECT_EQ(Read(0x24), 0x20000010u);
  Write(0x24, 0);
  EXPECT_EQ(gpio.Ownership(2, 9), 1);
  EXPECT_EQ(gpio.RefusedWrites(), 1u);
}

TEST_F(GpioModelTest, EnablesOfLockedPadsHoldAndStatusesClearOnOne) {
  gpio.SetPadBit(Reg::ConfigLock, 2, 3, true);
  Write(0x160, (1u << 3) | (1u << 4)); // GPE enable
  EXPECT_FALSE(gpio.PadBit(Reg::GpeEnable, 2, 3));
  EXPECT_TRUE(gpio.PadBit(Reg::GpeEnable, 2, 4));
  EXPECT_EQ(gpio.RefusedWrites(), 1u);
  gpio.SetPadBit(Reg::GpeStatus, 2, 3, true);
  gpio.SetPadBit(Reg::GpeStatus, 2, 4, true);
  Write(0x140, 1u << 4);
  EXPECT_TRUE(gpio.PadBit(Reg::GpeStatus, 2, 3));
  EXPECT_FALSE(gpio.PadBit(Reg::GpeStatus, 2, 4));
}

TEST_F(GpioModelTest, UnknownOffsetsAreCounted) {
  Write(0x5FC, 1);
  Write(Dw(24, 0), 1); // one past group 2's last pad: group 3 starts at 0x780
  EXPECT_EQ(gpio.UnknownWrites(), 1u);
  EXPECT_EQ(gpio.PadConfig(3, 0, 0) & kGpioDw0TxState, 1u);
}

TEST_F(GpioModelTest, OutputHistoryMeasuresALowPulse) {
  Write(Dw(5, 0), kGpioDw0RxDisable); // drives low
  machine.clock().AdvanceNs(100'000'000);
  Write(Dw(5, 0), kGpioDw0TxDisable);
  const auto lows = gpio.LowIntervals(2, 5);
  ASSERT_EQ(lows.size(), 1u);
  EXPECT_GE(lows[0].LengthNs(), 100'000'000u);
  EXPECT_LT(lows[0].LengthNs(), 100'001'000u);
  Write(Dw(5, 0), kGpioDw0RxDisable | (1u << 10)); // native function: not a GPIO output
  EXPECT_FALSE(gpio.Driven(2, 5));
  EXPECT_EQ(gpio.LowIntervals(2, 5).size(), 1u);
}

// ---- Sideband bridge ----

TEST_F(GpioModelTest, LockMessageTakesEffectWhenTheBridgeFinishes) {
  gpio.bridge().SetLatencyNs(5'000);
  PrepareLockMessage(kPort, 0x84, 1u << 7);
  StartMessage();
  EXPECT_TRUE(BridgeRead16(kSbBridgeStatus) & kSbBridgeStatusBusy);
  EXPECT_FALSE(gpio.TxLocked(2, 7));
  const uint64_t started = machine.clock().NowNs();
  const uint16_t status = WaitDone();
  EXPECT_GE(machine.clock().NowNs() - started, 4'000u);
  EXPECT_EQ(status & kSbBridgeStatusResponse, 0);
  EXPECT_EQ(status >> 8, 0x13);
  EXPECT_TRUE(gpio.TxLocked(2, 7));
  ASSERT_EQ(gpio.bridge().Messages().size(), 1u);
  EXPECT_EQ(gpio.bridge().Messages()[0].routing, 0xF000);
  const auto locks = gpio.WritesTo(Reg::TxLock);
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_TRUE(locks[0].viaSideband);
}

TEST_F(GpioModelTest, MessagesThatReachNoLockRegisterAreAnsweredUnsuccessful) {
  const struct {
    uint8_t port;
    uint16_t offset;
    uint8_t opcode;
    uint32_t ext;
  } cases[] = {{0x50, 0x84, 0x13, 0},
               {kPort, 0x600, 0x13, 0},
               {kPort, 0x84, 0x07, 0},
               {kPort, 0x84, 0x13, 1}};
  for (const auto &c : cases) {
    PrepareLockMessage(c.port, c.offset, 0xFFFFFFFF, c.opcode);
    BridgeWrite(kSbBridgeExtAddress, 4, c.ext);
    StartMessage();
    EXPECT_EQ((WaitDone() & kSbBridgeStatusResponse) >> 1, SidebandBridge::kResponseUnsuccessful);
  }
  EXPECT_FALSE(gpio.TxLocked(2, 0));
  EXPECT_EQ(gpio.PadConfig(2, 0, 0) & ~kGpioDw0RxState, PchGpioModel::kDw0Default);
}

TEST_F(GpioModelTest, ForcedResponseIsReportedAndNothingDelivered) {
  gpio.bridge().ForceResponse(2);
  PrepareLockMessage(kPort, 0x84, 1);
  StartMessage();
  EXPECT_EQ((WaitDone() & kSbBridgeStatusResponse) >> 1, 2);
  EXPECT_FALSE(gpio.TxLocked(2, 0));
}

TEST_F(GpioModelTest, StartWhileBusyIsIgnored) {
  gpio.bridge().SetLatencyNs(10'000);
  PrepareLockMessage(kPort, 0x84, 1);
  StartMessage();
  BridgeWrite(kSbBridgeData, 4, 2); // a busy bridge still takes register writes
  StartMessage();
  WaitDone();
  EXPECT_EQ(gpio.bridge().StartsWhileBusy(), 1u);
  ASSERT_EQ(gpio.bridge().Messages().size(), 1u);
  EXPECT_EQ(gpio.bridge().Messages()[0].data, 1u);
}

TEST_F(GpioModelTest, StuckBridgeNeverFinishes) {
  gpio.bridge().SetStuckBusy(true);
  PrepareLockMessage(kPort, 0x84, 1);
  StartMessage();
  machine.clock().AdvanceNs(1'000'000'000);
  EXPECT_TRUE(BridgeRead16(kSbBridgeStatus) & kSbBridgeStatusBusy);
  EXPECT_FALSE(gpio.TxLocked(2, 0));
}

TEST_F(GpioModelTest, HiddenBridgeReadsAllOnesAndTakesOnlyItsHideRegister) {
  gpio.bridge().SetHidden(true);
  EXPECT_EQ(machine.bus().MmioRead(kBridge, 2), 0xFFFFu);
  PrepareLockMessage(kPort, 0x84, 1);
  StartMessage();
  EXPECT_TRUE(gpio.bridge().Messages().empty());
  EXPECT_GT(gpio.bridge().HiddenWrites(), 0u);
  BridgeWrite(kSbBridgeHide, 1, 0); // unhide
  EXPECT_EQ(machine.bus().MmioRead(kBridge, 2), SidebandBridge::kVendorId);
  EXPECT_EQ(machine.bus().MmioRead(kBridge + kSbBridgeData, 4), 0u);
}

} // namespace
} // namespace sim
