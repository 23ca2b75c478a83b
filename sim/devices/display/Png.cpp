// PNG export of a display's visible screen, so a person can see where the
// firmware drew (libpng, 8-bit RGB, no interlace).
#include "DisplayDevice.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace sim {

bool DisplayDevice::SavePng(const std::string &path, std::string *error) const {
  auto fail = [&](const std::string &what) {
    if (error != nullptr) {
      *error = path + ": " + what;
    }
    return false;
  };
  const uint32_t width = Width();
  const uint32_t height = Height();
  if (width == 0 || height == 0) {
    return fail("no mode set, nothing to save");
  }
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) {
    return fail("cannot be opened for writing");
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return fail("libpng could not start");
  }
  // Rows are built before libpng may longjmp, so nothing with a destructor
  // is created between setjmp and the end of the writing.
  std::vector<std::vector<png_byte>> rows(height, std::vector<png_byte>(size_t{width} * 3));
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      const uint32_t rgb = Pixel(x, y);
      rows[y][x * 3] = static_cast<png_byte>(rgb >> 16);
      rows[y][x * 3 + 1] = static_cast<png_byte>(rgb >> 8);
      rows[y][x * 3 + 2] = static_cast<png_byte>(rgb);
    }
  }
  std::vector<png_bytep> rowPointers(height);
  for (uint32_t y = 0; y < height; y++) {
    rowPointers[y] = rows[y].data();
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return fail("libpng failed while writing");
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rowPointers.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

} // namespace sim
