// Ethernet controller model: the indirect windows (extended registers, OCP,
// internal MAC registers, GPHY, PHY access register), the paged PHY behind
// them, and the OOB firmware with its registers.
#include "NicModel.h"

#include <algorithm>

#include "Machine.h"

namespace sim {

using namespace nic;

namespace {
constexpr uint16_t kPhyIdentifier1 = 0x4D47;
constexpr uint16_t kPhyIdentifier2 = 0x5301;
constexpr uint16_t kBmsrAbilities = 0x7949;

uint32_t ReadDword(const uint8_t *bytes) {
  return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

void WriteLanes(uint8_t *bytes, uint32_t data, uint32_t byteEnables) {
  for (unsigned i = 0; i < 4; ++i) {
    if (byteEnables & (1u << i)) {
      bytes[i] = static_cast<uint8_t>(data >> (8 * i));
    }
  }
}
} // namespace

// ---- Extended register window (0x70 data, 0x74 command) ----

void NicModel::IssueExtended(uint32_t command) {
  const uint32_t type = (command >> kExtTypeShift) & 0x3;
  const uint16_t address = static_cast<uint16_t>(command & kWindowAddressMask & ~3u);
  const uint32_t enables = (command >> kWindowEnableShift) & 0xF;
  ext_.issued = command;
  ext_.doneAtNs = DueAt(extDelayNs_);
  if (command & kWindowFlag) {
    const bool lockedOut = type == kExtTypeOob && LockAroundOobWrites() &&
                           (regs_[reg::kConfigLock] & kConfigUnlock) != kConfigUnlock;
    if (lockedOut) {
      ++lockedWrites_;
    } else {
      ExtWrite(type, address, Reg32(reg::kExtData), enables);
    }
    ext_.done = command & ~kWindowFlag;
  } else {
    const uint32_t data = ExtRead(type, address);
    for (unsigned i = 0; i < 4; ++i) {
      regs_[reg::kExtData + i] = static_cast<uint8_t>(data >> (8 * i));
    }
    ext_.done = command | kWindowFlag;
  }
}

uint32_t NicModel::ExtRead(uint32_t type, uint16_t address) {
  switch (type) {
  case kExtTypeMac:
    return ReadDword(&extMac_[address]);
  case kExtTypeVector:
    return ReadDword(&extVector_[address]);
  case kExtTypeOob:
    return OobRead(address);
  default:
    return 0;
  }
}

void NicModel::ExtWrite(uint32_t type, uint16_t address, uint32_t data, uint32_t byteEnables) {
  switch (type) {
  case kExtTypeMac:
    WriteLanes(&extMac_[address], data, byteEnables);
    break;
  case kExtTypeVector:
    WriteLanes(&extVector_[address], data, byteEnables);
    break;
  case kExtTypeOob:
    OobWrite(address, data, byteEnables);
    break;
  default:
    ++unknownWrites_;
    break;
  }
}

uint32_t NicModel::ExtendedRegister(uint16_t address) const {
  return ReadDword(&extMac_[address & (kExtRegisterSpace - 1) & ~3u]);
}

// ---- OCP window (0xB0 data, 0xB4 command) and internal MAC registers (0xB0) ----

// 0xB0 is both the OCP data latch and the internal MAC register command: a
// write with bit 31 writes the internal register, one without selects it for
// reading. OCP commands take their write data from the latch and leave read
// data where 0xB0 reads.
void NicModel::WriteOcpData(uint32_t value) {
  ocpLatch_ = value;
  const uint16_t address =
      static_cast<uint16_t>(((value >> kInternalAddressShift) & kInternalAddressMask) << 1);
  if (value & kWindowFlag) {
    InternalWrite(address, static_cast<uint16_t>(value));
    ocpReadback_ = value;
  } else {
    ocpReadback_ = (value & 0xFFFF0000) | InternalRead(address);
  }
}

void NicModel::IssueOcp(uint32_t command) {
  const uint16_t address = static_cast<uint16_t>(command & kWindowAddressMask & ~3u);
  const uint32_t enables = (command >> kWindowEnableShift) & 0xF;
  const bool write = (command & kWindowFlag) != 0;
  const uint64_t now = machine_.clock().NowNs();
  if (address == oob::kPhyAccess) {
    if (write) {
      IssuePhyAccess(ocpLatch_, ocpPhyAccess_);
    } else {
      ocpReadback_ = ocpPhyAccess_.Value(now);
    }
  } else if (write) {
    OobWrite(address, ocpLatch_, enables);
  } else {
    ocpReadback_ = OobRead(address);
  }
  ocp_.issued = command;
  ocp_.done = write ? command & ~kWindowFlag : command | kWindowFlag;
  ocp_.doneAtNs = DueAt(ocpDelayNs_);
}

uint16_t NicModel::InternalRead(uint16_t address) {
  auto it = internal_.find(address);
  return it == internal_.end() ? 0 : it->second;
}

void NicModel::InternalWrite(uint16_t address, uint16_t value) {
  if (address == internal::kOobReset) {
    const bool high = (value & 1) != 0;
    if (oobResetHigh_ && !high) {
      // The falling edge of the pulse halts the firmware.
      Emit(ev::NicOobHalt{oobRunning_});
      oobRunning_ = false;
      oobBooting_ = false;
      oobPending_.clear();
    }
    oobResetHigh_ = high;
  } else if (address == internal::kOobBoot && (value & 1)) {
    BootOob();
  }
  internal_[address] = value;
}

uint16_t NicModel::InternalRegister(uint16_t address) const {
  auto it = internal_.find(address);
  return it == internal_.end() ? 0 : it->second;
}

void NicModel::SetInternalRegister(uint16_t address, uint16_t value) { internal_[address] = value; }

// ---- PHY ----

uint16_t NicModel::PhyRead(uint16_t address) const {
  if (address == PhyStandardAddress(kPhyBmsr)) {
    return static_cast<uint16_t>(kBmsrAbilities | (linkUp_ ? kBmsrLink | kBmsrAutonegDone : 0));
  }
  if (address == PhyStandardAddress(kPhyId1)) {
    return kPhyIdentifier1;
  }
  if (address == PhyStandardAddress(kPhyId2)) {
    return kPhyIdentifier2;
  }
  auto it = phy_.find(address);
  return it == phy_.end() ? 0 : it->second;
}

void NicModel::PhyWrite(uint16_t address, uint16_t value) {
  if (address == PhyStandardAddress(kPhyBmsr) || address == PhyStandardAddress(kPhyId1) ||
      address == PhyStandardAddress(kPhyId2)) {
    ++readOnlyWrites_;
    return;
  }
  if (address == PhyStandardAddress(kPhyBmcr) && (value & kBmcrReset)) {
    value = kBmcrDefault; // the reset completes at once and restores the defaults
  }
  phy_[address] = value;
}

uint16_t NicModel::PhyRegister(uint16_t address) const { return PhyRead(address); }

// Register reg of the page selected through register 31, at the address the
// GPHY window would use for it. Registers below 16 are the standard ones on
// every page.
uint16_t NicModel::PhyPagedAddress(unsigned reg) const {
  if (phyPage_ == 0 || reg < 16) {
    return PhyStandardAddress(reg);
  }
  return static_cast<uint16_t>(phyPage_ * 16 + (reg - 16) * 2);
}

void NicModel::IssueGphy(uint32_t command) {
  const uint16_t address =
      static_cast<uint16_t>(((command >> kInternalAddressShift) & kInternalAddressMask) << 1);
  gphy_.issued = command;
  gphy_.doneAtNs = DueAt(gphyDelayNs_);
  if (command & kWindowFlag) {
    PhyWrite(address, static_cast<uint16_t>(command));
    gphy_.done = command & ~kWindowFlag;
  } else {
    gphy_.done = (command & 0x7FFF0000) | kWindowFlag | PhyRead(address);
  }
}

void NicModel::IssuePhyAccess(uint32_t command, Completion &target) {
  const unsigned reg = (command >> kPhyRegisterShift) & kPhyRegisterMask;
  target.issued = command;
  target.doneAtNs = DueAt(phyAccessDelayNs_);
  if (command & kWindowFlag) {
    const uint16_t value = static_cast<uint16_t>(command);
    if (reg == kPhyPageSelect) {
      phyPage_ = value;
    } else {
      PhyWrite(PhyPagedAddress(reg), value);
    }
    target.done = command & ~kWindowFlag;
  } else {
    const uint16_t value = reg == kPhyPageSelect ? phyPage_ : PhyRead(PhyPagedAddress(reg));
    target.done = (command & 0x7FFF0000) | kWindowFlag | value;
  }
}

// ---- OOB firmware registers ----

bool NicModel::LockAroundOobWrites() const {
  return version_ == 42 || version_ == 43 || version_ == 64 || version_ == 66;
}

bool NicModel::OobBusy() const { return oobBusyStuck_ || !oobPending_.empty(); }

// Bits of an OOB dword that reflect firmware state rather than storage.
uint32_t NicModel::OobComputed(uint16_t dword, uint32_t &mask) const {
  mask = 0;
  if (dword == oob::kStatus && StatusInOobReg10()) {
    mask = oob::kStatusRunning;
    return oobRunning_ ? oob::kStatusRunning : 0;
  }
  if (dword == oob::kStatusAlt && version_ == 57) {
    mask = oob::kStatusRunning;
    return oobRunning_ ? oob::kStatusRunning : 0;
  }
  if (dword == oob::kState && !(version_ >= 54 && version_ <= 57)) {
    mask = oob::kStateRunning;
    return oobRunning_ ? oob::kStateRunning : 0;
  }
  if (dword == (oob::kBusy0 & ~3u)) {
    mask = 0x0000FFFFu << (8 * (oob::kBusy0 & 3));
    return OobBusy() ? 0x00000101u << (8 * (oob::kBusy0 & 3)) : 0;
  }
  return 0;
}

uint32_t NicModel::OobRead(uint16_t address) { return OobRegister(address); }

uint32_t NicModel::OobRegister(uint16_t address) const {
  const uint16_t dword = address & ~3u;
  auto it = oob_.find(dword);
  const uint32_t stored = it == oob_.end() ? 0 : it->second;
  uint32_t mask = 0;
  const uint32_t computed = OobComputed(dword, mask);
  return (stored & ~mask) | computed;
}

void NicModel::SetOobRegister(uint16_t address, uint32_t value) { oob_[address & ~3u] = value; }

void NicModel::OobWrite(uint16_t address, uint32_t data, uint32_t byteEnables) {
  const uint16_t dword = address & ~3u;
  uint32_t &stored = oob_[dword];
  const uint32_t lanes = ByteEnableBits(byteEnables);
  stored = (stored & ~lanes) | (data & lanes);
  if (dword == oob::kDoorbell && (lanes & oob::kDoorbellRing) && (data & oob::kDoorbellRing)) {
    RingOobDoorbell();
  }
}

void NicModel::SetOobFirmware(bool running) {
  oobRunning_ = running;
  oobBooting_ = false;
  if (!running) {
    oobPending_.clear();
  }
}

void NicModel::RingOobDoorbell() {
  const uint8_t command = static_cast<uint8_t>(OobRegister(oob::kCommand));
  oobRequests_.push_back(OobRequest{machine_.clock().NowNs(), command, false});
  Emit(ev::NicOobRequest{command, oobRunning_});
  if (!oobRunning_ || oobDelayNs_ == kNever) {
    return; // nobody takes it
  }
  const PendingOob pending{oobRequests_.size() - 1, DueAt(oobDelayNs_)};
  auto at =
      std::upper_bound(oobPending_.begin(), oobPending_.end(), pending,
                       [](const PendingOob &a, const PendingOob &b) { return a.atNs < b.atNs; });
  oobPending_.insert(at, pending);
}

void NicModel::AnswerOob(size_t request) {
  if (request >= oobRequests_.size() || !oobRunning_) {
    return;
  }
  OobRequest &entry = oobRequests_[request];
  entry.answered = true;
  oob_[oob::kDoorbell] &= ~oob::kDoorbellRing;
  if (version_ >= 54 && version_ <= 57) {
    oob_[oob::kStatus] |= oob::kStatusReady;
  }
  switch (entry.command) {
  case oob::kCommandStart:
    oob_[oob::kAcknowledge] |= oob::kAcknowledgeDone;
    break;
  case oob::kCommandModeOn:
    oob_[oob::kMode] |= oob::kModeOn;
    break;
  case oob::kCommandModeOff:
    oob_[oob::kMode] &= ~oob::kModeOn;
    break;
  case oob::kCommandSwitchOff:
    oobRunning_ = false;
    oobPending_.clear();
    break;
  default:
    break;
  }
  Emit(ev::NicOobAnswer{entry.command});
}

void NicModel::BootOob() {
  if (oobRunning_ || oobBooting_) {
    return;
  }
  oobBooting_ = true;
  oobBootAtNs_ = DueAt(oobDelayNs_);
  Emit(ev::NicOobBoot{oobBootAtNs_ != kNever});
}

} // namespace sim
