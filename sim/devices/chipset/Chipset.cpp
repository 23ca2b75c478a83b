// Register behaviour of the bridge's decode registers, their DMI mirrors and
// the lock bits.
#include "Chipset.h"

#include <cstdio>

namespace sim {

namespace {

// Whether the byte range [reg, reg + size) meets [start, start + length).
bool Overlaps(uint16_t reg, unsigned size, uint16_t start, unsigned length) {
  return reg < start + length && start < reg + size;
}

} // namespace

PchSeries PchSeriesOf(uint16_t deviceId) {
  switch (PchSeriesOfDeviceId(deviceId)) {
  case kPchSeriesH:
    return PchSeries::H;
  case kPchSeriesLp:
    return PchSeries::LP;
  default:
    return PchSeries::Unknown;
  }
}

const char *PchSeriesName(PchSeries series) {
  switch (series) {
  case PchSeries::H:
    return "H";
  case PchSeries::LP:
    return "LP";
  default:
    return "unknown";
  }
}

// ---- PcrPort ----

void PcrPort::Declare(uint16_t offset, unsigned size) {
  for (unsigned i = 0; i < size; ++i) {
    declared_[static_cast<uint16_t>(offset + i)] = true;
  }
}

bool PcrPort::Declared(uint16_t offset, unsigned size) const {
  for (unsigned i = 0; i < size; ++i) {
    if (!declared_[static_cast<uint16_t>(offset + i)]) {
      return false;
    }
  }
  return true;
}

uint32_t PcrPort::Get(uint16_t offset, unsigned size) const {
  uint32_t value = 0;
  for (unsigned i = 0; i < size && i < 4; ++i) {
    value |= uint32_t{bytes_[static_cast<uint16_t>(offset + i)]} << (8 * i);
  }
  return value;
}

void PcrPort::Set(uint16_t offset, unsigned size, uint32_t value) {
  for (unsigned i = 0; i < size && i < 4; ++i) {
    bytes_[static_cast<uint16_t>(offset + i)] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t PcrPort::Read(uint64_t offset, unsigned size) {
  uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) {
    const uint16_t at = static_cast<uint16_t>(offset + i);
    if (declared_[at]) {
      value |= uint64_t{bytes_[at]} << (8 * i);
    }
  }
  return value;
}

void PcrPort::Write(uint64_t offset, unsigned size, uint64_t value) {
  const uint16_t at = static_cast<uint16_t>(offset);
  if (size > 4 || !Declared(at, size)) {
    ++unknownWrites_;
    return;
  }
  if (onWrite_) {
    onWrite_(at, size, static_cast<uint32_t>(value));
  } else {
    Set(at, size, static_cast<uint32_t>(value));
  }
}

// ---- LpcBridge ----

LpcBridge::LpcBridge(Chipset &chipset) : chipset_(chipset) {
  SetWriteMask(kLpcIoDecodeEnables, 2, 0xFFFF);
  for (uint32_t i = 0; i < kLpcGenericRangeCount; ++i) {
    SetWriteMask(LpcGenericRangeRegister(i), 4, kLpcRangeWritable);
  }
  SetWriteMask(kLpcSecondIoDecodeEnables, 2, 0xFFFF);
  SetWriteMask(kLpcSecondGenericRange, 4, kLpcRangeWritable);
}

void LpcBridge::ConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  // A wide write that merely overlaps a decode register (32 bits at 0x80
  // reach 0x82) must meet the lock and the mirror check as well.
  const bool decode = Chipset::IsDecodeRegister(reg, size);
  if (decode && !chipset_.BridgeWrite(reg, size, value)) {
    return;
  }
  PciConfigSpace::ConfigWrite(reg, size, value);
  if (!decode) {
    return;
  }
  // Compare what each register touched now holds with its mirror.
  if (Overlaps(reg, size, kLpcIoDecodeEnables, 2) &&
      Get16(kLpcIoDecodeEnables) != chipset_.IoDecodeMirror()) {
    ++chipset_.unmirroredWrites_;
  }
  for (uint32_t index = 0; index < kLpcGenericRangeCount; ++index) {
    const uint16_t range = LpcGenericRangeRegister(index);
    if (Overlaps(reg, size, range, 4) && Get32(range) != chipset_.GenericRangeMirror(index)) {
      ++chipset_.unmirroredWrites_;
    }
  }
}

// ---- Chipset ----

Chipset::Chipset(Machine &machine, uint16_t deviceId)
    : machine_(machine), lpc_(*this), sideband_(machine.bus()) {
  lpc_.SetIds(kVendorId, deviceId);
  lpc_.SetClass(0x06, 0x01, 0x00); // ISA/LPC bridge
  machine_.bus().Pci().Attach(kLpcBus, kLpcDevice, kLpcFunction, &lpc_, "chipset");

  for (uint32_t i = 0; i < kLpcGenericRangeCount; ++i) {
    dmi_.Declare(DmiGenericRangeMirror(i), 4);
  }
  dmi_.Declare(kDmiIoDecodeMirror, 2);
  dmi_.Declare(kDmiLockH, 4);
  dmi_.Declare(kDmiLock, 4);
  dmi_.OnWrite(
      [this](uint16_t offset, unsigned size, uint32_t value) { DmiWrite(offset, size, value); });
  espi_.Declare(kEspiSecondDeviceControl, 4);
  espi_.OnWrite(
      [this](uint16_t offset, unsigned size, uint32_t value) { EspiWrite(offset, size, value); });
  sideband_.AttachPort(kPcrPortDmi, &dmi_, "dmi");
  sideband_.AttachPort(kPcrPortEspi, &espi_, "espi");
}

Chipset::~Chipset() { machine_.bus().Pci().Detach(&lpc_); }

void Chipset::SetDeviceId(uint16_t deviceId) { lpc_.Set16(pci::kDeviceId, deviceId); }

bool Chipset::Locked() const {
  if (Series() == PchSeries::H) {
    return (dmi_.Get(kDmiLockH) & kDmiLockHBit) != 0;
  }
  return (dmi_.Get(kDmiLock) & kDmiLockBit) != 0;
}

void Chipset::SetLocked(bool locked) {
  const uint16_t reg = Series() == PchSeries::H ? kDmiLockH : kDmiLock;
  const uint32_t bit = Series() == PchSeries::H ? kDmiLockHBit : kDmiLockBit;
  const uint32_t value = dmi_.Get(reg);
  dmi_.Set(reg, 4, locked ? (value | bit) : (value & ~bit));
}

void Chipset::SetSecondDeviceEnabled(bool enabled) {
  const uint32_t value = espi_.Get(kEspiSecondDeviceControl);
  espi_.Set(kEspiSecondDeviceControl, 4,
            enabled ? (value | kEspiSecondDeviceEnable) : (value & ~kEspiSecondDeviceEnable));
}

bool Chipset::SecondDeviceEnabled() const {
  return (espi_.Get(kEspiSecondDeviceControl) & kEspiSecondDeviceEnable) != 0;
}

uint32_t Chipset::GenericRange(unsigned index) const {
  return lpc_.Get32(LpcGenericRangeRegister(index));
}

uint32_t Chipset::GenericRangeMirror(unsigned index) const {
  return dmi_.Get(DmiGenericRangeMirror(index));
}

void Chipset::SetIoDecodeEnables(uint16_t value) {
  lpc_.Set16(kLpcIoDecodeEnables, value);
  dmi_.Set(kDmiIoDecodeMirror, 2, value);
}

void Chipset::SetGenericRange(unsigned index, uint32_t value) {
  lpc_.Set32(LpcGenericRangeRegister(index), value);
  dmi_.Set(DmiGenericRangeMirror(index), 4, value);
}

void Chipset::SetSecondDevice(uint16_t ioDecodeEnables, uint32_t genericRange) {
  lpc_.Set16(kLpcSecondIoDecodeEnables, ioDecodeEnables);
  lpc_.Set32(kLpcSecondGenericRange, genericRange);
}

bool Chipset::IsDecodeRegister(uint16_t reg, unsigned size) {
  return Overlaps(reg, size, kLpcIoDecodeEnables,
                  LpcGenericRangeRegister(kLpcGenericRangeCount) - kLpcIoDecodeEnables) ||
         Overlaps(reg, size, kLpcSecondIoDecodeEnables,
                  kLpcSecondGenericRange + 4 - kLpcSecondIoDecodeEnables);
}

bool Chipset::BridgeWrite(uint16_t reg, unsigned size, uint32_t value) {
  if (Locked()) {
    ++refusedWrites_;
    machine_.trace().Emit("chipset",
                          ev::ChipsetRefused{ev::ChipsetRefused::Target::Bridge, reg, value, size});
    return false;
  }
  ++decodeWrites_;
  machine_.trace().Emit("chipset", ev::ChipsetDecode{reg, value, size});
  return true;
}

void Chipset::DmiWrite(uint16_t offset, unsigned size, uint32_t value) {
  if (dmi_.Declared(offset, size) && (offset == kDmiLockH || offset == kDmiLock)) {
    // Lock bits stick until the next reset.
    dmi_.Set(offset, size, dmi_.Get(offset, size) | value);
    machine_.trace().Emit("chipset", ev::ChipsetLock{offset, dmi_.Get(offset)});
    return;
  }
  if (Locked()) {
    ++refusedWrites_;
    machine_.trace().Emit(
        "chipset", ev::ChipsetRefused{ev::ChipsetRefused::Target::Mirror, offset, value, size});
    return;
  }
  ++decodeWrites_;
  dmi_.Set(offset, size, value);
  machine_.trace().Emit("chipset", ev::ChipsetMirror{offset, value, size});
}

void Chipset::EspiWrite(uint16_t offset, unsigned size, uint32_t value) {
  espi_.Set(offset, size, value);
}

bool Chipset::RangeDecodes(uint32_t range, uint16_t port) {
  if ((range & kLpcRangeEnable) == 0) {
    return false;
  }
  // Mask bits name address bits that are ignored in the comparison.
  const uint32_t ignored = ((range >> kLpcRangeMaskShift) & kLpcRangeMaskField) | 0x3;
  return (port & ~ignored & 0xFFFF) == (LpcRangeBase(range) & ~ignored);
}

bool Chipset::DecodesIo(uint16_t port) const {
  const bool ecPort = port == 0x62 || port == 0x66;
  if (ecPort && (IoDecodeEnables() & kLpcDecodeEcPorts) != 0) {
    return true;
  }
  for (uint32_t i = 0; i < kLpcGenericRangeCount; ++i) {
    if (RangeDecodes(GenericRange(i), port)) {
      return true;
    }
  }
  if (SecondDeviceEnabled()) {
    if (ecPort && (SecondIoDecodeEnables() & kLpcDecodeEcPorts) != 0) {
      return true;
    }
    if (RangeDecodes(SecondGenericRange(), port)) {
      return true;
    }
  }
  return false;
}

} // namespace sim
