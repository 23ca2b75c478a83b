// Bring-up, soft reset and start of the controller, by chip version. The
// register values are the controller family's own settings; the comments
// only say where a step's order or a wait matters.
#include "BringUp.h"
#include "ChipId.h"
#include "RegisterAccess.h"
#include "Rings.h"

namespace {

BOOLEAN InGphyGroup(NIC_DEVICE_CONTEXT *Ctx) { return Ctx->Adapter.GphyAccess != 0; }

BOOLEAN IsClass3(NIC_DEVICE_CONTEXT *Ctx) { return Ctx->Adapter.ChipClass == NicClass3; }

// Versions whose extended register 0xDC gates the engines.
BOOLEAN HasExtDcGate(UINT32 V) { return NicVersionIn(V, 40, 49) || NicVersionIn(V, 58, 66); }

void ExtWrite32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT32 Value) {
  NicExtWrite(Ctx, Offset, 4, Value);
}

void ExtWrite8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Value) {
  NicExtWrite(Ctx, Offset, 1, Value);
}

void ExtAnd32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT32 Mask) {
  ExtWrite32(Ctx, Offset, NicExtRead(Ctx, Offset, 4) & Mask);
}

void ExtOr32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT32 Bits) {
  ExtWrite32(Ctx, Offset, NicExtRead(Ctx, Offset, 4) | Bits);
}

void ExtOr8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Bits) {
  ExtWrite8(Ctx, Offset, (UINT8)(NicExtRead(Ctx, Offset, 1) | Bits));
}

// Extended register 0xDC: bit 0 cleared, then set.
void PulseExtDc(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 Value = NicExtRead(Ctx, kNicExtDC, 4);
  ExtWrite32(Ctx, kNicExtDC, Value & ~1u);
  ExtWrite32(Ctx, kNicExtDC, Value | 1u);
}

void WriteRingRegister(NIC_DEVICE_CONTEXT *Ctx, UINT16 Register, UINT32 Value) {
  NicWrite32(Ctx, Register, Value);
  NicStall(Ctx, kRingAddressWriteUs);
}

void WriteTxRingAddress(NIC_DEVICE_CONTEXT *Ctx) {
  UINT64 Tx = Ctx->Adapter.TxRing;
  WriteRingRegister(Ctx, kNicRegTxRingLow, (UINT32)Tx);
  WriteRingRegister(Ctx, kNicRegTxRingHigh, (UINT32)(Tx >> 32));
  WriteRingRegister(Ctx, kNicRegTxRing2Low, 0);
  WriteRingRegister(Ctx, kNicRegTxRing2High, 0);
}

// Wait A (GPHY group): the transmit side ready, then the link side, sharing
// one budget of polls.
void WaitA(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 I = 0;
  for (; I < kReadyWaitPolls; I++) {
    if (NicRead32(Ctx, kNicRegTxConfig) & kNicTxConfigReady) {
      break;
    }
    NicStall(Ctx, kReadyWaitPollUs);
  }
  do {
    if ((NicRead8(Ctx, kNicRegD3) & kNicD3LinkReady) == kNicD3LinkReady) {
      break;
    }
    NicStall(Ctx, kReadyWaitPollUs);
    I++;
  } while (I < kReadyWaitPolls);
  NicStall(Ctx, kReadyWaitSettleUs);
}

void WaitB(NIC_DEVICE_CONTEXT *Ctx) {
  for (UINT32 I = 0; I < kReadyWaitPolls; I++) {
    if (NicRead8(Ctx, kNicRegD3) & kNicD3PhyReady) {
      return;
    }
    NicStall(Ctx, kReadyWaitPollUs);
  }
}

void PciQuirkBytes(NIC_DEVICE_CONTEXT *Ctx) {
  NicPciWrite8(Ctx, kNicPciQuirk70F, kNicPciQuirk70FValue);
  NicPciWrite8(Ctx, kNicPciQuirk79, kNicPciQuirk79Value);
}

