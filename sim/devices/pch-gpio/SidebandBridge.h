// The sideband bridge at PCI 0:31.1: the firmware's way to send a message to
// a sideband port, here the lock/unlock messages that are the only way to
// change a GPIO community's lock registers. A message is prepared in the
// address (0xD0), data (0xD4), routing (0xDA) and extended-address (0xDC)
// registers and the opcode byte of the status register (0xD8), and started
// by setting the status register's busy bit. The bridge stays busy for a
// configurable stretch of virtual time, then delivers the message and
// leaves the port's response in status bits 2..1 (0 = successful).
//
// Hidden mode (bit 0 of register 0xE1, or SetHidden): configuration reads
// return all ones and writes are dropped, except to 0xE1 itself.
//
// Faults: stuck busy, a held busy period (another agent's message), a forced
// response (the message is then not delivered). Trace events:
// sbbridge.start, sbbridge.done.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Chipset.h"
#include "Machine.h"
#include "Pci.h"
#include "Sideband.h"

namespace sim {

// A sideband endpoint that takes messages through the bridge.
class SidebandMessageTarget {
public:
  virtual ~SidebandMessageTarget() = default;
  // Carries out one message; returns the response (0 = successful).
  virtual uint8_t SidebandMessage(uint8_t opcode, uint16_t offset, uint32_t data) = 0;
};

class SidebandBridge final : public PciConfigSpace {
public:
  static constexpr uint16_t kVendorId = Chipset::kVendorId;
  static constexpr uint16_t kDeviceId = 0x00C5; // placeholder: only presence matters
  static constexpr uint64_t kDefaultLatencyNs = 1000;
  // Response when no endpoint takes the message, or it is malformed.
  static constexpr uint8_t kResponseUnsuccessful = 1;

  struct Message {
    uint64_t startNs;
    uint64_t endNs;
    uint8_t port;
    uint16_t offset;
    uint32_t extAddress;
    uint32_t data;
    uint8_t opcode;
    bool posted;
    uint16_t routing;
    uint8_t response;
  };

  // Attaches itself at 0:31.1 of the machine's PCI host; messages go to the
  // targets attached to `sideband`.
  SidebandBridge(Machine &machine, Sideband &sideband);
  ~SidebandBridge() override;
  SidebandBridge(const SidebandBridge &) = delete;
  SidebandBridge &operator=(const SidebandBridge &) = delete;

  void SetHidden(bool hidden);
  bool Hidden() const { return (Get8(0xE1) & 0x01) != 0; }

  void SetLatencyNs(uint64_t ns) { latencyNs_ = ns; }
  // A stuck bridge never finishes the message in flight (or the next one).
  void SetStuckBusy(bool stuck) { stuck_ = stuck; }
  // Busy until virtual time `ns`, with no message of the firmware's.
  void HoldBusyUntil(uint64_t ns);
  // Every later message is answered with this response and not delivered.
  void ForceResponse(std::optional<uint8_t> response) { forcedResponse_ = response; }

  bool Busy();
  // Completed messages, oldest first.
  const std::vector<Message> &Messages() const { return messages_; }
  void ClearMessages() { messages_.clear(); }
  // Start requests made while a message was still in flight (ignored).
  uint64_t StartsWhileBusy() const { return startsWhileBusy_; }
  // Configuration writes dropped while hidden.
  uint64_t HiddenWrites() const { return hiddenWrites_; }

  uint32_t ConfigRead(uint16_t reg, unsigned size) override;
  void ConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

private:
  void Settle();
  void Start();
  void Finish();

  Machine &machine_;
  Sideband &sideband_;
  uint64_t latencyNs_ = kDefaultLatencyNs;
  bool stuck_ = false;
  std::optional<uint8_t> forcedResponse_;
  std::optional<Message> inFlight_;
  uint64_t heldUntilNs_ = 0;
  bool held_ = false;
  std::vector<Message> messages_;
  uint64_t startsWhileBusy_ = 0;
  uint64_t hiddenWrites_ = 0;
};

} // namespace sim
