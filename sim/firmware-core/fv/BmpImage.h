// Uncompressed BMP files built in code: the default board's made-up logo and
// the images tests feed to the logo code. Rows are written bottom-up and
// padded to 4 bytes, as the format wants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

struct BmpPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerPixel = 24; // 24, 8 or 4
  // 0xRRGGBB entries, for 8 and 4 bits per pixel.
  std::vector<uint32_t> palette;
  // Pixel at (x, y), y = 0 being the top row: 0xRRGGBB for 24 bits, a palette
  // index otherwise.
  std::function<uint32_t(uint32_t x, uint32_t y)> pixel;
};

std::vector<uint8_t> MakeBmp(const BmpPicture &picture);

// Byte offsets of the fields the logo code reads, for tests that damage them.
namespace bmp {
inline constexpr size_t kPixelOffset = 10;
inline constexpr size_t kWidth = 18;
inline constexpr size_t kHeight = 22;
inline constexpr size_t kBitsPerPixel = 28;
inline constexpr size_t kCompression = 30;
inline constexpr size_t kPalette = 54;
} // namespace bmp

// The default board's logo: an 8-bit 200 × 64 image of a frame, a band and a
// stylised mark on a dark background.
std::vector<uint8_t> DefaultLogoBmp();
inline constexpr uint32_t kDefaultLogoWidth = 200;
inline constexpr uint32_t kDefaultLogoHeight = 64;

} // namespace sim
