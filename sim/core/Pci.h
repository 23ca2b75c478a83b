// PCI configuration space. A PciFunction answers configuration reads and
// writes by register offset; PciConfigSpace is the usual 4 KiB implementation
// (bytes plus per-byte write and write-one-to-clear masks, so BAR sizing and
// read-only identity registers behave as on hardware). PciHost serves the
// memory-mapped configuration window (ECAM) and routes each access to the
// attached function; absent functions read all ones.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "Bus.h"

namespace sim {

inline constexpr uint64_t kEcamBase = 0xE0000000;
inline constexpr uint64_t kEcamSize = 0x10000000; // 256 buses

constexpr uint64_t EcamAddress(uint8_t bus, uint8_t dev, uint8_t fn, uint16_t reg = 0) {
  return kEcamBase + ((uint64_t{bus} << 20) | (uint64_t{dev & 0x1Fu} << 15) |
                      (uint64_t{fn & 0x7u} << 12) | (reg & 0xFFFu));
}

class PciFunction {
public:
  virtual ~PciFunction() = default;
  virtual uint32_t ConfigRead(uint16_t reg, unsigned size) = 0;
  virtual void ConfigWrite(uint16_t reg, unsigned size, uint32_t value) = 0;
};

namespace pci {
inline constexpr uint16_t kVendorId = 0x00;
inline constexpr uint16_t kDeviceId = 0x02;
inline constexpr uint16_t kCommand = 0x04;
inline constexpr uint16_t kStatus = 0x06;
inline constexpr uint16_t kRevision = 0x08;
inline constexpr uint16_t kClassCode = 0x09; // prog-if, subclass, class
inline constexpr uint16_t kHeaderType = 0x0E;
inline constexpr uint16_t kBar0 = 0x10;
inline constexpr uint16_t kSubsystemVendorId = 0x2C;
inline constexpr uint16_t kSubsystemId = 0x2E;
inline constexpr uint16_t kCapabilitiesPointer = 0x34;
inline constexpr uint16_t kInterruptLine = 0x3C;

inline constexpr uint16_t kCommandIoSpace = 1u << 0;
inline constexpr uint16_t kCommandMemorySpace = 1u << 1;
inline constexpr uint16_t kCommandBusMaster = 1u << 2;
} // namespace pci

class PciConfigSpace : public PciFunction {
public:
  static constexpr unsigned kSize = 4096;
  enum class BarKind { Io, Mem32, Mem64 };

  PciConfigSpace();

  uint32_t ConfigRead(uint16_t reg, unsigned size) override;
  void ConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

  void SetIds(uint16_t vendor, uint16_t device);
  void SetSubsystem(uint16_t vendor, uint16_t id);
  void SetClass(uint8_t baseClass, uint8_t subClass, uint8_t progIf);
  void SetRevision(uint8_t revision);
  // A BAR of the given power-of-two size; its address bits are writable, so
  // writing all ones and reading back sizes it as on hardware.
  void SetBar(unsigned index, BarKind kind, uint64_t size, uint64_t address = 0);
  uint64_t BarAddress(unsigned index) const;
  bool IoDecode() const { return (Get16(pci::kCommand) & pci::kCommandIoSpace) != 0; }
  bool MemoryDecode() const { return (Get16(pci::kCommand) & pci::kCommandMemorySpace) != 0; }
  bool BusMaster() const { return (Get16(pci::kCommand) & pci::kCommandBusMaster) != 0; }

  // Direct access that ignores the masks: for models and tests.
  uint8_t Get8(uint16_t reg) const { return bytes_[reg % kSize]; }
  uint16_t Get16(uint16_t reg) const;
  uint32_t Get32(uint16_t reg) const;
  void Set8(uint16_t reg, uint8_t v) { bytes_[reg % kSize] = v; }
  void Set16(uint16_t reg, uint16_t v);
  void Set32(uint16_t reg, uint32_t v);
  // Which bits the firmware may change (1 = writable) and which clear when
  // written with one (status bits).
  void SetWriteMask(uint16_t reg, unsigned size, uint32_t mask);
  void SetClearOnWriteMask(uint16_t reg, unsigned size, uint32_t mask);

protected:
  // Runs after every configuration write has been applied, e.g. so a model
  // can follow its BARs or the command register.
  virtual void OnConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
    (void)reg;
    (void)size;
    (void)value;
  }

private:
  std::array<uint8_t, kSize> bytes_{};
  std::array<uint8_t, kSize> writeMask_{};
  std::array<uint8_t, kSize> clearMask_{};
};

class PciHost : public BusTarget {
public:
  struct Location {
    uint8_t bus, dev, fn;
    auto operator<=>(const Location &) const = default;
  };

  void Attach(uint8_t bus, uint8_t dev, uint8_t fn, PciFunction *function, std::string name = {});
  void Detach(uint8_t bus, uint8_t dev, uint8_t fn);
  void Detach(PciFunction *function);
  PciFunction *Find(uint8_t bus, uint8_t dev, uint8_t fn) const;
  // The device name an ECAM offset is attributed to ("" when absent).
  const std::string &NameAt(uint64_t offset) const;

  uint64_t Read(uint64_t offset, unsigned size) override {
    // Enumeration probes every bus, device and function; nearly all are
    // absent, and the presence bit answers those without a search.
    if (!Present(offset)) [[likely]] {
      ++absentReads_;
      return Bus::OnesOf(size);
    }
    return ReadPresent(offset, size);
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

  uint64_t AbsentReads() const { return absentReads_; }
  uint64_t AbsentWrites() const { return absentWrites_; }

private:
  struct Slot {
    PciFunction *function;
    std::string name;
  };
  const Slot *Route(uint64_t offset) const;
  bool Present(uint64_t offset) const {
    const unsigned index = static_cast<unsigned>(offset >> 12) & 0xFFFF;
    return (present_[index / 64] >> (index % 64) & 1) != 0;
  }
  uint64_t ReadPresent(uint64_t offset, unsigned size);
  // Bus, device and function as one 16-bit number, as in an ECAM offset.
  static unsigned Index(Location at) {
    return (unsigned{at.bus} << 8) | (unsigned{at.dev} << 3) | unsigned{at.fn};
  }
  void SetPresent(Location at, bool present);

  std::map<Location, Slot> functions_;
  std::array<uint64_t, 65536 / 64> present_{}; // one bit per Index()
  uint64_t absentReads_ = 0;
  uint64_t absentWrites_ = 0;
};

} // namespace sim
