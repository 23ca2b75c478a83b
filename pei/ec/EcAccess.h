// The byte protocol of the EC's ACPI-style host interfaces and the eight
// operations of EC_ACCESS_PPI built on it. EcPei's own EC device calls these
// directly; every other module reaches them through the installed PPI.
#pragma once

#include <Pi/PiPeiCis.h>
#include <Ppi/EcAccess.h>

// One host interface: a command port that reads back as the status port, and
// a data port. Port numbers are 8 bits wide.
typedef struct {
  UINT8 CommandPort;
  UINT8 StatusPort;
  UINT8 DataPort;
} EC_INTERFACE;
static_assert(sizeof(EC_INTERFACE) == 3, "three port bytes per interface");

extern const EC_INTERFACE mEcInterfaces[kEcInterfaceCount];

// Bus-time delay between status reads: rounds of two writes to an unused port.
constexpr UINT16 kEcDelayPort = 0xEB;
constexpr UINT32 kEcDelayRounds = 30;
constexpr UINT8 kEcDelayFirstByte = 0x55;
constexpr UINT8 kEcDelaySecondByte = 0xAA;

// SmbusWriteByte starts the transfer again at most this many times after a
// time-out or bus-busy code, so an EC that stays busy cannot hold the boot.
constexpr UINT32 kEcSmbusRestarts = 3;

// The operations, slot by slot. An Interface outside mEcInterfaces and a
// missing out pointer are refused without touching a port, with the
// operation's failure result (-1; EFI_NOT_READY from ReadString).
[[nodiscard]] EC_STATUS EFIAPI ReadRegister(IN UINT32 Interface, IN UINT8 Register,
                                            OUT UINT8 *Value);
[[nodiscard]] EC_STATUS EFIAPI WriteRegister(IN UINT32 Interface, IN UINT8 Register,
                                             IN UINT8 Value);
[[nodiscard]] EC_STATUS EFIAPI SendCommand(IN UINT32 Interface, IN UINT8 Command);
[[nodiscard]] EC_STATUS EFIAPI SendData(IN UINT32 Interface, IN UINT8 Data);
[[nodiscard]] EC_STATUS EFIAPI ReadString(IN UINT32 Interface, OUT UINT8 *Buffer);
[[nodiscard]] EC_STATUS EFIAPI SmbusWriteByte(IN UINT32 Interface, IN UINT8 Address,
                                              IN UINT8 Command, IN UINT8 Data);
[[nodiscard]] EC_STATUS EFIAPI ReadBankRegister(IN UINT32 Interface, IN UINT8 Bank,
                                                IN UINT8 Register, OUT UINT8 *Value);
[[nodiscard]] EC_STATUS EFIAPI WriteBankRegister(IN UINT32 Interface, IN UINT8 Bank,
                                                 IN UINT8 Register, IN UINT8 Value);

// The installed interface and its descriptor: constant data of the image.
extern const EC_ACCESS_PPI mEcAccessPpi;
extern const EFI_PEI_PPI_DESCRIPTOR mEcAccessPpiDescriptor;
