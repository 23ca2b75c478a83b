// Register map of the board's PCI Ethernet controller as the model implements
// it, written from the controller's point of view: I/O register offsets (the
// same registers answer through the memory BAR), their bits, the layouts of
// the indirect windows' command words, the registers of the out-of-band (OOB)
// firmware behind those windows, the descriptor format, and the chip-version
// bits of the transmit configuration register.
#pragma once

#include <cstdint>

namespace sim::nic {

// ---- PCI function ----
inline constexpr uint16_t kVendorId = 0x10EC;
inline constexpr uint16_t kDeviceId = 0x8168;
inline constexpr unsigned kIoBarIndex = 0;   // configuration 0x10, I/O
inline constexpr unsigned kMmioBarIndex = 2; // configuration 0x18, 64-bit memory: the registers
inline constexpr unsigned kAuxBarIndex = 4;  // configuration 0x20, 64-bit memory: vector table
inline constexpr uint32_t kIoBarSize = 0x100;
inline constexpr uint32_t kMmioBarSize = 0x1000;
inline constexpr uint32_t kAuxBarSize = 0x4000;
inline constexpr uint32_t kRegisterFileSize = 0x100;

// ---- I/O registers ----
namespace reg {
inline constexpr uint8_t kStationAddress = 0x00; // 6 bytes
inline constexpr uint8_t kMulticast = 0x08;      // 8 bytes
inline constexpr uint8_t kConfig1A = 0x1A;
inline constexpr uint8_t kConfig1B = 0x1B;
inline constexpr uint8_t kTxRingLow = 0x20; // normal-priority transmit ring
inline constexpr uint8_t kTxRingHigh = 0x24;
inline constexpr uint8_t kTxHighRingLow = 0x28; // high-priority transmit ring (unused)
inline constexpr uint8_t kTxHighRingHigh = 0x2C;
inline constexpr uint8_t kCommand = 0x37;
inline constexpr uint8_t kTxPoll = 0x38;
inline constexpr uint8_t kInterruptMask = 0x3C;
inline constexpr uint8_t kInterruptStatus = 0x3E;
inline constexpr uint8_t kTxConfig = 0x40;
inline constexpr uint8_t kRxConfig = 0x44;
inline constexpr uint8_t kConfigLock = 0x50;
inline constexpr uint8_t kConfigFirst = 0x51; // 0x51..0x56 writable only while unlocked
inline constexpr uint8_t kConfigLast = 0x56;
inline constexpr uint8_t kPhyAccess = 0x60;
inline constexpr uint8_t kPhyStatus = 0x6C;
inline constexpr uint8_t kExtData = 0x70;
inline constexpr uint8_t kExtCommand = 0x74;
inline constexpr uint8_t kOcpKick = 0x7C;
inline constexpr uint8_t kTxPollAlt = 0x90; // transmit doorbell of versions 62 and 63
inline constexpr uint8_t kOcpData = 0xB0;   // also the internal MAC register window
inline constexpr uint8_t kOcpCommand = 0xB4;
inline constexpr uint8_t kGphy = 0xB8;
inline constexpr uint8_t kEngineStatus = 0xD3;
inline constexpr uint8_t kRxMaxSize = 0xDA;
inline constexpr uint8_t kCPlusCommand = 0xE0;
inline constexpr uint8_t kRxRingLow = 0xE4;
inline constexpr uint8_t kRxRingHigh = 0xE8;
} // namespace reg

// Command register 0x37.
inline constexpr uint8_t kCommandReset = 0x10; // clears itself when the reset is done
inline constexpr uint8_t kCommandRxEnable = 0x08;
inline constexpr uint8_t kCommandTxEnable = 0x04;
inline constexpr uint8_t kCommandWritable = kCommandReset | kCommandRxEnable | kCommandTxEnable;

// Transmit doorbells.
inline constexpr uint8_t kTxPollNormal = 0x40;    // 0x38
inline constexpr uint8_t kTxPollAltNormal = 0x01; // 0x90

// Interrupt status 0x3E (a written one clears the bit).
inline constexpr uint16_t kIsrRxOk = 0x0001;
inline constexpr uint16_t kIsrRxError = 0x0002;
inline constexpr uint16_t kIsrTxOk = 0x0004;
inline constexpr uint16_t kIsrTxError = 0x0008;
inline constexpr uint16_t kIsrRxNoDescriptor = 0x0010;
inline constexpr uint16_t kIsrLinkChange = 0x0020;
inline constexpr uint16_t kIsrRxOverflow = 0x0040;
inline constexpr uint16_t kIsrSystemError = 0x8000; // a DMA fault

// Transmit configuration 0x40: chip version bits (read-only) and the
// transmit-idle status bit; the rest is configuration.
inline constexpr uint32_t kTxConfigVersionMask = 0xFCF00000; // bit 31, bits 30..26, 23..20
inline constexpr uint32_t kTxConfigIdle = 1u << 11;
inline constexpr uint32_t kTxConfigReadOnly = kTxConfigVersionMask | kTxConfigIdle;

// Configuration lock 0x50: both bits set = unlocked.
inline constexpr uint8_t kConfigUnlock = 0xC0;

// PHY status 0x6C (read-only).
inline constexpr uint8_t kPhyStatusFullDuplex = 0x01;
inline constexpr uint8_t kPhyStatusLink = 0x02;
inline constexpr uint8_t kPhyStatus1000 = 0x10;

// Engine status 0xD3: read-only idle bits; bit 7 is configuration.
inline constexpr uint8_t kEngineIdleBits = 0x32; // bits 1, 4 and 5

// ---- Indirect windows ----
// Common command layout: bit 31 = write (the controller clears it when a write
// is done) or done (the controller sets it when read data is ready); bits
// 15..12 = byte enables; bits 11..0 = dword address (low two bits ignored).
inline constexpr uint32_t kWindowFlag = 0x80000000;
inline constexpr uint32_t kWindowAddressMask = 0xFFF;
inline constexpr unsigned kWindowEnableShift = 12;
// Extended window 0x74: bits 17..16 = register type.
inline constexpr unsigned kExtTypeShift = 16;
inline constexpr uint32_t kExtTypeMac = 0;    // extended MAC registers
inline constexpr uint32_t kExtTypeVector = 1; // vector table registers
inline constexpr uint32_t kExtTypeOob = 2;    // OOB firmware registers (also the fixed 0x3DC2 form)
inline constexpr uint32_t kExtRegisterSpace = 0x1000;
// Internal MAC registers through 0xB0: bit 31 write, bits 30..16 address / 2,
// bits 15..0 data.
inline constexpr unsigned kInternalAddressShift = 16;
inline constexpr uint32_t kInternalAddressMask = 0x7FFF;
// GPHY window 0xB8: same layout as the internal window, address = PHY OCP address.
// PHY access register 0x60: bit 31 write/done, bits 20..16 register, bits 15..0 data.
inline constexpr unsigned kPhyRegisterShift = 16;
inline constexpr uint32_t kPhyRegisterMask = 0x1F;

// The bits of a dword that byte enables (bit i = byte i) select.
constexpr uint32_t ByteEnableBits(uint32_t byteEnables) {
  uint32_t bits = 0;
  for (unsigned i = 0; i < 4; ++i) {
    if (byteEnables & (1u << i)) {
      bits |= 0xFFu << (8 * i);
    }
  }
  return bits;
}

// ---- OOB firmware registers (behind the OCP window and extended type 2) ----
namespace oob {
inline constexpr uint16_t kStatus = 0x10;    // 16-bit, kind-1 chips (versions 54..56)
inline constexpr uint16_t kStatusAlt = 0xB8; // 16-bit, version 57
inline constexpr uint16_t kDoorbell = 0x30;  // bit 0: take the command in 0x180
inline constexpr uint16_t kBusy0 = 0x34;     // 8-bit, non-zero while busy
inline constexpr uint16_t kBusy1 = 0x35;
inline constexpr uint16_t kPhyAccess = 0x60;    // the PHY access register through OCP
inline constexpr uint16_t kAcknowledge = 0x124; // bit 0: command 5 acknowledged
inline constexpr uint16_t kState = 0x128;       // bit 0: firmware running (other kinds)
inline constexpr uint16_t kCommand = 0x180;
inline constexpr uint16_t kConfig = 0x184;
inline constexpr uint16_t kMode = 0x188; // bit 8: OOB mode on; bit 9: second state bit

inline constexpr uint16_t kStatusRunning = 0x8000; // in kStatus / kStatusAlt
inline constexpr uint16_t kStatusReady = 0x4000;   // request handled (kind-1 chips)
inline constexpr uint32_t kDoorbellRing = 0x1;
inline constexpr uint32_t kAcknowledgeDone = 0x1;
inline constexpr uint32_t kStateRunning = 0x1;
inline constexpr uint32_t kModeOn = 0x100;

// Commands written to kCommand before ringing kDoorbell.
inline constexpr uint8_t kCommandStart = 0x05;
inline constexpr uint8_t kCommandModeOn = 0x70;
inline constexpr uint8_t kCommandModeOff = 0x71;
inline constexpr uint8_t kCommandConfigure = 0xFF;
inline constexpr uint8_t kCommandSwitchOff = 0x55;
} // namespace oob

// Internal MAC registers with a meaning to the model.
namespace internal {
inline constexpr uint16_t kSignature = 0xDC00; // bits 6..3 all set on OOB-capable parts
inline constexpr uint16_t kOobReset = 0xE0C4;  // bit 0 pulse halts the OOB firmware
inline constexpr uint16_t kOobBoot = 0xD3FC;   // writing bit 0 boots the OOB firmware
} // namespace internal

// ---- PHY ----
// PHY OCP address of standard register r: page 0xA40 + r / 8, register 16 + r % 8.
constexpr uint16_t PhyStandardAddress(unsigned r) { return static_cast<uint16_t>(0xA400 + 2 * r); }
inline constexpr unsigned kPhyPageSelect = 31;
inline constexpr unsigned kPhyBmcr = 0;
inline constexpr unsigned kPhyBmsr = 1;
inline constexpr unsigned kPhyId1 = 2;
inline constexpr unsigned kPhyId2 = 3;
inline constexpr uint16_t kBmcrReset = 0x8000;
inline constexpr uint16_t kBmcrDefault = 0x1140; // auto-negotiation on, full duplex
inline constexpr uint16_t kBmsrLink = 0x0004;
inline constexpr uint16_t kBmsrAutonegDone = 0x0020;

// ---- Descriptors: four little-endian 32-bit words ----
inline constexpr uint32_t kDescriptorSize = 16;
inline constexpr uint32_t kDescOwn = 1u << 31;       // owned by the controller
inline constexpr uint32_t kDescEndOfRing = 1u << 30; // the next descriptor is the ring's first
inline constexpr uint32_t kDescFirst = 1u << 29;
inline constexpr uint32_t kDescLast = 1u << 28;
inline constexpr uint32_t kTxLengthMask = 0xFFFF;
inline constexpr uint32_t kRxError = 1u << 21;
inline constexpr uint32_t kRxLengthMask = 0x1FFF; // received length, frame check sequence included
inline constexpr uint32_t kRxBufferSizeMask = 0x3FFF; // buffer size given with the descriptor
// Word 1 of a transmit descriptor: checksum insertion.
inline constexpr uint32_t kTxInsertUdp = 1u << 31;
inline constexpr uint32_t kTxInsertTcp = 1u << 30;
inline constexpr uint32_t kTxInsertIpv4 = 1u << 29;
inline constexpr unsigned kTxTransportOffsetShift = 18;
inline constexpr uint32_t kTxTransportOffsetMask = 0x3FF;

// Ring limits the controller enforces on what the driver programs.
inline constexpr uint32_t kMaxRingDescriptors = 1024; // wraps here even without end of ring
inline constexpr uint32_t kMaxTxFrame = 16 * 1024;

// ---- Chip versions ----
// Register 0x40 bits of a chip version (bit 31 and the version fields), or 0
// with ok = false for a version no part reports (33) or out of range.
struct VersionBits {
  bool ok;
  uint32_t bits;
};
VersionBits ChipVersionBits(unsigned version);
// The version the driver's identification table derives from register 0x40.
unsigned ChipVersionOf(uint32_t txConfig);
inline constexpr unsigned kMaxChipVersion = 66;

} // namespace sim::nic
