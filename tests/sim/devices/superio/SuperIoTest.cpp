// The Super I/O model against the configuration protocol and the GPIO pin
// behaviour the firmware relies on, driven through the machine's bus.
#include <gtest/gtest.h>

#include "SuperIo.h"

namespace sim {
namespace {

using superio::kDataPort;
using superio::kIndexPort;

class SuperIoModel : public ::testing::Test {
protected:
  void Out(uint16_t port, uint8_t value) { machine.bus().IoWrite(port, 1, value); }
  uint8_t In(uint16_t port) { return static_cast<uint8_t>(machine.bus().IoRead(port, 1)); }
  void Enter() {
    Out(kIndexPort, 0x87);
    Out(kIndexPort, 0x87);
  }
  void Exit() { Out(kIndexPort, 0xAA); }
  void Select(uint8_t ldn) {
    Out(kIndexPort, 0x07);
    Out(kDataPort, ldn);
  }
  void Put(uint8_t reg, uint8_t value) {
    Out(kIndexPort, reg);
    Out(kDataPort, value);
  }
  uint8_t Get(uint8_t reg) {
    Out(kIndexPort, reg);
    return In(kDataPort);
  }

  Machine machine;
  SuperIo sio{machine};
};

TEST_F(SuperIoModel, DataPortIsDeadUntilBothKeysArrive) {
  Out(kIndexPort, 0x87);
  Out(kIndexPort, 0x1B); // breaks the key sequence
  Out(kIndexPort, 0x87);
  EXPECT_FALSE(sio.InConfigMode());
  Out(kDataPort, 0x55);
  EXPECT_EQ(In(kDataPort), 0xFF);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x00);
  EXPECT_EQ(sio.AccessesOutsideConfig(), 3u); // the stray index byte, the write, the read
  Out(kIndexPort, 0x87);
  EXPECT_TRUE(sio.InConfigMode());
  EXPECT_EQ(sio.ConfigEntries(), 1u);
}

TEST_F(SuperIoModel, ExitKeyClosesConfigurationMode) {
  Enter();
  Put(0x1B, 0x3C);
  Exit();
  EXPECT_FALSE(sio.InConfigMode());
  Out(kIndexPort, 0x1B);
  Out(kDataPort, 0x00);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x3C);
  EXPECT_EQ(sio.ConfigExits(), 1u);
  EXPECT_EQ(sio.AccessesOutsideConfig(), 2u);
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::SioEnterConfig>()), 1u);
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::SioExitConfig>()), 1u);
}

TEST_F(SuperIoModel, GlobalRegistersIgnoreTheLogicalDeviceOthersDoNot) {
  Enter();
  Select(0x00);
  Put(0x1B, 0xBC);
  Put(0xE0, 0x11);
  Select(0x09);
  EXPECT_EQ(Get(0x1B), 0xBC);
  EXPECT_EQ(Get(0xE0), superio::kResetDirection);
  Put(0xE0, 0x22);
  Exit();
  EXPECT_EQ(sio.Register(0x00, 0xE0), 0x11);
  EXPECT_EQ(sio.Register(0x09, 0xE0), 0x22);
  EXPECT_EQ(sio.AccessesOutsideConfig(), 0u);
}

TEST_F(SuperIoModel, WritesToAMissingLogicalDeviceAreCountedAndDropped) {
  Enter();
  Select(0x20);
  Put(0x30, 0x01);
  EXPECT_EQ(Get(0x30), 0xFF);
  Exit();
  EXPECT_EQ(sio.UnknownDeviceWrites(), 1u);
}

TEST_F(SuperIoModel, AccessLogNamesTheSessionAndDevice) {
  Enter();
  Select(0x0F);
  Put(0xE1, 0x12);
  Exit();
  Enter();
  Select(0x09);
  (void)Get(0x30);
  Exit();
  const auto accesses = sio.DeviceAccesses();
  ASSERT_EQ(accesses.size(), 2u);
  EXPECT_EQ(accesses[0].kind, SuperIo::RegisterAccess::Write);
  EXPECT_EQ(accesses[0].session, 1u);
  EXPECT_EQ(accesses[0].ldn, 0x0F);
  EXPECT_EQ(accesses[0].reg, 0xE1);
  EXPECT_EQ(accesses[0].value, 0x12);
  EXPECT_EQ(accesses[1].kind, SuperIo::RegisterAccess::Read);
  EXPECT_EQ(accesses[1].session, 2u);
  EXPECT_EQ(accesses[1].ldn, 0x09);
}

