// Chipset model: sideband routing, bridge identity and series, decode
// registers under the per-series lock, mirror bookkeeping and I/O decoding.
#include <gtest/gtest.h>

#include <map>

#include <Register/EcLpcDecode.h>

#include "Chipset.h"
#include "Machine.h"
#include "Pci.h"

namespace {

using sim::Chipset;
using sim::EcamAddress;
using sim::PchSeries;
using sim::Sideband;

// Remembers the offsets and widths it is given.
class PortRecorder : public sim::BusTarget {
public:
  uint64_t Read(uint64_t offset, unsigned size) override {
    reads[offset] = size;
    return 0x1000 + offset;
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    writes[offset] = value;
    (void)size;
  }
  std::map<uint64_t, unsigned> reads;
  std::map<uint64_t, uint64_t> writes;
};

class SidebandTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::MachineScope scope{machine};
  Sideband sideband{machine.bus()};
};

TEST_F(SidebandTest, PortAndOffsetComeFromTheAddress) {
  PortRecorder gpio;
  sideband.AttachPort(0x6E, &gpio, "gpio");
  EXPECT_EQ(Sideband::Address(0x6E, 0x0704), 0xFD6E0704u);
  EXPECT_EQ(machine.bus().MmioRead(0xFD6E0704, 4), 0x1704u);
  machine.bus().MmioWrite(0xFD6EFFFC, 4, 0xCAFE);
  EXPECT_EQ(gpio.reads.at(0x0704), 4u);
  EXPECT_EQ(gpio.writes.at(0xFFFC), 0xCAFEu);
  EXPECT_EQ(sideband.PortName(0x6E), "gpio");
}

TEST_F(SidebandTest, UnattachedPortReadsAllOnesAndDropsWrites) {
  PortRecorder gpio;
  sideband.AttachPort(0x6E, &gpio);
  EXPECT_EQ(machine.bus().MmioRead(Sideband::Address(0x6D, 0), 4), 0xFFFFFFFFu);
  EXPECT_EQ(machine.bus().MmioRead(Sideband::Address(0x6F, 0), 2), 0xFFFFu);
  machine.bus().MmioWrite(Sideband::Address(0x6F, 0x10), 4, 1);
  EXPECT_EQ(sideband.UnclaimedReads(), 2u);
  EXPECT_EQ(sideband.UnclaimedWrites(), 1u);
  EXPECT_TRUE(gpio.writes.empty());
}

TEST_F(SidebandTest, DetachedPortGoesQuiet) {
  PortRecorder gpio;
  sideband.AttachPort(0xAF, &gpio);
  sideband.DetachPort(0xAF);
  EXPECT_EQ(machine.bus().MmioRead(Sideband::Address(0xAF, 8), 4), 0xFFFFFFFFu);
  EXPECT_TRUE(gpio.reads.empty());
}

class ChipsetTest : public ::testing::Test {
protected:
  uint32_t Config(uint16_t reg, unsigned size) {
    return static_cast<uint32_t>(machine.bus().MmioRead(EcamAddress(0, 31, 0, reg), size));
  }
  void WriteConfig(uint16_t reg, unsigned size, uint32_t value) {
    machine.bus().MmioWrite(EcamAddress(0, 31, 0, reg), size, value);
  }
  void WriteDmi(uint16_t offset, unsigned size, uint32_t value) {
    machine.bus().MmioWrite(Sideband::Address(kPcrPortDmi, offset), size, value);
  }
  uint32_t ReadDmi(uint16_t offset, unsigned size) {
    return static_cast<uint32_t>(
        machine.bus().MmioRead(Sideband::Address(kPcrPortDmi, offset), size));
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  Chipset chipset{machine};
};

TEST_F(ChipsetTest, SeriesFollowsTheMaskedDeviceId) {
  EXPECT_EQ(sim::PchSeriesOf(0x0684), PchSeries::H);
  EXPECT_EQ(sim::PchSeriesOf(0xA31F), PchSeries::H);
  EXPECT_EQ(sim::PchSeriesOf(0x0280), PchSeries::LP);
  EXPECT_EQ(sim::PchSeriesOf(0x9D9E), PchSeries::LP);
  EXPECT_EQ(sim::PchSeriesOf(0x9DA0), PchSeries::Unknown);
  EXPECT_EQ(sim::PchSeriesOf(0x0000), PchSeries::Unknown);
}

TEST_F(ChipsetTest, IdentityIsReadOnlyAndChangesOnlyByTheBoard) {
  EXPECT_EQ(Config(kLpcDeviceIdRegister, 2), Chipset::kDeviceIdH);
  WriteConfig(kLpcDeviceIdRegister, 2, 0x9D84);
  EXPECT_EQ(Config(kLpcDeviceIdRegister, 2), Chipset::kDeviceIdH);
  chipset.SetDeviceId(0x9D84);
  EXPECT_EQ(chipset.Series(), PchSeries::LP);
}

TEST_F(ChipsetTest, RangeRegistersKeepOnlyTheirDefinedBits) {
  WriteConfig(LpcGenericRangeRegister(2), 4, 0xFFFFFFFF);
  EXPECT_EQ(chipset.GenericRange(2), kLpcRangeWritable);
  WriteConfig(kLpcIoDecodeEnables, 2, 0x0800);
  EXPECT_EQ(Config(kLpcIoDecodeEnables, 2), 0x0800u);
}

TEST_F(ChipsetTest, LockFollowsTheSeriesBit) {
  chipset.dmi().Set(kDmiLock, 4, kDmiLockBit);
  EXPECT_FALSE(chipset.Locked()) << "series H ignores the other series' bit";
  chipset.SetDeviceId(Chipset::kDeviceIdLp);
  EXPECT_TRUE(chipset.Locked());
  chipset.SetDeviceId(0x1234);
  EXPECT_TRUE(chipset.Locked()) << "unknown series uses the non-H bit";
  chipset.SetDeviceId(Chipset::kDeviceIdH);
  chipset.SetLocked(true);
  EXPECT_EQ(chipset.dmi().Get(kDmiLockH) & kDmiLockHBit, kDmiLockHBit);
}

TEST_F(ChipsetTest, LockedChipsetRefusesDecodeAndMirrorWrites) {
  chipset.SetLocked(true);
  WriteDmi(DmiGenericRangeMirror(0), 4, kLpcEcWindowRange);
  WriteConfig(LpcGenericRangeRegister(0), 4, kLpcEcWindowRange);
  WriteDmi(kDmiIoDecodeMirror, 2, 0x0800);
  WriteConfig(kLpcIoDecodeEnables, 2, 0x0800);
  WriteConfig(kLpcSecondGenericRange, 4, 0x00FC0C01);
  EXPECT_EQ(chipset.RefusedWrites(), 5u);
  EXPECT_EQ(chipset.DecodeWrites(), 0u);
  EXPECT_EQ(chipset.GenericRange(0), 0u);
  EXPECT_EQ(chipset.GenericRangeMirror(0), 0u);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0u);
  EXPECT_EQ(chipset.SecondGenericRange(), 0u);
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::ChipsetRefused>()), 5u);
  // Registers outside the decode block stay writable.
  WriteConfig(sim::pci::kCommand, 2, sim::pci::kCommandIoSpace);
  EXPECT_EQ(Config(sim::pci::kCommand, 2), sim::pci::kCommandIoSpace);
}

