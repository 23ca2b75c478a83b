// Register decoding and rules of the GPIO communities. Each port's offsets
// are decoded through a table built from the series' layout; the pads hold
// the state and every register is composed from them.
#include "PchGpioModel.h"

#include <Register/PchGpio.h>

#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

bool IsEnable(PchGpioModel::Reg reg) {
  using Reg = PchGpioModel::Reg;
  return reg == Reg::GpiEnable || reg == Reg::GpeEnable || reg == Reg::SmiEnable ||
         reg == Reg::NmiEnable;
}

bool IsStatus(PchGpioModel::Reg reg) {
  using Reg = PchGpioModel::Reg;
  return reg == Reg::GpiStatus || reg == Reg::GpeStatus || reg == Reg::SmiStatus ||
         reg == Reg::NmiStatus;
}

bool IsLock(PchGpioModel::Reg reg) {
  return reg == PchGpioModel::Reg::ConfigLock || reg == PchGpioModel::Reg::TxLock;
}

} // namespace

// ---- Community: one sideband port ----

class PchGpioModel::Community final : public BusTarget, public SidebandMessageTarget {
public:
  Community(PchGpioModel &model, uint8_t port) : model_(model), port_(port) {}

  uint64_t Read(uint64_t offset, unsigned size) override {
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
      const uint16_t at = static_cast<uint16_t>(offset + i);
      const uint32_t word = model_.Register(port_, static_cast<uint16_t>(at & ~3u));
      value |= uint64_t{static_cast<uint8_t>(word >> (8 * (at & 3u)))} << (8 * i);
    }
    return value;
  }

  // Narrow or unaligned writes become writes of the whole words they touch.
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    unsigned i = 0;
    while (i < size) {
      const uint16_t at = static_cast<uint16_t>(offset + i);
      const uint16_t aligned = static_cast<uint16_t>(at & ~3u);
      uint32_t word = model_.Register(port_, aligned);
      for (; i < size && static_cast<uint16_t>(offset + i) < aligned + 4u; ++i) {
        const unsigned shift = 8 * ((offset + i) & 3u);
        word = (word & ~(0xFFu << shift)) |
               (uint32_t{static_cast<uint8_t>(value >> (8 * i))} << shift);
      }
      const Role *role = model_.FindRole(port_, aligned);
      if (role == nullptr) {
        ++model_.unknownWrites_;
        continue;
      }
      model_.WriteRole(port_, aligned, *role, word);
    }
  }

  uint8_t SidebandMessage(uint8_t opcode, uint16_t offset, uint32_t data) override {
    if (opcode != kSbBridgeOpcodeLock) {
      return SidebandBridge::kResponseUnsuccessful;
    }
    return model_.LockMessage(port_, offset, data);
  }

private:
  PchGpioModel &model_;
  uint8_t port_;
};

// ---- Construction ----

const PchGpioModel::RoleMap &PchGpioModel::RolesOf(PchSeries series) {
  static const RoleMap kH = BuildRoles(GpioGroupLayouts(PchSeries::H));
  static const RoleMap kLp = BuildRoles(GpioGroupLayouts(PchSeries::LP));
  return series == PchSeries::LP ? kLp : kH;
}

PchGpioModel::RoleMap PchGpioModel::BuildRoles(std::span<const GpioGroupLayout> layout) {
  RoleMap roles;
  auto add = [&roles](uint8_t port, uint16_t offset, Role role) {
    if (!roles[port].emplace(offset, role).second) {
      throw std::logic_error("GPIO layout: two registers at port " + Hex(port) + " offset " +
                             Hex(offset));
    }
  };
  for (unsigned g = 0; g < layout.size(); ++g) {
    const GpioGroupLayout &l = layout[g];
    for (unsigned n = 0; n < l.pads; ++n) {
      for (unsigned w = 0; w < 4; ++w) {
        add(l.port, static_cast<uint16_t>(l.padConfig + (n * 4 + w) * 4),
            {Reg::PadConfig, g, n, w});
      }
    }
    for (unsigned n = 0; n < l.pads; n += 8) {
      add(l.port, static_cast<uint16_t>(l.ownership + n / 8 * 4), {Reg::Ownership, g, n, 0});
    }
    const std::pair<Reg, uint16_t> bitRegisters[] = {
        {Reg::HostOwnership, l.hostOwnership}, {Reg::GpiStatus, l.gpiStatus},
        {Reg::GpiEnable, l.gpiEnable},         {Reg::GpeStatus, l.gpeStatus},
        {Reg::GpeEnable, l.gpeEnable},         {Reg::SmiStatus, l.smiStatus},
        {Reg::SmiEnable, l.smiEnable},         {Reg::NmiStatus, l.nmiStatus},
        {Reg::NmiEnable, l.nmiEnable}};
    for (const auto &[reg, base] : bitRegisters) {
      if (base == GpioGroupLayout::kNone) {
        continue;
      }
      for (unsigned n = 0; n < l.pads; n += 32) {
        add(l.port, static_cast<uint16_t>(base + n / 32 * 4), {reg, g, n, 0});
      }
    }
    for (unsigned n = 0; n < l.pads; n += 32) {
      add(l.port, static_cast<uint16_t>(l.configLock + n / 32 * 8), {Reg::ConfigLock, g, n, 0});
      add(l.port, static_cast<uint16_t>(l.txLock + n / 32 * 8), {Reg::TxLock, g, n, 0});
    }
  }
  return roles;
}

