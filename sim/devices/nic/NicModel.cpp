// Ethernet controller model: construction, PCI glue, the I/O register file
// and its special registers, and the lazy processing of time-dependent work.
#include "NicModel.h"

#include <cstdio>
#include <stdexcept>

#include "Machine.h"

namespace sim {

using namespace nic;

NicModel::NicModel(Machine &machine) : NicModel(machine, Config{}) {}

NicModel::NicModel(Machine &machine, Config config)
    : machine_(machine), config_(config), aux_(kAuxBarSize, 0) {
  if (!SetChipVersion(config_.chipVersion)) {
    throw std::invalid_argument("NicModel: no part reports chip version " +
                                std::to_string(config_.chipVersion));
  }
  linkUp_ = config_.linkUp;
  oobRunning_ = config_.oobFirmware;
  InitConfigSpace();
  InitRegisters();
  Remap();
}

NicModel::~NicModel() {
  machine_.bus().Unmap(&ioWindow_);
  machine_.bus().Unmap(&mmioWindow_);
  machine_.bus().Unmap(&auxWindow_);
}

void NicModel::InitConfigSpace() {
  SetIds(kVendorId, kDeviceId);
  SetSubsystem(config_.subsystemVendor, config_.subsystemId);
  SetClass(0x02, 0x00, 0x00); // network controller, Ethernet
  SetRevision(config_.revision);
  Set8(0x3D, 0x01); // interrupt pin A
  SetBar(kIoBarIndex, BarKind::Io, kIoBarSize, config_.ioBase);
  SetBar(kMmioBarIndex, BarKind::Mem64, kMmioBarSize, config_.mmioBase);
  SetBar(kAuxBarIndex, BarKind::Mem64, kAuxBarSize, config_.auxBase);
  Set16(pci::kCommand, config_.command);
  // Device-specific bytes the driver programs at bring-up on several versions.
  SetWriteMask(0x79, 1, 0xFF);
  SetWriteMask(0x70F, 1, 0xFF);
}

void NicModel::InitRegisters() {
  regs_.fill(0);
  kinds_.fill(ByteKind::Unknown);
  auto plain = [this](unsigned first, unsigned count, ByteKind kind = ByteKind::Plain) {
    for (unsigned i = first; i < first + count; ++i) {
      kinds_[i] = kind;
    }
  };
  plain(reg::kStationAddress, 6);
  plain(reg::kMulticast, 8);
  plain(reg::kConfig1A, 2);
  plain(reg::kTxRingLow, 16);
  plain(0x39, 3); // beside the doorbell: a 32-bit write of 0x38 is an interrupt mask write
  plain(reg::kInterruptMask, 2);
  plain(reg::kRxConfig, 4);
  plain(reg::kConfigLock, 1);
  plain(reg::kConfigFirst, reg::kConfigLast - reg::kConfigFirst + 1, ByteKind::Locked);
  plain(0x57, 5); // 0x57, 0x58..0x5B
  plain(reg::kExtData, 4);
  plain(reg::kOcpKick, 4);
  plain(0xD0, 3);
  plain(reg::kRxMaxSize, 2);
  plain(reg::kCPlusCommand, 2);
  plain(reg::kRxRingLow, 8);
  plain(0xEC, 1);
  plain(0xF1, 8); // 0xF1..0xF8 (0xF5 takes a 32-bit write)
  for (uint8_t base : {reg::kCommand, reg::kTxPoll, reg::kInterruptStatus, reg::kTxConfig,
                       reg::kPhyAccess, reg::kPhyStatus, reg::kExtCommand, reg::kTxPollAlt,
                       reg::kOcpData, reg::kOcpCommand, reg::kGphy, reg::kEngineStatus}) {
    unsigned width = 0;
    SpecialBase(base, width);
    plain(base, width, ByteKind::Special);
  }
  for (unsigned i = 0; i < 6; ++i) {
    regs_[reg::kStationAddress + i] = config_.stationAddress[i];
  }
  extMac_.fill(0);
  extVector_.fill(0);
  std::fill(aux_.begin(), aux_.end(), 0);
  const auto signature = internal_.find(internal::kSignature);
  const bool keepSignature = signature != internal_.end();
  const uint16_t signatureValue = keepSignature ? signature->second : 0;
  internal_.clear();
  if (keepSignature) {
    internal_[internal::kSignature] = signatureValue;
  }
  phy_.clear();
  phy_[PhyStandardAddress(kPhyBmcr)] = kBmcrDefault;
  phyPage_ = 0;
  enables_ = 0;
  resetPending_ = false;
  ext_ = ocp_ = gphy_ = phyAccess_ = ocpPhyAccess_ = Completion{};
  ocpLatch_ = ocpReadback_ = 0;
  oobResetHigh_ = false;
  txIndex_ = rxIndex_ = 0;
  rxQueue_.clear();
  rxStalled_ = false;
}

void NicModel::PowerOnReset() {
  InitRegisters();
  Emit(ev::NicPowerOn{});
}

bool NicModel::SetChipVersion(unsigned version) {
  const VersionBits bits = ChipVersionBits(version);
  if (!bits.ok) {
    return false;
  }
  SetVersionBits(bits.bits);
  return true;
}

void NicModel::SetVersionBits(uint32_t bits) {
  versionBits_ = bits & kTxConfigVersionMask;
  version_ = ChipVersionOf(versionBits_);
}

void NicModel::SetCompletionDelay(Window window, uint64_t ns) {
  switch (window) {
  case Window::Extended:
    extDelayNs_ = ns;
    break;
  case Window::Ocp:
    ocpDelayNs_ = ns;
    break;
  case Window::Gphy:
    gphyDelayNs_ = ns;
    break;
  case Window::PhyAccess:
    phyAccessDelayNs_ = ns;
    break;
  }
}

void NicModel::SetStationAddress(const std::array<uint8_t, 6> &address) {
  config_.stationAddress = address;
  for (unsigned i = 0; i < 6; ++i) {
    regs_[reg::kStationAddress + i] = address[i];
  }
}

void NicModel::SetLink(bool up) {
  if (up == linkUp_) {
    return;
  }
  linkUp_ = up;
  SetInterrupt(kIsrLinkChange);
  Emit(ev::NicLink{up});
}

uint64_t NicModel::DueAt(uint64_t delayNs) const {
  const uint64_t now = machine_.clock().NowNs();
  return delayNs == kNever || delayNs > kNever - now ? kNever : now + delayNs;
}


Trace &NicModel::EventTrace() { return machine_.trace(); }

void NicModel::ClearLogs() {
  txLog_.clear();
  rxLog_.clear();
  oobRequests_.clear();
  oobPending_.clear();
}

uint16_t NicModel::Reg16(uint8_t offset) const {
  const unsigned high = offset + 1u;
  return static_cast<uint16_t>(regs_[offset] | (high < kRegisterFileSize ? regs_[high] << 8 : 0));
}

uint32_t NicModel::Reg32(uint8_t offset) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < 4 && offset + i < kRegisterFileSize; ++i) {
    value |= uint32_t{regs_[offset + i]} << (8 * i);
  }
  return value;
}

