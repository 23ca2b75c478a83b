// The PCH GPIO layer against the GPIO community and sideband bridge models:
// the series query, pad validity per series, ownership, the three pad
// operations with their lock handling, the enable-register lock rule,
// GPIO_UNLOCK_HOB and lock messages through the bridge.
#include <Guid/GpioUnlockHob.h>
#include <Register/EcLpcDecode.h>

#include <cstring>

#include "../ec/FlashByte.h"
#include "MgmtDeviceFixture.h"

namespace {

using sim::Chipset;
using sim::TraceMatch;
using Strings = std::vector<std::string>;

constexpr UINT32 H(UINT8 group, UINT16 pad) { return GpioPad(kGpioChipsetIdH, group, pad); }
constexpr UINT32 Lp(UINT8 group, UINT16 pad) { return GpioPad(kGpioChipsetIdLp, group, pad); }

constexpr uint64_t kDeviceIdAddress = 0xE00F8002;
constexpr uint64_t kBridgeBase = 0xE00F9000;
constexpr uint16_t kDeviceIdUnknown = 0x1234;

class GpioTest : public MgmtDeviceFixture {
protected:
  using MgmtDeviceFixture::MgmtDeviceFixture;

  EFI_STATUS SetDirection(UINT32 pad, UINT8 direction) {
    return Run<EFI_STATUS>([=] { return PadSetDirection(pad, direction); });
  }
  EFI_STATUS SetOutput(UINT32 pad, UINT32 value) {
    return Run<EFI_STATUS>([=] { return PadSetOutput(pad, value); });
  }
  EFI_STATUS GetInput(UINT32 pad, UINT32 &value) {
    return Run<EFI_STATUS>([pad, &value] { return PadGetInput(pad, &value); });
  }
  bool Valid(UINT32 pad) {
    return Run<BOOLEAN>([pad] { return PadIsValid(pad); }) != FALSE;
  }
  const GPIO_UNLOCK_HOB_ENTRY *UnlockEntries() const {
    const EFI_HOB_GUID_TYPE *hob = FindGuidHob(gGpioUnlockHobGuid);
    return hob == nullptr ? nullptr : reinterpret_cast<const GPIO_UNLOCK_HOB_ENTRY *>(hob + 1);
  }
  uint16_t UnlockHobLength() const {
    const EFI_HOB_GUID_TYPE *hob = FindGuidHob(gGpioUnlockHobGuid);
    return hob == nullptr ? 0 : hob->Header.HobLength;
  }
  void Lock(unsigned group, unsigned pad, bool config, bool tx) {
    gpio.SetPadBit(Reg::ConfigLock, group, pad, config);
    gpio.SetPadBit(Reg::TxLock, group, pad, tx);
  }
};

class LpGpioTest : public GpioTest {
protected:
  LpGpioTest() : GpioTest(Chipset::kDeviceIdLp) {}
};

// ---- PCH series query ----

TEST_F(GpioTest, SeriesIsReadOnceAndRemembered) {
  EXPECT_EQ(Run<UINT8>([] { return PchSeries(); }), kPchSeriesH);
  EXPECT_EQ(Run<UINT8>([] { return PchSeries(); }), kPchSeriesH);
  EXPECT_EQ(mPchSeries, kPchSeriesH);
  EXPECT_EQ(machine.trace().Count(TraceMatch::MmioRd(kDeviceIdAddress)), 1u);
}

class UnknownSeriesTest : public GpioTest {
protected:
  UnknownSeriesTest() : GpioTest(kDeviceIdUnknown) {}
};

TEST_F(UnknownSeriesTest, SeriesHTableIsUsedAndTheIdIsReadAgainEachTime) {
  EXPECT_TRUE(Valid(H(16, 8)));
  EXPECT_FALSE(Valid(Lp(14, 0)));
  EXPECT_EQ(mPchSeries, kPchSeriesUnknown);
  EXPECT_EQ(machine.trace().Count(TraceMatch::MmioRd(kDeviceIdAddress)), 2u);
  chipset.SetDeviceId(Chipset::kDeviceIdLp);
  EXPECT_TRUE(Valid(Lp(14, 5)));
  EXPECT_FALSE(Valid(H(16, 8)));
  EXPECT_EQ(mPchSeries, kPchSeriesLp);
}

TEST_F(LpGpioTest, SeriesAnswerHoldsWhenTheStoreDoesNotStick) {
  uint64_t dropped = 0;
  UINT8 first = 0;
  UINT8 second = 0;
  {
    FlashByte flash(&mPchSeries);
    first = Run<UINT8>([] { return PchSeries(); });
    second = Run<UINT8>([] { return PchSeries(); });
    dropped = flash.DroppedWrites();
  }
  EXPECT_EQ(first, kPchSeriesLp);
  EXPECT_EQ(second, kPchSeriesLp);
  EXPECT_EQ(dropped, 2u);
  EXPECT_EQ(mPchSeries, kPchSeriesUnknown);
  EXPECT_EQ(machine.trace().Count(TraceMatch::MmioRd(kDeviceIdAddress)), 2u);
}

// ---- Validity and ownership ----

TEST_F(GpioTest, PadValidityFollowsTheSeriesHTable) {
  const struct {
    UINT32 pad;
    bool valid;
  } cases[] = {
      {H(2, 23), true},  {H(2, 24), false},   {H(0, 24), true},    {H(0, 25), false},
      {H(12, 39), true}, {H(12, 40), false},  {H(16, 8), true},    {H(16, 9), false},
      {H(17, 0), false}, {Lp(2, 0), false},   {0x05020000, false}, {H(4, 12), true},
      {H(4, 13), false}, {0x0302FF00, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "pad 0x" << c.pad);
    EXPECT_EQ(Valid(c.pad), c.valid);
  }
}

TEST_F(LpGpioTest, PadValidityFollowsTheSeriesLpTable) {
  const struct {
    UINT32 pad;
    bool valid;
  } cases[] = {{Lp(14, 5), true},  {Lp(14, 6), false}, {Lp(9, 39), true},   {Lp(9, 40), false},
               {Lp(15, 0), false}, {Lp(12, 10), true}, {Lp(12, 11), false}, {H(2, 21), false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "pad 0x" << c.pad);
    EXPECT_EQ(Valid(c.pad), c.valid);
  }
}

TEST_F(LpGpioTest, SeriesHPadFailsEveryOperationWithoutWriting) {
  UINT32 value = 7;
  EXPECT_EQ(GetInput(0x03020015, value), EFI_INVALID_PARAMETER);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(SetOutput(0x03020015, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SetDirection(0x03020015, PadDirOutput), EFI_UNSUPPORTED);
  EXPECT_FALSE(Run<BOOLEAN>([] { return PadIsHostOwned(0x03020015); }));
  EXPECT_EQ(SidebandWindowWrites() + BridgeWrites(), 0u);
  EXPECT_TRUE(gpio.Writes().empty());
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, PadOwnedByAnotherAgentIsRefusedWithoutWriting) {
  gpio.SetOwnership(2, 21, 1);
  UINT32 value = 7;
  EXPECT_EQ(GetInput(H(2, 21), value), EFI_UNSUPPORTED);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_UNSUPPORTED);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_UNSUPPORTED);
  EXPECT_EQ(SidebandWindowWrites() + BridgeWrites(), 0u);
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, OwnershipIsReadFromThePadsOwnTwoBits) {
  gpio.SetOwnership(2, 20, 2); // the neighbour in the same register
  gpio.SetOwnership(2, 22, 3);
  gpio.SetOwnership(2, 21, 4); // a bit outside the two that count
  EXPECT_TRUE(Run<BOOLEAN>([] { return PadIsHostOwned(H(2, 21)); }));
  EXPECT_FALSE(Run<BOOLEAN>([] { return PadIsHostOwned(H(2, 20)); }));
  EXPECT_FALSE(Run<BOOLEAN>([] { return PadIsHostOwned(H(2, 22)); }));
  gpio.SetOwnership(12, 39, 1);
  EXPECT_FALSE(Run<BOOLEAN>([] { return PadIsHostOwned(H(12, 39)); }));
  EXPECT_TRUE(Run<BOOLEAN>([] { return PadIsHostOwned(H(12, 38)); }));
}