// The unlock / 0x56 / 0x53 (/ 0xF1) / lock sequence most quirks share.
// Registers 0x51 to 0x56 take writes only while 0x50 is unlocked, so the
// further clears of 0x53 and 0x54 some versions need are made inside the
// window too: after the lock the controller would drop them.
void UnlockedTweaks(NIC_DEVICE_CONTEXT *Ctx, UINT8 Mask56, BOOLEAN AlsoF1, UINT8 Late53 = 0xFF,
                    UINT8 Mask54 = 0xFF) {
  NicUnlock(Ctx);
  NicAnd8(Ctx, kNicReg56, Mask56);
  NicAnd8(Ctx, kNicReg53, 0x7F);
  if (AlsoF1) {
    NicAnd8(Ctx, kNicRegF1, 0x7F);
  }
  if (Late53 != 0xFF) {
    NicAnd8(Ctx, kNicReg53, Late53);
  }
  if (Mask54 != 0xFF) {
    NicAnd8(Ctx, kNicReg54, Mask54);
  }
  NicLock(Ctx);
}

// Block K of versions 40 to 43 and 64; version 66 runs it without the 0xF1
// and 0xE0 steps. Late53: a further clear of 0x53 made inside its window.
void BlockK(NIC_DEVICE_CONTEXT *Ctx, BOOLEAN Whole, UINT8 Late53 = 0xFF) {
  PciQuirkBytes(Ctx);
  NicWrite16(Ctx, kNicRegMaxRxSize, 0x05F3);
  ExtWrite32(Ctx, kNicExtC8, 0x00100002);
  ExtWrite32(Ctx, kNicExtE8, 0x00100006);
  NicOr8(Ctx, kNicRegTxConfig, kNicTxConfigByte0Bit7);
  PulseExtDc(Ctx);
  UnlockedTweaks(Ctx, 0xFE, Whole, Late53);
  if (Whole) {
    NicAnd16(Ctx, kNicRegCommand2, 0x2063);
  }
}

void BlockM(NIC_DEVICE_CONTEXT *Ctx) {
  ExtOr32(Ctx, kNicExt1B0, 0x10);
  ExtWrite32(Ctx, kNicExtCC, 0x50);
  ExtWrite32(Ctx, kNicExtD0, 0x60);
  ExtOr32(Ctx, kNicExt1D0, 0x10);
}

void GphyGroupQuirks(NIC_DEVICE_CONTEXT *Ctx) {
  BOOLEAN Class3 = IsClass3(Ctx);
  PciQuirkBytes(Ctx);
  if (Class3) {
    NicWrite16(Ctx, kNicRegMaxRxSize, 0x400B);
    NicMacWrite(Ctx, kNicMacC140, 0xFFFF);
    NicMacWrite(Ctx, kNicMacC142, 0xFFFF);
  } else {
    NicWrite16(Ctx, kNicRegMaxRxSize, 0x05F2);
  }
  PulseExtDc(Ctx);
  UnlockedTweaks(Ctx, 0xFE, TRUE, 0xFF, Class3 ? 0xFC : 0xFE); // 0x54 bit 0, class 3 bit 1 too
  if (!Class3) {
    NicAnd16(Ctx, kNicRegCommand2, 0x2063);
  }
  NicAnd8(Ctx, kNicReg1B, 0xF8);
  if (!Class3) {
    ExtWrite32(Ctx, kNicExt2F8, 0x1D8F);
  }
  ExtAnd32(Ctx, kNicExt1D0, ~0x2u);
}

// Writes the reset bit and waits, at most kQuirkResetPolls times, for it to
// clear: the command register ignores writes until it has.
void ResetAndWait(NIC_DEVICE_CONTEXT *Ctx) {
  NicWrite8(Ctx, kNicRegCommand, kNicCommandReset);
  for (UINT32 I = 0; I < kQuirkResetPolls; I++) {
    if ((NicRead8(Ctx, kNicRegCommand) & kNicCommandReset) == 0) {
      break;
    }
    NicStall(Ctx, kQuirkResetPollUs);
  }
}

