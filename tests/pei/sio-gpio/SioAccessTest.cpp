// The Super I/O access shared by both Super I/O modules, against the chip
// model: the configuration sequence of one register access, the GPIO group
// table and SioGpioSet's read-modify-write steps.
#include <gtest/gtest.h>

#include "FirmwareRunner.h"
#include "SioAccess.h"
#include "SuperIo.h"

namespace {

using sim::SuperIo;
using sim::TraceEntry;
using sim::TraceMatch;
using Access = SuperIo::RegisterAccess;

class SioAccess : public ::testing::Test {
protected:
  void Run(const std::function<void()> &body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, body);
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }
  size_t PortAccesses() {
    size_t count = 0;
    for (const TraceEntry &e : machine.trace().Entries()) {
      count += e.kind == TraceEntry::IoRead || e.kind == TraceEntry::IoWrite;
    }
    return count;
  }

  sim::Machine machine;
  SuperIo sio{machine};
};

// ---- One register access: keys, device select, register, exit ----

TEST_F(SioAccess, WriteIsOneCompleteConfigurationSequence) {
  Run([] { SioWriteRegister(0x09, 0xE5, 0x5A); });
  const std::vector<TraceMatch> sequence = {
      TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x07),
      TraceMatch::IoWr(0x2F, 0x09), TraceMatch::IoWr(0x2E, 0xE5), TraceMatch::IoWr(0x2F, 0x5A),
      TraceMatch::IoWr(0x2E, 0xAA)};
  EXPECT_TRUE(machine.trace().FindSequence(sequence)) << machine.trace().Dump("superio");
  EXPECT_EQ(PortAccesses(), sequence.size());
  EXPECT_EQ(sio.Register(0x09, 0xE5), 0x5A);
  EXPECT_FALSE(sio.InConfigMode());
  EXPECT_EQ(sio.AccessesOutsideConfig(), 0u);
}

TEST_F(SioAccess, ReadIsOneCompleteConfigurationSequence) {
  sio.SetRegister(0x07, 0xF4, 0xC3);
  UINT8 value = 0;
  Run([&] { value = SioReadRegister(0x07, 0xF4); });
  EXPECT_EQ(value, 0xC3);
  const std::vector<TraceMatch> sequence = {
      TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x07),
      TraceMatch::IoWr(0x2F, 0x07), TraceMatch::IoWr(0x2E, 0xF4), TraceMatch::IoRd(0x2F),
      TraceMatch::IoWr(0x2E, 0xAA)};
  EXPECT_TRUE(machine.trace().FindSequence(sequence)) << machine.trace().Dump("superio");
  EXPECT_EQ(PortAccesses(), sequence.size());
  EXPECT_FALSE(sio.InConfigMode());
}

TEST_F(SioAccess, GlobalRegisterIsReachedWhateverDeviceIsSelected) {
  Run([] { SioWriteRegister(0x0F, 0x1B, 0x80); });
  EXPECT_EQ(sio.GlobalRegister(0x1B), 0x80);
  EXPECT_EQ(sio.GlobalRegister(0x07), 0x0F);
}

// ---- SioGpioSet ----

// Pin 26 is bit 6 of group 2: output type LDN 0x0F register 0xE1, group
// registers in LDN 0x09 (enable 0x01, direction 0xE0, data 0xE1). Every
// read-modify-write is two configuration sequences, one access each.
TEST_F(SioAccess, Pin26DrivenLowTouchesItsRegistersInOrder) {
  Run([] { SioGpioSet(26, 0); });
  const std::vector<Access> accesses = sio.DeviceAccesses();
  struct Step {
    Access::Kind kind;
    uint8_t ldn, reg, value;
  };
  const Step expected[] = {
      {Access::Read, 0x0F, 0xE1, 0xFF}, {Access::Write, 0x0F, 0xE1, 0xBF},
      {Access::Read, 0x09, 0x30, 0x00}, {Access::Write, 0x09, 0x30, 0x01},
      {Access::Read, 0x09, 0xE0, 0xFF}, {Access::Write, 0x09, 0xE0, 0xBF},
      {Access::Read, 0x09, 0xE1, 0xFF}, {Access::Write, 0x09, 0xE1, 0xBF},
  };
  ASSERT_EQ(accesses.size(), std::size(expected));
  for (size_t i = 0; i < accesses.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(accesses[i].kind, expected[i].kind);
    EXPECT_EQ(accesses[i].ldn, expected[i].ldn);
    EXPECT_EQ(accesses[i].reg, expected[i].reg);
    EXPECT_EQ(accesses[i].value, expected[i].value);
    EXPECT_EQ(accesses[i].session, i + 1) << "one configuration sequence per access";
  }
  EXPECT_EQ(sio.ConfigExits(), sio.ConfigEntries());
  EXPECT_TRUE(sio.Pin(26).output);
  EXPECT_FALSE(sio.Pin(26).level);
}