// ---- Input and output ----

TEST_F(GpioTest, InputLevelComesFromThePad) {
  UINT32 value = 7;
  gpio.SetInputLevel(2, 20, false);
  EXPECT_EQ(GetInput(H(2, 20), value), EFI_SUCCESS);
  EXPECT_EQ(value, 0u);
  gpio.SetInputLevel(2, 20, true);
  EXPECT_EQ(GetInput(H(2, 20), value), EFI_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(Run<EFI_STATUS>([] { return PadGetInput(H(2, 20), nullptr); }), EFI_INVALID_PARAMETER);
}

TEST_F(GpioTest, SetOutputChangesOnlyTheOutputLevel) {
  constexpr uint32_t kDw0 = 0x44000300; // reset setting, receive event, both buffers off
  gpio.SetPadConfig(4, 3, 0, kDw0);
  EXPECT_EQ(SetOutput(H(4, 3), 1), EFI_SUCCESS);
  EXPECT_EQ(gpio.PadConfig(4, 3, 0), kDw0 | 1u);
  EXPECT_EQ(SetOutput(H(4, 3), 0), EFI_SUCCESS);
  EXPECT_EQ(gpio.PadConfig(4, 3, 0), kDw0);
  EXPECT_EQ(SetOutput(H(4, 3), 2), EFI_INVALID_PARAMETER);
  EXPECT_EQ(gpio.PadConfig(4, 3, 0), kDw0);
  EXPECT_EQ(gpio.RefusedWrites(), 0u);
}

TEST_F(GpioTest, SetOutputOnALockedPadOpensAndClosesOnlyTheTxLock) {
  Lock(2, 21, true, true);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_SUCCESS);
  EXPECT_EQ(Story(2, 21), (Strings{"TX-", "DW0", "TX+"}));
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxState, kGpioDw0TxState);
  EXPECT_TRUE(gpio.ConfigLocked(2, 21));
  EXPECT_TRUE(gpio.TxLocked(2, 21));
  EXPECT_EQ(gpio.RefusedWrites(), 0u);
}

