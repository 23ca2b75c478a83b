// Register access of NicLinkDxe: the adapter's register-access hook over the
// NIC I/O protocol, and the indirect windows built on plain I/O registers.
#include "RegisterAccess.h"

namespace {

EFI_PCI_IO_PROTOCOL_WIDTH WidthOf(UINT8 Length) {
  switch (Length) {
  case 2:
    return EfiPciIoWidthUint16;
  case 4:
    return EfiPciIoWidthUint32;
  case 8:
    return EfiPciIoWidthUint64;
  default:
    return EfiPciIoWidthUint8;
  }
}

// Through the hook, as the adapter code reaches the controller.
EFI_STATUS Access(NIC_DEVICE_CONTEXT *Ctx, UINT8 Code, UINT8 Length, UINT16 Offset, VOID *Buffer) {
  return Ctx->Hooks.RegisterAccess(Ctx->Hooks.UniqueId, Code, Length, Offset, Buffer);
}

UINT32 Lane(UINT32 Offset) { return Offset & 3; }
UINT32 DwordAddress(UINT32 Offset) { return Offset & ~3u; }

// Byte enables of a window command for an access of Size bytes at Offset.
UINT32 ByteEnables(UINT32 Offset, UINT8 Size) {
  UINT32 L = Lane(Offset);
  if (Size == 1) {
    return 1u << L;
  }
  if (Size == 2) {
    return L == 3 ? 0x8u : 0x3u << L;
  }
  return kNicWindowAllBytes;
}

UINT32 SizeMask(UINT8 Size) { return Size == 1 ? 0xFFu : Size == 2 ? 0xFFFFu : 0xFFFFFFFFu; }

// Waits for bit 31 of a window command register to become Set (or clear).
BOOLEAN PollExtCommand(NIC_DEVICE_CONTEXT *Ctx, BOOLEAN Set) {
  for (UINT32 I = 0; I < kExtWindowPolls; I++) {
    BOOLEAN Flag = (NicRead32(Ctx, kNicRegExtCommand) & kNicWindowFlag) != 0;
    if (Flag == Set) {
      return TRUE;
    }
  }
  return FALSE;
}

// One OCP-window command and its completion poll. Dword commands delay before
// each look, narrow ones after.
BOOLEAN OcpCommand(NIC_DEVICE_CONTEXT *Ctx, UINT32 Command, BOOLEAN Dword) {
  NicWrite32(Ctx, kNicRegOcpCommand, Command);
  NicWrite32(Ctx, kNicRegOcpKick, 0);
  BOOLEAN WaitForSet = (Command & kNicWindowFlag) == 0; // reads complete by setting the flag
  UINT32 Polls = Dword ? kOcpDwordPolls : kOcpNarrowPolls;
  for (UINT32 I = 0; I < Polls; I++) {
    if (Dword) {
      NicStall(Ctx, kOcpDwordPollUs);
    }
    UINT32 Value = NicRead32(Ctx, kNicRegOcpCommand);
    if (!Dword) {
      NicStall(Ctx, kOcpNarrowPollUs);
    }
    if (((Value & kNicWindowFlag) != 0) == WaitForSet) {
      return TRUE;
    }
  }
  Ctx->Adapter.OcpFailed = 1;
  return FALSE;
}

UINT32 OcpReadDword(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, BOOLEAN *Ok) {
  *Ok = OcpCommand(Ctx, DwordAddress(Address) | kNicOcpAllBytes, TRUE);
  return *Ok ? NicRead32(Ctx, kNicRegOcpData) : 0xFFFFFFFFu;
}

void OcpWriteDword(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT32 Value) {
  NicWrite32(Ctx, kNicRegOcpData, Value);
  (void)OcpCommand(Ctx, kNicWindowFlag | DwordAddress(Address) | kNicOcpAllBytes, TRUE);
}

// A byte or a word inside one dword (lanes 0..2 for words).
UINT32 OcpReadNarrow(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, BOOLEAN *Ok) {
  UINT32 Command = (ByteEnables(Offset, Size) << kNicWindowByteEnableShift) | DwordAddress(Offset);
  *Ok = OcpCommand(Ctx, Command, FALSE);
  if (!*Ok) {
    return SizeMask(Size);
  }
  return (NicRead32(Ctx, kNicRegOcpData) >> (8 * Lane(Offset))) & SizeMask(Size);
}

void OcpWriteNarrow(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Value) {
  UINT32 L = Lane(Offset);
  BOOLEAN Merge = Offset >= kNicOcpByteMergeFrom && (Size == 1 || L == 0 || L == 2);
  if (Merge) {
    // These registers only take whole dwords: read, merge, write back. A
    // failed read leaves the register alone rather than writing all ones.
    BOOLEAN Ok;
    UINT32 Dword = OcpReadDword(Ctx, Offset, &Ok);
    if (!Ok) {
      return;
    }
    UINT32 Mask = SizeMask(Size) << (8 * L);
    Dword = (Dword & ~Mask) | ((Value << (8 * L)) & Mask);
    OcpWriteDword(Ctx, Offset, Dword);
    return;
  }
  NicWrite32(Ctx, kNicRegOcpData, Value << (8 * L));
  UINT32 Command = kNicWindowFlag | (ByteEnables(Offset, Size) << kNicWindowByteEnableShift) |
                   DwordAddress(Offset);
  (void)OcpCommand(Ctx, Command, FALSE);
}

} // namespace

