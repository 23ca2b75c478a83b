// Display controller model: PCI identity, the framebuffer BAR and its
// mapping, modes, pixel access and PNG export.
#include "DisplayDevice.h"

#include "sim/core/Machine.h"

#include <IndustryStandard/Pci.h>

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

constexpr uint8_t kDisplaySubclassVga = 0x00;
constexpr uint64_t kMinFramebufferBar = 0x1000;

uint64_t PowerOfTwoAtLeast(uint64_t bytes) {
  uint64_t size = kMinFramebufferBar;
  while (size < bytes) {
    size <<= 1;
  }
  return size;
}

} // namespace

DisplayDevice::Config DisplayDevice::ManagementDisplay(uint64_t framebufferBase) {
  Config config;
  config.name = "mgmt-display";
  config.vendorId = kMgmtDisplayVendorId;
  config.deviceId = kMgmtDisplayDeviceId;
  config.framebufferBase = framebufferBase;
  return config;
}

DisplayDevice::Config DisplayDevice::Card(std::string name, uint64_t framebufferBase) {
  Config config;
  config.name = std::move(name);
  config.vendorId = 0x1AF4; // a made-up display card
  config.deviceId = 0x1050;
  config.framebufferBase = framebufferBase;
  return config;
}

DisplayDevice::DisplayDevice(Machine &machine, Config config)
    : machine_(machine), config_(std::move(config)) {
  if (config_.modes.empty()) {
    throw std::invalid_argument(config_.name + ": a display needs at least one mode");
  }
  uint64_t largest = 0;
  for (const Mode &mode : config_.modes) {
    largest = std::max<uint64_t>(largest, uint64_t{mode.width} * mode.height * 4);
  }
  framebufferSize_ = largest;
  chunks_.resize((largest + kChunk - 1) / kChunk);
  SetIds(config_.vendorId, config_.deviceId);
  SetSubsystem(config_.subsystemVendorId, config_.subsystemId);
  SetClass(PCI_CLASS_DISPLAY, kDisplaySubclassVga, 0);
  SetBar(0, BarKind::Mem32, PowerOfTwoAtLeast(largest), config_.framebufferBase);
  if (config_.framebufferBase != 0) {
    Set16(pci::kCommand, Get16(pci::kCommand) | pci::kCommandMemorySpace);
  }
  if (config_.initialMode >= 0) {
    SetMode(static_cast<uint32_t>(config_.initialMode));
  }
  UpdateMapping();
}

DisplayDevice::~DisplayDevice() {
  if (mappedAt_ != 0) {
    machine_.bus().Unmap(&framebuffer_);
  }
}

bool DisplayDevice::SetMode(uint32_t mode) {
  if (mode >= config_.modes.size()) {
    return false;
  }
  mode_ = static_cast<int>(mode);
  Blacken();
  pixelsWritten_ = 0;
  machine_.trace().Emit(config_.name, ev::DisplayMode{Width(), Height()});
  return true;
}

void DisplayDevice::ClearMode() {
  mode_ = -1;
  Blacken();
  pixelsWritten_ = 0;
}

uint32_t DisplayDevice::Pixel(uint32_t x, uint32_t y) const {
  if (x >= Width() || y >= Height()) {
    throw std::out_of_range(config_.name + ": pixel outside the screen");
  }
  const size_t at = (size_t{y} * Stride() + x) * 4;
  return uint32_t{ByteAt(at + 2)} << 16 | uint32_t{ByteAt(at + 1)} << 8 | ByteAt(at);
}

void DisplayDevice::SetPixel(uint32_t x, uint32_t y, uint32_t rgb) {
  if (x >= Width() || y >= Height()) {
    throw std::out_of_range(config_.name + ": pixel outside the screen");
  }
  // A pixel never straddles two chunks (kChunk is a multiple of 4).
  uint8_t *pixel = &ByteRef((size_t{y} * Stride() + x) * 4);
  pixel[0] = static_cast<uint8_t>(rgb);
  pixel[1] = static_cast<uint8_t>(rgb >> 8);
  pixel[2] = static_cast<uint8_t>(rgb >> 16);
  pixel[3] = 0;
  pixelsWritten_++;
}

uint8_t DisplayDevice::ByteAt(size_t at) const {
  const std::unique_ptr<uint8_t[]> &chunk = chunks_[at / kChunk];
  return chunk ? chunk[at % kChunk] : 0;
}

uint8_t &DisplayDevice::ByteRef(size_t at) {
  std::unique_ptr<uint8_t[]> &chunk = chunks_[at / kChunk];
  if (!chunk) {
    chunk = std::make_unique<uint8_t[]>(kChunk); // black
  }
  return chunk[at % kChunk];
}

void DisplayDevice::Blacken() {
  for (std::unique_ptr<uint8_t[]> &chunk : chunks_) {
    chunk.reset();
  }
}

void DisplayDevice::OnConfigWrite(uint16_t reg, unsigned size, uint32_t value) {
  (void)reg;
  (void)size;
  (void)value;
  // The command register and BAR 0 decide where the framebuffer decodes.
  UpdateMapping();
}

void DisplayDevice::UpdateMapping() {
  const uint64_t base = MemoryDecode() ? BarAddress(0) : 0;
  if (base == mappedAt_) {
    return;
  }
  if (mappedAt_ != 0) {
    machine_.bus().Unmap(&framebuffer_);
    mappedAt_ = 0;
  }
  if (base != 0) {
    machine_.bus().MapMmio(base, framebufferSize_, &framebuffer_, config_.name + ".fb");
    mappedAt_ = base;
  }
}

uint64_t DisplayDevice::Framebuffer::Read(uint64_t offset, unsigned size) {
  uint64_t value = 0;
  for (unsigned i = 0; i < size && offset + i < display_.framebufferSize_; i++) {
    value |= uint64_t{display_.ByteAt(offset + i)} << (8 * i);
  }
  return value;
}

void DisplayDevice::Framebuffer::Write(uint64_t offset, unsigned size, uint64_t value) {
  for (unsigned i = 0; i < size && offset + i < display_.framebufferSize_; i++) {
    display_.ByteRef(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  }
  display_.pixelsWritten_++;
}

} // namespace sim