TEST_F(GpioTest, LockMessageCarriesTheLockRegisterThroughTheBridge) {
  Lock(2, 21, false, true);
  gpio.SetPadBit(Reg::TxLock, 2, 3, true);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_SUCCESS);
  const auto &messages = gpio.bridge().Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto &m : messages) {
    EXPECT_EQ(m.port, 0x6D);
    EXPECT_EQ(m.offset, 0x84); // group 2's TX lock
    EXPECT_EQ(m.opcode, kSbBridgeOpcodeLock);
    EXPECT_EQ(m.routing, kSbBridgeRoutingDefault);
    EXPECT_FALSE(m.posted);
    EXPECT_EQ(m.extAddress, 0u);
    EXPECT_EQ(m.response, 0);
  }
  EXPECT_EQ(messages[0].data, 1u << 3);                // only the pad's own bit opened
  EXPECT_EQ(messages[1].data, (1u << 3) | (1u << 21)); // and closed again
}

TEST_F(GpioTest, LockMessageIsPreparedInOrderKeepingTheLowStatusBits) {
  // Status bits 3..7 as an earlier user left them, the posted bit among them.
  machine.bus().MmioWrite(kBridgeBase + kSbBridgeStatus, 2, 0x00F8);
  const size_t before = machine.trace().Entries().size();
  EXPECT_EQ(Run<EFI_STATUS>([] { return SidebandLockMessage(0x6D, 0x84, 0xFFFFFFFF, 1u << 4); }),
            EFI_SUCCESS);
  std::vector<std::pair<uint64_t, uint64_t>> writes; // bridge register, value
  const auto &entries = machine.trace().Entries();
  for (size_t i = before; i < entries.size(); ++i) {
    if (entries[i].kind == sim::TraceEntry::MmioWrite && entries[i].address >= kBridgeBase &&
        entries[i].address < kBridgeBase + 0x1000) {
      writes.emplace_back(entries[i].address - kBridgeBase, entries[i].value);
    }
  }
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {kSbBridgeAddress, 0x6D000084}, {kSbBridgeExtAddress, 0}, {kSbBridgeStatus, 0x1378},
      {kSbBridgeRouting, 0xF000},     {kSbBridgeData, 1u << 4}, {kSbBridgeStatus, 0x1379}};
  EXPECT_EQ(writes, expected);
  ASSERT_EQ(gpio.bridge().Messages().size(), 1u);
  EXPECT_FALSE(gpio.bridge().Messages()[0].posted);
  EXPECT_TRUE(gpio.TxLocked(2, 4));
}