PchGpioModel::PchGpioModel(Machine &machine, Sideband &sideband, PchSeries series)
    : machine_(machine), sideband_(sideband),
      series_(series == PchSeries::Unknown ? PchSeries::H : series), roles_(RolesOf(series_)),
      bridge_(machine, sideband) {
  const auto layouts = GpioGroupLayouts(series_);
  layout_.assign(layouts.begin(), layouts.end());
  pads_.resize(layout_.size());
  for (unsigned g = 0; g < layout_.size(); ++g) {
    pads_[g].resize(layout_[g].pads);
  }
  for (const auto &[port, roles] : roles_) {
    auto community = std::make_unique<Community>(*this, port);
    sideband_.AttachPort(port, community.get(), "gpio " + Hex(port));
    communities_.emplace(port, std::move(community));
  }
}

PchGpioModel::~PchGpioModel() {
  for (const auto &[port, community] : communities_) {
    if (sideband_.PortTarget(port) == community.get()) {
      sideband_.DetachPort(port);
    }
  }
}

const char *PchGpioModel::RegName(Reg reg) {
  switch (reg) {
  case Reg::PadConfig:
    return "PadConfig";
  case Reg::Ownership:
    return "Ownership";
  case Reg::HostOwnership:
    return "HostOwnership";
  case Reg::GpiStatus:
    return "GpiStatus";
  case Reg::GpiEnable:
    return "GpiEnable";
  case Reg::GpeStatus:
    return "GpeStatus";
  case Reg::GpeEnable:
    return "GpeEnable";
  case Reg::SmiStatus:
    return "SmiStatus";
  case Reg::SmiEnable:
    return "SmiEnable";
  case Reg::NmiStatus:
    return "NmiStatus";
  case Reg::NmiEnable:
    return "NmiEnable";
  case Reg::ConfigLock:
    return "ConfigLock";
  case Reg::TxLock:
    return "TxLock";
  }
  return "?";
}

// ---- Pads ----

unsigned PchGpioModel::PadsPerRegister(Reg reg) {
  return reg == Reg::Ownership ? kGpioPadsPerOwnershipRegister : kGpioPadsPerBitRegister;
}

const PchGpioModel::Pad &PchGpioModel::PadAt(unsigned group, unsigned pad) const {
  return pads_.at(group).at(pad);
}
PchGpioModel::Pad &PchGpioModel::PadAt(unsigned group, unsigned pad) {
  return pads_.at(group).at(pad);
}

uint32_t PchGpioModel::PadConfig(unsigned group, unsigned pad, unsigned word) const {
  return RoleValue({Reg::PadConfig, group, pad, word});
}

void PchGpioModel::SetPadConfig(unsigned group, unsigned pad, unsigned word, uint32_t value) {
  Pad &p = PadAt(group, pad);
  p.dw.at(word) = word == 0 ? value & ~kGpioDw0RxState : value;
  FollowPad(group, pad);
}

uint8_t PchGpioModel::Ownership(unsigned group, unsigned pad) const {
  return PadAt(group, pad).ownership;
}
void PchGpioModel::SetOwnership(unsigned group, unsigned pad, uint8_t owner) {
  PadAt(group, pad).ownership = static_cast<uint8_t>(owner & 0xF);
}

