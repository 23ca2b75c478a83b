// The PCH's GPIO communities for one series: every group of the series'
// layout with its pads' configuration words, ownership, host software
// ownership, interrupt/event statuses and enables and the two lock
// registers, served on the chipset's sideband window (one port per
// community), plus the sideband bridge at 0:31.1 that carries lock messages
// to them. Pads are named by group index (in the series' table) and pad
// number.
//
// Register rules, as on the hardware:
// - configuration word 0: bit 1 (input level) is read-only and reflects the
//   pad; with the pad's configuration lock set only bit 0 (output level) may
//   change, and with its TX lock set bit 0 may not; words 1 and 2 are frozen
//   by the configuration lock;
// - interrupt/event enable bits of a pad with its configuration lock set do
//   not change; status bits clear when written with one;
// - pad ownership is read-only to the host;
// - lock registers ignore memory writes: only a lock message through the
//   bridge changes them.
// Refused writes are counted and traced (gpio.refused); every write is
// logged in order with its time (Writes) and traced (gpio.pad_cfg,
// gpio.lock, gpio.reg). What each pad drives is kept over virtual time
// (OutputHistory, LowIntervals; trace gpio.output), and tests set the level
// an input pad sees.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Chipset.h"
#include "GpioLayout.h"
#include "Machine.h"
#include "Sideband.h"
#include "SidebandBridge.h"

namespace sim {

class PchGpioModel {
public:
  // Kinds of community registers.
  enum class Reg {
    PadConfig,
    Ownership,
    HostOwnership,
    GpiStatus,
    GpiEnable,
    GpeStatus,
    GpeEnable,
    SmiStatus,
    SmiEnable,
    NmiStatus,
    NmiEnable,
    ConfigLock,
    TxLock,
  };
  static const char *RegName(Reg reg);

  // A write that reached a register, by memory or (locks) by sideband
  // message. For PadConfig, pad and word name the word; for the per-pad bit
  // registers, pad is the first pad the register covers. `refused`: the
  // hardware ignored the write, or part of it.
  struct Write {
    uint64_t timeNs;
    Reg reg;
    unsigned group;
    unsigned pad;
    unsigned word;
    uint8_t port;
    uint16_t offset;
    uint32_t before;
    uint32_t after;
    bool viaSideband;
    bool refused;
  };

  // A change of what a pad drives: driven = GPIO mode with the output buffer
  // on; level = the output level.
  struct OutputChange {
    uint64_t timeNs;
    unsigned group;
    unsigned pad;
    bool driven;
    bool level;
  };

  struct LowInterval {
    uint64_t startNs;
    uint64_t endNs; // kStillLow while the pad is still driven low
    uint64_t LengthNs() const { return endNs - startNs; }
  };
  static constexpr uint64_t kStillLow = UINT64_MAX;

  // Reset value of configuration word 0: GPIO mode, input on, output off.
  static constexpr uint32_t kDw0Default = 0x00000100;

  // Attaches one port per community to `sideband` and the bridge to PCI
  // 0:31.1. An unknown series gets series H's layout.
  PchGpioModel(Machine &machine, Sideband &sideband, PchSeries series);
  ~PchGpioModel();
  PchGpioModel(const PchGpioModel &) = delete;
  PchGpioModel &operator=(const PchGpioModel &) = delete;

  PchSeries Series() const { return series_; }
  size_t GroupCount() const { return layout_.size(); }
  const GpioGroupLayout &Layout(unsigned group) const { return layout_.at(group); }
  SidebandBridge &bridge() { return bridge_; }

  // Pads. Setters are the board's or a test's doing: no lock rule applies
  // and nothing is logged, but the output history follows.
  uint32_t PadConfig(unsigned group, unsigned pad, unsigned word) const;
  void SetPadConfig(unsigned group, unsigned pad, unsigned word, uint32_t value);
  uint8_t Ownership(unsigned group, unsigned pad) const;
  void SetOwnership(unsigned group, unsigned pad, uint8_t owner);
  // A per-pad bit: HostOwnership, the statuses and enables, or the locks.
  bool PadBit(Reg reg, unsigned group, unsigned pad) const;
  void SetPadBit(Reg reg, unsigned group, unsigned pad, bool value);
  bool ConfigLocked(unsigned group, unsigned pad) const {
    return PadBit(Reg::ConfigLock, group, pad);
  }
  bool TxLocked(unsigned group, unsigned pad) const { return PadBit(Reg::TxLock, group, pad); }
  // The level the board puts on the pad (default high).
  void SetInputLevel(unsigned group, unsigned pad, bool level);
  bool Driven(unsigned group, unsigned pad) const;
  bool OutputLevel(unsigned group, unsigned pad) const;

  // Register view as the firmware reads it (no trace, no cost).
  uint32_t Register(uint8_t port, uint16_t offset) const;

  const std::vector<Write> &Writes() const { return writes_; }
  std::vector<Write> WritesTo(Reg reg) const;
  void ClearWrites() { writes_.clear(); }
  const std::vector<OutputChange> &OutputHistory() const { return outputHistory_; }
  std::vector<LowInterval> LowIntervals(unsigned group, unsigned pad) const;

  // Memory writes the hardware ignored, wholly or in part (locked bits,
  // read-only registers), and writes to offsets no register occupies.
  uint64_t RefusedWrites() const { return refusedWrites_; }
  uint64_t UnknownWrites() const { return unknownWrites_; }

private:
  class Community;
  friend class Community;

  struct Pad {
    std::array<uint32_t, 4> dw{kDw0Default, 0, 0, 0};
    uint8_t ownership = 0;
    std::array<bool, static_cast<size_t>(Reg::TxLock) + 1> bits{};
    bool input = true;
    bool driven = false;
    bool level = false;
  };
  // What a register offset of a port is.
  struct Role {
    Reg reg;
    unsigned group;
    unsigned first; // PadConfig: the pad; others: first pad covered
    unsigned word;  // PadConfig only
  };

  using RoleMap = std::map<uint8_t, std::map<uint16_t, Role>>; // port -> aligned offset -> role
  // The register roles of a series' layout, built once per process: they
  // follow from the static layout alone.
  static const RoleMap &RolesOf(PchSeries series);
  static RoleMap BuildRoles(std::span<const GpioGroupLayout> layout);

  static unsigned PadsPerRegister(Reg reg);
  const Pad &PadAt(unsigned group, unsigned pad) const;
  Pad &PadAt(unsigned group, unsigned pad);
  uint32_t RoleValue(const Role &role) const;
  void WriteRole(uint8_t port, uint16_t offset, const Role &role, uint32_t value);
  uint8_t LockMessage(uint8_t port, uint16_t offset, uint32_t value);
  void SetBits(uint8_t port, uint16_t offset, const Role &role, uint32_t value);
  void Log(uint8_t port, uint16_t offset, const Role &role, uint32_t before, uint32_t after,
           bool viaSideband, bool refused);
  void Refuse(uint8_t port, uint16_t offset, const char *why);
  void FollowPad(unsigned group, unsigned pad);
  const Role *FindRole(uint8_t port, uint16_t offset) const;

  Machine &machine_;
  Sideband &sideband_;
  PchSeries series_;
  std::vector<GpioGroupLayout> layout_;
  std::vector<std::vector<Pad>> pads_;
  const RoleMap &roles_;
  std::map<uint8_t, std::unique_ptr<Community>> communities_;
  SidebandBridge bridge_;
  std::vector<Write> writes_;
  std::vector<OutputChange> outputHistory_;
  uint64_t refusedWrites_ = 0;
  uint64_t unknownWrites_ = 0;
};

} // namespace sim