TEST_F(SioAccess, Pin26ReleasedSetsTheDirectionBitAndLeavesDataAlone) {
  sio.SetRegister(0x09, 0xE0, 0x00);
  sio.SetRegister(0x09, 0xE1, 0x00);
  Run([] { SioGpioSet(26, 1); });
  const std::vector<Access> accesses = sio.DeviceAccesses();
  ASSERT_EQ(accesses.size(), 6u);
  EXPECT_EQ(accesses[0].reg, 0xE1);
  EXPECT_EQ(accesses[0].ldn, 0x0F);
  EXPECT_EQ(accesses[3].reg, 0x30);
  EXPECT_EQ(accesses[4].kind, Access::Read);
  EXPECT_EQ(accesses[5].kind, Access::Write);
  EXPECT_EQ(accesses[5].ldn, 0x09);
  EXPECT_EQ(accesses[5].reg, 0xE0);
  EXPECT_EQ(accesses[5].value, 0x40);
  EXPECT_EQ(sio.Register(0x09, 0xE1), 0x00);
  EXPECT_FALSE(sio.Pin(26).output);
}

TEST_F(SioAccess, OtherBitsOfTheGroupKeepTheirValues) {
  sio.SetRegister(0x09, 0x30, 0x0C);
  sio.SetRegister(0x09, 0xE0, 0x5A);
  sio.SetRegister(0x09, 0xE1, 0xC3);
  sio.SetRegister(0x0F, 0xE1, 0xF0);
  Run([] { SioGpioSet(26, 0); });
  EXPECT_EQ(sio.Register(0x09, 0x30), 0x0D);
  EXPECT_EQ(sio.Register(0x09, 0xE0), 0x1A);
  EXPECT_EQ(sio.Register(0x09, 0xE1), 0x83);
  EXPECT_EQ(sio.Register(0x0F, 0xE1), 0xB0);
}

TEST_F(SioAccess, PinCodes90AndAboveTouchNoPort) {
  Run([] {
    SioGpioSet(90, 0);
    SioGpioSet(99, 1);
    SioGpioSet(200, 0);
    SioGpioSet(255, 0);
  });
  EXPECT_EQ(PortAccesses(), 0u);
  EXPECT_EQ(sio.ConfigEntries(), 0u);
}

// Units digits 8 and 9 name no bit of the 8-bit registers: the group is still
// enabled, every other register is written back as it was.
class SioAccessUnitsDigit : public SioAccess, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(SioAccessUnitsDigit, EnablesTheGroupAndChangesNoPin) {
  const uint8_t pin = GetParam();
  sio.SetRegister(0x09, 0xF0, 0x0F); // group 4
  sio.SetRegister(0x09, 0xF1, 0xA5);
  Run([pin] {
    SioGpioSet(pin, 0);
    SioGpioSet(pin, 1);
  });
  EXPECT_EQ(sio.Register(0x09, 0x30), 0x04);
  EXPECT_EQ(sio.Register(0x09, 0xF0), 0x0F);
  EXPECT_EQ(sio.Register(0x09, 0xF1), 0xA5);
  EXPECT_EQ(sio.Register(0x0F, 0xE3), 0xFF);
  EXPECT_EQ(sio.AccessesOutsideConfig(), 0u);
  // The steps still run: four read-modify-writes low, three released.
  const std::vector<Access> accesses = sio.DeviceAccesses();
  ASSERT_EQ(accesses.size(), 2u * (4 + 3));
  EXPECT_EQ(accesses[1].kind, Access::Write);
  EXPECT_EQ(accesses[1].ldn, 0x0F);
  EXPECT_EQ(accesses[1].reg, 0xE3);
  EXPECT_EQ(accesses[1].value, 0xFF);
  EXPECT_EQ(accesses[13].reg, 0xF0);
  EXPECT_EQ(accesses[13].value, 0x0F);
}

INSTANTIATE_TEST_SUITE_P(Bits8And9, SioAccessUnitsDigit, ::testing::Values(48, 49));

// Every row of the table reaches the pin the chip has there: the pin goes low
// as a push-pull output and comes back as an input; its neighbours stay put.
class SioAccessGroup : public SioAccess, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(SioAccessGroup, DrivesAndReleasesExactlyThatPin) {
  const uint8_t group = GetParam();
  const uint8_t pin = static_cast<uint8_t>(group * 10 + (group + 3) % 8);
  const uint8_t neighbour = static_cast<uint8_t>(group * 10 + (group + 4) % 8);
  Run([pin] { SioGpioSet(pin, 0); });
  EXPECT_TRUE(sio.Pin(pin).gpio);
  EXPECT_TRUE(sio.Pin(pin).output);
  EXPECT_FALSE(sio.Pin(pin).level);
  EXPECT_FALSE(sio.Pin(neighbour).output);
  EXPECT_TRUE(sio.Pin(neighbour).level);

  sio.SetExternalLevel(pin, true);
  Run([pin] { SioGpioSet(pin, 1); });
  EXPECT_FALSE(sio.Pin(pin).output);
  EXPECT_TRUE(sio.Pin(pin).level);
  EXPECT_EQ(sio.LowIntervals(pin).size(), 1u);
  EXPECT_TRUE(sio.LowIntervals(neighbour).empty());
  EXPECT_EQ(sio.UnknownDeviceWrites(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllGroups, SioAccessGroup, ::testing::Range<uint8_t>(0, 9));

} // namespace