EFI_STATUS NicRegisterAccess(VOID *UniqueId, UINT8 Code, UINT8 Length, UINT64 Offset,
                             VOID *Buffer) {
  NIC_DEVICE_CONTEXT *Ctx = NicContextFromAdapter(UniqueId);
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  EFI_PCI_IO_PROTOCOL_WIDTH Width = WidthOf(Length);
  switch (Code) {
  case NicAccessIoRead:
    return PciIo->Io.Read(PciIo, Width, kNicIoBar, Offset, 1, Buffer);
  case NicAccessIoWrite:
    return PciIo->Io.Write(PciIo, Width, kNicIoBar, Offset, 1, Buffer);
  case NicAccessMemRead:
    return PciIo->Mem.Read(PciIo, Width, kNicMemBar, Offset, 1, Buffer);
  case NicAccessMemWrite:
    return PciIo->Mem.Write(PciIo, Width, kNicMemBar, Offset, 1, Buffer);
  default:
    return Code;
  }
}

UINT8 NicRead8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset) {
  UINT8 Value = 0xFF;
  (void)Access(Ctx, NicAccessIoRead, 1, Offset, &Value);
  return Value;
}

UINT16 NicRead16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset) {
  UINT16 Value = 0xFFFF;
  (void)Access(Ctx, NicAccessIoRead, 2, Offset, &Value);
  return Value;
}

UINT32 NicRead32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset) {
  UINT32 Value = 0xFFFFFFFF;
  (void)Access(Ctx, NicAccessIoRead, 4, Offset, &Value);
  return Value;
}

void NicWrite8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Value) {
  (void)Access(Ctx, NicAccessIoWrite, 1, Offset, &Value);
}

void NicWrite16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT16 Value) {
  (void)Access(Ctx, NicAccessIoWrite, 2, Offset, &Value);
}

void NicWrite32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Value) {
  (void)Access(Ctx, NicAccessIoWrite, 4, Offset, &Value);
}

void NicAnd8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Mask) {
  NicWrite8(Ctx, Offset, (UINT8)(NicRead8(Ctx, Offset) & Mask));
}

void NicOr8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Bits) {
  NicWrite8(Ctx, Offset, (UINT8)(NicRead8(Ctx, Offset) | Bits));
}

void NicAnd16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT16 Mask) {
  NicWrite16(Ctx, Offset, (UINT16)(NicRead16(Ctx, Offset) & Mask));
}

void NicAnd32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Mask) {
  NicWrite32(Ctx, Offset, NicRead32(Ctx, Offset) & Mask);
}

void NicOr32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Bits) {
  NicWrite32(Ctx, Offset, NicRead32(Ctx, Offset) | Bits);
}

void NicUnlock(NIC_DEVICE_CONTEXT *Ctx) { NicOr8(Ctx, kNicRegLock, kNicLockOpen); }

void NicLock(NIC_DEVICE_CONTEXT *Ctx) { NicAnd8(Ctx, kNicRegLock, (UINT8)~kNicLockOpen); }

void NicPciReadHeader(NIC_DEVICE_CONTEXT *Ctx, UINT32 *Header) {
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  (void)PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, 0, kNicPciConfigDwords, Header);
}