void VersionQuirks(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 V = Ctx->Adapter.ChipVersion;
  if (V == 5 || V == 6) {
    BOOLEAN Low = (NicRead8(Ctx, kNicReg53) & 0x07) == 1;
    UINT32 Value = V == 5 ? (Low ? 0x000FFFFF : 0x000FFF00) : (Low ? 0x003FFFFF : 0x003FFF00);
    NicWrite32(Ctx, kNicReg7C, Value);
  } else if (V == 23 || V == 24) {
    NicWrite32(Ctx, kNicRegF5, (UINT32)(NicRead8(Ctx, kNicRegF5) | 0x04));
  } else if (NicVersionIn(V, 26, 32)) {
    NicWrite16(Ctx, kNicRegMaxRxSize, 0x05F3);
    UnlockedTweaks(Ctx, 0xFE, V >= 31);
    NicAnd8(Ctx, kNicRegF2, 0xFE);
    NicAnd8(Ctx, kNicRegD0, 0xBF);
  } else if (InGphyGroup(Ctx)) {
    GphyGroupQuirks(Ctx);
  } else if (V == 34 || V == 35 || V == 36) {
    UnlockedTweaks(Ctx, 0xFE, FALSE);
    NicOr8(Ctx, kNicRegD1, 0x82);
    if (V == 36) {
      NicOr8(Ctx, kNicRegF3, 0x04);
    } else {
      NicOr8(Ctx, kNicRegD1, 0x82);
    }
  } else if (NicVersionIn(V, 37, 39)) {
    UnlockedTweaks(Ctx, 0xF6, FALSE);
    UINT8 Old = NicRead8(Ctx, kNicRegF3);
    NicWrite8(Ctx, kNicRegF3, (UINT8)(Old | 0x20));
    NicWrite8(Ctx, kNicRegF3, (UINT8)(Old & ~0x20));
  } else if (V == 40) {
    BlockK(Ctx, TRUE);
    ExtAnd32(Ctx, kNicExt1D0, ~0x2u);
    NicAnd8(Ctx, kNicReg1A, 0xF3);
    ExtWrite32(Ctx, kNicExt1DC, (NicExtRead(Ctx, kNicExt1DC, 4) & ~0xFFu) | 0x64);
    NicAnd8(Ctx, kNicReg1B, 0xF3);
    ExtOr8(Ctx, kNicExtD5, 0x0C);
  } else if (V == 41) {
    BlockK(Ctx, TRUE, 0xDF);
    ExtAnd32(Ctx, kNicExt1D0, ~0x2u);
    NicAnd8(Ctx, kNicReg1A, 0xF3);
    NicAnd8(Ctx, kNicReg1B, 0xF8);
    ExtOr8(Ctx, kNicExtD5, 0x0C);
    ExtWrite32(Ctx, kNicExtCC, 0x50);
    ExtWrite32(Ctx, kNicExtD0, 0x07FF0060);
  } else if (V == 42 || V == 43) {
    BlockK(Ctx, TRUE);
    ExtOr8(Ctx, kNicExtD5, 0x0C);
    NicAnd8(Ctx, kNicReg1B, 0xF8);
    ExtAnd32(Ctx, kNicExt1D0, ~0x2u);
    BlockM(Ctx);
  } else if (V == 64) {
    BlockK(Ctx, TRUE);
    ExtOr8(Ctx, kNicExtD5, 0x0C);
    BlockM(Ctx);
  } else if (V == 66) {
    BlockK(Ctx, FALSE);
  }

  // Every version ends with a reset and waits for its bit to clear.
  ResetAndWait(Ctx);
}