void NicModel::SetInterrupt(uint16_t bits) {
  const uint16_t isr = static_cast<uint16_t>(Reg16(reg::kInterruptStatus) | bits);
  regs_[reg::kInterruptStatus] = static_cast<uint8_t>(isr);
  regs_[reg::kInterruptStatus + 1] = static_cast<uint8_t>(isr >> 8);
}

uint64_t NicModel::TxRingAddress() const {
  return Reg32(reg::kTxRingLow) | (uint64_t{Reg32(reg::kTxRingHigh)} << 32);
}

uint64_t NicModel::RxRingAddress() const {
  return Reg32(reg::kRxRingLow) | (uint64_t{Reg32(reg::kRxRingHigh)} << 32);
}

uint8_t NicModel::CommandRegister() const {
  const bool resetting = resetPending_ && machine_.clock().NowNs() < resetDoneAtNs_;
  return static_cast<uint8_t>((resetting ? kCommandReset : 0) | enables_);
}

uint64_t NicModel::BarSize(unsigned index) {
  switch (index) {
  case kIoBarIndex:
    return kIoBarSize;
  case kMmioBarIndex:
    return kMmioBarSize;
  case kAuxBarIndex:
    return kAuxBarSize;
  default:
    return 0;
  }
}

// ---- PCI glue ----

uint32_t NicModel::ConfigRead(uint16_t reg, unsigned size) {
  if (absent_) {
    return static_cast<uint32_t>(Bus::OnesOf(size > 4 ? 4 : size));
  }
  return PciConfigSpace::ConfigRead(reg, size);
}

