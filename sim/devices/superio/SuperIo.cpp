// Super I/O configuration protocol, register files and GPIO pin levels.
#include "SuperIo.h"

#include <cstdio>
#include <stdexcept>

namespace sim {

using namespace superio;

namespace {
constexpr unsigned PinIndex(unsigned group, unsigned bit) { return group * kPinsPerGroup + bit; }

unsigned IndexOfCode(uint8_t pin) {
  if (!IsPinCode(pin)) {
    throw std::out_of_range("Super I/O: no GPIO pin " + std::to_string(pin));
  }
  return PinIndex(pin / 10, pin % 10);
}

std::string Hex(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", value);
  return text;
}
} // namespace

SuperIo::SuperIo(Machine &machine) : machine_(machine) {
  for (const GpioGroupLayout &group : kGpioGroups) {
    devices_[kOutputTypeLdn][group.outputTypeRegister] = kResetOutputType;
    devices_[group.ldn][group.directionRegister] = kResetDirection;
    devices_[group.ldn][group.dataRegister] = kResetData;
    devices_[group.ldn][kGpioEnableRegister] = kResetEnable;
  }
  external_.fill(true);
  for (unsigned group = 0; group < kGpioGroupCount; ++group) {
    for (unsigned bit = 0; bit < kPinsPerGroup; ++bit) {
      pins_[PinIndex(group, bit)] = ComputePin(group, bit);
    }
  }
  machine_.bus().MapIo(kIndexPort, kPortCount, this, "superio");
}

SuperIo::~SuperIo() { machine_.bus().Unmap(this); }

void SuperIo::SetGlobalRegister(uint8_t reg, uint8_t value) {
  if (reg >= kFirstDeviceRegister) {
    throw std::out_of_range("Super I/O: register " + Hex(reg) + " is not global");
  }
  global_[reg] = value;
}

uint8_t SuperIo::Register(uint8_t ldn, uint8_t reg) const {
  if (reg < kFirstDeviceRegister) {
    return global_[reg];
  }
  return DeviceExists(ldn) ? devices_[ldn][reg] : 0xFF;
}

void SuperIo::SetRegister(uint8_t ldn, uint8_t reg, uint8_t value) {
  if (reg < kFirstDeviceRegister) {
    SetGlobalRegister(reg, value);
    return;
  }
  if (!DeviceExists(ldn)) {
    throw std::out_of_range("Super I/O: no logical device " + Hex(ldn));
  }
  devices_[ldn][reg] = value;
  UpdatePins();
}

SuperIo::PinState SuperIo::Pin(uint8_t pin) const { return pins_[IndexOfCode(pin)]; }

void SuperIo::SetExternalLevel(uint8_t pin, bool level) {
  external_[IndexOfCode(pin)] = level;
  UpdatePins();
}

std::vector<SuperIo::LowInterval> SuperIo::LowIntervals(uint8_t pin) const {
  IndexOfCode(pin); // rejects a code that names no pin
  std::vector<LowInterval> intervals;
  // Every pin starts as a pulled-up input; any later change is in the history.
  bool low = false;
  for (const PinChange &change : pinHistory_) {
    if (change.pin != pin) {
      continue;
    }
    if (!low && !change.state.level) {
      intervals.push_back({change.timeNs, kStillLow});
      low = true;
    } else if (low && change.state.level) {
      intervals.back().endNs = change.timeNs;
      low = false;
    }
  }
  return intervals;
}

std::vector<SuperIo::RegisterAccess> SuperIo::DeviceAccesses() const {
  std::vector<RegisterAccess> out;
  for (const RegisterAccess &access : accesses_) {
    if (!(access.global && access.reg == kLdnSelect)) {
      out.push_back(access);
    }
  }
  return out;
}

uint64_t SuperIo::Read(uint64_t offset, unsigned size) {
  if (size != 1) {
    ++badWidth_;
    return Bus::OnesOf(size);
  }
  if (!configMode_) {
    Outside(offset == 0 ? "read index" : "read data", 0xFF);
    return 0xFF;
  }
  return offset == 0 ? index_ : ReadData();
}

void SuperIo::Write(uint64_t offset, unsigned size, uint64_t value) {
  if (size != 1) {
    ++badWidth_;
    return;
  }
  const uint8_t byte = static_cast<uint8_t>(value);
  if (offset == 0) {
    WriteIndex(byte);
  } else if (!configMode_) {
    Outside("write data", byte);
  } else {
    WriteData(byte);
  }
}

void SuperIo::WriteIndex(uint8_t value) {
  if (configMode_) {
    if (value == kExitKey) {
      configMode_ = false;
      ++configExits_;
      machine_.trace().Emit("superio", ev::SioExitConfig{});
    } else {
      index_ = value;
    }
    return;
  }
  if (value == kEnterKey) {
    if (++keyProgress_ == kEnterKeyLength) {
      keyProgress_ = 0;
      configMode_ = true;
      ++configEntries_;
      machine_.trace().Emit("superio", ev::SioEnterConfig{});
    }
    return;
  }
  keyProgress_ = 0;
  Outside("write index", value);
}

uint8_t SuperIo::ReadData() {
  const uint8_t value = Register(SelectedLdn(), index_);
  Log(RegisterAccess::Read, index_, value);
  machine_.trace().Emit("superio", ev::SioRead{Access(index_, value)});
  return value;
}

void SuperIo::WriteData(uint8_t value) {
  Log(RegisterAccess::Write, index_, value);
  machine_.trace().Emit("superio", ev::SioWrite{Access(index_, value)});
  if (index_ < kFirstDeviceRegister) {
    global_[index_] = value;
    return;
  }
  if (!DeviceExists(SelectedLdn())) {
    ++unknownDeviceWrites_;
    return;
  }
  devices_[SelectedLdn()][index_] = value;
  UpdatePins();
}

void SuperIo::Outside(const char *what, uint64_t value) {
  ++outsideConfig_;
  machine_.trace().Emit("superio", ev::SioOutsideConfig{what, static_cast<uint8_t>(value)});
}

void SuperIo::Log(RegisterAccess::Kind kind, uint8_t reg, uint8_t value) {
  accesses_.push_back({kind, machine_.clock().NowNs(), configEntries_, reg < kFirstDeviceRegister,
                       SelectedLdn(), reg, value});
}

ev::SioRegister SuperIo::Access(uint8_t reg, uint8_t value) const {
  const bool global = reg < kFirstDeviceRegister;
  return ev::SioRegister{global, global ? uint8_t{0} : SelectedLdn(), reg, value};
}

SuperIo::PinState SuperIo::ComputePin(unsigned group, unsigned bit) const {
  const GpioGroupLayout &layout = kGpioGroups[group];
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  const bool externalLevel = external_[PinIndex(group, bit)];
  PinState state;
  state.gpio = (devices_[layout.ldn][kGpioEnableRegister] & layout.enableMask) != 0;
  state.output = state.gpio && (devices_[layout.ldn][layout.directionRegister] & mask) == 0;
  if (!state.output) {
    state.level = externalLevel;
    return state;
  }
  const bool latchHigh = (devices_[layout.ldn][layout.dataRegister] & mask) != 0;
  const bool openDrain = (devices_[kOutputTypeLdn][layout.outputTypeRegister] & mask) != 0;
  // An open-drain output only pulls low; high lets the board's pull decide.
  state.level = latchHigh ? (openDrain ? externalLevel : true) : false;
  return state;
}

void SuperIo::UpdatePins() {
  for (unsigned group = 0; group < kGpioGroupCount; ++group) {
    for (unsigned bit = 0; bit < kPinsPerGroup; ++bit) {
      const PinState now = ComputePin(group, bit);
      PinState &before = pins_[PinIndex(group, bit)];
      if (now == before) {
        continue;
      }
      before = now;
      const uint8_t code = PinCode(group, bit);
      pinHistory_.push_back({machine_.clock().NowNs(), code, now});
      machine_.trace().Emit("superio", ev::SioPin{code, now.output, now.level});
    }
  }
}

} // namespace sim