// Receive configuration (register 0x44) and the settings that go with it.
void ReceiveConfiguration(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 V = Ctx->Adapter.ChipVersion;
  UINT32 Old = NicRead32(Ctx, kNicRegRxConfig);
  if (V == 0 || NicVersionIn(V, 18, 32)) {
    NicWrite32(Ctx, kNicRegRxConfig, (Old & ~0x73Fu) | 0x0700);
  } else if (NicVersionIn(V, 14, 17) || NicVersionIn(V, 50, 53)) {
    NicWrite32(Ctx, kNicRegRxConfig, (Old & ~0xE73Fu) | 0x8700);
  } else if (NicVersionIn(V, 34, 39) || NicVersionIn(V, 54, 57)) {
    NicWrite32(Ctx, kNicRegRxConfig, (Old & ~0xC73Fu) | 0x28700);
  } else if (NicVersionIn(V, 44, 49) || V == 65 || V == 61) {
    NicWrite32(Ctx, kNicRegRxConfig, 0x8F00);
    NicOr8(Ctx, kNicRegTxConfig, kNicTxConfigByte0Bit7);
    ExtWrite8(Ctx, kNicExtC8, 2);
    ExtWrite8(Ctx, kNicExtCA, 8);
    ExtWrite8(Ctx, kNicExtCC, V == 61 ? 0x2F : 0x38);
    ExtWrite8(Ctx, kNicExtD0, V == 61 ? 0x5F : 0x48);
    ExtWrite32(Ctx, kNicExtE8, 0x00100006);
  } else if (V == 40 || V == 41) {
    NicWrite32(Ctx, kNicRegRxConfig, 0xBF00);
    ExtWrite32(Ctx, kNicExtC8, 0x00100002);
    ExtWrite32(Ctx, kNicExtE8, 0x00100006);
  } else if (V == 42 || V == 43 || V == 64) {
    NicWrite32(Ctx, kNicRegRxConfig, 0xBF00);
  } else if (NicVersionIn(V, 58, 60)) {
    NicWrite32(Ctx, kNicRegRxConfig, 0x8F00);
    ExtWrite8(Ctx, kNicExtC8, 2);
    ExtWrite8(Ctx, kNicExtCA, 8);
    ExtWrite8(Ctx, kNicExtCC, 0x2F);
    ExtWrite8(Ctx, kNicExtD0, 0x5F);
    ExtWrite32(Ctx, kNicExtE8, 0x00100006);
    if (V == 60) {
      NicMacWrite(Ctx, kNicMacD3E2, (UINT16)((NicMacRead(Ctx, kNicMacD3E2) & 0xF000) | 0x0271));
      NicMacAnd(Ctx, kNicMacD3E4, 0xFF00);
      NicMacOr(Ctx, kNicMacE860, 0x0080);
    }
  } else if (V == 62 || V == 63) {
    NicMacWrite(Ctx, kNicMacD3E2, (UINT16)((NicMacRead(Ctx, kNicMacD3E2) & 0xF000) | 0x03A9));
    NicMacAnd(Ctx, kNicMacD3E4, 0xFF00);
    NicMacOr(Ctx, kNicMacE860, 0x0080);
  } else if (V == 66) {
    NicWrite32(Ctx, kNicRegRxConfig, 0x8700);
    ExtWrite32(Ctx, kNicExtC8, 2);
    ExtWrite32(Ctx, kNicExtE8, 6);
  } else {
    NicWrite32(Ctx, kNicRegRxConfig, 0xE700);
  }
}

UINT16 MaxReceiveSize(UINT32 V) {
  if (NicVersionIn(V, 18, 32)) {
    return 0x05EF;
  }
  if (NicVersionIn(V, 44, 49) || NicVersionIn(V, 58, 60) || V == 65) {
    return 0x05F2;
  }
  if (V == 62 || V == 63) {
    return 0x400B;
  }
  return 0x05F3;
}

UINT32 DmaBurst(UINT32 V) {
  if (V == 7 || V == 10 || V == 11) {
    return 5;
  }
  return V == 25 ? 1 : 7;
}

