// The embedded controller's host interface and the EC registers the board's
// PEI modules touch. EcPei speaks the handshake; the Super I/O modules and the
// simulator's EC model share the register numbers.
#pragma once

#include <Uefi/UefiBaseType.h>

// Status port (read side of the command port).
constexpr UINT8 kEcStatusPortOutputFull = 0x01; // a byte waits in the data port
constexpr UINT8 kEcStatusPortInputBusy = 0x06;  // EC not ready for input (IBF and bit 2)

// Commands.
constexpr UINT8 kEcCommandRead = 0x80;
constexpr UINT8 kEcCommandWrite = 0x81;
constexpr UINT8 kEcCommandReadString = 0xA1;

// Every handshake gives up after this many status reads.
constexpr UINT32 kEcStatusReads = 1024;

// Register 0xFF, in every bank, selects the bank; bank 0 is the resting state.
constexpr UINT8 kEcBankSelect = 0xFF;
constexpr UINT8 kEcBankDefault = 0;

// Registers used by the system, by bank.
constexpr UINT8 kEcSignatureBank = 1;
constexpr UINT8 kEcSignatureRegister = 0xF8;
constexpr UINT8 kEcSignature = 0xEC;        // present EC
constexpr UINT8 kEcStartRegister = 0xC0;    // bank 0, cleared after the PPI is installed
constexpr UINT8 kEcBootBitsRegister = 0xD6; // bank 0
constexpr UINT8 kEcBootBitsClear = 0x08;    // bit 3, cleared at every boot but S3 resume
constexpr UINT8 kEcOptionBank = 1;
constexpr UINT8 kEcOptionRegister = 0x90; // receives the Setup byte at offset 1866
constexpr UINT8 kEcFlagBank = 2;
constexpr UINT8 kEcFlagRegister = 0x4F;
constexpr UINT8 kEcFlagSetValue = 0x02; // this value sets EC_FLAG_HOB's Flag

// SMBus host controller inside the selected bank.
constexpr UINT8 kEcSmbusProtocol = 0x00; // writing it starts the transfer
constexpr UINT8 kEcSmbusStatus = 0x01;
constexpr UINT8 kEcSmbusAddress = 0x02;
constexpr UINT8 kEcSmbusCommand = 0x03;
constexpr UINT8 kEcSmbusData0 = 0x04;
constexpr UINT8 kEcSmbusProtocolWriteByte = 0x06;
constexpr UINT8 kEcSmbusStatusDone = 0x80;
constexpr UINT8 kEcSmbusStatusCodeMask = 0x1F;
constexpr UINT8 kEcSmbusStatusOk = 0x00;
constexpr UINT8 kEcSmbusStatusTimeout = 0x18; // restart the transfer
constexpr UINT8 kEcSmbusStatusBusy = 0x1A;    // restart the transfer
constexpr UINT32 kEcSmbusPolls = 1000;
