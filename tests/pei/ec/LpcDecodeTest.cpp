// Decode set-up against the chipset model: opening 0xA00-0xAFF, the I/O
// decode enables, the per-series lock test and the PCH series query.
#include <Register/EcLpcDecode.h>

#include "Chipset.h"
#include "FirmwareTest.h"
#include "FlashByte.h"
#include "LpcDecode.h"

namespace {

using sim::Chipset;
using sim::Sideband;
using sim::TraceMatch;

constexpr uint64_t kLpcConfig = 0xE00F8000;
constexpr uint16_t kDeviceIdUnknown = 0x1234;

uint64_t MirrorAddress(unsigned index) {
  return Sideband::Address(kPcrPortDmi, DmiGenericRangeMirror(index));
}
uint64_t RangeAddress(unsigned index) { return kLpcConfig + LpcGenericRangeRegister(index); }

class DecodeTest : public FirmwareTest {
protected:
  explicit DecodeTest(uint16_t deviceId = Chipset::kDeviceIdH) : chipset(machine, deviceId) {
    mPchSeries = kPchSeriesUnknown; // a freshly loaded module
  }
  EFI_STATUS Open() {
    return Run<EFI_STATUS>([] { return OpenEcIoWindow(); });
  }
  EFI_STATUS Update(uint16_t wanted) {
    return Run<EFI_STATUS>([wanted] { return UpdateIoDecodeEnables(wanted); });
  }
  Chipset chipset;
};

// ---- Opening the window ----

class OpenWindowTest : public DecodeTest {};

TEST_F(OpenWindowTest, FreeDecoderGetsTheWindowMirrorFirst) {
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  EXPECT_EQ(chipset.GenericRangeMirror(0), kLpcEcWindowRange);
  EXPECT_EQ(chipset.UnmirroredWrites(), 0u);
  EXPECT_TRUE(machine.trace().FindSequence({TraceMatch::MmioWr(MirrorAddress(0), 0x00FC0A01),
                                            TraceMatch::MmioWr(RangeAddress(0), 0x00FC0A01)}));
  EXPECT_TRUE(chipset.DecodesIo(0xA00));
  EXPECT_TRUE(chipset.DecodesIo(0xAFF));
}

TEST_F(OpenWindowTest, AlreadyOpenWritesNothing) {
  chipset.SetGenericRange(1, kLpcEcWindowRange);
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
  EXPECT_EQ(chipset.GenericRange(0), 0u);
}

TEST_F(OpenWindowTest, RangeEndingAtTheWindowDoesNotCoverIt) {
  chipset.SetGenericRange(0, 0x00FC0901); // 0x900..0x9FF
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(0), 0x00FC0901u);
  EXPECT_EQ(chipset.GenericRange(1), kLpcEcWindowRange);
  EXPECT_EQ(chipset.GenericRangeMirror(1), kLpcEcWindowRange);
}

TEST_F(OpenWindowTest, SmallerRangeAtTheBaseDoesNotCoverIt) {
  chipset.SetGenericRange(0, 0x001C0A01); // 0xA00..0xA1F
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(1), kLpcEcWindowRange);
}

TEST_F(OpenWindowTest, DisabledRangeWithTheWindowIsReused) {
  chipset.SetGenericRange(0, 0x00FC0A00); // right base and size, not enabled
  chipset.SetGenericRange(1, 0x00040201);
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  EXPECT_EQ(chipset.GenericRange(1), 0x00040201u);
}

TEST_F(OpenWindowTest, FirstFreeOfFourIsTaken) {
  chipset.SetGenericRange(0, 0x00040201);
  chipset.SetGenericRange(1, 0x000C0301);
  chipset.SetGenericRange(3, 0x00000401);
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(2), kLpcEcWindowRange);
  EXPECT_EQ(chipset.GenericRange(3), 0x00000401u);
}