void MainConfiguration(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 V = Ctx->Adapter.ChipVersion;
  NicWrite16(Ctx, kNicRegMaxRxSize, 0x05EF);
  if (!IsClass3(Ctx)) {
    NicWrite8(Ctx, kNicRegMaxTxSize, 0x3F);
  }
  NicWrite8(Ctx, kNicRegRxConfig, 0);

  if (Ctx->Adapter.F2Handling) {
    NicOr8(Ctx, kNicRegF2, kNicF2Bit3);
    NicStall(Ctx, kF2SettleUs);
    WaitA(Ctx);
  }
  if (HasExtDcGate(V)) {
    NicAnd8(Ctx, kNicRegD3, 0x7F);
    ExtAnd32(Ctx, kNicExtC0, 0xFFFF0000);
    ExtAnd32(Ctx, kNicExtB8, 0xFFFF0000);
  }
  if (NicVersionIn(V, 44, 49) || NicVersionIn(V, 58, 61) || V == 65) {
    NicMacAnd(Ctx, kNicMacE8DE, 0xBFFF);
    WaitB(Ctx);
    NicMacOr(Ctx, kNicMacE8DE, 0x8000);
    WaitB(Ctx);
  } else if (V == 62 || V == 63) {
    NicMacAnd(Ctx, kNicMacE8DE, 0xBFFF);
    NicMacWrite(Ctx, kNicMacC0AA, 0x07D0);
    NicMacWrite(Ctx, kNicMacC0A6, 0x0150);
  }

  ReceiveConfiguration(Ctx);
  if (Ctx->Adapter.ChipClass >= NicClass2) {
    NicSoftReset(Ctx);
  }
  VersionQuirks(Ctx);

  WriteTxRingAddress(Ctx);
  WriteRingRegister(Ctx, kNicRegRxRingLow, (UINT32)Ctx->Adapter.RxRing);
  WriteRingRegister(Ctx, kNicRegRxRingHigh, (UINT32)(Ctx->Adapter.RxRing >> 32));

  NicWrite16(Ctx, kNicRegMaxRxSize, MaxReceiveSize(V));
  UINT32 TxConfig = NicRead32(Ctx, kNicRegTxConfig) & ~kNicTxConfigDmaBurstMask;
  NicWrite32(Ctx, kNicRegTxConfig, TxConfig | (DmaBurst(V) << kNicTxConfigDmaBurstShift));

  if (V == 54 && Ctx->Adapter.OobFirmware) {
    // Tell the firmware the driver owns the engines, then wait for its ready bit.
    NicWrite32(Ctx, kNicRegExtData, 0);
    NicWrite32(Ctx, kNicRegExtCommand, 0x800010E8);
    NicWrite32(Ctx, kNicRegOcpData, 1);
    NicWrite32(Ctx, kNicRegOcpCommand, 0x80001030);
    NicStall(Ctx, kOobReadyFirstUs);
    for (UINT32 I = 0; I < kOobReadyPolls; I++) {
      NicStall(Ctx, kOobReadyPollUs);
      if (NicOobRead16(Ctx, kNicOob10) & kNicOob10Ready) {
        break;
      }
    }
  }
  if (!IsClass3(Ctx)) {
    NicWrite8(Ctx, kNicRegLock, kNicLockOpen);
    NicAnd8(Ctx, kNicReg56, (UINT8)~0x10);
    NicWrite8(Ctx, kNicRegLock, 0);
  }
  if (Ctx->Adapter.F2Handling) {
    NicAnd8(Ctx, kNicRegF2, (UINT8)~kNicF2Bit3);
  }
}

UINT32 Configure(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  UINT32 V = A->ChipVersion;
  A->LinkAtBringUp = (NicRead8(Ctx, kNicRegLinkStatus) & kNicLinkUp) != 0;
  NicSoftReset(Ctx);

  if (A->ChipClass == NicClass2 || A->ChipClass == NicClass4) {
    BOOLEAN One = V == 0 || NicVersionIn(V, 7, 9) || V == 11 || NicVersionIn(V, 14, 17) ||
                  NicVersionIn(V, 34, 61) || NicVersionIn(V, 64, 66);
    UINT16 Value = NicRead16(Ctx, kNicRegCommand2) & 0xFFFC;
    NicWrite16(Ctx, kNicRegCommand2, (UINT16)(Value | (One ? 1 : 3)));
  } else if (A->ChipClass != NicClass3) {
    NicWrite16(Ctx, kNicRegCommand2, 0);
    NicStart(Ctx);
  }
  if (NicVersionIn(V, 14, 17) || NicVersionIn(V, 34, 65)) {
    NicWrite8(Ctx, kNicReg57, 1);
  }

  MainConfiguration(Ctx);

  if (A->PhyQuirk && A->LinkAtBringUp) {
    NicStart(Ctx);
    UINT32 C = NicRead32(Ctx, kNicRegTxConfig);
    NicWrite32(Ctx, kNicRegTxConfig, (C & ~kNicTxConfigBit18) | kNicTxConfigOpen);
    NicWrite32(Ctx, kNicRegRxConfig, (NicRead32(Ctx, kNicRegRxConfig) & 0xFFFFFFF2) | 2);
    NicWrite32(Ctx, kNicRegTxConfig, C);
  }
  if (V == 12) {
    UINT32 C = NicRead32(Ctx, kNicRegTxConfig);
    NicWrite32(Ctx, kNicRegTxConfig, (C & 0xFFFBFFFF) | 0x20000);
    // The start below writes the command register, which a reset still in
    // progress would ignore.
    ResetAndWait(Ctx);
  }
  if (A->ChipClass >= NicClass2) {
    NicStart(Ctx);
    NicOr32(Ctx, kNicRegRxConfig, kNicRxConfigAcceptBits);
    NicWrite32(Ctx, kNicRegMulticast0, 0xFFFFFFFF);
    NicWrite32(Ctx, kNicRegMulticast4, 0xFFFFFFFF);
  }
  if (V == 12) {
    NicAnd32(Ctx, kNicRegTxConfig, ~(kNicTxConfigOpen | kNicTxConfigBit18));
  }
  return NicHwOk;
}

} // namespace

