// Model of the board's Super I/O chip as far as the firmware uses it: the
// configuration-mode protocol on ports 0x2E/0x2F, the global and per-logical-
// device register files, and the GPIO pins those registers drive. Pins are
// observable over virtual time: every change of a pin's mode or level is kept
// with its time stamp, so a test can measure a pulse. Accesses made outside
// configuration mode and writes to logical devices the chip does not have are
// counted; the chip ignores them, as the real one does.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Machine.h"
#include "SuperIoRegisters.h"

namespace sim {

class SuperIo final : public BusTarget {
public:
  struct PinState {
    bool gpio = false;   // the group's enable bit is set
    bool output = false; // GPIO and direction bit clear
    bool level = true;   // what the pin carries
    bool operator==(const PinState &) const = default;
  };

  struct PinChange {
    uint64_t timeNs;
    uint8_t pin; // pin code
    PinState state;
  };

  // A configuration-register access made by the firmware.
  struct RegisterAccess {
    enum Kind { Read, Write } kind;
    uint64_t timeNs;
    uint64_t session; // which configuration-mode entry (1 = first) it belongs to
    bool global;      // a register below 0x30 (ldn is then the selection at the time)
    uint8_t ldn;
    uint8_t reg;
    uint8_t value;
  };

  // A stretch of time a pin spent low; endNs is kStillLow while it is low.
  struct LowInterval {
    uint64_t startNs;
    uint64_t endNs;
    uint64_t LengthNs() const { return endNs - startNs; }
  };
  static constexpr uint64_t kStillLow = UINT64_MAX;

  // Maps itself at ports 0x2E/0x2F of the machine's bus.
  explicit SuperIo(Machine &machine);
  ~SuperIo() override;
  SuperIo(const SuperIo &) = delete;
  SuperIo &operator=(const SuperIo &) = delete;

  // Register files. Setting a register from the host is not an access by the
  // firmware: it is neither logged nor traced, but pins follow it.
  uint8_t GlobalRegister(uint8_t reg) const { return global_[reg]; }
  void SetGlobalRegister(uint8_t reg, uint8_t value);
  uint8_t Register(uint8_t ldn, uint8_t reg) const;
  void SetRegister(uint8_t ldn, uint8_t reg, uint8_t value);

  // Pins, by pin code (group * 10 + bit).
  PinState Pin(uint8_t pin) const;
  // Level an input pin sees from the board (pulled high unless set).
  void SetExternalLevel(uint8_t pin, bool level);
  const std::vector<PinChange> &PinHistory() const { return pinHistory_; }
  std::vector<LowInterval> LowIntervals(uint8_t pin) const;

  // Configuration protocol.
  bool InConfigMode() const { return configMode_; }
  uint64_t ConfigEntries() const { return configEntries_; }
  uint64_t ConfigExits() const { return configExits_; }
  const std::vector<RegisterAccess> &Accesses() const { return accesses_; }
  // Register accesses other than logical-device selection.
  std::vector<RegisterAccess> DeviceAccesses() const;
  void ClearAccesses() { accesses_.clear(); }

  // Misuse the chip ignores.
  uint64_t AccessesOutsideConfig() const { return outsideConfig_; }
  uint64_t UnknownDeviceWrites() const { return unknownDeviceWrites_; }
  uint64_t BadWidthAccesses() const { return badWidth_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  void WriteIndex(uint8_t value);
  uint8_t ReadData();
  void WriteData(uint8_t value);
  void Outside(const char *what, uint64_t value);
  void Log(RegisterAccess::Kind kind, uint8_t reg, uint8_t value);
  bool DeviceExists(uint8_t ldn) const { return ldn < superio::kLogicalDeviceCount; }
  uint8_t SelectedLdn() const { return global_[superio::kLdnSelect]; }
  PinState ComputePin(unsigned group, unsigned bit) const;
  void UpdatePins();
  ev::SioRegister Access(uint8_t reg, uint8_t value) const;

  Machine &machine_;
  std::array<uint8_t, superio::kFirstDeviceRegister> global_{};
  std::array<std::array<uint8_t, 256>, superio::kLogicalDeviceCount> devices_{};
  std::array<PinState, superio::kGpioGroupCount * superio::kPinsPerGroup> pins_{};
  std::array<bool, superio::kGpioGroupCount * superio::kPinsPerGroup> external_{};
  std::vector<PinChange> pinHistory_;
  std::vector<RegisterAccess> accesses_;

  bool configMode_ = false;
  unsigned keyProgress_ = 0;
  uint8_t index_ = 0;
  uint64_t configEntries_ = 0;
  uint64_t configExits_ = 0;
  uint64_t outsideConfig_ = 0;
  uint64_t unknownDeviceWrites_ = 0;
  uint64_t badWidth_ = 0;
};

} // namespace sim
