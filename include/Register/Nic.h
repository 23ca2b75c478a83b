// The management link's Ethernet controller as its driver sees it: I/O
// registers, the indirect windows (extended MAC registers, OOB firmware
// registers, internal MAC registers, PHY), the out-of-band firmware's
// registers and the DMA descriptor format. NicLinkDxe and the simulator's
// controller model both take offsets and bits from here.
#pragma once

#include <Uefi/UefiBaseType.h>

// ---- PCI identity ----
constexpr UINT16 kNicPciVendorId = 0x10EC;
constexpr UINT16 kNicPciDeviceId = 0x8168;
constexpr UINT32 kNicPciConfigDwords = 64; // the header the driver reads at creation
constexpr UINT32 kNicPciRevisionOffset = 0x08;
constexpr UINT32 kNicPciSubsystemVendorOffset = 0x2C;
constexpr UINT32 kNicPciSubsystemOffset = 0x2E;
// Configuration bytes written by some bring-up quirks.
constexpr UINT32 kNicPciQuirk70F = 0x70F;
constexpr UINT8 kNicPciQuirk70FValue = 0x17;
constexpr UINT32 kNicPciQuirk79 = 0x79;
constexpr UINT8 kNicPciQuirk79Value = 0x50;

// ---- I/O registers (BAR 0) ----
constexpr UINT16 kNicRegStationAddress = 0x00; // six bytes, 0x00 first
constexpr UINT32 kNicStationAddressSize = 6;
constexpr UINT16 kNicRegMulticast0 = 0x08; // 32-bit
constexpr UINT16 kNicRegMulticast4 = 0x0C; // 32-bit
constexpr UINT16 kNicRegTxRingLow = 0x20;  // 32-bit ring addresses
constexpr UINT16 kNicRegTxRingHigh = 0x24;
constexpr UINT16 kNicRegTxRing2Low = 0x28; // second transmit ring, unused: written 0
constexpr UINT16 kNicRegTxRing2High = 0x2C;

constexpr UINT16 kNicRegCommand = 0x37;   // 8-bit
constexpr UINT8 kNicCommandReset = 0x10;  // clears itself once the reset is done
constexpr UINT8 kNicCommandStart = 0x0C;  // receive and transmit engines on
constexpr UINT8 kNicCommandAbsent = 0xFF; // what an absent device reads

constexpr UINT16 kNicRegTxDoorbell = 0x38; // 8-bit; 32-bit 0 at bring-up on class 3
constexpr UINT8 kNicTxDoorbellRing = 0x40;
constexpr UINT16 kNicRegTxDoorbellAlt = 0x90; // versions 62 and 63 ring here
constexpr UINT8 kNicTxDoorbellAltRing = 0x01;

constexpr UINT16 kNicRegInterruptMask = 0x3C;   // 16-bit
constexpr UINT16 kNicRegInterruptStatus = 0x3E; // 16-bit, write the bits back to clear

// Transmit configuration; its bits 30..20 also carry the hardware revision.
constexpr UINT16 kNicRegTxConfig = 0x40;
constexpr UINT32 kNicTxConfigVersionMask = 0x7C800000;    // X of the version table
constexpr UINT32 kNicTxConfigVersionSubMask = 0x00700000; // S of the version table
constexpr UINT32 kNicTxConfigVersionHigh = 0x80000000;    // tells version 5 from 6
constexpr UINT32 kNicTxConfigOpen = 0x00020000;           // bit 17: link open
constexpr UINT32 kNicTxConfigBit18 = 0x00040000;
constexpr UINT32 kNicTxConfigOpenExtra = 0x0000E000;    // set once while opening
constexpr UINT32 kNicTxConfigReady = 0x00000800;        // bit 11, polled by wait A
constexpr UINT32 kNicTxConfigDmaBurstMask = 0x00000700; // bits 10..8
constexpr UINT32 kNicTxConfigDmaBurstShift = 8;
constexpr UINT8 kNicTxConfigByte0Bit7 = 0x80; // 8-bit OR on register 0x40

