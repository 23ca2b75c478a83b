// The out-of-band switch: brings the Ethernet controller's out-of-band
// firmware into the state Setup asks for, talking to the controller directly
// through its I/O window (the link driver does not exist yet at this point),
// and resets the board after a change so that everything after it starts
// with the firmware in its new state.
#include "AgentInternal.h"
#include "NicIo.h"

#include <Board/BoardConfig.h>
#include <Hw.h>
#include <Register/Nic.h>

namespace {

// Chips the switch knows: this transmit-configuration version, or the
// signature bits of internal register 0xDC00.
constexpr UINT32 kOobChipVersionMask = 0x7CF00000;
constexpr UINT32 kOobChipVersion = 0x54A00000;
constexpr UINT32 kOobSignatureMask = 0x78;

// Type-3 commands of the extended window: read or write one OOB register.
constexpr UINT32 Type3Read(UINT32 Register) { return kNicType3Command | Register; }
constexpr UINT32 Type3Write(UINT32 Register) {
  return kNicWindowFlag | kNicType3Command | Register;
}
constexpr UINT32 kOobStateOn = kNicOob128Present; // bit 0 of OOB register 0x128
constexpr UINT32 kOobCommandStop = 0x55;          // written to OOB register 0x180

// Internal MAC registers through 0xB0: (register >> 1) << 16, data below,
// bit 31 for a write.
constexpr UINT32 MacRead(UINT32 Register) { return (Register >> 1) << kNicWordAddressShift; }
constexpr UINT32 MacWrite(UINT32 Register, UINT32 Value) {
  return kNicWindowFlag | ((Register >> 1) << kNicWordAddressShift) | Value;
}
constexpr UINT32 kMacSignature = 0xDC00;
constexpr UINT32 kMacOobPulse = 0xE0C4; // bit 0 pulsed to make the firmware act
constexpr UINT32 kMacOobEnable = 0xD3FC;

static_assert(Type3Read(0x128) == 0x3DC2F128 && Type3Write(0x180) == 0xBDC2F180);
static_assert(MacRead(kMacSignature) == 0x6E000000);
static_assert(MacWrite(kMacOobPulse, 1) == 0xF0620001 && MacWrite(kMacOobPulse, 0) == 0xF0620000);
static_assert(MacWrite(kMacOobEnable, 1) == 0xE9FE0001);

// Waits: after the command, between polls, and before the reset.
constexpr UINTN kOobSettleUs = 2000;
constexpr UINTN kOobPollIntervalUs = 100000;
constexpr UINT32 kOobPolls = 100; // polls looked at before giving up
constexpr UINTN kOobResetDelayUs = 100000;
constexpr UINT8 kOobHardReset = 0x06;

// The I/O window must hold every register the switch touches.
constexpr UINT32 kOobWindowSpan = kNicRegMacWindow + sizeof(UINT32);
constexpr UINT32 kIoSpaceEnd = 0x10000;

UINT32 ReadRegister(UINT16 IoBase, UINT16 Offset) { return IoRead32((UINT16)(IoBase + Offset)); }

VOID WriteRegister(UINT16 IoBase, UINT16 Offset, UINT32 Value) {
  IoWrite32((UINT16)(IoBase + Offset), Value);
}

UINT32 ReadOobState(UINT16 IoBase) {
  WriteRegister(IoBase, kNicRegExtCommand, Type3Read(kNicOob128));
  return ReadRegister(IoBase, kNicRegExtData) & kOobStateOn;
}

// Polls the firmware's state until it equals Wanted; gives up after the
// hundredth poll, about ten seconds in. Every poll read is looked at: a
// firmware that follows on the last one has switched, and the board must
// be reset for it.
[[nodiscard]] EFI_STATUS WaitForOobState(UINT16 IoBase, UINT32 Wanted) {
  for (UINT32 Polls = 1;; Polls++) {
    UINT32 State = ReadOobState(IoBase);
    (void)Stall(kOobPollIntervalUs);
    if (State == Wanted) {
      return EFI_SUCCESS;
    }
    if (Polls == kOobPolls) {
      return EFI_DEVICE_ERROR;
    }
  }
}

} // namespace

EFI_STATUS SetOobState(UINT8 Wanted) {
  if (mDeviceHob == NULL || mDeviceHob->EntryCount == 0) {
    return EFI_NOT_FOUND;
  }
  // The controller's I/O window: the last entry of the controller for BAR 0.
  BOOLEAN Found = FALSE;
  UINT32 IoBase = 0;
  for (UINT32 Index = 0; Index < mDeviceHob->EntryCount; Index++) {
    CONST MGMT_DEVICE_HOB_ENTRY *Entry = &mDeviceHob->Entries[Index];
    if (!AgentEntryAddressable(Entry)) {
      continue; // its configuration address would name another function
    }
    if (MmioRead32(BoardPciConfigAddress(Entry->Bus, Entry->Device, Entry->Function,
                                         kBoardPciIdOffset)) == kBoardNicPciId &&
        Entry->BarOffset == kMgmtDeviceBar0Offset) {
      IoBase = (UINT32)Entry->Base;
      Found = TRUE;
    }
  }
  if (!Found || IoBase > kIoSpaceEnd - kOobWindowSpan) {
    return EFI_NOT_FOUND;
  }
  UINT16 Io = (UINT16)IoBase;

  UINT32 Version = ReadRegister(Io, kNicRegTxConfig);
  WriteRegister(Io, kNicRegMacWindow, MacRead(kMacSignature));
  UINT32 Signature = ReadRegister(Io, kNicRegMacWindow);
  if ((Version & kOobChipVersionMask) != kOobChipVersion &&
      (Signature & kOobSignatureMask) != kOobSignatureMask) {
    return EFI_NOT_FOUND;
  }

  // Commands go back to back: the window's completion bit is not awaited.
  if (ReadOobState(Io) == Wanted) {
    return EFI_SUCCESS;
  }
  EFI_STATUS Status;
  if (Wanted == 0) {
    WriteRegister(Io, kNicRegExtData, kOobCommandStop);
    WriteRegister(Io, kNicRegExtCommand, Type3Write(kNicOobCommand));
    WriteRegister(Io, kNicRegExtCommand, Type3Read(kNicOob30));
    UINT32 Kick = ReadRegister(Io, kNicRegExtData) | kNicOob30Kick;
    WriteRegister(Io, kNicRegExtData, Kick);
    WriteRegister(Io, kNicRegExtCommand, Type3Write(kNicOob30));
    (void)Stall(kOobSettleUs);
    Status = WaitForOobState(Io, 0);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    WriteRegister(Io, kNicRegMacWindow, MacWrite(kMacOobPulse, 1));
    WriteRegister(Io, kNicRegMacWindow, MacWrite(kMacOobPulse, 0));
  } else if (Wanted == 1) {
    WriteRegister(Io, kNicRegMacWindow, MacWrite(kMacOobPulse, 1));
    WriteRegister(Io, kNicRegMacWindow, MacWrite(kMacOobPulse, 0));
    WriteRegister(Io, kNicRegMacWindow, MacWrite(kMacOobEnable, 1));
    (void)Stall(kOobSettleUs);
    Status = WaitForOobState(Io, kOobStateOn);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  } else {
    return EFI_SUCCESS; // no state of that name
  }

  (void)Stall(kOobResetDelayUs);
  IoWrite8(kBoardResetControlPort, kOobHardReset);
  for (;;) {
    CpuPause();
  }
}
