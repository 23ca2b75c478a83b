// PCH GPIO pad access for MgmtDevicePei. The group tables say where each
// group's registers sit in its community; locked settings are opened with a
// sideband lock message just long enough for one write and closed again.
#include "PchGpio.h"

#include <Guid/GpioUnlockHob.h>
#include <Hw.h>
#include <IndustryStandard/Pci.h>
#include <Pi/PiHob.h>
#include <Pi/PiPeiCis.h>
#include <Register/EcLpcDecode.h>

UINT8 mPchSeries = kPchSeriesUnknown;

namespace {

constexpr UINT16 X = kGpioNoRegister;

// Series H: Port, Own, HostOwn, GpiIs, GpiIe, GpeSts, GpeEn, SmiSts, SmiEn,
// NmiSts, NmiEn, Lock, LockTx, PadCfg, Pads.
constexpr PadGroupInfo mPadGroupsH[] = {
    {0x6E, 0x20, 0xC0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x19},
    {0x6E, 0x30, 0xC4, 0x104, 0x124, 0x144, 0x164, 0x184, 0x1A4, 0x1C4, 0x1E4, 0x88, 0x8C, 0x790,
     0x1A},
    {0x6D, 0x20, 0xC0, 0x100, 0x120, 0x140, 0x160, 0x180, 0x1A0, 0x1C0, 0x1E0, 0x80, 0x84, 0x600,
     0x18},
    {0x6D, 0x2C, 0xC4, 0x104, 0x124, 0x144, 0x164, 0x184, 0x1A4, 0x1C4, 0x1E4, 0x88, 0x8C, 0x780,
     0x18},
    {0x6B, 0x38, 0xC8, 0x108, 0x128, 0x148, 0x168, 0x188, 0x1A8, 0x1C8, 0x1E8, 0x90, 0x94, 0x900,
     0x0D},
    {0x6B, 0x40, 0xCC, 0x10C, 0x12C, 0x14C, 0x16C, X, X, X, X, 0x98, 0x9C, 0x9D0, 0x18},
    {0x6D, 0x38, 0xC8, 0x108, 0x128, 0x148, 0x168, 0x188, 0x1A8, X, X, 0x90, 0x94, 0x900, 0x08},
    {0x6B, 0x2C, 0xC4, 0x104, 0x124, 0x144, 0x164, X, X, X, X, 0x88, 0x8C, 0x780, 0x18},
    {0x6A, 0x30, 0xC8, 0x108, 0x128, 0x148, 0x168, 0x188, 0x1A8, 0x1C8, 0x1E8, 0x90, 0x94, 0x740,
     0x12},
    {0x6A, 0x3C, 0xCC, 0x10C, 0x12C, 0x14C, 0x16C, X, X, X, X, 0x98, 0x9C, 0x860, 0x0C},
    {0x6B, 0x20, 0xC0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x18},
    {0x6C, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x10},
    {0x6D, 0x40, 0xD0, 0x110, 0x130, 0x150, 0x170, X, X, X, X, 0xA0, 0xA4, 0xA00, 0x28},
    {0x6B, 0x4C, 0xD0, X, X, X, X, X, X, X, X, 0xA0, 0xA4, 0xB50, 0x09},
    {0x6D, 0x3C, 0xCC, X, X, X, X, X, X, X, X, 0x98, 0x9C, 0x980, 0x08},
    {0x6A, 0x20, 0xC0, X, X, X, X, X, X, X, X, 0x80, 0x84, 0x600, 0x0B},
    {0x6A, 0x28, 0xC4, X, X, X, X, X, X, X, X, 0x88, 0x8C, 0x6B0, 0x09},
};

// Series LP, same columns.
constexpr PadGroupInfo mPadGroupsLp[] = {
    {0x6E, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x19},
    {0x6E, 0x30, 0xB4, 0x104, 0x124, 0x144, 0x164, 0x184, 0x1A4, 0x1C4, 0x1E4, 0x88, 0x8C, 0x790,
     0x1A},
    {0x6A, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, 0x180, 0x1A0, 0x1C0, 0x1E0, 0x80, 0x84, 0x600,
     0x18},
    {0x6D, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, 0x180, 0x1A0, 0x1C0, 0x1E0, 0x80, 0x84, 0x600,
     0x18},
    {0x6A, 0x2C, 0xB4, 0x104, 0x124, 0x144, 0x164, 0x184, 0x1A4, 0x1C4, 0x1E4, 0x88, 0x8C, 0x780,
     0x18},
    {0x6D, 0x30, 0xB4, 0x104, 0x124, 0x144, 0x164, X, X, X, X, 0x88, 0x8C, 0x790, 0x18},
    {0x6E, 0x40, 0xB8, 0x108, 0x128, 0x148, 0x168, X, X, X, X, 0x90, 0x94, 0x930, 0x08},
    {0x6D, 0x3C, 0xB8, 0x108, 0x128, 0x148, 0x168, X, X, X, X, 0x90, 0x94, 0x910, 0x18},
    {0x6C, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x10},
    {0x6D, 0x48, 0xBC, 0x10C, 0x12C, 0x14C, 0x16C, X, X, X, X, 0x98, 0x9C, 0xA90, 0x28},
    {0x6E, 0x44, 0xBC, 0x10C, 0x12C, 0x14C, 0x16C, X, X, X, X, 0x98, 0x9C, 0x9B0, 0x09},
    {0x6B, 0x20, 0xB0, 0x100, 0x120, 0x140, 0x160, X, X, X, X, 0x80, 0x84, 0x600, 0x08},
    {0x6B, 0x24, 0xB4, X, X, X, X, X, X, X, X, 0x88, 0x8C, 0x680, 0x0B},
    {0x6A, 0x38, 0xB8, X, X, X, X, X, X, X, X, 0x90, 0x94, 0x900, 0x09},
    {0x6A, 0x40, 0xBC, 0x10C, 0x12C, 0x14C, 0x16C, X, X, X, X, 0x98, 0x9C, 0x990, 0x06},
};

constexpr UINT32 kPadGroupCountH = sizeof(mPadGroupsH) / sizeof(mPadGroupsH[0]);
constexpr UINT32 kPadGroupCountLp = sizeof(mPadGroupsLp) / sizeof(mPadGroupsLp[0]);
static_assert(kPadGroupCountH == 17 && kPadGroupCountLp == 15);

// The fields of word 0 that PadSetDirection reads and writes back.
constexpr UINT32 kDw0Managed = kGpioDw0TxState | kGpioDw0TxDisable | kGpioDw0RxDisable |
                               kGpioDw0PadMode | kGpioDw0Routing | kGpioDw0RxInvert |
                               kGpioDw0RxEvent | kGpioDw0RxRaw | kGpioDw0PadReset;

// Direction value bits.
constexpr UINT8 kDirApply = 0x01;
constexpr UINT8 kDirTxDisable = 0x02;
constexpr UINT8 kDirRxDisable = 0x04;
constexpr UINT8 kDirApplyInversion = 0x08;
constexpr UINT8 kDirInversion = 0x10;

struct SeriesTable {
  const PadGroupInfo *Groups;
  UINT32 GroupCount;
  UINT8 ChipsetId;
};

// Everything PadSetDirection carries from reading the pad to writing it.
struct PadConfig {
  UINT32 Dw0; // kDw0Managed fields
  UINT32 Dw1; // termination
  BOOLEAN HostSoftwareOwned;
  BOOLEAN ConfigLocked;
  BOOLEAN TxLocked;
};

UINTN LpcRegister(UINT16 Register) {
  return BoardPciConfigAddress(kLpcBus, kLpcDevice, kLpcFunction, Register);
}
UINTN BridgeRegister(UINT16 Register) {
  return BoardPciConfigAddress(kSbBridgeBus, kSbBridgeDevice, kSbBridgeFunction, Register);
}

UINT32 PcrRead(const PadGroupInfo &Group, UINT16 Offset) {
  return MmioRead32(GpioPcrAddress((UINT8)Group.PortId, Offset));
}
void PcrWrite(const PadGroupInfo &Group, UINT16 Offset, UINT32 Value) {
  MmioWrite32(GpioPcrAddress((UINT8)Group.PortId, Offset), Value);
}

// An unknown series falls back to series H.
SeriesTable CurrentTable() {
  if (PchSeries() == kPchSeriesLp) {
    return {mPadGroupsLp, kPadGroupCountLp, kGpioChipsetIdLp};
  }
  return {mPadGroupsH, kPadGroupCountH, kGpioChipsetIdH};
}

const PadGroupInfo *LookupPad(const SeriesTable &Table, UINT32 Pad) {
  const UINT32 GroupIndex = GpioPadGroup(Pad);
  if (GpioPadChipsetId(Pad) != Table.ChipsetId || GroupIndex >= Table.GroupCount) {
    return NULL;
  }
  const PadGroupInfo &Group = Table.Groups[GroupIndex];
  return GpioPadNumber(Pad) < Group.PadCount ? &Group : NULL;
}

BOOLEAN GroupPadHostOwned(const PadGroupInfo &Group, UINT16 PadNumber) {
  const UINT32 Ownership = PcrRead(Group, GpioOwnershipOffset(Group.PadOwnership, PadNumber));
  return ((Ownership >> GpioOwnershipShift(PadNumber)) & kGpioOwnershipMask) == 0 ? TRUE : FALSE;
}

BOOLEAN LockBitSet(const PadGroupInfo &Group, UINT16 LockBase, UINT16 PadNumber) {
  return (PcrRead(Group, GpioLockOffset(LockBase, PadNumber)) & GpioPadBit(PadNumber)) != 0 ? TRUE
                                                                                            : FALSE;
}

BOOLEAN BridgeIdle() {
  for (UINT32 Poll = 0; Poll < kSbBridgeBusyPolls; ++Poll) {
    if ((MmioRead16(BridgeRegister(kSbBridgeStatus)) & kSbBridgeStatusBusy) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

// Word Word of the pad := (word AND AndMask) OR OrValue, with the locks that
// guard the touched bits opened around the write. The hardware ignores the
// write behind a lock that would not open; the status of the first failed
// unlock says so (EFI_SUCCESS when every needed lock opened).
EFI_STATUS PadConfigWordWrite(const PadGroupInfo &Group, UINT16 PadNumber, UINT32 Word,
                              UINT32 AndMask, UINT32 OrValue) {
  const UINT32 Touched = ~AndMask | OrValue;
  const UINT32 Bit = GpioPadBit(PadNumber);
  const UINT8 Port = (UINT8)Group.PortId;
  const UINT16 ConfigLock = GpioLockOffset(Group.PadConfigLock, PadNumber);
  const UINT16 TxLock = GpioLockOffset(Group.PadConfigLockTx, PadNumber);

  BOOLEAN ReopenedConfig = FALSE;
  BOOLEAN ReopenedTx = FALSE;
  EFI_STATUS Status = EFI_SUCCESS;
  if ((Touched & ~kGpioDw0TxState) != 0 && (PcrRead(Group, ConfigLock) & Bit) != 0) {
    Status = SidebandLockMessage(Port, ConfigLock, ~Bit, 0);
    ReopenedConfig = TRUE;
  }
  if ((Touched & kGpioDw0TxState) != 0 && (PcrRead(Group, TxLock) & Bit) != 0) {
    const EFI_STATUS TxStatus = SidebandLockMessage(Port, TxLock, ~Bit, 0);
    Status = EFI_ERROR(Status) ? Status : TxStatus;
    ReopenedTx = TRUE;
  }

  const UINT16 Offset = GpioPadConfigOffset(Group.PadConfigBase, PadNumber, Word);
  PcrWrite(Group, Offset, (PcrRead(Group, Offset) & AndMask) | OrValue);

  // Closing again is attempted even after a failed opening: the bit is then
  // still set and setting it changes nothing.
  if (ReopenedConfig) {
    (void)SidebandLockMessage(Port, ConfigLock, 0xFFFFFFFF, Bit);
  }
  if (ReopenedTx) {
    (void)SidebandLockMessage(Port, TxLock, 0xFFFFFFFF, Bit);
  }
  return Status;
}

// The pad's bit of a GPE, NMI or SMI enable register := Enable. The hardware
// ignores enable changes of a pad whose configuration is locked, so every
// configuration lock of that 32-pad word is opened for the write (one
// message) and closed again afterwards.
EFI_STATUS PadEnableWrite(const PadGroupInfo &Group, UINT16 RegisterBase, UINT16 PadNumber,
                          BOOLEAN Enable) {
  const UINT32 Bit = GpioPadBit(PadNumber);
  const UINT8 Port = (UINT8)Group.PortId;
  const UINT16 LockOffset = GpioLockOffset(Group.PadConfigLock, PadNumber);
  const UINT16 Offset = GpioBitRegisterOffset(RegisterBase, PadNumber);

  const UINT32 Locked = PcrRead(Group, LockOffset);
  const UINT32 Reopened = (Locked & Bit) != 0 ? Locked : 0;
  if (Reopened != 0) {
    const EFI_STATUS Status = SidebandLockMessage(Port, LockOffset, ~Reopened, 0);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  const UINT32 Value = PcrRead(Group, Offset);
  PcrWrite(Group, Offset, Enable ? (Value | Bit) : (Value & ~Bit));
  if (Reopened != 0) {
    return SidebandLockMessage(Port, LockOffset, 0xFFFFFFFF, Reopened);
  }
  return EFI_SUCCESS;
}

BOOLEAN DirectionAccepted(UINT8 Direction) {
  switch (Direction) {
  case PadDirNone:
  case PadDirOutput:
  case PadDirNeither:
  case PadDirInputOutput:
  case PadDirInput:
  case PadDirInvertedOutput:
  case PadDirInverted:
    return TRUE;
  default:
    return FALSE;
  }
}

PadConfig ReadPadConfig(const PadGroupInfo &Group, UINT16 PadNumber) {
  PadConfig Config;
  Config.Dw0 = PcrRead(Group, GpioPadConfigOffset(Group.PadConfigBase, PadNumber, 0)) & kDw0Managed;
  Config.Dw1 =
      PcrRead(Group, GpioPadConfigOffset(Group.PadConfigBase, PadNumber, 1)) & kGpioDw1Termination;
  Config.HostSoftwareOwned =
      (PcrRead(Group, GpioBitRegisterOffset(Group.HostSoftwareOwnership, PadNumber)) &
       GpioPadBit(PadNumber)) != 0
          ? TRUE
          : FALSE;
  Config.ConfigLocked = LockBitSet(Group, Group.PadConfigLock, PadNumber);
  Config.TxLocked = LockBitSet(Group, Group.PadConfigLockTx, PadNumber);
  return Config;
}

void ApplyDirection(PadConfig &Config, UINT8 Direction) {
  if ((Direction & kDirApply) == 0) {
    return;
  }
  Config.Dw0 &= ~(kGpioDw0TxDisable | kGpioDw0RxDisable);
  if ((Direction & kDirTxDisable) != 0) {
    Config.Dw0 |= kGpioDw0TxDisable;
  }
  if ((Direction & kDirRxDisable) != 0) {
    Config.Dw0 |= kGpioDw0RxDisable;
  }
  if ((Direction & kDirApplyInversion) != 0) {
    Config.Dw0 &= ~kGpioDw0RxInvert;
    if ((Direction & kDirInversion) != 0) {
      Config.Dw0 |= kGpioDw0RxInvert;
    }
  }
}

// Words 0 to 2, host software ownership, then the event enables. The pad
// reset setting goes back exactly as read, so it needs no translation.
EFI_STATUS WritePadConfig(const PadGroupInfo &Group, UINT16 PadNumber, const PadConfig &Config) {
  // A direction change goes on past an unlock that failed: the hardware
  // ignores that word, and the enable writes below still get their turn.
  (void)PadConfigWordWrite(Group, PadNumber, 0, ~kDw0Managed, Config.Dw0);
  (void)PadConfigWordWrite(Group, PadNumber, 1, ~kGpioDw1Termination, Config.Dw1);
  (void)PadConfigWordWrite(Group, PadNumber, 2, 0xFFFFFFFF, 0);

  const UINT32 Bit = GpioPadBit(PadNumber);
  const UINT16 HostOwnOffset = GpioBitRegisterOffset(Group.HostSoftwareOwnership, PadNumber);
  const BOOLEAN HostOwned =
      Config.HostSoftwareOwned || (Config.Dw0 & kGpioDw0RouteSmi) != 0 ? TRUE : FALSE;
  const UINT32 HostOwn = PcrRead(Group, HostOwnOffset);
  PcrWrite(Group, HostOwnOffset, HostOwned ? (HostOwn | Bit) : (HostOwn & ~Bit));

  EFI_STATUS Status = EFI_SUCCESS;
  if (Group.GpeEnable != kGpioNoRegister) {
    Status = PadEnableWrite(Group, Group.GpeEnable, PadNumber,
                            (Config.Dw0 & kGpioDw0RouteSci) != 0 ? TRUE : FALSE);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  if (Group.NmiEnable != kGpioNoRegister) {
    Status = PadEnableWrite(Group, Group.NmiEnable, PadNumber,
                            (Config.Dw0 & kGpioDw0RouteNmi) != 0 ? TRUE : FALSE);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  } else if ((Config.Dw0 & kGpioDw0RouteNmi) != 0) {
    return EFI_UNSUPPORTED;
  }
  if (Group.SmiEnable != kGpioNoRegister) {
    return PadEnableWrite(Group, Group.SmiEnable, PadNumber,
                          (Config.Dw0 & kGpioDw0RouteSmi) != 0 ? TRUE : FALSE);
  }
  if ((Config.Dw0 & kGpioDw0RouteSmi) != 0) {
    return EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}

// The UINTN just below the IDT holds the EFI_PEI_SERVICES ** that PEIMs
// receive (PI "PEI Services Table Retrieval", x86): read it once.
const EFI_PEI_SERVICES **PeiServicesFromIdt() {
  IDT_REGISTER Idtr;
  ReadIdtr(&Idtr);
  return (const EFI_PEI_SERVICES **)*(const UINTN *)(Idtr.Base - sizeof(UINTN));
}

UINT32 UnlockEntriesBefore(const SeriesTable &Table, UINT32 GroupIndex) {
  UINT32 Entries = 0;
  for (UINT32 Index = 0; Index < GroupIndex; ++Index) {
    Entries += GpioUnlockEntriesForGroup(Table.Groups[Index].PadCount);
  }
  return Entries;
}

EFI_STATUS RecordPadInUnlockHob(const SeriesTable &Table, UINT32 GroupIndex, UINT16 PadNumber,
                                BOOLEAN ConfigLocked) {
  const EFI_PEI_SERVICES **PeiServices = PeiServicesFromIdt();
  VOID *HobList = NULL;
  EFI_STATUS Status = (*PeiServices)->GetHobList(PeiServices, &HobList);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HOB_GUID_TYPE *Hob = (EFI_HOB_GUID_TYPE *)GetNextGuidHob(&gGpioUnlockHobGuid, HobList);
  if (Hob == NULL) {
    const UINT32 Entries = UnlockEntriesBefore(Table, Table.GroupCount);
    const UINT16 Length =
        (UINT16)(sizeof(EFI_HOB_GUID_TYPE) + Entries * sizeof(GPIO_UNLOCK_HOB_ENTRY));
    VOID *Created = NULL;
    Status = (*PeiServices)->CreateHob(PeiServices, EFI_HOB_TYPE_GUID_EXTENSION, Length, &Created);
    if (EFI_ERROR(Status) || Created == NULL) {
      return EFI_OUT_OF_RESOURCES;
    }
    Hob = (EFI_HOB_GUID_TYPE *)Created;
    Hob->Name = gGpioUnlockHobGuid;
    (*PeiServices)->SetMem(Hob + 1, Length - sizeof(EFI_HOB_GUID_TYPE), 0);
  }

  const UINT32 Index = UnlockEntriesBefore(Table, GroupIndex) + PadNumber / kGpioUnlockPadsPerEntry;
  if (Index >= GpioUnlockHobEntryCount(Hob->Header.HobLength)) {
    return EFI_INVALID_PARAMETER;
  }
  GPIO_UNLOCK_HOB_ENTRY *Entry = (GPIO_UNLOCK_HOB_ENTRY *)(Hob + 1) + Index;
  if (!ConfigLocked) {
    Entry->PadConfigUnlocked |= GpioPadBit(PadNumber);
  }
  return EFI_SUCCESS;
}

} // namespace

UINT8 PchSeries() {
  if (mPchSeries != kPchSeriesUnknown) {
    return mPchSeries;
  }
  const UINT8 Series = PchSeriesOfDeviceId(MmioRead16(LpcRegister(kLpcDeviceIdRegister)));
  mPchSeries = Series;
  return Series;
}

BOOLEAN PadIsValid(UINT32 Pad) { return LookupPad(CurrentTable(), Pad) != NULL ? TRUE : FALSE; }

BOOLEAN PadIsHostOwned(UINT32 Pad) {
  const PadGroupInfo *Group = LookupPad(CurrentTable(), Pad);
  return Group != NULL && GroupPadHostOwned(*Group, GpioPadNumber(Pad)) ? TRUE : FALSE;
}

EFI_STATUS PadGetInput(UINT32 Pad, UINT32 *Value) {
  const PadGroupInfo *Group = LookupPad(CurrentTable(), Pad);
  if (Group == NULL || Value == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT16 PadNumber = GpioPadNumber(Pad);
  if (!GroupPadHostOwned(*Group, PadNumber)) {
    return EFI_UNSUPPORTED;
  }
  const UINT32 Dw0 = PcrRead(*Group, GpioPadConfigOffset(Group->PadConfigBase, PadNumber, 0));
  *Value = (Dw0 & kGpioDw0RxState) != 0 ? 1 : 0;
  return EFI_SUCCESS;
}

EFI_STATUS PadSetOutput(UINT32 Pad, UINT32 Value) {
  const PadGroupInfo *Group = LookupPad(CurrentTable(), Pad);
  if (Group == NULL || Value > 1) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT16 PadNumber = GpioPadNumber(Pad);
  if (!GroupPadHostOwned(*Group, PadNumber)) {
    return EFI_UNSUPPORTED;
  }
  // A TX lock that would not open leaves the level as it was: say so.
  return PadConfigWordWrite(*Group, PadNumber, 0, ~kGpioDw0TxState, Value);
}

EFI_STATUS PadSetDirection(UINT32 Pad, UINT8 Direction) {
  const SeriesTable Table = CurrentTable();
  const PadGroupInfo *Group = LookupPad(Table, Pad);
  const UINT16 PadNumber = GpioPadNumber(Pad);
  if (Group == NULL || !GroupPadHostOwned(*Group, PadNumber)) {
    return EFI_UNSUPPORTED;
  }
  PadConfig Config = ReadPadConfig(*Group, PadNumber);
  if (!DirectionAccepted(Direction)) {
    return EFI_INVALID_PARAMETER;
  }
  ApplyDirection(Config, Direction);
  // A locked pad cannot have its event routing carried into the enables.
  if ((Config.Dw0 & kGpioDw0RouteSci) != 0 && Config.ConfigLocked) {
    return EFI_INVALID_PARAMETER;
  }
  const EFI_STATUS Status = WritePadConfig(*Group, PadNumber, Config);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return RecordPadInUnlockHob(Table, GpioPadGroup(Pad), PadNumber, Config.ConfigLocked);
}

EFI_STATUS SidebandLockMessage(UINT8 Port, UINT16 Offset, UINT32 Mask, UINT32 Bits) {
  if (MmioRead16(BridgeRegister(PCI_VENDOR_ID_OFFSET)) == PCI_INVALID_VENDOR_ID) {
    return EFI_DEVICE_ERROR;
  }
  if (!BridgeIdle()) {
    return EFI_TIMEOUT;
  }
  const UINT32 Value = (MmioRead32(GpioPcrAddress(Port, Offset)) & Mask) | Bits;
  MmioWrite32(BridgeRegister(kSbBridgeAddress),
              ((UINT32)Port << kSbBridgeAddressPortShift) | Offset);
  // Offsets here fit 16 bits: nothing for the extended address.
  MmioWrite32(BridgeRegister(kSbBridgeExtAddress), 0);
  const UINT16 Status = MmioRead16(BridgeRegister(kSbBridgeStatus));
  MmioWrite16(BridgeRegister(kSbBridgeStatus),
              (UINT16)((Status & kSbBridgeStatusKeep) |
                       ((UINT16)kSbBridgeOpcodeLock << kSbBridgeStatusOpcodeShift)));
  MmioWrite16(BridgeRegister(kSbBridgeRouting), kSbBridgeRoutingDefault);
  MmioWrite32(BridgeRegister(kSbBridgeData), Value);
  MmioWrite16(BridgeRegister(kSbBridgeStatus),
              (UINT16)(MmioRead16(BridgeRegister(kSbBridgeStatus)) | kSbBridgeStatusBusy));
  if (!BridgeIdle()) {
    return EFI_TIMEOUT;
  }
  return (MmioRead16(BridgeRegister(kSbBridgeStatus)) & kSbBridgeStatusResponse) == 0
             ? EFI_SUCCESS
             : EFI_DEVICE_ERROR;
}
