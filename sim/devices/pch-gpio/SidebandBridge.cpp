// Message handling of the sideband bridge.
#include "SidebandBridge.h"

#include <Register/PchGpio.h>

#include <cstdio>

namespace sim {
namespace {

constexpr uint16_t kStatusWritable = 0xFFF8; // busy and response belong to the bridge

bool Covers(uint16_t reg, unsigned size, uint16_t at) { return reg <= at && at < reg + size; }

} // namespace

SidebandBridge::SidebandBridge(Machine &machine, Sideband &sideband)
    : machine_(machine), sideband_(sideband) {
  SetIds(kVendorId, kDeviceId);
  SetWriteMask(kSbBridgeAddress, 4, 0xFFFFFFFF);
  SetWriteMask(kSbBridgeData, 4, 0xFFFFFFFF);
  SetWriteMask(kSbBridgeStatus, 2, kStatusWritable);
  SetWriteMask(kSbBridgeRouting, 2, 0xFFFF);
  SetWriteMask(kSbBridgeExtAddress, 4, 0xFFFFFFFF);
  SetWriteMask(kSbBridgeHide, 1, kSbBridgeHideBit);
  machine_.bus().Pci().Attach(kSbBridgeBus, kSbBridgeDevice, kSbBridgeFunction, this, "sbbridge");
}

SidebandBridge::~SidebandBridge() { machine_.bus().Pci().Detach(this); }

void SidebandBridge::SetHidden(bool hidden) {
  Set8(kSbBridgeHide, static_cast<uint8_t>(hidden ? Get8(kSbBridgeHide) | kSbBridgeHideBit
                                                  : Get8(kSbBridgeHide) & ~kSbBridgeHideBit));
}

void SidebandBridge::HoldBusyUntil(uint64_t ns) {
  held_ = true;
  heldUntilNs_ = ns;
  Set16(kSbBridgeStatus, static_cast<uint16_t>(Get16(kSbBridgeStatus) | kSbBridgeStatusBusy));
}

bool SidebandBridge::Busy() {
  Settle();
  return (Get16(kSbBridgeStatus) & kSbBridgeStatusBusy) != 0;
}

void SidebandBridge::Settle() {
  const uint64_t now = machine_.clock().NowNs();
  if (held_ && now >= heldUntilNs_ && !stuck_) {
    held_ = false;
    if (!inFlight_) {
      Set16(kSbBridgeStatus, static_cast<uint16_t>(Get16(kSbBridgeStatus) & ~kSbBridgeStatusBusy));
    }
  }
  if (inFlight_ && !stuck_ && now >= inFlight_->endNs) {
    Finish();
  }
}

uint32_t SidebandBridge::ConfigRead(uint16_t reg, unsigned size) {
  Settle();
  if (Hidden()) {
    return static_cast<uint32_t>(Bus::OnesOf(size > 4 ? 4 : size));
  }
  return PciConfigSpace::ConfigRead(reg, size);
}

void SidebandBridge::ConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  Settle();
  if (Hidden() && !(reg == kSbBridgeHide && size == 1)) {
    ++hiddenWrites_;
    return;
  }
  PciConfigSpace::ConfigWrite(reg, size, value);
  if (Covers(reg, size, kSbBridgeStatus) &&
      ((value >> (8 * (kSbBridgeStatus - reg))) & kSbBridgeStatusBusy) != 0) {
    Start();
  }
}

void SidebandBridge::Start() {
  if ((Get16(kSbBridgeStatus) & kSbBridgeStatusBusy) != 0) {
    ++startsWhileBusy_;
    machine_.trace().Emit("sbbridge", ev::SbBridgeRefused{});
    return;
  }
  const uint32_t address = Get32(kSbBridgeAddress);
  const uint16_t status = Get16(kSbBridgeStatus);
  Message message{};
  message.startNs = machine_.clock().NowNs();
  message.endNs = message.startNs + latencyNs_;
  message.port = static_cast<uint8_t>(address >> kSbBridgeAddressPortShift);
  message.offset = static_cast<uint16_t>(address);
  message.extAddress = Get32(kSbBridgeExtAddress);
  message.data = Get32(kSbBridgeData);
  message.opcode = static_cast<uint8_t>(status >> kSbBridgeStatusOpcodeShift);
  message.posted = (status & kSbBridgeStatusPosted) != 0;
  message.routing = Get16(kSbBridgeRouting);
  inFlight_ = message;
  Set16(kSbBridgeStatus, static_cast<uint16_t>(status | kSbBridgeStatusBusy));

  machine_.trace().Emit("sbbridge", ev::SbBridgeStart{message.opcode, message.port,
                                                      message.offset, message.data});
  Settle(); // a zero latency finishes at once
}

void SidebandBridge::Finish() {
  Message message = *inFlight_;
  inFlight_.reset();
  uint8_t response = kResponseUnsuccessful;
  if (forcedResponse_) {
    response = *forcedResponse_;
  } else if (message.extAddress == 0) {
    // Offsets beyond 16 bits reach nothing the model has.
    if (auto *target = dynamic_cast<SidebandMessageTarget *>(sideband_.PortTarget(message.port))) {
      response = target->SidebandMessage(message.opcode, message.offset, message.data);
    }
  }
  message.response = static_cast<uint8_t>(response & 0x3);
  uint16_t status = Get16(kSbBridgeStatus);
  status = static_cast<uint16_t>(status & ~(kSbBridgeStatusResponse | kSbBridgeStatusBusy));
  status = static_cast<uint16_t>(status | (message.response << kSbBridgeStatusResponseShift));
  if (held_) {
    status |= kSbBridgeStatusBusy;
  }
  Set16(kSbBridgeStatus, status);
  messages_.push_back(message);

  machine_.trace().Emit("sbbridge",
                        ev::SbBridgeDone{message.port, message.offset, message.response});
}

} // namespace sim
