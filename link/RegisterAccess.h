// Every access of NicLinkDxe to the controller: plain I/O registers, PCI
// configuration space, and the indirect windows through which the controller
// shows its extended MAC registers, its OOB firmware's registers, its
// internal 16-bit MAC registers and its PHY. Nothing here interprets what the
// registers hold; time-outs end a poll and the access goes on, except where
// the OCP failure flag and the all-ones results say otherwise.
#pragma once

#include "DeviceContext.h"

// Bounds of the windows' completion polls.
constexpr UINT32 kExtWindowPolls = 100000; // reads of 0x74, no delay between
constexpr UINTN kExtWindowSettleUs = 20;
constexpr UINT32 kOcpDwordPolls = 5;
constexpr UINTN kOcpDwordPollUs = 100;
constexpr UINT32 kOcpNarrowPolls = 100;
constexpr UINTN kOcpNarrowPollUs = 1;
constexpr UINT32 kGphyPolls = 100;
constexpr UINTN kGphyPollUs = 1;
constexpr UINT32 kPhyAccessPolls = 20;
constexpr UINTN kPhyAccessPollUs = 20;
constexpr UINTN kPhyAccessSettleUs = 20;
constexpr UINTN kPhyReadTailUs = 1;  // versions 5 and 6, after the data read
constexpr UINTN kPhyD2WriteUs = 100; // versions 56 and 57, before a write
constexpr UINT32 kPhyRetryPolls = 5; // version 54's second try of a write
constexpr UINTN kPhyRetryPollUs = 100;

// The adapter's register-access hook (codes of NIC_REGISTER_ACCESS_CODE).
// Other codes do nothing and come back as the result.
EFI_STATUS NicRegisterAccess(VOID *UniqueId, UINT8 Code, UINT8 Length, UINT64 Offset, VOID *Buffer);

// Plain I/O registers (BAR 0). A read the NIC I/O protocol refuses yields all
// ones, as an absent device would.
UINT8 NicRead8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset);
UINT16 NicRead16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset);
UINT32 NicRead32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset);
void NicWrite8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Value);
void NicWrite16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT16 Value);
void NicWrite32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Value);
// Read-modify-write helpers: register = (register AND Mask) or (register OR Bits).
void NicAnd8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Mask);
void NicOr8(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT8 Bits);
void NicAnd16(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT16 Mask);
void NicAnd32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Mask);
void NicOr32(NIC_DEVICE_CONTEXT *Ctx, UINT16 Offset, UINT32 Bits);
// Configuration lock of register 0x50 (bits 7 and 6).
void NicUnlock(NIC_DEVICE_CONTEXT *Ctx);
void NicLock(NIC_DEVICE_CONTEXT *Ctx);

// PCI configuration space.
void NicPciReadHeader(NIC_DEVICE_CONTEXT *Ctx, UINT32 *Header);
void NicPciWrite8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Value);

// Extended register window (Type kNicExtTypeMac or kNicExtTypeOob); Size 1, 2 or 4.
UINT32 NicExtRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Type = kNicExtTypeMac);
void NicExtWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Value,
                 UINT32 Type = kNicExtTypeMac);

// The fixed type-3 form of OOB registers (32-bit only).
UINT32 NicType3Command(UINT32 Address);
UINT32 NicType3Read(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address);
void NicType3Write(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT32 Value);

// OCP window; a time-out sets the OCP failure flag and reads all ones.
UINT32 NicOcpRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size);
void NicOcpWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Offset, UINT8 Size, UINT32 Value);

// OOB registers through the window the OOB access type selects.
UINT32 NicOobRead32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address);
UINT16 NicOobRead16(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address);
UINT8 NicOobRead8(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address);
void NicOobWrite32(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT32 Value);
void NicOobWrite16(NIC_DEVICE_CONTEXT *Ctx, UINT32 Address, UINT16 Value);

// Internal 16-bit MAC registers; silent (reads 0xFFFF) once the OCP flag is set.
UINT16 NicMacRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register);
void NicMacWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Value);
void NicMacAnd(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Mask);
void NicMacOr(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Bits);

// PHY registers 0..31; writing register 31 selects the page.
UINT16 NicPhyRead(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register);
void NicPhyWrite(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Value);
void NicPhyClearBits(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register, UINT16 Bits);
// Where a PHY register lands in the GPHY window for the given page.
UINT32 NicGphyAddress(UINT16 Page, UINT32 Register);
