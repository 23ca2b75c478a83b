// BMP writer and the default board's logo.
#include "BmpImage.h"

#include <stdexcept>

namespace sim {
namespace {

constexpr uint32_t kHeadersSize = 54;
constexpr uint32_t kInfoHeaderSize = 40;

void Put(std::vector<uint8_t> &out, size_t at, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; i++) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

} // namespace

std::vector<uint8_t> MakeBmp(const BmpPicture &picture) {
  const uint32_t bits = picture.bitsPerPixel;
  if (bits != 24 && bits != 8 && bits != 4) {
    throw std::invalid_argument("MakeBmp: 24, 8 or 4 bits per pixel");
  }
  const size_t rowBytes = (size_t{picture.width} * bits + 31) / 32 * 4;
  const size_t paletteBytes = bits == 24 ? 0 : picture.palette.size() * 4;
  const size_t pixelOffset = kHeadersSize + paletteBytes;
  std::vector<uint8_t> out(pixelOffset + rowBytes * picture.height, 0);
  out[0] = 'B';
  out[1] = 'M';
  Put(out, 2, out.size(), 4);
  Put(out, bmp::kPixelOffset, pixelOffset, 4);
  Put(out, 14, kInfoHeaderSize, 4);
  Put(out, bmp::kWidth, picture.width, 4);
  Put(out, bmp::kHeight, picture.height, 4);
  Put(out, 26, 1, 2); // planes
  Put(out, bmp::kBitsPerPixel, bits, 2);
  Put(out, bmp::kCompression, 0, 4);
  Put(out, 34, rowBytes * picture.height, 4);
  Put(out, 46, bits == 24 ? 0 : picture.palette.size(), 4);
  for (size_t i = 0; bits != 24 && i < picture.palette.size(); i++) {
    const uint32_t rgb = picture.palette[i];
    out[bmp::kPalette + i * 4] = static_cast<uint8_t>(rgb);
    out[bmp::kPalette + i * 4 + 1] = static_cast<uint8_t>(rgb >> 8);
    out[bmp::kPalette + i * 4 + 2] = static_cast<uint8_t>(rgb >> 16);
  }
  for (uint32_t y = 0; y < picture.height; y++) {
    // The first stored row is the bottom one.
    uint8_t *row = out.data() + pixelOffset + rowBytes * (picture.height - 1 - y);
    for (uint32_t x = 0; x < picture.width; x++) {
      const uint32_t value = picture.pixel ? picture.pixel(x, y) : 0;
      if (bits == 24) {
        row[x * 3] = static_cast<uint8_t>(value);
        row[x * 3 + 1] = static_cast<uint8_t>(value >> 8);
        row[x * 3 + 2] = static_cast<uint8_t>(value >> 16);
      } else if (bits == 8) {
        row[x] = static_cast<uint8_t>(value);
      } else if ((x & 1) == 0) {
        row[x / 2] = static_cast<uint8_t>((row[x / 2] & 0x0F) | (value & 0x0F) << 4);
      } else {
        row[x / 2] = static_cast<uint8_t>((row[x / 2] & 0xF0) | (value & 0x0F));
      }
    }
  }
  return out;
}

namespace {
std::vector<uint8_t> DrawDefaultLogo() {
  enum : uint32_t { kBackground, kFrame, kBand, kMark, kMarkShade };
  BmpPicture picture;
  picture.width = kDefaultLogoWidth;
  picture.height = kDefaultLogoHeight;
  picture.bitsPerPixel = 8;
  picture.palette = {0x101820, 0xC8CCD4, 0x1F5FA8, 0xF0A020, 0xA86A10};
  picture.pixel = [](uint32_t x, uint32_t y) -> uint32_t {
    const uint32_t w = kDefaultLogoWidth;
    const uint32_t h = kDefaultLogoHeight;
    if (x < 2 || y < 2 || x >= w - 2 || y >= h - 2) {
      return kFrame;
    }
    // A diamond mark on the left, shaded on its lower half.
    const int dx = static_cast<int>(x) - 32;
    const int dy = static_cast<int>(y) - static_cast<int>(h / 2);
    if ((dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy) <= 22) {
      return dy > 0 ? kMarkShade : kMark;
    }
    // A band across the rest.
    if (x >= 64 && x < w - 10 && y >= 26 && y < 38) {
      return kBand;
    }
    return kBackground;
  };
  return MakeBmp(picture);
}
} // namespace

std::vector<uint8_t> DefaultLogoBmp() {
  // Every boot puts it in the volume; drawn once.
  static const std::vector<uint8_t> kLogo = DrawDefaultLogo();
  return kLogo;
}

} // namespace sim