TEST_F(GpioTest, TxLockedPadKeepsItsLevelAndSaysSoWhenTheBridgeIsHidden) {
  Lock(2, 21, false, true);
  gpio.bridge().SetHidden(true);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_DEVICE_ERROR) << "the level did not change";
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxState, 0u);
  EXPECT_EQ(gpio.RefusedWrites(), 1u);
  EXPECT_TRUE(gpio.TxLocked(2, 21));
  EXPECT_EQ(BridgeWrites(), 0u);
}

TEST_F(GpioTest, MessageWaitsForABusyBridge) {
  Lock(2, 21, false, true);
  const uint64_t busyUntil = machine.clock().NowNs() + 50'000;
  gpio.bridge().HoldBusyUntil(busyUntil);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_SUCCESS);
  ASSERT_EQ(gpio.bridge().Messages().size(), 2u);
  EXPECT_GE(gpio.bridge().Messages()[0].startNs, busyUntil);
  EXPECT_EQ(gpio.bridge().StartsWhileBusy(), 0u);
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxState, kGpioDw0TxState);
}

TEST_F(GpioTest, SlowBridgeIsWaitedForBeforeTheWrite) {
  Lock(2, 21, false, true);
  gpio.bridge().SetLatencyNs(200'000);
  EXPECT_EQ(SetOutput(H(2, 21), 1), EFI_SUCCESS);
  EXPECT_EQ(gpio.RefusedWrites(), 0u);
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxState, kGpioDw0TxState);
  EXPECT_GE(machine.clock().NowNs(), 400'000u);
}

TEST_F(GpioTest, RefusedLockMessageReportsDeviceError) {
  gpio.bridge().ForceResponse(1);
  EXPECT_EQ(Run<EFI_STATUS>([] { return SidebandLockMessage(0x6D, 0x84, 0xFFFFFFFF, 1); }),
            EFI_DEVICE_ERROR);
  gpio.bridge().ForceResponse(std::nullopt);
  EXPECT_EQ(Run<EFI_STATUS>([] { return SidebandLockMessage(0x6D, 0x84, 0xFFFFFFFF, 1); }),
            EFI_SUCCESS);
  EXPECT_TRUE(gpio.TxLocked(2, 0));
  // Not a lock register: the port refuses.
  EXPECT_EQ(Run<EFI_STATUS>([] { return SidebandLockMessage(0x6D, 0x600, 0xFFFFFFFF, 1); }),
            EFI_DEVICE_ERROR);
  gpio.bridge().SetHidden(true);
  EXPECT_EQ(Run<EFI_STATUS>([] { return SidebandLockMessage(0x6D, 0x84, 0, 0); }),
            EFI_DEVICE_ERROR);
  EXPECT_TRUE(gpio.TxLocked(2, 0));
}

// ---- PadSetDirection ----

TEST_F(GpioTest, EachDirectionValueSetsTheBuffersAndInversion) {
  constexpr uint32_t kStart = kGpioDw0RxInvert | kGpioDw0TxDisable;
  const struct {
    UINT8 direction;
    uint32_t dw0;
  } cases[] = {
      {PadDirNone, kStart},
      {PadDirOutput, kGpioDw0RxInvert | kGpioDw0RxDisable},
      {PadDirNeither, kGpioDw0RxInvert | kGpioDw0RxDisable | kGpioDw0TxDisable},
      {PadDirInputOutput, 0},
      {PadDirInput, kGpioDw0TxDisable},
      {PadDirInvertedOutput, kGpioDw0RxInvert},
      {PadDirInverted, kGpioDw0RxInvert | kGpioDw0TxDisable},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "direction 0x" << std::hex << int{c.direction});
    gpio.SetPadConfig(2, 5, 0, kStart);
    gpio.SetInputLevel(2, 5, false);
    EXPECT_EQ(SetDirection(H(2, 5), c.direction), EFI_SUCCESS);
    EXPECT_EQ(gpio.PadConfig(2, 5, 0), c.dw0);
  }
}