void NicPciWrite8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Value) {
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  (void)PciIo->Pci.Write(PciIo, EfiPciIoWidthUint8, Offset, 1, &Value);
}

UINT32 NicExtRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Type) {
  UINT32 Command = (ByteEnables(Offset, Size) << kNicWindowByteEnableShift) |
                   (Type << kNicWindowTypeShift) | DwordAddress(Offset);
  NicWrite32(Ctx, kNicRegExtCommand, Command);
  (void)PollExtCommand(Ctx, TRUE); // a time-out reads whatever the data register holds
  NicStall(Ctx, kExtWindowSettleUs);
  return (NicRead32(Ctx, kNicRegExtData) >> (8 * Lane(Offset))) & SizeMask(Size);
}

void NicExtWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Value, UINT32 Type) {
  NicWrite32(Ctx, kNicRegExtData, Value << (8 * Lane(Offset)));
  UINT32 Command = kNicWindowFlag | (ByteEnables(Offset, Size) << kNicWindowByteEnableShift) |
                   (Type << kNicWindowTypeShift) | DwordAddress(Offset);
  NicWrite32(Ctx, kNicRegExtCommand, Command);
  (void)PollExtCommand(Ctx, FALSE);
  NicStall(Ctx, kExtWindowSettleUs);
}

UINT32 NicType3Command(UINT32 Address) {
  if (Address < kNicType3LowLimit) {
    return Address | kNicType3Command;
  }
  return ((Address >> 12) << kNicType3HighAddressShift) | kNicType3Command | (Address & 0xFFF);
}

UINT32 NicType3Read(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address) {
  NicWrite32(Ctx, kNicRegExtCommand, NicType3Command(Address));
  (void)PollExtCommand(Ctx, TRUE);
  NicStall(Ctx, kExtWindowSettleUs);
  return NicRead32(Ctx, kNicRegExtData);
}

void NicType3Write(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT32 Value) {
  if (Ctx->Adapter.RegisterLock) {
    NicUnlock(Ctx);
  }
  NicWrite32(Ctx, kNicRegExtData, Value);
  NicWrite32(Ctx, kNicRegExtCommand, kNicWindowFlag | NicType3Command(Address));
  (void)PollExtCommand(Ctx, FALSE);
  if (Ctx->Adapter.RegisterLock) {
    NicLock(Ctx);
  }
  NicStall(Ctx, kExtWindowSettleUs);
}

UINT32 NicOcpRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size) {
  BOOLEAN Ok;
  if (Size == 4) {
    return OcpReadDword(Ctx, Offset, &Ok);
  }
  if (Size == 2 && Lane(Offset) == 3) {
    // A word across two dwords: the second byte is a byte access of its own.
    BOOLEAN OkHigh;
    UINT32 Low = OcpReadNarrow(Ctx, Offset, 1, &Ok);
    UINT32 High = OcpReadNarrow(Ctx, Offset + 1, 1, &OkHigh);
    return (Ok && OkHigh) ? (Low | (High << 8)) : 0xFFFFu;
  }
  return OcpReadNarrow(Ctx, Offset, Size, &Ok);
}

void NicOcpWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Value) {
  if (Size == 4) {
    OcpWriteDword(Ctx, Offset, Value);
  } else if (Size == 2 && Lane(Offset) == 3) {
    OcpWriteNarrow(Ctx, Offset, 1, Value & 0xFF);
    OcpWriteNarrow(Ctx, Offset + 1, 1, (Value >> 8) & 0xFF);
  } else {
    OcpWriteNarrow(Ctx, Offset, Size, Value & SizeMask(Size));
  }
}

UINT32 NicOobRead32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address) {
  switch (Ctx->Adapter.OobAccessType) {
  case 1:
    return NicOcpRead(Ctx, Address, 4);
  case 2:
    return NicExtRead(Ctx, Address, 4, kNicExtTypeOob);
  case 3:
    return NicType3Read(Ctx, Address);
  default:
    return 0xFFFFFFFF;
  }
}

UINT16 NicOobRead16(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address) {
  switch (Ctx->Adapter.OobAccessType) {
  case 1:
    return (UINT16)NicOcpRead(Ctx, Address, 2);
  case 2:
    return (UINT16)NicExtRead(Ctx, Address, 2, kNicExtTypeOob);
  default:
    return 0xFFFF; // the type-3 form carries dwords only
  }
}