TEST_F(OpenWindowTest, AllFourUsedIsOutOfResourcesEvenUnlocked) {
  for (unsigned i = 0; i < 4; ++i) {
    chipset.SetGenericRange(i, 0x00040201 + 0x100 * i);
  }
  EXPECT_EQ(Open(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(MmioWrites(), 0u);
}

// The checks run in a fixed order: covering range, second device, free
// range, lock. Each case below fails two of them; the earlier one answers.
TEST_F(OpenWindowTest, FullDecoderIsReportedBeforeTheLock) {
  for (unsigned i = 0; i < 4; ++i) {
    chipset.SetGenericRange(i, 0x00040201 + 0x100 * i);
  }
  chipset.SetLocked(true);
  EXPECT_EQ(Open(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(MmioWrites(), 0u);
}

TEST_F(OpenWindowTest, SecondDeviceIsReportedBeforeAFullDecoder) {
  for (unsigned i = 0; i < 4; ++i) {
    chipset.SetGenericRange(i, 0x00040201 + 0x100 * i);
  }
  chipset.SetSecondDevice(0, 0x007C0A81); // 0xA80..0xAFF
  EXPECT_EQ(Open(), EFI_UNSUPPORTED);
  EXPECT_EQ(MmioWrites(), 0u);
}

TEST_F(OpenWindowTest, CoveringRangeWinsOverEveryRefusal) {
  chipset.SetGenericRange(0, 0x00040201);
  chipset.SetGenericRange(1, 0x00040301);
  chipset.SetGenericRange(2, kLpcEcWindowRange);
  chipset.SetGenericRange(3, 0x00040401);
  chipset.SetSecondDevice(0, 0x007C0A81);
  chipset.SetLocked(true);
  EXPECT_EQ(Open(), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
}

struct SecondRangeCase {
  const char *name;
  uint32_t range;
  EFI_STATUS expected;
};

class SecondDeviceRangeTest : public DecodeTest,
                              public ::testing::WithParamInterface<SecondRangeCase> {};

TEST_P(SecondDeviceRangeTest, RefusesARangeThatMeetsTheWindow) {
  chipset.SetSecondDevice(0, GetParam().range);
  EXPECT_EQ(Open(), GetParam().expected);
  if (GetParam().expected == EFI_SUCCESS) {
    EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  } else {
    EXPECT_EQ(MmioWrites(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, SecondDeviceRangeTest,
    ::testing::Values(SecondRangeCase{"TouchesEnd", 0x007C0A81, EFI_UNSUPPORTED},  // 0xA80..0xAFF
                      SecondRangeCase{"TouchesBase", 0x00FC0901, EFI_UNSUPPORTED}, // ends at 0xA00
                      SecondRangeCase{"Inside", 0x003C0A41, EFI_UNSUPPORTED},      // 0xA40..0xA7F
                      SecondRangeCase{"Covers", 0x00FC0A01, EFI_UNSUPPORTED},
                      SecondRangeCase{"Below", 0x00FC0801, EFI_SUCCESS}, // 0x800..0x8FF
                      SecondRangeCase{"Above", 0x00FC0B05, EFI_SUCCESS}, // 0xB04..
                      SecondRangeCase{"Disabled", 0x00FC0A00, EFI_SUCCESS}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Locks per series ----

struct LockCase {
  const char *name;
  uint16_t deviceId;
  uint16_t lockRegister;
  uint32_t lockBit;
  bool locked;
};

class LockTest : public DecodeTest, public ::testing::WithParamInterface<LockCase> {
protected:
  LockTest() : DecodeTest(GetParam().deviceId) {
    chipset.dmi().Set(GetParam().lockRegister, 4, GetParam().lockBit);
  }
};

TEST_P(LockTest, WindowFollowsTheSeriesLockBit) {
  EXPECT_EQ(Open(), GetParam().locked ? EFI_UNSUPPORTED : EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), GetParam().locked ? 0u : 2u);
  EXPECT_EQ(chipset.RefusedWrites(), 0u) << "wrote into a locked chipset";
}

TEST_P(LockTest, DecodeEnablesFollowTheSeriesLockBit) {
  EXPECT_EQ(Update(kLpcDecodeEcPorts), GetParam().locked ? EFI_UNSUPPORTED : EFI_SUCCESS);
  EXPECT_EQ(chipset.IoDecodeEnables(), GetParam().locked ? 0 : kLpcDecodeEcPorts);
  EXPECT_EQ(chipset.RefusedWrites(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Series, LockTest,
    ::testing::Values(LockCase{"HLocked", Chipset::kDeviceIdH, kDmiLockH, kDmiLockHBit, true},
                      LockCase{"HOtherBit", Chipset::kDeviceIdH, kDmiLock, kDmiLockBit, false},
                      LockCase{"LpLocked", Chipset::kDeviceIdLp, kDmiLock, kDmiLockBit, true},
                      LockCase{"LpOtherBit", Chipset::kDeviceIdLp, kDmiLockH, kDmiLockHBit, false},
                      LockCase{"UnknownLocked", kDeviceIdUnknown, kDmiLock, kDmiLockBit, true},
                      LockCase{"UnknownOtherBit", kDeviceIdUnknown, kDmiLockH, kDmiLockHBit,
                               false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Decode enables ----

class DecodeEnablesTest : public DecodeTest {};

TEST_F(DecodeEnablesTest, NewBitsGoToTheMirrorThenTheBridge) {
  chipset.SetIoDecodeEnables(0x0003);
  EXPECT_EQ(Update(0x0803), EFI_SUCCESS);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0x0803);
  EXPECT_EQ(chipset.IoDecodeMirror(), 0x0803);
  EXPECT_EQ(chipset.UnmirroredWrites(), 0u);
  EXPECT_TRUE(machine.trace().FindSequence(
      {TraceMatch::MmioWr(Sideband::Address(kPcrPortDmi, kDmiIoDecodeMirror), 0x0803).Size(2),
       TraceMatch::MmioWr(kLpcConfig + kLpcIoDecodeEnables, 0x0803).Size(2)}));
  EXPECT_TRUE(chipset.DecodesIo(0x62));
  EXPECT_TRUE(chipset.DecodesIo(0x66));
}

TEST_F(DecodeEnablesTest, AlreadySetWritesNothing) {
  chipset.SetIoDecodeEnables(0x0803);
  EXPECT_EQ(Update(0x0803), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
}

TEST_F(DecodeEnablesTest, NothingToChangeIsSuccessEvenLocked) {
  chipset.SetIoDecodeEnables(0x0803);
  chipset.SetLocked(true);
  EXPECT_EQ(Update(0x0803), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
}

TEST_F(DecodeEnablesTest, SeriesHAddsTheEnabledSecondDevicesBits) {
  chipset.SetIoDecodeEnables(0x0800);
  chipset.SetSecondDevice(0x0010, 0);
  chipset.SetSecondDeviceEnabled(true);
  EXPECT_EQ(Update(0x0800), EFI_SUCCESS);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0x0810);
  EXPECT_EQ(chipset.IoDecodeMirror(), 0x0810);
}

TEST_F(DecodeEnablesTest, SeriesHWithSecondDeviceBitsAlreadySetWritesNothing) {
  chipset.SetIoDecodeEnables(0x0810);
  chipset.SetSecondDevice(0x0010, 0);
  chipset.SetSecondDeviceEnabled(true);
  EXPECT_EQ(Update(0x0810), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
}

TEST_F(DecodeEnablesTest, SecondDeviceOffAddsNothing) {
  chipset.SetIoDecodeEnables(0x0800);
  chipset.SetSecondDevice(0x0010, 0);
  EXPECT_EQ(Update(0x0800), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
}

class DecodeEnablesLpTest : public DecodeTest {
protected:
  DecodeEnablesLpTest() : DecodeTest(Chipset::kDeviceIdLp) {}
};

TEST_F(DecodeEnablesLpTest, SecondDeviceIsIgnoredOffSeriesH) {
  chipset.SetIoDecodeEnables(0x0800);
  chipset.SetSecondDevice(0x0010, 0);
  chipset.SetSecondDeviceEnabled(true);
  EXPECT_EQ(Update(0x0800), EFI_SUCCESS);
  EXPECT_EQ(MmioWrites(), 0u);
  EXPECT_EQ(machine.trace().Count(
                TraceMatch::MmioRd(Sideband::Address(kPcrPortEspi, kEspiSecondDeviceControl))),
            0u);
}

// ---- PCH series query ----

class PchSeriesTest : public DecodeTest {
protected:
  UINT8 Query() {
    return Run<UINT8>([] { return PchSeries(); });
  }
  size_t DeviceIdReads() {
    return machine.trace().Count(TraceMatch::MmioRd(kLpcConfig + kLpcDeviceIdRegister));
  }
};

TEST_F(PchSeriesTest, DeviceIdsGiveTheirSeries) {
  const std::pair<uint16_t, UINT8> cases[] = {
      {0x0680, kPchSeriesH},       {0x069F, kPchSeriesH},      {0xA300, kPchSeriesH},
      {0xA31F, kPchSeriesH},       {0x0280, kPchSeriesLp},     {0x029F, kPchSeriesLp},
      {0x9D80, kPchSeriesLp},      {0x9D9F, kPchSeriesLp},     {0x06A0, kPchSeriesUnknown},
      {0xA320, kPchSeriesUnknown}, {0x0000, kPchSeriesUnknown}};
  for (const auto &[deviceId, series] : cases) {
    mPchSeries = kPchSeriesUnknown;
    chipset.SetDeviceId(deviceId);
    EXPECT_EQ(Query(), series) << std::hex << deviceId;
  }
}

TEST_F(PchSeriesTest, KnownSeriesIsAskedOnce) {
  EXPECT_EQ(Query(), kPchSeriesH);
  chipset.SetDeviceId(Chipset::kDeviceIdLp);
  EXPECT_EQ(Query(), kPchSeriesH);
  EXPECT_EQ(DeviceIdReads(), 1u);
}

TEST_F(PchSeriesTest, UnknownSeriesIsAskedAgain) {
  chipset.SetDeviceId(kDeviceIdUnknown);
  EXPECT_EQ(Query(), kPchSeriesUnknown);
  EXPECT_EQ(Query(), kPchSeriesUnknown);
  EXPECT_EQ(DeviceIdReads(), 2u);
  chipset.SetDeviceId(Chipset::kDeviceIdH);
  EXPECT_EQ(Query(), kPchSeriesH);
}

TEST_F(PchSeriesTest, UnknownDeviceTakesTheOtherLockThenSeriesHIsSeen) {
  chipset.SetDeviceId(kDeviceIdUnknown);
  chipset.dmi().Set(kDmiLockH, 4, kDmiLockHBit);
  EXPECT_EQ(Open(), EFI_SUCCESS) << "unknown series must use the non-H lock";
  EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  chipset.SetDeviceId(Chipset::kDeviceIdH);
  EXPECT_EQ(Update(kLpcDecodeEcPorts), EFI_UNSUPPORTED) << "series H asked again and locked";
}

// Executing in place, the store into the series byte is lost; the answer and
// every decision built on it must still be the series just read.
TEST_F(PchSeriesTest, AnswerHoldsWhenTheCacheStoreDoesNotStick) {
  chipset.dmi().Set(kDmiLockH, 4, kDmiLockHBit);
  FlashByte flash(&mPchSeries);
  EXPECT_EQ(Query(), kPchSeriesH);
  EXPECT_EQ(Update(kLpcDecodeEcPorts), EFI_UNSUPPORTED) << "series H lock not applied";
  EXPECT_EQ(Open(), EFI_UNSUPPORTED);
  EXPECT_GE(flash.DroppedWrites(), 1u);
  EXPECT_EQ(mPchSeries, kPchSeriesUnknown) << "the byte must still say: not asked";
  EXPECT_EQ(MmioWrites(), 0u);
  // The query, UpdateIoDecodeEnables and its lock test, OpenEcIoWindow's lock test.
  EXPECT_EQ(DeviceIdReads(), 4u) << "asked again by each query";
}

} // namespace