// 32 bits at 0x80 reach the decode enables at 0x82: the lock and the mirror
// rule hold for such a write too.
TEST_F(ChipsetTest, WideWriteOverlappingTheDecodeEnablesMeetsLockAndMirror) {
  WriteConfig(0x80, 4, 0x0800u << 16);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0x0800);
  EXPECT_EQ(chipset.UnmirroredWrites(), 1u);
  chipset.SetLocked(true);
  WriteConfig(0x80, 4, 0x0013u << 16);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0x0800);
  EXPECT_EQ(chipset.RefusedWrites(), 1u);
}

TEST_F(ChipsetTest, LockBitsStickOnceSet) {
  WriteDmi(kDmiLockH, 4, kDmiLockHBit);
  EXPECT_TRUE(chipset.Locked());
  WriteDmi(kDmiLockH, 4, 0);
  EXPECT_TRUE(chipset.Locked());
  EXPECT_EQ(ReadDmi(kDmiLockH, 4), kDmiLockHBit);
}

TEST_F(ChipsetTest, BridgeWrittenBeforeItsMirrorIsCounted) {
  WriteConfig(LpcGenericRangeRegister(1), 4, kLpcEcWindowRange);
  WriteDmi(DmiGenericRangeMirror(1), 4, kLpcEcWindowRange);
  EXPECT_EQ(chipset.UnmirroredWrites(), 1u);
  WriteDmi(kDmiIoDecodeMirror, 2, 0x0800);
  WriteConfig(kLpcIoDecodeEnables, 2, 0x0800);
  EXPECT_EQ(chipset.UnmirroredWrites(), 1u);
  EXPECT_EQ(chipset.IoDecodeMirror(), 0x0800);
  EXPECT_EQ(chipset.DecodeWrites(), 4u);
}

TEST_F(ChipsetTest, UndeclaredSidebandOffsetsReadZeroAndCountWrites) {
  WriteDmi(0x1000, 4, 0x12345678);
  EXPECT_EQ(ReadDmi(0x1000, 4), 0u);
  EXPECT_EQ(chipset.dmi().UnknownWrites(), 1u);
}

TEST_F(ChipsetTest, SecondDeviceEnableIsABitOfTheEspiPort) {
  chipset.SetSecondDeviceEnabled(true);
  EXPECT_EQ(machine.bus().MmioRead(Sideband::Address(kPcrPortEspi, kEspiSecondDeviceControl), 4),
            kEspiSecondDeviceEnable);
  chipset.SetSecondDeviceEnabled(false);
  EXPECT_FALSE(chipset.SecondDeviceEnabled());
}

TEST_F(ChipsetTest, IoDecodingFollowsEnablesAndRanges) {
  EXPECT_FALSE(chipset.DecodesIo(0x62));
  chipset.SetIoDecodeEnables(kLpcDecodeEcPorts);
  EXPECT_TRUE(chipset.DecodesIo(0x62));
  EXPECT_TRUE(chipset.DecodesIo(0x66));
  EXPECT_FALSE(chipset.DecodesIo(0x68));

  chipset.SetGenericRange(3, kLpcEcWindowRange);
  EXPECT_FALSE(chipset.DecodesIo(0x9FF));
  EXPECT_TRUE(chipset.DecodesIo(0xA00));
  EXPECT_TRUE(chipset.DecodesIo(0xAFF));
  EXPECT_FALSE(chipset.DecodesIo(0xB00));

  chipset.SetGenericRange(0, 0x00040069); // 0x68..0x6F, enabled
  EXPECT_TRUE(chipset.DecodesIo(0x68));
  EXPECT_TRUE(chipset.DecodesIo(0x6E));
  EXPECT_FALSE(chipset.DecodesIo(0x70));

  chipset.SetSecondDevice(0, 0x00000C01);
  EXPECT_FALSE(chipset.DecodesIo(0xC00)) << "second device off";
  chipset.SetSecondDeviceEnabled(true);
  EXPECT_TRUE(chipset.DecodesIo(0xC00));
}

} // namespace