TEST_F(GpioTest, RejectedDirectionWritesNothing) {
  for (const UINT8 direction : {0x01, 0x03, 0x0D, 0x0F, 0x11, 0x1F, 0x20, 0xFF}) {
    SCOPED_TRACE(direction);
    EXPECT_EQ(SetDirection(H(2, 5), direction), EFI_INVALID_PARAMETER);
  }
  EXPECT_EQ(SidebandWindowWrites(), 0u);
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, DirectionKeepsTheRestOfThePadConfiguration) {
  constexpr uint32_t kDw0 =
      0x80000000 | kGpioDw0RxRaw | (1u << 25) | kGpioDw0TxDisable | kGpioDw0TxState | (1u << 20);
  constexpr uint32_t kDw1 = 0x00003C00 | 0x00000017; // termination and other bits
  constexpr uint32_t kDw2 = 0x12345678;
  gpio.SetPadConfig(3, 7, 0, kDw0);
  gpio.SetPadConfig(3, 7, 1, kDw1);
  gpio.SetPadConfig(3, 7, 2, kDw2);
  EXPECT_EQ(SetDirection(H(3, 7), PadDirOutput), EFI_SUCCESS);
  EXPECT_EQ(gpio.PadConfig(3, 7, 0), (kDw0 & ~kGpioDw0TxDisable) | kGpioDw0RxDisable);
  EXPECT_EQ(gpio.PadConfig(3, 7, 1), kDw1);
  EXPECT_EQ(gpio.PadConfig(3, 7, 2), kDw2);
  EXPECT_EQ(Story(3, 7), (Strings{"DW0", "DW1", "DW2", "HOST", "GPE", "NMI", "SMI"}));
}

TEST_F(GpioTest, LockedPadOpensBothLocksAroundWord0AndTheConfigLockAroundWord1) {
  Lock(2, 21, true, true);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_SUCCESS);
  EXPECT_EQ(Story(2, 21), (Strings{"CL-", "TX-", "DW0", "CL+", "TX+", // word 0
                                   "CL-", "DW1", "CL+",               // word 1
                                   "DW2", "HOST",                     // untouched lock
                                   "CL-", "GPE", "CL+", "CL-", "NMI", "CL+", "CL-", "SMI", "CL+"}));
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & (kGpioDw0TxDisable | kGpioDw0RxDisable), kGpioDw0RxDisable);
  EXPECT_TRUE(gpio.ConfigLocked(2, 21));
  EXPECT_TRUE(gpio.TxLocked(2, 21));
  EXPECT_EQ(gpio.RefusedWrites(), 0u);
}

TEST_F(GpioTest, EnableWriteOpensEveryConfigLockOfThePadsWordAtOnce) {
  Lock(2, 21, true, false);
  gpio.SetPadBit(Reg::ConfigLock, 2, 3, true);
  gpio.SetPadBit(Reg::ConfigLock, 2, 7, true);
  constexpr uint32_t kLocked = (1u << 3) | (1u << 7) | (1u << 21);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirInput), EFI_SUCCESS);
  const auto locks = gpio.WritesTo(Reg::ConfigLock);
  ASSERT_EQ(locks.size(), 10u); // word 0, word 1, then three enables
  for (size_t i = 4; i < locks.size(); i += 2) {
    EXPECT_EQ(locks[i].before, kLocked);
    EXPECT_EQ(locks[i].after, 0u);
    EXPECT_EQ(locks[i + 1].after, kLocked);
  }
  for (unsigned pad : {3u, 7u, 21u}) {
    EXPECT_TRUE(gpio.ConfigLocked(2, pad));
  }
}

TEST_F(GpioTest, EnableWriteOfAnUnlockedPadLeavesItsNeighboursLocked) {
  gpio.SetPadBit(Reg::ConfigLock, 2, 3, true);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirInput), EFI_SUCCESS);
  EXPECT_TRUE(gpio.WritesTo(Reg::ConfigLock).empty());
  EXPECT_EQ(Story(2, 21), (Strings{"DW0", "DW1", "DW2", "HOST", "GPE", "NMI", "SMI"}));
}

