// EC_ACCESS_PPI: byte-level access to the board's embedded controller in PEI.
// EcPei installs it once the EC answers its probe; the Super I/O modules call
// it to move single EC registers. It is a bare table of eight operations; no
// operation takes the PPI itself, each names its EC host interface by index.
//
// Every argument travels as one 32-bit word (bytes in the low 8 bits) and
// every result is a 32-bit status, whatever the width of EFI_STATUS on the
// caller's side. An interface index outside the table is refused without a
// port access, with kEcStatusTimeout (kEcStatusNotReady from ReadString):
// port numbers must never come from memory past the table.
#pragma once

#include <Uefi/UefiBaseType.h>

#define EC_ACCESS_PPI_GUID                                                                         \
  {                                                                                                \
    0xFB4F9AF6, 0xEDFD, 0x401E, { 0xA5, 0x76, 0x15, 0x47, 0x35, 0x27, 0x9B, 0xE9 }                 \
  }

// Result of an EC operation. Failure is tested by the high bit, which both
// error values have.
typedef UINT32 EC_STATUS;
constexpr EC_STATUS kEcStatusSuccess = 0;
constexpr EC_STATUS kEcStatusTimeout = 0xFFFFFFFF;  // a handshake ran out of status reads
constexpr EC_STATUS kEcStatusNotReady = 0x80000006; // ReadString: the command was not taken
constexpr BOOLEAN EcStatusIsError(EC_STATUS Status) {
  return (Status & 0x80000000U) != 0 ? TRUE : FALSE;
}
// The same result as an EFI_STATUS of the caller's width: -1 stays all ones,
// EFI_NOT_READY keeps its meaning. Identity on IA32.
constexpr EFI_STATUS EcStatusToEfiStatus(EC_STATUS Status) {
  return Status == kEcStatusTimeout ? (EFI_STATUS)(INTN)-1
         : EcStatusIsError(Status)  ? (EFI_STATUS)(MAX_BIT | (Status & 0x7FFFFFFFU))
                                    : (EFI_STATUS)Status;
}

constexpr UINT32 kEcInterfaceCount = 6;
constexpr UINT32 kEcBoardInterface = 4; // the interface every caller in the system uses
constexpr UINT32 kEcStringSize = 16;    // ReadString fills at most this many bytes

/**
  Reads one EC register of the bank the EC has selected (command 0x80).

  @param[in]  Interface   Index into the module's EC interface table.
  @param[in]  Register    Register number.
  @param[out] Value       Receives the register.

  @retval kEcStatusSuccess   Value holds the register.
  @retval kEcStatusTimeout   A handshake timed out.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_READ_REGISTER)(IN UINT32 Interface, IN UINT8 Register,
                                                   OUT UINT8 *Value);

/**
  Writes one EC register of the bank the EC has selected (command 0x81).

  @param[in] Interface   Index into the module's EC interface table.
  @param[in] Register    Register number.
  @param[in] Value       New value.

  @retval kEcStatusSuccess   Written.
  @retval kEcStatusTimeout   A handshake timed out.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_WRITE_REGISTER)(IN UINT32 Interface, IN UINT8 Register,
                                                    IN UINT8 Value);

/**
  Writes a command byte to the interface's command port.

  @param[in] Interface   Index into the module's EC interface table.
  @param[in] Command     Command byte.

  @retval kEcStatusSuccess   Taken by the EC.
  @retval kEcStatusTimeout   A handshake timed out.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_SEND_COMMAND)(IN UINT32 Interface, IN UINT8 Command);

/**
  Writes a data byte to the interface's data port.

  @param[in] Interface   Index into the module's EC interface table.
  @param[in] Data        Data byte.

  @retval kEcStatusSuccess   Taken by the EC.
  @retval kEcStatusTimeout   A handshake timed out.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_SEND_DATA)(IN UINT32 Interface, IN UINT8 Data);

/**
  Asks the EC for its string (command 0xA1) and stores the bytes it sends, up
  to and including a zero byte, at most kEcStringSize bytes. A short answer is
  not an error; no terminator is added after kEcStringSize bytes.

  @param[in]  Interface   Index into the module's EC interface table.
  @param[out] Buffer      kEcStringSize bytes.

  @retval kEcStatusSuccess    The command was taken (whatever came back).
  @retval kEcStatusNotReady   The command could not be delivered.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_READ_STRING)(IN UINT32 Interface, OUT UINT8 *Buffer);

/**
  Runs an SMBus write-byte transfer through the EC's SMBus host-controller
  registers in the selected bank, restarting on time-out or bus-busy codes.

  @param[in] Interface   Index into the module's EC interface table.
  @param[in] Address     Device address in bits 7..1, written unchanged.
  @param[in] Command     SMBus command byte.
  @param[in] Data        Data byte.

  @retval kEcStatusSuccess   The controller reported the transfer done
                             without error.
  @retval kEcStatusTimeout   A device error, a transfer that never reported
                             done, a bus still busy after the last restart,
                             or Interface outside the table.
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_SMBUS_WRITE_BYTE)(IN UINT32 Interface, IN UINT8 Address,
                                                      IN UINT8 Command, IN UINT8 Data);

/**
  Selects Bank, reads Register and selects bank 0 again.

  @param[in]  Interface   Index into the module's EC interface table.
  @param[in]  Bank        Register bank.
  @param[in]  Register    Register number.
  @param[out] Value       Receives the register.

  @retval kEcStatusSuccess   Value holds the register; bank 0 is selected.
  @retval kEcStatusTimeout   A handshake timed out (Bank may be left selected).
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_READ_BANK_REGISTER)(IN UINT32 Interface, IN UINT8 Bank,
                                                        IN UINT8 Register, OUT UINT8 *Value);

/**
  Selects Bank, writes Register and selects bank 0 again.

  @param[in] Interface   Index into the module's EC interface table.
  @param[in] Bank        Register bank.
  @param[in] Register    Register number.
  @param[in] Value       New value.

  @retval kEcStatusSuccess   Written; bank 0 is selected.
  @retval kEcStatusTimeout   A handshake timed out (Bank may be left selected).
**/
typedef EC_STATUS(EFIAPI *EC_ACCESS_WRITE_BANK_REGISTER)(IN UINT32 Interface, IN UINT8 Bank,
                                                         IN UINT8 Register, IN UINT8 Value);

typedef struct {
  EC_ACCESS_READ_REGISTER ReadRegister;
  EC_ACCESS_WRITE_REGISTER WriteRegister;
  EC_ACCESS_SEND_COMMAND SendCommand;
  EC_ACCESS_SEND_DATA SendData;
  EC_ACCESS_READ_STRING ReadString;
  EC_ACCESS_SMBUS_WRITE_BYTE SmbusWriteByte;
  EC_ACCESS_READ_BANK_REGISTER ReadBankRegister;
  EC_ACCESS_WRITE_BANK_REGISTER WriteBankRegister;
} EC_ACCESS_PPI;

static_assert(sizeof(EC_ACCESS_PPI) == EFI_ABI_PICK(64, 32), "eight slots, no revision");
static_assert(OFFSET_OF(EC_ACCESS_PPI, WriteRegister) == EFI_ABI_PICK(8, 4));
static_assert(OFFSET_OF(EC_ACCESS_PPI, WriteBankRegister) == EFI_ABI_PICK(56, 28));

extern EFI_GUID gEcAccessPpiGuid;