constexpr UINT16 kNicRegRxConfig = 0x44;              // 32-bit
constexpr UINT32 kNicRxConfigAcceptBits = 0x0000000E; // bits 3..1, set when the engines run
constexpr UINT16 kNicReg47 = 0x47;
constexpr UINT16 kNicRegLock = 0x50; // 8-bit; bits 7 and 6 unlock configuration writes
constexpr UINT8 kNicLockOpen = 0xC0;
constexpr UINT16 kNicReg53 = 0x53;
constexpr UINT16 kNicReg54 = 0x54;
constexpr UINT16 kNicReg56 = 0x56;
constexpr UINT16 kNicReg57 = 0x57;
constexpr UINT16 kNicReg58 = 0x58; // 32-bit, 0x00111111 after bring-up
constexpr UINT32 kNicReg58Value = 0x00111111;

// PHY access register (chips without the GPHY window).
constexpr UINT16 kNicRegPhyAccess = 0x60;
constexpr UINT32 kNicPhyAccessFlag = 0x80000000; // write: busy until clear; read: set when done
constexpr UINT32 kNicPhyAccessRegShift = 16;
constexpr UINT32 kNicPhyAccessDataMask = 0xFFFF;

constexpr UINT16 kNicRegLinkStatus = 0x6C; // 8-bit
constexpr UINT8 kNicLinkUp = 0x02;
// What the register reads when no controller answers. No real status has
// every bit set (it would claim all three speeds at once).
constexpr UINT8 kNicLinkStatusAbsent = 0xFF;

// Extended register window.
constexpr UINT16 kNicRegExtData = 0x70;
constexpr UINT16 kNicRegExtCommand = 0x74;
constexpr UINT16 kNicRegOcpKick = 0x7C; // written 0 after each OCP-window command
constexpr UINT16 kNicReg7C = 0x7C;      // the same register, 32-bit, versions 5 and 6

// OCP window; 0xB0 alone is also the internal MAC register window.
constexpr UINT16 kNicRegOcpData = 0xB0;
constexpr UINT16 kNicRegOcpCommand = 0xB4;
constexpr UINT16 kNicRegMacWindow = 0xB0;
constexpr UINT16 kNicRegGphyWindow = 0xB8;

constexpr UINT16 kNicRegD0 = 0xD0;
constexpr UINT16 kNicRegD1 = 0xD1;
constexpr UINT16 kNicRegD2 = 0xD2;
constexpr UINT16 kNicRegD3 = 0xD3;
constexpr UINT8 kNicD3PhyReady = 0x02;    // bit 1, polled by wait B
constexpr UINT8 kNicD3LinkReady = 0x30;   // bits 5 and 4, polled by wait A
constexpr UINT16 kNicRegMaxRxSize = 0xDA; // 16-bit
constexpr UINT16 kNicRegCommand2 = 0xE0;  // 16-bit
constexpr UINT16 kNicRegRxRingLow = 0xE4; // 32-bit
constexpr UINT16 kNicRegRxRingHigh = 0xE8;
constexpr UINT16 kNicRegMaxTxSize = 0xEC; // 8-bit
constexpr UINT16 kNicRegF1 = 0xF1;
constexpr UINT16 kNicRegF2 = 0xF2;
constexpr UINT8 kNicF2Bit3 = 0x08; // the "0xF2 handling" of the GPHY group
constexpr UINT16 kNicRegF3 = 0xF3;
constexpr UINT16 kNicRegF5 = 0xF5;
constexpr UINT16 kNicReg1A = 0x1A;
constexpr UINT16 kNicReg1B = 0x1B;