UINT8 NicOobRead8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address) {
  switch (Ctx->Adapter.OobAccessType) {
  case 1:
    return (UINT8)NicOcpRead(Ctx, Address, 1);
  case 2:
    return (UINT8)NicExtRead(Ctx, Address, 1, kNicExtTypeOob);
  default:
    return 0xFF;
  }
}

void NicOobWrite32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT32 Value) {
  switch (Ctx->Adapter.OobAccessType) {
  case 1:
    NicOcpWrite(Ctx, Address, 4, Value);
    break;
  case 2:
    NicExtWrite(Ctx, Address, 4, Value, kNicExtTypeOob);
    break;
  case 3:
    NicType3Write(Ctx, Address, Value);
    break;
  default:
    break;
  }
}

void NicOobWrite16(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT16 Value) {
  switch (Ctx->Adapter.OobAccessType) {
  case 1:
    NicOcpWrite(Ctx, Address, 2, Value);
    break;
  case 2:
    NicExtWrite(Ctx, Address, 2, Value, kNicExtTypeOob);
    break;
  default:
    break;
  }
}

UINT16 NicMacRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register) {
  if (Register & 1) {
    // An odd address straddles two words: its low byte is the high byte of
    // the word below, its high byte the low byte of the word above.
    UINT16 Below = NicMacRead(Ctx, Register - 1);
    UINT16 Above = NicMacRead(Ctx, Register + 1);
    return (UINT16)((Below >> 8) | ((Above & 0xFF) << 8));
  }
  if (Ctx->Adapter.OcpFailed) {
    return 0xFFFF;
  }
  NicWrite32(Ctx, kNicRegMacWindow, (Register >> 1) << kNicWordAddressShift);
  return (UINT16)(NicRead32(Ctx, kNicRegMacWindow) & kNicWordDataMask);
}

void NicMacWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Value) {
  if (Register & 1) {
    UINT16 Below = NicMacRead(Ctx, Register - 1);
    NicMacWrite(Ctx, Register - 1, (UINT16)((Below & 0x00FF) | ((Value & 0xFF) << 8)));
    UINT16 Above = NicMacRead(Ctx, Register + 1);
    NicMacWrite(Ctx, Register + 1, (UINT16)((Above & 0xFF00) | (Value >> 8)));
    return;
  }
  if (Ctx->Adapter.OcpFailed) {
    return;
  }
  NicWrite32(Ctx, kNicRegMacWindow,
             kNicWindowFlag | ((Register >> 1) << kNicWordAddressShift) | Value);
}

void NicMacAnd(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Mask) {
  NicMacWrite(Ctx, Register, (UINT16)(NicMacRead(Ctx, Register) & Mask));
}

void NicMacOr(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Bits) {
  NicMacWrite(Ctx, Register, (UINT16)(NicMacRead(Ctx, Register) | Bits));
}

UINT32 NicGphyAddress(UINT16 Page, UINT32 Register) {
  if (Page == 0) {
    UINT32 MappedPage = kNicGphyPage0Base + (Register / kNicGphyPageRegisters);
    return MappedPage * 16 + (Register % kNicGphyPageRegisters) * 2;
  }
  if (Register < kNicGphyFirstPagedRegister) {
    return 0;
  }
  return (UINT32)Page * 16 + (Register - kNicGphyFirstPagedRegister) * 2;
}

namespace {

void GphyWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT16 Value) {
  NicWrite32(Ctx, kNicRegGphyWindow,
             kNicWindowFlag | ((Address >> 1) << kNicWordAddressShift) | Value);
  for (UINT32 I = 0; I < kGphyPolls; I++) {
    NicStall(Ctx, kGphyPollUs);
    if ((NicRead32(Ctx, kNicRegGphyWindow) & kNicWindowFlag) == 0) {
      return;
    }
  }
}

UINT16 GphyRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address) {
  NicWrite32(Ctx, kNicRegGphyWindow, (Address >> 1) << kNicWordAddressShift);
  for (UINT32 I = 0; I < kGphyPolls; I++) {
    NicStall(Ctx, kGphyPollUs);
    UINT32 Value = NicRead32(Ctx, kNicRegGphyWindow);
    if (Value & kNicWindowFlag) {
      return (UINT16)(Value & kNicWordDataMask);
    }
  }
  return 0xFFFF;
}

