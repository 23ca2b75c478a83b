// The chipset parts the PEI modules program: the LPC/eSPI bridge at PCI
// 0:31.0 (device ID per PCH series, I/O decode enables, generic I/O ranges and
// the second eSPI device's pair), the sideband router at 0xFD000000, and two
// of its ports: DMI (0x88), which mirrors the decode registers and holds the
// lock bits, and the eSPI port (0x72) with the second device's enable. Other
// helpers' models (GPIO communities) attach further ports to sideband().
//
// The lock follows the series like the hardware: on series H bit 23 of DMI
// 0x20D8, on every other series bit 31 of DMI 0x2234. While locked, writes to
// the decode registers and to their mirrors are refused (dropped, counted and
// traced as "chipset.refused").
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include <Register/EcLpcDecode.h>

#include "Machine.h"
#include "Pci.h"
#include "Sideband.h"

namespace sim {

enum class PchSeries { H, LP, Unknown };
PchSeries PchSeriesOf(uint16_t deviceId);
const char *PchSeriesName(PchSeries series);

class Chipset;

// A sideband port's register space: 64 KiB of bytes of which the declared
// registers are served; reads elsewhere return zero and writes elsewhere are
// counted as unknown. `onWrite` decides what a write does to a declared
// register (the chipset's lock rule lives there).
class PcrPort final : public BusTarget {
public:
  using WriteHandler = std::function<void(uint16_t offset, unsigned size, uint32_t value)>;

  void Declare(uint16_t offset, unsigned size);
  bool Declared(uint16_t offset, unsigned size) const;
  uint32_t Get(uint16_t offset, unsigned size = 4) const;
  void Set(uint16_t offset, unsigned size, uint32_t value); // no rules: for models and tests
  void OnWrite(WriteHandler handler) { onWrite_ = std::move(handler); }
  uint64_t UnknownWrites() const { return unknownWrites_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  std::array<uint8_t, Sideband::kPortSize> bytes_{};
  std::array<bool, Sideband::kPortSize> declared_{};
  WriteHandler onWrite_;
  uint64_t unknownWrites_ = 0;
};

// PCI 0:31.0. Identity registers are read-only; the decode registers are
// writable unless the chipset is locked.
class LpcBridge final : public PciConfigSpace {
public:
  explicit LpcBridge(Chipset &chipset);
  void ConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

private:
  Chipset &chipset_;
};

class Chipset {
public:
  static constexpr uint16_t kVendorId = 0x1234; // placeholder: only the device ID matters
  static constexpr uint16_t kDeviceIdH = 0xA304;
  static constexpr uint16_t kDeviceIdLp = 0x9D84;

  // Attaches 0:31.0 to the machine's PCI host and maps the sideband window.
  Chipset(Machine &machine, uint16_t deviceId = kDeviceIdH);
  ~Chipset();
  Chipset(const Chipset &) = delete;
  Chipset &operator=(const Chipset &) = delete;

  Sideband &sideband() { return sideband_; }
  LpcBridge &lpc() { return lpc_; }
  PcrPort &dmi() { return dmi_; }
  PcrPort &espi() { return espi_; }

  // Identity and series; the device ID may change between queries (a test of
  // the firmware's series cache).
  void SetDeviceId(uint16_t deviceId);
  uint16_t DeviceId() const { return lpc_.Get16(pci::kDeviceId); }
  PchSeries Series() const { return PchSeriesOf(DeviceId()); }

  // Lock bits: SetLocked sets or clears the bit that counts for the current
  // series; the raw registers stay reachable through dmi().
  void SetLocked(bool locked);
  bool Locked() const;

  void SetSecondDeviceEnabled(bool enabled);
  bool SecondDeviceEnabled() const;

  // Decode registers of the bridge (0..3: ranges 1 to 4) and their mirrors.
  uint16_t IoDecodeEnables() const { return lpc_.Get16(kLpcIoDecodeEnables); }
  uint32_t GenericRange(unsigned index) const;
  uint16_t SecondIoDecodeEnables() const { return lpc_.Get16(kLpcSecondIoDecodeEnables); }
  uint32_t SecondGenericRange() const { return lpc_.Get32(kLpcSecondGenericRange); }
  uint16_t IoDecodeMirror() const { return static_cast<uint16_t>(dmi_.Get(kDmiIoDecodeMirror, 2)); }
  uint32_t GenericRangeMirror(unsigned index) const;
  // Direct set-up for tests and boards (bridge register and mirror alike).
  void SetIoDecodeEnables(uint16_t value);
  void SetGenericRange(unsigned index, uint32_t value);
  void SetSecondDevice(uint16_t ioDecodeEnables, uint32_t genericRange);

  // Whether an LPC I/O cycle to `port` is forwarded by the current decode
  // set-up (EC ports 0x62/0x66 by their enable bit, anything by an enabled
  // generic range). A device model can gate its ports on it.
  bool DecodesIo(uint16_t port) const;

  // Writes to decode registers or mirrors refused while locked.
  uint64_t RefusedWrites() const { return refusedWrites_; }
  // Bridge decode writes whose value the mirror did not already hold: the
  // mirror must be written first.
  uint64_t UnmirroredWrites() const { return unmirroredWrites_; }
  // Every accepted write to a bridge decode register or a mirror.
  uint64_t DecodeWrites() const { return decodeWrites_; }

private:
  friend class LpcBridge;
  static bool IsDecodeRegister(uint16_t reg, unsigned size);
  bool BridgeWrite(uint16_t reg, unsigned size, uint32_t value); // false: refused
  void DmiWrite(uint16_t offset, unsigned size, uint32_t value);
  void EspiWrite(uint16_t offset, unsigned size, uint32_t value);
  static bool RangeDecodes(uint32_t range, uint16_t port);

  Machine &machine_;
  LpcBridge lpc_;
  Sideband sideband_;
  PcrPort dmi_;
  PcrPort espi_;
  uint64_t refusedWrites_ = 0;
  uint64_t unmirroredWrites_ = 0;
  uint64_t decodeWrites_ = 0;
};

} // namespace sim