TEST_F(GpioTest, EventRoutingOnALockedPadIsRefusedBeforeAnyWrite) {
  gpio.SetPadConfig(2, 21, 0, kGpioDw0TxDisable | kGpioDw0RouteSci);
  Lock(2, 21, true, false);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SidebandWindowWrites() + BridgeWrites(), 0u);
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, RoutingBitsBecomeTheEnablesAndSmiRoutingTakesHostOwnership) {
  gpio.SetPadConfig(2, 9, 0, kGpioDw0TxDisable | kGpioDw0RouteSmi | kGpioDw0RouteSci);
  gpio.SetPadBit(Reg::NmiEnable, 2, 9, true);
  EXPECT_EQ(SetDirection(H(2, 9), PadDirInput), EFI_SUCCESS);
  EXPECT_TRUE(gpio.PadBit(Reg::HostOwnership, 2, 9));
  EXPECT_TRUE(gpio.PadBit(Reg::GpeEnable, 2, 9));
  EXPECT_TRUE(gpio.PadBit(Reg::SmiEnable, 2, 9));
  EXPECT_FALSE(gpio.PadBit(Reg::NmiEnable, 2, 9));

  gpio.SetPadConfig(2, 10, 0, kGpioDw0TxDisable | kGpioDw0RouteNmi);
  gpio.SetPadBit(Reg::HostOwnership, 2, 10, true);
  gpio.SetPadBit(Reg::GpeEnable, 2, 10, true);
  EXPECT_EQ(SetDirection(H(2, 10), PadDirInput), EFI_SUCCESS);
  EXPECT_TRUE(gpio.PadBit(Reg::HostOwnership, 2, 10)); // kept as read
  EXPECT_FALSE(gpio.PadBit(Reg::GpeEnable, 2, 10));
  EXPECT_TRUE(gpio.PadBit(Reg::NmiEnable, 2, 10));
  EXPECT_FALSE(gpio.PadBit(Reg::SmiEnable, 2, 10));
}

TEST_F(GpioTest, NmiRoutingInAGroupWithoutNmiRegistersStopsThere) {
  gpio.SetPadConfig(6, 2, 0, kGpioDw0TxDisable | kGpioDw0RouteNmi);
  EXPECT_EQ(SetDirection(H(6, 2), PadDirOutput), EFI_UNSUPPORTED);
  EXPECT_EQ(Story(6, 2), (Strings{"DW0", "DW1", "DW2", "HOST", "GPE"}));
  EXPECT_EQ(gpio.PadConfig(6, 2, 0) & kGpioDw0TxDisable, 0u); // the direction did change
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, SmiRoutingInAGroupWithoutSmiRegistersStopsThere) {
  gpio.SetPadConfig(0, 4, 0, kGpioDw0TxDisable | kGpioDw0RouteSmi);
  EXPECT_EQ(SetDirection(H(0, 4), PadDirInput), EFI_UNSUPPORTED);
  EXPECT_EQ(Story(0, 4), (Strings{"DW0", "DW1", "DW2", "HOST", "GPE"}));
  EXPECT_TRUE(gpio.PadBit(Reg::HostOwnership, 0, 4));
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, GroupWithoutEventRegistersWritesNoEnables) {
  EXPECT_EQ(SetDirection(H(13, 8), PadDirOutput), EFI_SUCCESS);
  EXPECT_EQ(Story(13, 8), (Strings{"DW0", "DW1", "DW2", "HOST"}));
  EXPECT_EQ(gpio.UnknownWrites(), 0u);
}

TEST_F(GpioTest, FailedUnlockAroundAnEnableStopsWithItsError) {
  Lock(2, 21, true, false);
  gpio.bridge().ForceResponse(1);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_DEVICE_ERROR);
  EXPECT_EQ(gpio.WritesTo(Reg::GpeEnable).size(), 0u);
  EXPECT_TRUE(gpio.ConfigLocked(2, 21));
  // Word 0 stayed as it was: the hardware ignored the locked write.
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxDisable, kGpioDw0TxDisable);
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

TEST_F(GpioTest, HiddenBridgeMakesALockedPadsDirectionFail) {
  Lock(2, 21, true, false);
  gpio.bridge().SetHidden(true);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_DEVICE_ERROR);
  EXPECT_EQ(BridgeWrites(), 0u);
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

// ---- GPIO_UNLOCK_HOB ----

