// Chip identification over the whole version table, the per-version flags,
// OOB firmware detection and the preparation of a controller at creation.
#include "ChipId.h"
#include "RegisterAccess.h"

namespace {

enum VERSION_MATCH : UINT8 {
  MatchAny,     // any S
  MatchSub,     // S equals the row's value
  MatchHighOff, // bit 31 of the register clear
  MatchHighOn,  // bit 31 of the register set
};

typedef struct {
  UINT32 X;
  VERSION_MATCH Match;
  UINT32 S;
  UINT32 Version;
} VERSION_ROW;

// Rows of one X are tried in order; a MatchAny row closes them ("other").
constexpr VERSION_ROW kVersionTable[] = {
    {0x00000000, MatchAny, 0, 1},         {0x00800000, MatchAny, 0, 2},
    {0x04000000, MatchAny, 0, 3},         {0x10000000, MatchAny, 0, 4},
    {0x18000000, MatchHighOff, 0, 5},     {0x18000000, MatchHighOn, 0, 6},
    {0x24000000, MatchAny, 0, 25},        {0x24800000, MatchSub, 0x100000, 20},
    {0x24800000, MatchSub, 0x200000, 21}, {0x24800000, MatchSub, 0x300000, 22},
    {0x24800000, MatchSub, 0x400000, 22}, {0x24800000, MatchSub, 0x500000, 23},
    {0x24800000, MatchSub, 0x600000, 24}, {0x24800000, MatchSub, 0x000000, 19},
    {0x24800000, MatchSub, 0x700000, 24}, {0x28000000, MatchSub, 0x100000, 35},
    {0x28000000, MatchSub, 0x200000, 36}, {0x28000000, MatchSub, 0x300000, 36},
    {0x28000000, MatchSub, 0x000000, 34}, {0x28000000, MatchAny, 0, 36},
    {0x28800000, MatchSub, 0x000000, 54}, {0x28800000, MatchSub, 0x100000, 55},
    {0x28800000, MatchSub, 0x200000, 56}, {0x28800000, MatchAny, 0, 57},
    {0x2C000000, MatchSub, 0x000000, 37}, {0x2C000000, MatchSub, 0x100000, 38},
    {0x2C000000, MatchAny, 0, 39},        {0x2C800000, MatchSub, 0x000000, 40},
    {0x2C800000, MatchAny, 0, 41},        {0x30000000, MatchAny, 0, 7},
    {0x30800000, MatchAny, 0, 10},        {0x34000000, MatchSub, 0x000000, 12},
    {0x34000000, MatchAny, 0, 13},        {0x34800000, MatchSub, 0x100000, 20},
    {0x34800000, MatchSub, 0x200000, 21}, {0x34800000, MatchSub, 0x300000, 22},
    {0x34800000, MatchSub, 0x400000, 22}, {0x34800000, MatchSub, 0x500000, 23},
    {0x34800000, MatchSub, 0x600000, 24}, {0x34800000, MatchSub, 0x000000, 18},
    {0x34800000, MatchSub, 0x700000, 24}, {0x38000000, MatchSub, 0x000000, 8},
    {0x38000000, MatchAny, 0, 9},         {0x38800000, MatchAny, 0, 11},
    {0x3C000000, MatchSub, 0x100000, 14}, {0x3C000000, MatchSub, 0x200000, 15},
    {0x3C000000, MatchSub, 0x300000, 16}, {0x3C000000, MatchAny, 0, 17},
    {0x3C800000, MatchSub, 0x000000, 50}, {0x3C800000, MatchSub, 0x100000, 51},
    {0x3C800000, MatchSub, 0x200000, 52}, {0x3C800000, MatchAny, 0, 53},
    {0x40800000, MatchSub, 0x000000, 26}, {0x40800000, MatchSub, 0x100000, 27},
    {0x40800000, MatchSub, 0x200000, 28}, {0x40800000, MatchSub, 0x300000, 29},
    {0x40800000, MatchAny, 0, 30},        {0x44000000, MatchAny, 0, 66},
    {0x44800000, MatchSub, 0x000000, 31}, {0x44800000, MatchAny, 0, 32},
    {0x48000000, MatchSub, 0x000000, 42}, {0x48000000, MatchAny, 0, 43},
    {0x48800000, MatchAny, 0, 64},        {0x4C000000, MatchSub, 0x000000, 44},
    {0x4C000000, MatchAny, 0, 45},        {0x50000000, MatchSub, 0x000000, 58},
    {0x50000000, MatchSub, 0x100000, 59}, {0x50000000, MatchAny, 0, 60},
    {0x50800000, MatchSub, 0x100000, 47}, {0x50800000, MatchAny, 0, 46},
    {0x54000000, MatchSub, 0x000000, 48}, {0x54000000, MatchAny, 0, 49},
    {0x54800000, MatchAny, 0, 61},        {0x5C800000, MatchAny, 0, 65},
    {0x60800000, MatchSub, 0x000000, 62}, {0x60800000, MatchSub, 0x100000, 63},
    {0x60800000, MatchAny, 0, 0},
};

BOOLEAN InGphyGroup(UINT32 V) {
  return NicVersionIn(V, 44, 49) || NicVersionIn(V, 58, 63) || V == 65;
}

NIC_CHIP_CLASS ClassOf(UINT32 V) {
  if (NicVersionIn(V, 1, 6)) {
    return NicClass1;
  }
  if (NicVersionIn(V, 10, 13) || NicVersionIn(V, 18, 33) || V == 66) {
    return NicClass2;
  }
  if (V == 62 || V == 63) {
    return NicClass3;
  }
  return NicClass4;
}

// Internal MAC register writes right after identification, by version.
void VersionRegisterWrites(NIC_DEVICE_CONTEXT *Ctx) {
  switch (Ctx->Adapter.ChipVersion) {
  case 42:
  case 43:
    NicMacWrite(Ctx, kNicMacCB52, 0x0000);
    NicMacWrite(Ctx, kNicMacE420, 0x0010);
    break;
  case 44:
  case 45:
    NicMacWrite(Ctx, kNicMacC0BC, (UINT16)(NicMacRead(Ctx, kNicMacC0BC) & 0xFFFE));
    NicMacWrite(Ctx, kNicMacD2E4, 0x0000);
    NicMacWrite(Ctx, kNicMacE428, 0x0010);
    break;
  case 64:
    NicMacWrite(Ctx, kNicMacCB52, 0x0000);
    NicMacWrite(Ctx, kNicMacC8C8, 0x0000);
    NicMacWrite(Ctx, kNicMacE420, 0x0010);
    break;
  case 65:
    NicMacWrite(Ctx, kNicMacC0BC, 0x00FF);
    NicMacWrite(Ctx, kNicMacD2E4, 0x0000);
    NicMacWrite(Ctx, kNicMacE428, 0x0010);
    break;
  case 48:
  case 49:
  case 61:
  case 62:
  case 63:
    NicExtWrite(Ctx, kNicExt174, 2, 0x00FF);
    NicMacWrite(Ctx, kNicMacE428, 16);
    break;
  default:
    break;
  }
}

void PerVersionSetUp(NIC_DEVICE_CONTEXT *Ctx) {
  NIC_ADAPTER *A = &Ctx->Adapter;
  A->VendorId = (UINT16)A->ConfigHeader[0];
  A->DeviceId = (UINT16)(A->ConfigHeader[0] >> 16);
  A->RevisionId = (UINT8)A->ConfigHeader[kNicPciRevisionOffset / 4];
  A->SubsystemVendorId = (UINT16)A->ConfigHeader[kNicPciSubsystemVendorOffset / 4];
  A->SubsystemId = (UINT16)(A->ConfigHeader[kNicPciSubsystemOffset / 4] >> 16);
  NicSetVersionFlags(A);

  if (A->ChipClass == NicClass3) {
    NicMacAnd(Ctx, kNicMacEB58, (UINT16)~0x0001);
    NicAnd8(Ctx, kNicReg47, (UINT8)~0x01);
  }
  A->OobFirmware = NicOobFirmwarePresent(Ctx);
  if (A->OobFirmware) {
    A->PhyQuirk = 0; // the firmware owns the PHY
  }
  VersionRegisterWrites(Ctx);
}

// The PHY settings every chip gets at creation; register 31 selects the page.
void PhySetUp(NIC_DEVICE_CONTEXT *Ctx) {
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0C41);
  NicPhyWrite(Ctx, 19, 0x0000);
  NicPhyWrite(Ctx, 19, 0x0500);
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0000);
  NicExtWrite(Ctx, kNicExt1B0, 4, NicExtRead(Ctx, kNicExt1B0, 4) & ~0x3u);
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0A43);
  NicPhyClearBits(Ctx, 17, 1u << 4);
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0A5D);
  NicPhyWrite(Ctx, 16, 0x0000);
  NicMacAnd(Ctx, kNicMacE052, (UINT16)~0x0001);
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0A43);
  NicPhyClearBits(Ctx, 16, 1u << 15);
  NicPhyWrite(Ctx, kNicPhyPageSelect, 0x0A44);
  NicPhyClearBits(Ctx, 17, 1u << 13);
  NicPhyClearBits(Ctx, 17, 1u << 14);
  NicMacAnd(Ctx, kNicMacD422, 0xFE2D);
  NicMacAnd(Ctx, kNicMacD420, 0xF77F);
}