bool PchGpioModel::PadBit(Reg reg, unsigned group, unsigned pad) const {
  if (reg == Reg::PadConfig || reg == Reg::Ownership) {
    throw std::invalid_argument("PadBit: not a per-pad bit register");
  }
  return PadAt(group, pad).bits[static_cast<size_t>(reg)];
}

void PchGpioModel::SetPadBit(Reg reg, unsigned group, unsigned pad, bool value) {
  if (reg == Reg::PadConfig || reg == Reg::Ownership) {
    throw std::invalid_argument("SetPadBit: not a per-pad bit register");
  }
  PadAt(group, pad).bits[static_cast<size_t>(reg)] = value;
}

void PchGpioModel::SetInputLevel(unsigned group, unsigned pad, bool level) {
  PadAt(group, pad).input = level;
}

bool PchGpioModel::Driven(unsigned group, unsigned pad) const { return PadAt(group, pad).driven; }
bool PchGpioModel::OutputLevel(unsigned group, unsigned pad) const {
  return PadAt(group, pad).level;
}

void PchGpioModel::FollowPad(unsigned group, unsigned pad) {
  Pad &p = PadAt(group, pad);
  const bool driven = (p.dw[0] & kGpioDw0PadMode) == 0 && (p.dw[0] & kGpioDw0TxDisable) == 0;
  const bool level = (p.dw[0] & kGpioDw0TxState) != 0;
  if (driven == p.driven && level == p.level) {
    return;
  }
  p.driven = driven;
  p.level = level;
  outputHistory_.push_back({machine_.clock().NowNs(), group, pad, driven, level});
  machine_.trace().Emit("pch-gpio", ev::GpioOutput{group, pad, driven, level});
}

std::vector<PchGpioModel::LowInterval> PchGpioModel::LowIntervals(unsigned group,
                                                                  unsigned pad) const {
  std::vector<LowInterval> intervals;
  bool low = false;
  for (const OutputChange &change : outputHistory_) {
    if (change.group != group || change.pad != pad) {
      continue;
    }
    const bool nowLow = change.driven && !change.level;
    if (nowLow && !low) {
      intervals.push_back({change.timeNs, kStillLow});
    } else if (!nowLow && low) {
      intervals.back().endNs = change.timeNs;
    }
    low = nowLow;
  }
  return intervals;
}

// ---- Registers ----

const PchGpioModel::Role *PchGpioModel::FindRole(uint8_t port, uint16_t offset) const {
  const auto portIt = roles_.find(port);
  if (portIt == roles_.end()) {
    return nullptr;
  }
  const auto it = portIt->second.find(offset);
  return it == portIt->second.end() ? nullptr : &it->second;
}

uint32_t PchGpioModel::Register(uint8_t port, uint16_t offset) const {
  const Role *role = FindRole(port, static_cast<uint16_t>(offset & ~3u));
  if (role == nullptr) {
    return 0;
  }
  return RoleValue(*role) >> (8 * (offset & 3u));
}

uint32_t PchGpioModel::RoleValue(const Role &role) const {
  const std::vector<Pad> &pads = pads_.at(role.group);
  if (role.reg == Reg::PadConfig) {
    const Pad &p = pads.at(role.first);
    uint32_t value = p.dw.at(role.word);
    if (role.word == 0) {
      const bool inputOn = (p.dw[0] & kGpioDw0PadMode) == 0 && (p.dw[0] & kGpioDw0RxDisable) == 0;
      const bool rx = inputOn && (p.driven ? p.level : p.input);
      value = (value & ~kGpioDw0RxState) | (rx ? kGpioDw0RxState : 0);
    }
    return value;
  }
  uint32_t value = 0;
  const unsigned count = PadsPerRegister(role.reg);
  for (unsigned k = 0; k < count && role.first + k < pads.size(); ++k) {
    const Pad &p = pads[role.first + k];
    if (role.reg == Reg::Ownership) {
      value |= uint32_t{p.ownership} << (4 * k);
    } else if (p.bits[static_cast<size_t>(role.reg)]) {
      value |= 1u << k;
    }
  }
  return value;
}

