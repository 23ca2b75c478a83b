// A PCI display controller with a linear framebuffer: the board's add-in or
// on-board displays and the management controller's own display (identity
// 0x816F10EF). BAR 0 is the framebuffer, decoded on the bus while memory
// decoding is on; pixels are 32-bit blue, green, red, reserved, one scan line
// per mode width. The firmware core's graphics output (GraphicsOutput.h)
// draws into it; tests and people read it back (Pixel, SavePng).
#pragma once

#include "sim/core/Bus.h"
#include "sim/core/Pci.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class Machine;

class DisplayDevice final : public PciConfigSpace {
public:
  struct Mode {
    uint32_t width;
    uint32_t height;
  };
  struct Config {
    std::string name = "display";
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint16_t subsystemVendorId = 0;
    uint16_t subsystemId = 0;
    uint64_t framebufferBase = 0; // BAR 0; 0 leaves it unassigned
    std::vector<Mode> modes{{1024, 768}, {800, 600}, {640, 480}};
    // -1: no mode set yet (resolution reads 0 until the firmware sets one).
    int initialMode = 0;
  };

  static constexpr uint16_t kMgmtDisplayVendorId = 0x10EF;
  static constexpr uint16_t kMgmtDisplayDeviceId = 0x816F;
  static constexpr uint32_t kBlack = 0x000000;

  // The management controller's display.
  static Config ManagementDisplay(uint64_t framebufferBase);
  // An ordinary display card of the board.
  static Config Card(std::string name, uint64_t framebufferBase);

  DisplayDevice(Machine &machine, Config config);
  ~DisplayDevice() override;
  DisplayDevice(const DisplayDevice &) = delete;
  DisplayDevice &operator=(const DisplayDevice &) = delete;

  const std::string &name() const { return config_.name; }
  const std::vector<Mode> &modes() const { return config_.modes; }
  // -1 while no mode is set.
  int CurrentMode() const { return mode_; }
  uint32_t Width() const { return mode_ < 0 ? 0 : config_.modes[mode_].width; }
  uint32_t Height() const { return mode_ < 0 ? 0 : config_.modes[mode_].height; }
  // Switches mode and clears the screen to black; false for an unknown mode.
  bool SetMode(uint32_t mode);
  // Back to "no mode set" (a display that has not been initialised).
  void ClearMode();

  uint64_t FramebufferBase() const { return BarAddress(0); }
  uint64_t FramebufferSize() const { return framebufferSize_; }
  bool FramebufferMapped() const { return mappedAt_ != 0; }

  // 0xRRGGBB of a visible pixel; x, y must be inside the current mode.
  uint32_t Pixel(uint32_t x, uint32_t y) const;
  void SetPixel(uint32_t x, uint32_t y, uint32_t rgb);
  // Pixels changed since the last mode set or ResetDamage(); tells tests
  // whether anything was drawn at all.
  uint64_t PixelsWritten() const { return pixelsWritten_; }

  // Writes the visible screen as an 8-bit RGB PNG; false (and `error`) on failure.
  bool SavePng(const std::string &path, std::string *error = nullptr) const;

protected:
  void OnConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

private:
  // The framebuffer as seen on the bus at BAR 0.
  class Framebuffer final : public BusTarget {
  public:
    explicit Framebuffer(DisplayDevice &display) : display_(display) {}
    uint64_t Read(uint64_t offset, unsigned size) override;
    void Write(uint64_t offset, unsigned size, uint64_t value) override;

  private:
    DisplayDevice &display_;
  };

  void UpdateMapping();
  uint32_t Stride() const { return Width(); }
  uint8_t ByteAt(size_t at) const;
  // The byte, its chunk made on first use.
  uint8_t &ByteRef(size_t at);
  void Blacken();

  Machine &machine_;
  Config config_;
  Framebuffer framebuffer_{*this};
  // BGRX bytes in chunks made when first drawn on; a missing chunk is black,
  // so powering on and clearing the screen cost what was drawn, not the
  // whole framebuffer.
  static constexpr size_t kChunk = 64 * 1024;
  static_assert(kChunk % 4 == 0, "a pixel lies in one chunk");
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint64_t framebufferSize_ = 0;
  uint64_t mappedAt_ = 0;
  int mode_ = -1;
  uint64_t pixelsWritten_ = 0;
};

} // namespace sim