// Reads an 8-bit OOB register until it is 0; FALSE (and the OCP failure
// flag) when it never is.
BOOLEAN WaitOobIdle(NIC_DEVICE_CONTEXT *Ctx, UINT32 Register) {
  for (UINT32 I = 0; I < kStopIdleReads; I++) {
    if (NicOobRead8(Ctx, Register) == 0) {
      return TRUE;
    }
  }
  Ctx->Adapter.OcpFailed = 1;
  return FALSE;
}

} // namespace

UINT32 NicChipVersionFromTxConfig(UINT32 TxConfig) {
  UINT32 X = TxConfig & kNicTxConfigVersionMask;
  UINT32 S = TxConfig & kNicTxConfigVersionSubMask;
  BOOLEAN High = (TxConfig & kNicTxConfigVersionHigh) != 0;
  for (const VERSION_ROW &Row : kVersionTable) {
    if (Row.X != X) {
      continue;
    }
    BOOLEAN Hit = Row.Match == MatchAny || (Row.Match == MatchSub && Row.S == S) ||
                  (Row.Match == MatchHighOff && !High) || (Row.Match == MatchHighOn && High);
    if (Hit) {
      return Row.Version;
    }
  }
  return 0;
}

UINT32 NicIdentify(NIC_DEVICE_CONTEXT *Ctx) {
  Ctx->Adapter.ChipVersion = 0;
  Ctx->Adapter.ChipVersion = NicChipVersionFromTxConfig(NicRead32(Ctx, kNicRegTxConfig));
  return Ctx->Adapter.ChipVersion;
}