// ---- Indirect windows ----
// Command words: bit 31 is the flag (write: set by the driver, cleared by the
// device when done; read: set by the device when the data is ready), bits
// 15..12 the byte enables, bits 11..0 the dword address.
constexpr UINT32 kNicWindowFlag = 0x80000000;
constexpr UINT32 kNicWindowByteEnableShift = 12;
constexpr UINT32 kNicWindowAllBytes = 0xF;
constexpr UINT32 kNicWindowTypeShift = 16; // extended window: 0 MAC, 2 OOB
constexpr UINT32 kNicExtTypeMac = 0;
constexpr UINT32 kNicExtTypeOob = 2;
// The fixed "type 3" form of OOB register commands.
constexpr UINT32 kNicType3Command = 0x3DC2F000;
constexpr UINT32 kNicType3HighAddressShift = 20; // (address >> 12) << 20 from 0x1000 up
constexpr UINT32 kNicType3LowLimit = 0x1000;
// OCP window: address OR 0xF000 selects all four bytes.
constexpr UINT32 kNicOcpAllBytes = 0xF000;
constexpr UINT32 kNicOcpByteMergeFrom = 0x70; // narrow writes from here are read-merge-write
// Internal MAC registers and the GPHY window: (address >> 1) << 16 | data.
constexpr UINT32 kNicWordAddressShift = 16;
constexpr UINT32 kNicWordDataMask = 0xFFFF;

// ---- OOB firmware registers (behind the windows) ----
constexpr UINT32 kNicOob10 = 0x10;          // 16-bit
constexpr UINT16 kNicOob10Present = 0x8000; // bit 15: firmware runs (versions 54 to 56)
constexpr UINT16 kNicOob10Ready = 0x4000;   // bit 14
constexpr UINT16 kNicOob10PhyGate = 0x0200; // bit 9, toggled around PHY access on 55
constexpr UINT32 kNicOobB8 = 0xB8;          // 16-bit, version 57's presence bit 15
constexpr UINT32 kNicOob30 = 0x30;          // bit 0: act on register 0x180
constexpr UINT32 kNicOob30Kick = 0x01;
constexpr UINT32 kNicOob34 = 0x34; // 8-bit, 0 when idle
constexpr UINT32 kNicOob35 = 0x35; // 8-bit, 0 when idle
constexpr UINT32 kNicOob124 = 0x124;
constexpr UINT32 kNicOob124Started = 0x01;
constexpr UINT32 kNicOob128 = 0x128;
constexpr UINT32 kNicOob128Present = 0x01; // kinds 2 and 3
constexpr UINT32 kNicOobCommand = 0x180;
constexpr UINT32 kNicOobCommandOn = 0x70;
constexpr UINT32 kNicOobCommandOff = 0x71;
constexpr UINT32 kNicOobCommandConfigure = 0xFF;
constexpr UINT32 kNicOobCommandStart = 0x05;
constexpr UINT32 kNicOob184 = 0x184;
constexpr UINT32 kNicOob184Configure = 0x00130000; // plus 1 when the register was not 0
constexpr UINT32 kNicOobState = 0x188;
constexpr UINT32 kNicOobStateOn = 0x00000100;   // bit 8: OOB mode on
constexpr UINT32 kNicOobStateBits = 0x00000300; // bits 9..8, reported by GetStatus

// ---- Extended MAC registers (extended window, type 0) ----
constexpr UINT32 kNicExtB8 = 0xB8;
constexpr UINT32 kNicExtC0 = 0xC0;
constexpr UINT32 kNicExtC8 = 0xC8;
constexpr UINT32 kNicExtCA = 0xCA;
constexpr UINT32 kNicExtCC = 0xCC;
constexpr UINT32 kNicExtD0 = 0xD0;
constexpr UINT32 kNicExtD5 = 0xD5;
constexpr UINT32 kNicExtDC = 0xDC;
constexpr UINT32 kNicExtE8 = 0xE8;
constexpr UINT32 kNicExt174 = 0x174;
constexpr UINT32 kNicExt1B0 = 0x1B0;
constexpr UINT32 kNicExt1D0 = 0x1D0;
constexpr UINT32 kNicExt1DC = 0x1DC;
constexpr UINT32 kNicExt2F8 = 0x2F8;