void NicModel::ConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  if (!absent_) {
    PciConfigSpace::ConfigWrite(reg, size, value);
  }
}

void NicModel::OnConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  (void)value;
  const unsigned end = reg + size;
  const bool command = reg < pci::kCommand + 2 && end > pci::kCommand;
  const bool bars = reg < pci::kBar0 + 6 * 4 && end > pci::kBar0;
  if (command || bars) {
    Remap();
  }
}

void NicModel::Remap() {
  Bus &bus = machine_.bus();
  bus.Unmap(&ioWindow_);
  bus.Unmap(&mmioWindow_);
  bus.Unmap(&auxWindow_);
  auto map = [this](auto &&action) {
    try {
      action();
    } catch (const BusConflict &) {
      ++mapConflicts_;
    }
  };
  const uint64_t io = BarAddress(kIoBarIndex);
  if (IoDecode() && io != 0 && io + kIoBarSize <= 0x10000) {
    map([&] {
      bus.MapIo(static_cast<uint16_t>(io), kIoBarSize, &ioWindow_, "nic", AccessKind::Device);
    });
  }
  const uint64_t mmio = BarAddress(kMmioBarIndex);
  if (MemoryDecode() && mmio != 0) {
    map([&] { bus.MapMmio(mmio, kMmioBarSize, &mmioWindow_, "nic"); });
  }
  const uint64_t aux = BarAddress(kAuxBarIndex);
  if (MemoryDecode() && aux != 0) {
    map([&] { bus.MapMmio(aux, kAuxBarSize, &auxWindow_, "nic"); });
  }
}

uint64_t NicModel::RegisterWindow::Read(uint64_t offset, unsigned size) {
  if (size == 8) {
    return Read(offset, 4) | (Read(offset + 4, 4) << 32);
  }
  if (nic_.absent_) {
    return Bus::OnesOf(size);
  }
  if (offset >= kRegisterFileSize) {
    nic_.Poll();
    return 0; // reserved space of the memory window
  }
  return nic_.RegRead(static_cast<uint32_t>(offset), size);
}

void NicModel::RegisterWindow::Write(uint64_t offset, unsigned size, uint64_t value) {
  if (size == 8) {
    Write(offset, 4, value & 0xFFFFFFFF);
    Write(offset + 4, 4, value >> 32);
    return;
  }
  if (nic_.absent_) {
    return;
  }
  if (offset >= kRegisterFileSize) {
    nic_.Poll();
    ++nic_.unknownWrites_;
    return;
  }
  nic_.RegWrite(static_cast<uint32_t>(offset), size, value);
}

uint64_t NicModel::AuxWindow::Read(uint64_t offset, unsigned size) {
  if (nic_.absent_) {
    return Bus::OnesOf(size);
  }
  uint64_t value = 0;
  for (unsigned i = 0; i < size && offset + i < nic_.aux_.size(); ++i) {
    value |= uint64_t{nic_.aux_[offset + i]} << (8 * i);
  }
  return value;
}

