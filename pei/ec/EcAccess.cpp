// EC_ACCESS_PPI: the input-ready and output-full handshakes, each bounded by
// kEcStatusReads status reads with a port-0xEB delay between reads, and the
// eight operations composed from them.
#include "EcAccess.h"

#include <Hw.h>
#include <Register/EcRegisters.h>

const EC_INTERFACE mEcInterfaces[kEcInterfaceCount] = {
    {0x66, 0x66, 0x62}, {0x66, 0x66, 0x62}, {0x6E, 0x6E, 0x6A},
    {0x66, 0x66, 0x62}, {0x66, 0x66, 0x62}, {0x6C, 0x6C, 0x68},
};

const EC_ACCESS_PPI mEcAccessPpi = {ReadRegister,     WriteRegister,    SendCommand,
                                    SendData,         ReadString,       SmbusWriteByte,
                                    ReadBankRegister, WriteBankRegister};

const EFI_PEI_PPI_DESCRIPTOR mEcAccessPpiDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &gEcAccessPpiGuid,
    const_cast<EC_ACCESS_PPI *>(&mEcAccessPpi)};

// IA32 callers push every argument as one 32-bit word and take a 32-bit
// result; the table is eight 32-bit pointers.
static_assert(sizeof(VOID *) != 4 || (sizeof(EC_ACCESS_PPI) == 32 && sizeof(UINT8 *) == 4 &&
                                      sizeof(UINT32) == 4 && sizeof(EC_STATUS) == 4),
              "IA32 EC_ACCESS_PPI layout");
static_assert(sizeof(EC_ACCESS_PPI) == EFI_ABI_PICK(64, 32), "eight pointer slots");

namespace {

void EcDelay() {
  for (UINT32 Round = 0; Round < kEcDelayRounds; ++Round) {
    IoWrite8(kEcDelayPort, kEcDelayFirstByte);
    IoWrite8(kEcDelayPort, kEcDelaySecondByte);
  }
}

const EC_INTERFACE *FindInterface(UINT32 Interface) {
  return Interface < kEcInterfaceCount ? &mEcInterfaces[Interface] : nullptr;
}

[[nodiscard]] EC_STATUS WaitInputReady(const EC_INTERFACE &Ec) {
  for (UINT32 Reads = 0; Reads < kEcStatusReads; ++Reads) {
    if (Reads != 0) {
      EcDelay();
    }
    if ((IoRead8(Ec.StatusPort) & kEcStatusPortInputBusy) == 0) {
      return kEcStatusSuccess;
    }
  }
  return kEcStatusTimeout;
}

// Byte is written only when a byte arrived.
[[nodiscard]] EC_STATUS WaitOutput(const EC_INTERFACE &Ec, UINT8 *Byte) {
  for (UINT32 Reads = 0; Reads < kEcStatusReads; ++Reads) {
    if (Reads != 0) {
      EcDelay();
    }
    if ((IoRead8(Ec.StatusPort) & kEcStatusPortOutputFull) != 0) {
      *Byte = IoRead8(Ec.DataPort);
      return kEcStatusSuccess;
    }
  }
  return kEcStatusTimeout;
}

[[nodiscard]] EC_STATUS SendByte(const EC_INTERFACE &Ec, UINT8 Port, UINT8 Byte) {
  if (WaitInputReady(Ec) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  IoWrite8(Port, Byte);
  return WaitInputReady(Ec);
}

// Command 0x80 and the register number, without waiting for the answer.
[[nodiscard]] EC_STATUS StartRead(const EC_INTERFACE &Ec, UINT8 Register) {
  if (SendByte(Ec, Ec.CommandPort, kEcCommandRead) != kEcStatusSuccess ||
      SendByte(Ec, Ec.DataPort, Register) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  return kEcStatusSuccess;
}

[[nodiscard]] EC_STATUS Write(const EC_INTERFACE &Ec, UINT8 Register, UINT8 Value) {
  if (SendByte(Ec, Ec.CommandPort, kEcCommandWrite) != kEcStatusSuccess ||
      SendByte(Ec, Ec.DataPort, Register) != kEcStatusSuccess ||
      SendByte(Ec, Ec.DataPort, Value) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  return kEcStatusSuccess;
}

[[nodiscard]] EC_STATUS Read(const EC_INTERFACE &Ec, UINT8 Register, UINT8 *Value) {
  if (StartRead(Ec, Register) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  return WaitOutput(Ec, Value);
}

enum SMBUS_OUTCOME { SmbusDone, SmbusRestart, SmbusFailed };

// One SMBus write-byte attempt. A device error, or a transfer that never
// reports done, fails once the polls are used up.
[[nodiscard]] SMBUS_OUTCOME SmbusAttempt(const EC_INTERFACE &Ec, UINT8 Address, UINT8 Command,
                                         UINT8 Data) {
  // The controller reports errors through its status register, not through
  // these writes: their results do not matter.
  (void)Write(Ec, kEcSmbusStatus, 0);
  (void)Write(Ec, kEcSmbusAddress, Address);
  (void)Write(Ec, kEcSmbusData0, Data);
  (void)Write(Ec, kEcSmbusCommand, Command);
  (void)Write(Ec, kEcSmbusProtocol, kEcSmbusProtocolWriteByte);

  for (UINT32 Poll = 0; Poll < kEcSmbusPolls; ++Poll) {
    UINT8 Status = 0;
    if (Read(Ec, kEcSmbusStatus, &Status) != kEcStatusSuccess ||
        (Status & kEcSmbusStatusDone) == 0) {
      continue;
    }
    const UINT8 Code = Status & kEcSmbusStatusCodeMask;
    if (Code == kEcSmbusStatusOk) {
      return SmbusDone;
    }
    if (Code == kEcSmbusStatusTimeout || Code == kEcSmbusStatusBusy) {
      return SmbusRestart;
    }
  }
  return SmbusFailed;
}

} // namespace

EC_STATUS EFIAPI SendCommand(IN UINT32 Interface, IN UINT8 Command) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  return Ec != nullptr ? SendByte(*Ec, Ec->CommandPort, Command) : kEcStatusTimeout;
}

EC_STATUS EFIAPI SendData(IN UINT32 Interface, IN UINT8 Data) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  return Ec != nullptr ? SendByte(*Ec, Ec->DataPort, Data) : kEcStatusTimeout;
}

EC_STATUS EFIAPI ReadRegister(IN UINT32 Interface, IN UINT8 Register, OUT UINT8 *Value) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  if (Ec == nullptr || Value == nullptr) {
    return kEcStatusTimeout;
  }
  return Read(*Ec, Register, Value);
}

EC_STATUS EFIAPI WriteRegister(IN UINT32 Interface, IN UINT8 Register, IN UINT8 Value) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  return Ec != nullptr ? Write(*Ec, Register, Value) : kEcStatusTimeout;
}