void NicSetVersionFlags(NIC_ADAPTER *A) {
  UINT32 V = A->ChipVersion;
  A->ChipClass = ClassOf(V);
  A->GphyAccess = InGphyGroup(V);
  A->F2Handling = InGphyGroup(V);
  A->RegisterLock = (V == 42 || V == 43 || V == 64 || V == 66);
  A->PhyQuirk = NicVersionIn(V, 54, 56);
  A->OobKind = 0;
  if (NicVersionIn(V, 54, 57)) {
    A->OobAccessType = A->OobKind = 1;
  } else if (NicVersionIn(V, 58, 60)) {
    A->OobAccessType = A->OobKind = 2;
  } else if (V == 61) {
    A->OobAccessType = A->OobKind = 3;
  }
}

BOOLEAN NicOobFirmwarePresent(NIC_DEVICE_CONTEXT *Ctx) {
  switch (Ctx->Adapter.OobKind) {
  case 1: {
    UINT32 Register = Ctx->Adapter.ChipVersion == 57 ? kNicOobB8 : kNicOob10;
    return (NicOobRead16(Ctx, Register) & kNicOob10Present) != 0;
  }
  case 2:
    return (NicOobRead8(Ctx, kNicOob128) & kNicOob128Present) != 0;
  case 3:
    return (NicOobRead32(Ctx, kNicOob128) & kNicOob128Present) != 0;
  default:
    return FALSE;
  }
}

void NicStop(NIC_DEVICE_CONTEXT *Ctx) {
  UINT32 V = Ctx->Adapter.ChipVersion;
  if (Ctx->Adapter.OobFirmware && (V == 54 || V == 55)) {
    // Let the firmware finish what it is doing before the engines stop.
    if (WaitOobIdle(Ctx, kNicOob34)) {
      (void)WaitOobIdle(Ctx, kNicOob35);
    }
  }
  NicWrite8(Ctx, kNicRegCommand, 0);
}

EFI_STATUS NicPrepare(NIC_DEVICE_CONTEXT *Ctx) {
  NicPciReadHeader(Ctx, Ctx->Adapter.ConfigHeader);
  if (NicIdentify(Ctx) == 0) {
    return EFI_DEVICE_ERROR;
  }
  PerVersionSetUp(Ctx);
  NicStop(Ctx);

  UINT32 V = Ctx->Adapter.ChipVersion;
  if (Ctx->Adapter.OobFirmware && NicVersionIn(V, 58, 61)) {
    NicOobWrite32(Ctx, kNicOobCommand, kNicOobCommandStart);
    NicOobWrite32(Ctx, kNicOob30, NicOobRead32(Ctx, kNicOob30) | kNicOob30Kick);
    for (UINT32 I = 0; I < kOobStartPolls; I++) {
      if (NicOobRead32(Ctx, kNicOob124) & kNicOob124Started) {
        break;
      }
      NicStall(Ctx, kOobStartPollUs);
    }
  }

  PhySetUp(Ctx);

  if (NicVersionIn(V, 26, 33) || NicVersionIn(V, 44, 49) || NicVersionIn(V, 58, 61) || V == 65 ||
      V == 66) {
    NicUnlock(Ctx);
    NicAnd8(Ctx, kNicReg54, (UINT8)~0x02);
    NicLock(Ctx);
  }
  return EFI_SUCCESS;
}