// ---- GPIO pins ----

TEST_F(SuperIoModel, PinIsAnInputUntilItsGroupIsEnabled) {
  // Pin 26: group 2, LDN 9 enable 0x01, direction 0xE0, data 0xE1.
  sio.SetRegister(0x09, 0xE0, 0x00);
  sio.SetRegister(0x09, 0xE1, 0x00);
  EXPECT_FALSE(sio.Pin(26).output);
  EXPECT_TRUE(sio.Pin(26).level);
  sio.SetRegister(0x09, 0x30, 0x01);
  EXPECT_TRUE(sio.Pin(26).gpio);
  EXPECT_TRUE(sio.Pin(26).output);
  EXPECT_FALSE(sio.Pin(26).level);
  EXPECT_FALSE(sio.Pin(27).level); // the whole group went low
  EXPECT_TRUE(sio.Pin(36).level);  // group 3 shares the device, not the enable bit
}

TEST_F(SuperIoModel, OpenDrainHighFollowsTheBoardPushPullDrivesIt) {
  sio.SetRegister(0x09, 0x30, 0x01);
  sio.SetRegister(0x09, 0xE0, 0x00); // all outputs, latch high (reset value)
  sio.SetExternalLevel(26, false);
  EXPECT_FALSE(sio.Pin(26).level); // open-drain after reset
  sio.SetRegister(0x0F, 0xE1, 0x00);
  EXPECT_TRUE(sio.Pin(26).level);
  sio.SetRegister(0x09, 0xE0, 0xFF); // back to input
  EXPECT_FALSE(sio.Pin(26).level);
}

TEST_F(SuperIoModel, HistoryMeasuresALowPulseInVirtualTime) {
  sio.SetRegister(0x07, 0x30, 0x02); // group 7
  sio.SetRegister(0x0F, 0xE6, 0x00);
  const uint64_t start = machine.clock().NowNs();
  sio.SetRegister(0x07, 0xE1, 0xFD); // latch low for pin 71
  sio.SetRegister(0x07, 0xE0, 0xFD); // output: goes low
  machine.clock().AdvanceUs(10000);
  sio.SetRegister(0x07, 0xE0, 0xFF); // input again
  const auto pulses = sio.LowIntervals(71);
  ASSERT_EQ(pulses.size(), 1u);
  EXPECT_EQ(pulses[0].startNs, start);
  EXPECT_EQ(pulses[0].LengthNs(), 10000u * 1000u);
  EXPECT_TRUE(sio.LowIntervals(70).empty());
  EXPECT_EQ(machine.trace().Count(TraceMatch::Is(ev::SioPin{71, true, false}).Dev("superio")), 1u);
}

TEST_F(SuperIoModel, PinStillLowHasAnOpenInterval) {
  sio.SetRegister(0x08, 0x30, 0x02);
  sio.SetRegister(0x08, 0xE1, 0x00);
  sio.SetRegister(0x08, 0xE0, 0xFE); // pin 0
  const auto pulses = sio.LowIntervals(0);
  ASSERT_EQ(pulses.size(), 1u);
  EXPECT_EQ(pulses[0].endNs, SuperIo::kStillLow);
}

TEST_F(SuperIoModel, PinCodesOutsideTheChipAreRejected) {
  EXPECT_THROW(sio.Pin(90), std::out_of_range);
  EXPECT_THROW(sio.Pin(28), std::out_of_range);
  EXPECT_NO_THROW(sio.Pin(87));
}

TEST_F(SuperIoModel, WideAccessesAreNotDecoded) {
  Enter();
  machine.bus().IoWrite(kIndexPort, 2, 0x551B);
  EXPECT_EQ(machine.bus().IoRead(kIndexPort, 2), 0xFFFFu);
  Exit();
  EXPECT_EQ(sio.BadWidthAccesses(), 2u);
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x00);
}

} // namespace
} // namespace sim