void NicSoftReset(NIC_DEVICE_CONTEXT *Ctx) {
  NicWrite8(Ctx, kNicRegCommand, kNicCommandReset);
  for (UINT32 I = 0; I < kSoftResetPolls; I++) {
    NicStall(Ctx, kSoftResetPollUs);
    UINT8 Command = NicRead8(Ctx, kNicRegCommand);
    if (Command == 0 || Command == kNicCommandAbsent) {
      break;
    }
  }
  NicStall(Ctx, kSoftResetSettleUs);
  if (Ctx->Adapter.ChipVersion == 44) {
    // This version forgets the transmit ring address on reset.
    WriteTxRingAddress(Ctx);
  }
}

void NicStart(NIC_DEVICE_CONTEXT *Ctx) {
  if (HasExtDcGate(Ctx->Adapter.ChipVersion)) {
    PulseExtDc(Ctx);
  }
  NicRingsSetUp(Ctx);
  NicWrite8(Ctx, kNicRegCommand, kNicCommandStart);
  if (Ctx->Adapter.F2Handling) {
    NicAnd8(Ctx, kNicRegF2, (UINT8)~kNicF2Bit3);
  }
}

UINT32 NicBringUp(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  if (A->DmaSize < kNicDmaAreaSize) {
    return NicHwDmaAreaTooSmall;
  }
  UINT8 *Area = (UINT8 *)(UINTN)A->DmaHostAddress;
  for (UINT32 I = 0; I < kNicDmaAreaSize; I++) {
    Area[I] = 0;
  }
  A->DmaDeviceAddress = A->DmaHostAddress; // no mapping: device sees host addresses
  if (A->DmaDeviceAddress >= kNicDmaLimit || kNicDmaLimit - A->DmaDeviceAddress < A->DmaSize) {
    return NicHwAddressUnusable;
  }
  NicRingsLocate(Ctx);

  for (UINT32 I = 0; I < kNicStationAddressSize; I++) {
    A->StationAddress[I] = NicRead8(Ctx, (UINT16)(kNicRegStationAddress + I));
  }

  // Interrupts are never used: acknowledge whatever is pending and mask all.
  UINT32 Acks = IsClass3(Ctx) ? 2 : 1;
  for (UINT32 I = 0; I < Acks; I++) {
    NicWrite16(Ctx, kNicRegInterruptStatus, NicRead16(Ctx, kNicRegInterruptStatus));
  }
  if (IsClass3(Ctx)) {
    NicWrite32(Ctx, kNicRegTxDoorbell, 0);
  } else {
    NicWrite16(Ctx, kNicRegInterruptMask, 0);
  }

  NicRingsSetUp(Ctx);
  UINT32 Code = Configure(Ctx);
  NicWrite32(Ctx, kNicReg58, kNicReg58Value);
  return Code;
}