void PchGpioModel::Log(uint8_t port, uint16_t offset, const Role &role, uint32_t before,
                       uint32_t after, bool viaSideband, bool refused) {
  writes_.push_back({machine_.clock().NowNs(), role.reg, role.group, role.first, role.word, port,
                     offset, before, after, viaSideband, refused});
  if (before == after) {
    return;
  }
  const ev::GpioRegisterChange change{RegName(role.reg), role.group, role.first, before, after};
  if (role.reg == Reg::PadConfig) {
    machine_.trace().Emit("pch-gpio", ev::GpioPadConfig{change, role.word});
  } else if (IsLock(role.reg)) {
    machine_.trace().Emit("pch-gpio", ev::GpioLock{change});
  } else {
    machine_.trace().Emit("pch-gpio", ev::GpioRegister{change});
  }
}

void PchGpioModel::Refuse(uint8_t port, uint16_t offset, const char *why) {
  ++refusedWrites_;
  machine_.trace().Emit("pch-gpio", ev::GpioRefused{port, offset, why});
}

void PchGpioModel::WriteRole(uint8_t port, uint16_t offset, const Role &role, uint32_t value) {
  switch (role.reg) {
  case Reg::PadConfig: {
    Pad &p = PadAt(role.group, role.first);
    const uint32_t before = p.dw[role.word];
    const uint32_t wanted = role.word == 0 ? value & ~kGpioDw0RxState : value;
    uint32_t allowed = wanted;
    const bool configLocked = p.bits[static_cast<size_t>(Reg::ConfigLock)];
    if (role.word == 0) {
      if (configLocked) {
        allowed = (before & ~kGpioDw0TxState) | (allowed & kGpioDw0TxState);
      }
      if (p.bits[static_cast<size_t>(Reg::TxLock)]) {
        allowed = (allowed & ~kGpioDw0TxState) | (before & kGpioDw0TxState);
      }
    } else if (role.word < kGpioPadConfigWords && configLocked) {
      allowed = before;
    }
    if (allowed != wanted) {
      Refuse(port, offset, "pad configuration is locked");
    }
    p.dw[role.word] = allowed;
    Log(port, offset, role, before, allowed, false, allowed != wanted);
    FollowPad(role.group, role.first);
    return;
  }
  case Reg::Ownership:
  case Reg::ConfigLock:
  case Reg::TxLock: {
    const uint32_t current = RoleValue(role);
    Refuse(port, offset,
           role.reg == Reg::Ownership ? "pad ownership is read-only"
                                      : "lock registers change only by sideband message");
    Log(port, offset, role, current, current, false, true);
    return;
  }
  default:
    SetBits(port, offset, role, value);
    return;
  }
}

void PchGpioModel::SetBits(uint8_t port, uint16_t offset, const Role &role, uint32_t value) {
  const uint32_t before = RoleValue(role);
  std::vector<Pad> &pads = pads_.at(role.group);
  bool refused = false;
  for (unsigned k = 0; k < kGpioPadsPerBitRegister && role.first + k < pads.size(); ++k) {
    Pad &p = pads[role.first + k];
    bool &bit = p.bits[static_cast<size_t>(role.reg)];
    const bool written = ((value >> k) & 1u) != 0;
    if (IsStatus(role.reg)) {
      bit = bit && !written;
    } else if (IsEnable(role.reg) && p.bits[static_cast<size_t>(Reg::ConfigLock)] &&
               written != bit) {
      refused = true;
    } else {
      bit = written;
    }
  }
  if (refused) {
    Refuse(port, offset, "enable of a pad whose configuration is locked");
  }
  Log(port, offset, role, before, RoleValue(role), false, refused);
}

uint8_t PchGpioModel::LockMessage(uint8_t port, uint16_t offset, uint32_t value) {
  const Role *role = FindRole(port, offset);
  if (role == nullptr || !IsLock(role->reg)) {
    machine_.trace().Emit("pch-gpio", ev::GpioRefused{port, offset, {}});
    return SidebandBridge::kResponseUnsuccessful;
  }
  const uint32_t before = RoleValue(*role);
  std::vector<Pad> &pads = pads_.at(role->group);
  for (unsigned k = 0; k < kGpioPadsPerBitRegister && role->first + k < pads.size(); ++k) {
    pads[role->first + k].bits[static_cast<size_t>(role->reg)] = ((value >> k) & 1u) != 0;
  }
  Log(port, offset, *role, before, RoleValue(*role), true, false);
  return 0;
}

std::vector<PchGpioModel::Write> PchGpioModel::WritesTo(Reg reg) const {
  std::vector<Write> selected;
  for (const Write &write : writes_) {
    if (write.reg == reg) {
      selected.push_back(write);
    }
  }
  return selected;
}

} // namespace sim
