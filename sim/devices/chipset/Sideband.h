// The PCH private-configuration (sideband) window: 16 MiB of MMIO at
// 0xFD000000 in which every sideband port owns a 64 KiB slice, so an address
// is 0xFD000000 | port << 16 | offset. The router maps the window on the bus
// and hands each access, with the offset inside the port's slice, to the
// model attached to that port. Ports nobody attached read all ones and drop
// writes (counted), as when no endpoint answers on the sideband.
//
// Usage: a board creates one router (the Chipset owns one) and attaches the
// port models: sideband.AttachPort(0x88, &dmi, "dmi");
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Bus.h"

namespace sim {

class Sideband final : public BusTarget {
public:
  static constexpr uint64_t kBase = 0xFD000000;
  static constexpr uint64_t kSize = 0x1000000; // 256 ports of 64 KiB
  static constexpr unsigned kPortShift = 16;
  static constexpr uint64_t kPortSize = uint64_t{1} << kPortShift;

  static constexpr uint64_t Address(uint8_t port, uint16_t offset) {
    return kBase | (uint64_t{port} << kPortShift) | offset;
  }

  // Maps the window on `bus` under the name "sideband".
  explicit Sideband(Bus &bus);
  ~Sideband() override;
  Sideband(const Sideband &) = delete;
  Sideband &operator=(const Sideband &) = delete;

  // `target` sees Read/Write with the offset inside the port's 64 KiB slice.
  // A port holds one target; attaching again replaces it. The router does not
  // own the target.
  void AttachPort(uint8_t port, BusTarget *target, std::string name = {});
  void DetachPort(uint8_t port);
  BusTarget *PortTarget(uint8_t port) const { return ports_[port].target; }
  const std::string &PortName(uint8_t port) const { return ports_[port].name; }

  // Accesses that reached a port with nothing attached.
  uint64_t UnclaimedReads() const { return unclaimedReads_; }
  uint64_t UnclaimedWrites() const { return unclaimedWrites_; }

  uint64_t Read(uint64_t offset, unsigned size) override;
  void Write(uint64_t offset, unsigned size, uint64_t value) override;

private:
  struct Port {
    BusTarget *target = nullptr;
    std::string name;
  };

  Bus &bus_;
  std::array<Port, 256> ports_{};
  uint64_t unclaimedReads_ = 0;
  uint64_t unclaimedWrites_ = 0;
};

} // namespace sim