// Version 54 reaches its PHY access register through the OCP window.
void PutPhyAccess(NIC_DEVICE_CONTEXT *Ctx, UINT32 Command) {
  if (Ctx->Adapter.ChipVersion == 54) {
    NicOcpWrite(Ctx, kNicRegPhyAccess, 4, Command);
  } else {
    NicWrite32(Ctx, kNicRegPhyAccess, Command);
  }
}

UINT32 GetPhyAccess(NIC_DEVICE_CONTEXT *Ctx) {
  if (Ctx->Adapter.ChipVersion == 54) {
    return NicOcpRead(Ctx, kNicRegPhyAccess, 4);
  }
  return NicRead32(Ctx, kNicRegPhyAccess);
}

BOOLEAN PhyAccessDone(UINT32 Value, BOOLEAN Write) {
  BOOLEAN Flag = (Value & kNicPhyAccessFlag) != 0;
  return Write ? !Flag : Flag;
}

UINT16 PhyAccess(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, BOOLEAN Write, UINT16 Value) {
  UINT32 Version = Ctx->Adapter.ChipVersion;
  if (Version == 55) {
    UINT16 Gate = NicOobRead16(Ctx, kNicOob10);
    if (Gate & kNicOob10PhyGate) {
      NicOobWrite16(Ctx, kNicOob10, (UINT16)(Gate & ~kNicOob10PhyGate));
    }
  } else if (Version == 56 || Version == 57) {
    NicAnd8(Ctx, kNicRegD2, (UINT8)~0x02);
    if (Write) {
      NicStall(Ctx, kPhyD2WriteUs);
    }
  }

  UINT32 Command = Register << kNicPhyAccessRegShift;
  if (Write) {
    Command |= kNicPhyAccessFlag | Value;
  }
  PutPhyAccess(Ctx, Command);
  for (UINT32 I = 0; I < kPhyAccessPolls; I++) {
    NicStall(Ctx, kPhyAccessPollUs);
    if (PhyAccessDone(GetPhyAccess(Ctx), Write)) {
      break;
    }
  }
  UINT16 Result = 0;
  if (!Write) {
    Result = (UINT16)(GetPhyAccess(Ctx) & kNicPhyAccessDataMask);
    if (Version == 5 || Version == 6) {
      NicStall(Ctx, kPhyReadTailUs);
    }
  }

  if (Version == 55) {
    UINT16 Gate = NicOobRead16(Ctx, kNicOob10);
    NicOobWrite16(Ctx, kNicOob10, (UINT16)(Gate | kNicOob10PhyGate));
    NicOobWrite16(Ctx, kNicOob10, (UINT16)(Gate & ~kNicOob10PhyGate));
  }

  // Version 54 sometimes drops a write; values and registers that clear
  // themselves cannot be checked by reading back.
  if (Version == 54 && Write && Value != 0x1200 && Value != 0x9000 && Register != 30 &&
      Register != 31 && PhyAccess(Ctx, Register, FALSE, 0) != Value) {
    NicExtWrite(Ctx, kNicExtE8, 4, Command);
    PutPhyAccess(Ctx, Command);
    for (UINT32 I = 0; I < kPhyRetryPolls; I++) {
      NicStall(Ctx, kPhyRetryPollUs);
      if (PhyAccessDone(GetPhyAccess(Ctx), TRUE)) {
        break;
      }
    }
  }
  NicStall(Ctx, kPhyAccessSettleUs);
  return Result;
}

} // namespace

UINT16 NicPhyRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register) {
  if (Ctx->Adapter.GphyAccess) {
    return GphyRead(Ctx, NicGphyAddress(Ctx->Adapter.PhyPage, Register));
  }
  return PhyAccess(Ctx, Register, FALSE, 0);
}

void NicPhyWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Value) {
  if (Ctx->Adapter.GphyAccess) {
    if (Register == kNicPhyPageSelect) {
      Ctx->Adapter.PhyPage = Value; // the window has no page register
      return;
    }
    GphyWrite(Ctx, NicGphyAddress(Ctx->Adapter.PhyPage, Register), Value);
    return;
  }
  (void)PhyAccess(Ctx, Register, TRUE, Value);
}

void NicPhyClearBits(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Bits) {
  NicPhyWrite(Ctx, Register, (UINT16)(NicPhyRead(Ctx, Register) & ~Bits));
}
