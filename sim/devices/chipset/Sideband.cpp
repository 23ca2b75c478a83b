// Routing of the sideband window to the per-port models.
#include "Sideband.h"

namespace sim {

Sideband::Sideband(Bus &bus) : bus_(bus) {
  bus_.MapMmio(kBase, kSize, this, "sideband", AccessKind::PchRegister);
}

Sideband::~Sideband() { bus_.Unmap(this); }

void Sideband::AttachPort(uint8_t port, BusTarget *target, std::string name) {
  ports_[port] = Port{target, std::move(name)};
}

void Sideband::DetachPort(uint8_t port) { ports_[port] = Port{}; }

uint64_t Sideband::Read(uint64_t offset, unsigned size) {
  const Port &port = ports_[(offset >> kPortShift) & 0xFF];
  if (port.target == nullptr) {
    ++unclaimedReads_;
    return Bus::OnesOf(size);
  }
  return port.target->Read(offset & (kPortSize - 1), size);
}

void Sideband::Write(uint64_t offset, unsigned size, uint64_t value) {
  const Port &port = ports_[(offset >> kPortShift) & 0xFF];
  if (port.target == nullptr) {
    ++unclaimedWrites_;
    return;
  }
  port.target->Write(offset & (kPortSize - 1), size, value);
}

} // namespace sim