TEST_F(GpioTest, UnlockedPadIsRecordedOnceHobIsSizedForSeriesH) {
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_SUCCESS);
  EXPECT_EQ(SetDirection(H(2, 20), PadDirInput), EFI_SUCCESS);
  EXPECT_EQ(CountGuidHobs(gGpioUnlockHobGuid), 1u);
  EXPECT_EQ(UnlockHobLength(), 24 + 18 * 8);
  const GPIO_UNLOCK_HOB_ENTRY *entries = UnlockEntries();
  for (unsigned i = 0; i < 18; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].PadConfigUnlocked, i == 2 ? (1u << 21) | (1u << 20) : 0u);
    EXPECT_EQ(entries[i].OutputUnlocked, 0u);
  }
}

TEST_F(GpioTest, LockedPadIsNotRecorded) {
  Lock(2, 21, true, false);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_SUCCESS);
  ASSERT_NE(UnlockEntries(), nullptr);
  EXPECT_EQ(UnlockEntries()[2].PadConfigUnlocked, 0u);
}

TEST_F(GpioTest, Group12OfSeriesHOwnsTwoEntries) {
  for (const UINT32 pad : {H(12, 5), H(12, 35), H(13, 0), H(16, 8)}) {
    EXPECT_EQ(SetDirection(pad, PadDirInput), EFI_SUCCESS);
  }
  const GPIO_UNLOCK_HOB_ENTRY *entries = UnlockEntries();
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries[12].PadConfigUnlocked, 1u << 5);
  EXPECT_EQ(entries[13].PadConfigUnlocked, 1u << 3); // pad 35: second entry, bit 3
  EXPECT_EQ(entries[14].PadConfigUnlocked, 1u << 0); // group 13 comes after both
  EXPECT_EQ(entries[17].PadConfigUnlocked, 1u << 8);
}

TEST_F(LpGpioTest, HobIsSizedForSeriesLp) {
  EXPECT_EQ(SetDirection(Lp(14, 5), PadDirInput), EFI_SUCCESS);
  EXPECT_EQ(SetDirection(Lp(9, 33), PadDirInput), EFI_SUCCESS);
  EXPECT_EQ(UnlockHobLength(), 24 + 16 * 8);
  EXPECT_EQ(UnlockEntries()[15].PadConfigUnlocked, 1u << 5);
  EXPECT_EQ(UnlockEntries()[10].PadConfigUnlocked, 1u << 1);
}

TEST_F(GpioTest, PadBeyondAnExistingShortHobIsRefused) {
  void *hob = nullptr;
  ASSERT_EQ(pei.CreateHob(EFI_HOB_TYPE_GUID_EXTENSION, 24 + 3 * 8, &hob), EFI_SUCCESS);
  static_cast<EFI_HOB_GUID_TYPE *>(hob)->Name = gGpioUnlockHobGuid;
  // Whoever made the short HOB cleared its entries; CreateHob does not.
  std::memset(static_cast<EFI_HOB_GUID_TYPE *>(hob) + 1, 0, 3 * 8);
  EXPECT_EQ(SetDirection(H(2, 1), PadDirInput), EFI_SUCCESS);
  EXPECT_EQ(SetDirection(H(3, 1), PadDirInput), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountGuidHobs(gGpioUnlockHobGuid), 1u);
  const auto *entries =
      reinterpret_cast<const GPIO_UNLOCK_HOB_ENTRY *>(static_cast<EFI_HOB_GUID_TYPE *>(hob) + 1);
  EXPECT_EQ(entries[2].PadConfigUnlocked, 1u << 1);
  EXPECT_EQ(entries[0].PadConfigUnlocked | entries[1].PadConfigUnlocked, 0u);
}

class TinyPeiGpioTest : public GpioTest {
protected:
  TinyPeiGpioTest() : GpioTest(Chipset::kDeviceIdH, BOOT_WITH_FULL_CONFIGURATION, 4096) {}
};

TEST_F(TinyPeiGpioTest, NoRoomForTheHobReportsOutOfResources) {
  void *filler = nullptr;
  ASSERT_EQ(pei.AllocatePool(pei.HobFreeBytes() - 16, &filler), EFI_SUCCESS);
  EXPECT_EQ(SetDirection(H(2, 21), PadDirOutput), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(gpio.PadConfig(2, 21, 0) & kGpioDw0TxDisable, 0u); // the pad was set all the same
  EXPECT_EQ(FindGuidHob(gGpioUnlockHobGuid), nullptr);
}

} // namespace