void NicModel::AuxWindow::Write(uint64_t offset, unsigned size, uint64_t value) {
  if (nic_.absent_) {
    return;
  }
  for (unsigned i = 0; i < size && offset + i < nic_.aux_.size(); ++i) {
    nic_.aux_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// ---- Register file ----

uint8_t NicModel::SpecialBase(uint8_t offset, unsigned &width) {
  struct Span {
    uint8_t base;
    unsigned width;
  };
  static constexpr Span kSpans[] = {
      {reg::kCommand, 1},    {reg::kTxPoll, 1},    {reg::kInterruptStatus, 2},
      {reg::kTxConfig, 4},   {reg::kPhyAccess, 4}, {reg::kPhyStatus, 1},
      {reg::kExtCommand, 4}, {reg::kTxPollAlt, 1}, {reg::kOcpData, 4},
      {reg::kOcpCommand, 4}, {reg::kGphy, 4},      {reg::kEngineStatus, 1},
  };
  for (const Span &span : kSpans) {
    if (offset >= span.base && offset < span.base + span.width) {
      width = span.width;
      return span.base;
    }
  }
  width = 0;
  return offset;
}

uint32_t NicModel::SpecialRead(uint8_t base) {
  const uint64_t now = machine_.clock().NowNs();
  switch (base) {
  case reg::kCommand:
    return CommandRegister();
  case reg::kInterruptStatus:
    return Reg16(base);
  case reg::kTxConfig:
    return (Reg32(base) & ~kTxConfigReadOnly) | versionBits_ | (idleStuck_ ? 0 : kTxConfigIdle);
  case reg::kPhyAccess:
    return phyAccess_.Value(now);
  case reg::kPhyStatus:
    return linkUp_ ? (kPhyStatusLink | kPhyStatusFullDuplex | kPhyStatus1000) : 0;
  case reg::kExtCommand:
    return ext_.Value(now);
  case reg::kOcpData:
    return ocpReadback_;
  case reg::kOcpCommand:
    return ocp_.Value(now);
  case reg::kGphy:
    return gphy_.Value(now);
  case reg::kEngineStatus:
    return static_cast<uint8_t>((regs_[base] & ~kEngineIdleBits) |
                                (idleStuck_ ? 0 : kEngineIdleBits));
  default: // the doorbells read back what they hold
    return regs_[base];
  }
}

uint64_t NicModel::RegRead(uint32_t offset, unsigned size) {
  Poll();
  uint64_t value = 0;
  uint8_t cachedBase = 0;
  uint32_t cachedValue = 0;
  bool cached = false;
  for (unsigned i = 0; i < size; ++i) {
    const uint32_t at = offset + i;
    if (at >= kRegisterFileSize) {
      break;
    }
    uint8_t byte = regs_[at];
    if (kinds_[at] == ByteKind::Special) {
      unsigned width = 0;
      const uint8_t base = SpecialBase(static_cast<uint8_t>(at), width);
      if (!cached || base != cachedBase) {
        cachedBase = base;
        cachedValue = SpecialRead(base);
        cached = true;
      }
      byte = static_cast<uint8_t>(cachedValue >> (8 * (at - base)));
    }
    value |= uint64_t{byte} << (8 * i);
  }
  return value;
}

void NicModel::RegWrite(uint32_t offset, unsigned size, uint64_t value) {
  Poll();
  bool unknown = false;
  bool locked = false;
  struct Pending {
    uint8_t base;
    uint32_t value;
    uint32_t byteMask;
  };
  Pending specials[4];
  unsigned count = 0;
  const bool unlockedNow = (regs_[reg::kConfigLock] & kConfigUnlock) == kConfigUnlock;
  for (unsigned i = 0; i < size; ++i) {
    const uint32_t at = offset + i;
    if (at >= kRegisterFileSize) {
      unknown = true;
      break;
    }
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    switch (kinds_[at]) {
    case ByteKind::Unknown:
      unknown = true;
      regs_[at] = byte;
      break;
    case ByteKind::Plain:
      regs_[at] = byte;
      break;
    case ByteKind::Locked:
      if (unlockedNow) {
        regs_[at] = byte;
      } else {
        locked = true;
      }
      break;
    case ByteKind::Special: {
      unsigned width = 0;
      const uint8_t base = SpecialBase(static_cast<uint8_t>(at), width);
      if (count == 0 || specials[count - 1].base != base) {
        specials[count++] = Pending{base, 0, 0};
      }
      const unsigned lane = at - base;
      specials[count - 1].value |= uint32_t{byte} << (8 * lane);
      specials[count - 1].byteMask |= 1u << lane;
      break;
    }
    }
  }
  unknownWrites_ += unknown ? 1 : 0;
  lockedWrites_ += locked ? 1 : 0;
  for (unsigned i = 0; i < count; ++i) {
    SpecialWrite(specials[i].base, specials[i].value, specials[i].byteMask);
  }
}

void NicModel::SpecialWrite(uint8_t base, uint32_t value, uint32_t byteMask) {
  const uint32_t bits = ByteEnableBits(byteMask);
  auto merged = [&](uint32_t old) { return (old & ~bits) | (value & bits); };
  const bool altDoorbell = version_ == 62 || version_ == 63;
  switch (base) {
  case reg::kCommand:
    WriteCommand(static_cast<uint8_t>(value));
    break;
  case reg::kTxPoll:
    if (!altDoorbell && (value & kTxPollNormal)) {
      regs_[base] = static_cast<uint8_t>(value & ~kTxPollNormal);
      TransmitDoorbell();
    } else {
      regs_[base] = static_cast<uint8_t>(value);
    }
    break;
  case reg::kInterruptStatus:
    WriteInterruptStatus(static_cast<uint16_t>(value));
    break;
  case reg::kTxConfig:
    WriteTxConfig(value, bits);
    break;
  case reg::kPhyAccess:
    IssuePhyAccess(merged(phyAccess_.issued), phyAccess_);
    break;
  case reg::kPhyStatus:
    ++readOnlyWrites_;
    break;
  case reg::kExtCommand:
    IssueExtended(merged(ext_.issued));
    break;
  case reg::kTxPollAlt:
    if (!altDoorbell) {
      ++unknownWrites_;
      regs_[base] = static_cast<uint8_t>(value);
    } else if (value & kTxPollAltNormal) {
      TransmitDoorbell();
    }
    break;
  case reg::kOcpData:
    WriteOcpData(merged(ocpLatch_));
    break;
  case reg::kOcpCommand:
    IssueOcp(merged(ocp_.issued));
    break;
  case reg::kGphy:
    IssueGphy(merged(gphy_.issued));
    break;
  case reg::kEngineStatus:
    WriteEngineStatus(static_cast<uint8_t>(value));
    break;
  default:
    break;
  }
}

void NicModel::WriteCommand(uint8_t value) {
  if (value & kCommandReset) {
    resetPending_ = true;
    resetDoneAtNs_ = DueAt(resetDelayNs_);
    ResetEngines();
    Emit(ev::NicReset{resetDoneAtNs_ == kNever ? std::nullopt : std::optional(resetDoneAtNs_)});
    return;
  }
  if (resetPending_) {
    ++writesDuringReset_;
    return;
  }
  if (value & ~kCommandWritable) {
    ++readOnlyWrites_;
  }
  const uint8_t enables = value & (kCommandRxEnable | kCommandTxEnable);
  if (enables != enables_) {
    Emit(ev::NicEnable{(enables & kCommandRxEnable) != 0, (enables & kCommandTxEnable) != 0});
  }
  enables_ = enables;
}

void NicModel::WriteInterruptStatus(uint16_t value) {
  const uint16_t isr = static_cast<uint16_t>(Reg16(reg::kInterruptStatus) & ~value);
  regs_[reg::kInterruptStatus] = static_cast<uint8_t>(isr);
  regs_[reg::kInterruptStatus + 1] = static_cast<uint8_t>(isr >> 8);
}

void NicModel::WriteTxConfig(uint32_t value, uint32_t bits) {
  const uint32_t current = SpecialRead(reg::kTxConfig);
  const uint32_t next = (current & ~bits) | (value & bits);
  if ((next ^ current) & kTxConfigReadOnly) {
    ++readOnlyWrites_;
  }
  const uint32_t stored = next & ~kTxConfigReadOnly;
  for (unsigned i = 0; i < 4; ++i) {
    regs_[reg::kTxConfig + i] = static_cast<uint8_t>(stored >> (8 * i));
  }
}

void NicModel::WriteEngineStatus(uint8_t value) {
  const uint8_t current = static_cast<uint8_t>(SpecialRead(reg::kEngineStatus));
  if ((value ^ current) & kEngineIdleBits) {
    ++readOnlyWrites_;
  }
  regs_[reg::kEngineStatus] = static_cast<uint8_t>(value & ~kEngineIdleBits);
}

void NicModel::ResetEngines() {
  enables_ = 0;
  txIndex_ = 0;
  rxIndex_ = 0;
  rxDropped_ += rxQueue_.size();
  rxQueue_.clear();
  rxStalled_ = false;
  regs_[reg::kInterruptStatus] = 0;
  regs_[reg::kInterruptStatus + 1] = 0;
}

void NicModel::Poll() {
  if (polling_) {
    return;
  }
  polling_ = true;
  const uint64_t now = machine_.clock().NowNs();
  if (resetPending_ && now >= resetDoneAtNs_) {
    resetPending_ = false;
    Emit(ev::NicResetDone{});
  }
  if (oobBooting_ && now >= oobBootAtNs_) {
    oobBooting_ = false;
    oobRunning_ = true;
    Emit(ev::NicOobRunning{});
  }
  while (!oobPending_.empty() && oobPending_.front().atNs <= now) {
    const size_t request = oobPending_.front().request;
    oobPending_.erase(oobPending_.begin());
    AnswerOob(request);
  }
  while (!wire_.empty() && wire_.begin()->first <= now) {
    auto node = wire_.extract(wire_.begin());
    ArriveFromWire(std::move(node.mapped()), node.key());
  }
  DrainRxQueue();
  polling_ = false;
}


} // namespace sim