// ---- Internal 16-bit MAC registers (through 0xB0) ----
constexpr UINT32 kNicMacC0A6 = 0xC0A6;
constexpr UINT32 kNicMacC0AA = 0xC0AA;
constexpr UINT32 kNicMacC0BC = 0xC0BC;
constexpr UINT32 kNicMacC140 = 0xC140;
constexpr UINT32 kNicMacC142 = 0xC142;
constexpr UINT32 kNicMacC8C8 = 0xC8C8;
constexpr UINT32 kNicMacCB52 = 0xCB52;
constexpr UINT32 kNicMacD2E4 = 0xD2E4;
constexpr UINT32 kNicMacD3E2 = 0xD3E2;
constexpr UINT32 kNicMacD3E4 = 0xD3E4;
constexpr UINT32 kNicMacD420 = 0xD420;
constexpr UINT32 kNicMacD422 = 0xD422;
constexpr UINT32 kNicMacE052 = 0xE052;
constexpr UINT32 kNicMacE420 = 0xE420;
constexpr UINT32 kNicMacE428 = 0xE428;
constexpr UINT32 kNicMacE860 = 0xE860;
constexpr UINT32 kNicMacE8DE = 0xE8DE;
constexpr UINT32 kNicMacEB58 = 0xEB58;

// ---- PHY ----
constexpr UINT32 kNicPhyPageSelect = 31; // writing it selects the page
constexpr UINT32 kNicPhyRegisterCount = 32;
// GPHY window mapping: page 0 registers live on pages 0xA40 + reg / 8.
constexpr UINT32 kNicGphyPage0Base = 0xA40;
constexpr UINT32 kNicGphyPageRegisters = 8;
constexpr UINT32 kNicGphyFirstPagedRegister = 16;

// ---- DMA descriptors: four little-endian 32-bit words ----
constexpr UINT32 kNicDescriptorSize = 16;
constexpr UINT32 kNicRingDescriptors = 256;
constexpr UINT32 kNicRingBytes = kNicDescriptorSize * kNicRingDescriptors; // 4096
constexpr UINT32 kNicRxBufferSize = 1536;
constexpr UINT32 kNicRingAlignment = 256;
// Word 0, both rings.
constexpr UINT32 kNicDescOwn = 0x80000000;       // owned by the controller
constexpr UINT32 kNicDescEndOfRing = 0x40000000; // only in descriptor 255
// Word 0, transmit.
constexpr UINT32 kNicTxDescFirst = 0x20000000;
constexpr UINT32 kNicTxDescLast = 0x10000000;
constexpr UINT32 kNicTxDescLengthMask = 0x0000FFFF;
// Word 1, transmit: UDP (bit 31) and IPv4 (bit 29) checksum insertion, the
// transport header's offset in bits 27..18.
constexpr UINT32 kNicTxDescUdpChecksum = 0x80000000;
constexpr UINT32 kNicTxDescIpChecksum = 0x20000000;
constexpr UINT32 kNicTxDescTransportShift = 18;
constexpr UINT32 kNicTxDescTransportMask = 0x3FF;
// Word 0, receive.
constexpr UINT32 kNicRxDescError = 0x00200000;                        // bit 21
constexpr UINT32 kNicRxDescLengthMask = 0x00001FFF;                   // includes the 4-byte FCS
constexpr UINT32 kNicRxDescGiveBack = kNicDescOwn | kNicRxBufferSize; // 0x80000600

static_assert(kNicRxDescGiveBack == 0x80000600);
static_assert((kNicTxDescUdpChecksum | kNicTxDescIpChecksum | (34u << kNicTxDescTransportShift)) ==
              0xA0880000);
static_assert(kNicType3Command == 0x3DC2F000);