EC_STATUS EFIAPI ReadString(IN UINT32 Interface, OUT UINT8 *Buffer) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  if (Ec == nullptr || Buffer == nullptr ||
      SendByte(*Ec, Ec->CommandPort, kEcCommandReadString) != kEcStatusSuccess) {
    return kEcStatusNotReady;
  }
  // A short or missing answer is not an error: the caller sees what arrived.
  for (UINT32 Position = 0; Position < kEcStringSize; ++Position) {
    if (WaitOutput(*Ec, &Buffer[Position]) != kEcStatusSuccess || Buffer[Position] == 0) {
      break;
    }
  }
  return kEcStatusSuccess;
}

EC_STATUS EFIAPI SmbusWriteByte(IN UINT32 Interface, IN UINT8 Address, IN UINT8 Command,
                                IN UINT8 Data) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  if (Ec == nullptr) {
    return kEcStatusTimeout;
  }
  // Success only for a transfer the controller reported done without error:
  // a device error, one that never completes, or a bus still busy after the
  // last restart did not write the byte.
  for (UINT32 Attempt = 0; Attempt <= kEcSmbusRestarts; ++Attempt) {
    const SMBUS_OUTCOME Outcome = SmbusAttempt(*Ec, Address, Command, Data);
    if (Outcome != SmbusRestart) {
      return Outcome == SmbusDone ? kEcStatusSuccess : kEcStatusTimeout;
    }
  }
  return kEcStatusTimeout;
}

EC_STATUS EFIAPI ReadBankRegister(IN UINT32 Interface, IN UINT8 Bank, IN UINT8 Register,
                                  OUT UINT8 *Value) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  if (Ec == nullptr || Value == nullptr || Write(*Ec, kEcBankSelect, Bank) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  // A failed command leaves Bank selected; a missing answer still restores bank 0.
  if (StartRead(*Ec, Register) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  const EC_STATUS Result = WaitOutput(*Ec, Value);
  if (Write(*Ec, kEcBankSelect, kEcBankDefault) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  return Result;
}

EC_STATUS EFIAPI WriteBankRegister(IN UINT32 Interface, IN UINT8 Bank, IN UINT8 Register,
                                   IN UINT8 Value) {
  const EC_INTERFACE *Ec = FindInterface(Interface);
  if (Ec == nullptr || Write(*Ec, kEcBankSelect, Bank) != kEcStatusSuccess) {
    return kEcStatusTimeout;
  }
  if (Write(*Ec, Register, Value) != kEcStatusSuccess) {
    return kEcStatusTimeout; // Bank stays selected
  }
  return Write(*Ec, kEcBankSelect, kEcBankDefault);
}
