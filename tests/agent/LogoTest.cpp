// The logo: BMP conversion (24, 8 and 4 bits, bottom-up rows, row padding,
// caller buffers, refusals), drawing it centred or clipped on a display from
// a firmware volume's raw section, and BmpToBlt fed truncated and damaged
// images with the image's end against an unmapped page.
#include "DisplayTestSupport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <random>

namespace {

using namespace agent_test;

// BmpToBlt over `image`, which it may read only inside; returns the status
// and, on success, the pixels (the buffer is freed again).
struct Converted {
  EFI_STATUS status = EFI_ABORTED;
  UINTN width = 0;
  UINTN height = 0;
  std::vector<uint32_t> pixels; // 0xRRGGBB, top row first
};

class LogoTest : public DisplayTestBase {
protected:
  LogoTest() {
    // Two pages, the second unreadable: images are placed to end at the fence.
    const long page = sysconf(_SC_PAGESIZE);
    fenceSize_ = 16 * static_cast<size_t>(page);
    region_ = static_cast<uint8_t *>(mmap(nullptr, fenceSize_ + page, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(region_, MAP_FAILED);
    EXPECT_EQ(mprotect(region_ + fenceSize_, page, PROT_NONE), 0);
    pageSize_ = static_cast<size_t>(page);
  }
  ~LogoTest() override { munmap(region_, fenceSize_ + pageSize_); }

  Converted Convert(const Bytes &image) {
    EXPECT_LE(image.size(), fenceSize_);
    uint8_t *at = region_ + fenceSize_ - image.size();
    if (!image.empty()) { // an empty vector's data() may be null
      std::memcpy(at, image.data(), image.size());
    }
    Converted out;
    RunToEnd([&] {
      EFI_GRAPHICS_OUTPUT_BLT_PIXEL *blt = nullptr;
      UINTN size = 0;
      out.status = BmpToBlt(at, image.size(), &blt, &size, &out.height, &out.width);
      if (out.status == EFI_SUCCESS) {
        EXPECT_EQ(size, out.width * out.height * 4);
        for (UINTN i = 0; i < out.width * out.height; i++) {
          out.pixels.push_back(uint32_t{blt[i].Red} << 16 | uint32_t{blt[i].Green} << 8 |
                               blt[i].Blue);
        }
        EXPECT_EQ(mBootServices->FreePool(blt), EFI_SUCCESS);
      } else {
        EXPECT_EQ(blt, nullptr) << "a failed conversion hands out no buffer";
      }
    });
    return out;
  }

  // Draws through DrawLogo on a 1024 x 768 card whose only volume holds `logo`.
  Screen &DrawOnCard(const Bytes &logo, EFI_STATUS expect = EFI_SUCCESS) {
    Screen &card = AddCard();
    Connect(card);
    AddVolume(logo);
    RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), expect); });
    return card;
  }

  uint8_t *region_ = nullptr;
  size_t fenceSize_ = 0;
  size_t pageSize_ = 0;
};

void Put32(Bytes &image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    image[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

TEST_F(LogoTest, EightBit100By50IsCentredAt462And359) {
  Screen &card = DrawOnCard(sim::MakeBmp(CornerMarkedBmp(100, 50, 8)));
  EXPECT_EQ(card.Pixel(462, 359), 0xFF0000u);
  EXPECT_EQ(card.Pixel(561, 359), 0x00FF00u);
  EXPECT_EQ(card.Pixel(462, 408), 0x0000FFu);
  EXPECT_EQ(card.Pixel(561, 408), 0xFFFFFFu);
  EXPECT_EQ(card.Pixel(500, 380), 0x808080u);
  EXPECT_EQ(card.Pixel(461, 359), 0u);
  EXPECT_EQ(card.Pixel(462, 358), 0u);
  EXPECT_EQ(card.Pixel(562, 408), 0u);
  EXPECT_EQ(card.Pixel(561, 409), 0u);
  EXPECT_EQ(card.output->stats().logoBlts, 1u);
}

TEST_F(LogoTest, TwentyFourBitRowsAreStoredBottomUpAndPadded) {
  // 3 pixels of 3 bytes: 9 bytes, padded to 12 per row.
  sim::BmpPicture picture;
  picture.width = 3;
  picture.height = 2;
  picture.pixel = [](uint32_t x, uint32_t y) { return 0x102030u * (y * 3 + x + 1); };
  const Converted c = Convert(sim::MakeBmp(picture));
  ASSERT_EQ(c.status, EFI_SUCCESS);
  EXPECT_EQ(c.width, 3u);
  EXPECT_EQ(c.height, 2u);
  const std::vector<uint32_t> expect = {0x102030, 0x204060, 0x306090, 0x4080C0, 0x50A0F0, 0x60C120};
  EXPECT_EQ(c.pixels, expect);
}

TEST_F(LogoTest, FourBitOddWidthUsesOnlyTheHighNibbleOfTheLastByte) {
  sim::BmpPicture picture = CornerMarkedBmp(5, 3, 4);
  Bytes image = sim::MakeBmp(picture);
  const size_t pixels = image.size() - 3 * 4; // rows of 3 bytes padded to 4
  for (size_t row = 0; row < 3; row++) {
    image[pixels + row * 4 + 2] |= 0x0F; // index 15: no such palette entry
  }
  const Converted c = Convert(image);
  ASSERT_EQ(c.status, EFI_SUCCESS);
  ASSERT_EQ(c.pixels.size(), 15u);
  EXPECT_EQ(c.pixels[0], 0xFF0000u);
  EXPECT_EQ(c.pixels[4], 0x00FF00u);
  EXPECT_EQ(c.pixels[7], 0x808080u);
  EXPECT_EQ(c.pixels[10], 0x0000FFu);
  EXPECT_EQ(c.pixels[14], 0xFFFFFFu);
}

TEST_F(LogoTest, ImageLargerThanTheScreenIsClippedAroundItsCentre) {
  sim::BmpPicture picture;
  picture.width = 1100;
  picture.height = 800;
  picture.pixel = [](uint32_t x, uint32_t y) { return (x & 0xFF) << 16 | (y & 0xFF) << 8 | 0x11; };
  Screen &card = DrawOnCard(sim::MakeBmp(picture));
  EXPECT_EQ(card.output->stats().rejectedBlts, 0u);
  EXPECT_EQ(card.output->stats().logoBlts, 1u);
  // Image column 38 and row 16 land at the screen's top-left corner.
  EXPECT_EQ(card.Pixel(0, 0), uint32_t{38} << 16 | uint32_t{16} << 8 | 0x11);
  EXPECT_EQ(card.Pixel(1023, 767),
            uint32_t{(1061 & 0xFF)} << 16 | uint32_t{(783 & 0xFF)} << 8 | 0x11);
}

TEST_F(LogoTest, MissingOrForeignLogoDrawsNothingAndFreesEverything) {
  Screen &card = AddCard();
  Connect(card);
  AddVolume(std::nullopt);
  const uint64_t pool = dxe->PoolAllocationsInUse();
  RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), EFI_SUCCESS); });
  AddVolume(Bytes{'G', 'I', 'F', '8', '9', 'a'});
  RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), EFI_SUCCESS); });
  EXPECT_EQ(card.device->PixelsWritten(), 0u);
  EXPECT_EQ(dxe->PoolAllocationsInUse(), pool);
}

TEST_F(LogoTest, FailedConversionReturnsItsStatusAndFreesTheSection) {
  Bytes image = sim::MakeBmp(CornerMarkedBmp(8, 8, 8));
  image[sim::bmp::kBitsPerPixel] = 32;
  Screen &card = AddCard();
  Connect(card);
  AddVolume(image);
  const uint64_t pool = dxe->PoolAllocationsInUse();
  RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), EFI_UNSUPPORTED); });
  EXPECT_EQ(dxe->PoolAllocationsInUse(), pool);
  EXPECT_EQ(card.device->PixelsWritten(), 0u);
}

TEST_F(LogoTest, VolumesAreTriedInOrderUntilOneSaysBufferTooSmall) {
  Screen &card = AddCard();
  Connect(card);
  const Bytes logo = sim::MakeBmp(CornerMarkedBmp(10, 10, 24));
  sim::FirmwareVolume &broken = AddVolume(logo);
  broken.SetReadSectionFault(EFI_DEVICE_ERROR);
  sim::FirmwareVolume &good = AddVolume(logo);
  RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), EFI_SUCCESS); });
  EXPECT_EQ(card.output->stats().logoBlts, 1u) << "the next volume served the logo";

  broken.SetReadSectionFault(EFI_BUFFER_TOO_SMALL);
  const uint64_t readsBefore = good.ReadSectionCalls();
  RunToEnd([&] { EXPECT_EQ(DrawLogo(card.output->LogoOutput()), EFI_SUCCESS); });
  EXPECT_EQ(good.ReadSectionCalls(), readsBefore);
  EXPECT_EQ(card.output->stats().logoBlts, 1u);
}

TEST_F(LogoTest, CallerBuffersAreUsedOrMeasured) {
  const Bytes image = sim::MakeBmp(CornerMarkedBmp(4, 2, 8));
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> buffer(8);
  RunToEnd([&] {
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL *blt = buffer.data();
    UINTN size = 8 * 4 - 1;
    UINTN height = 0, width = 0;
    EXPECT_EQ(BmpToBlt(image.data(), image.size(), &blt, &size, &height, &width),
              EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(BmpToBlt(image.data(), image.size(), &blt, &size, &height, &width), EFI_SUCCESS);
    EXPECT_EQ(blt, buffer.data());
    EXPECT_EQ(width, 4u);
    EXPECT_EQ(height, 2u);
  });
  EXPECT_EQ(buffer[0].Red, 0xFF);
  EXPECT_EQ(buffer[7].Blue, 0xFF);
}

TEST_F(LogoTest, HeadersThatCannotBeHonouredAreRefusedBeforeAnyAllocation) {
  const Bytes good = sim::MakeBmp(CornerMarkedBmp(4, 4, 8));
  auto with = [&](size_t at, uint32_t value, int bytes = 4) {
    Bytes image = good;
    for (int i = 0; i < bytes; i++) {
      image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return image;
  };
  const uint64_t pool = dxe->PoolAllocationsInUse();
  // width x height x 4 beyond 32 bits, top-down, empty, compressed, 32 bits per pixel.
  Bytes huge = with(sim::bmp::kWidth, 0x10000);
  Put32(huge, sim::bmp::kHeight, 0x10000);
  EXPECT_EQ(Convert(huge).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(sim::bmp::kHeight, static_cast<uint32_t>(-4))).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(sim::bmp::kWidth, 0)).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(sim::bmp::kCompression, 1)).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(sim::bmp::kBitsPerPixel, 32, 2)).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(1, 'X', 1)).status, EFI_UNSUPPORTED);
  // Pixel data that would run past the image, or overlap the headers.
  EXPECT_EQ(Convert(with(sim::bmp::kPixelOffset, 0xFFFFFFF0)).status, EFI_UNSUPPORTED);
  EXPECT_EQ(Convert(with(sim::bmp::kPixelOffset, 20)).status, EFI_UNSUPPORTED);
  // A palette index the palette does not have (the palette has 6 entries).
  Bytes badIndex = good;
  badIndex[badIndex.size() - 1] = 6;
  EXPECT_EQ(Convert(badIndex).status, EFI_UNSUPPORTED);
  EXPECT_EQ(dxe->PoolAllocationsInUse(), pool);
}

TEST_F(LogoTest, FuzzTruncatedAndDamagedImagesNeverReadPastTheSection) {
  const uint64_t pool = dxe->PoolAllocationsInUse();
  for (uint16_t bits : {24, 8, 4}) {
    const Bytes image = sim::MakeBmp(CornerMarkedBmp(7, 5, bits));
    ASSERT_EQ(Convert(image).status, EFI_SUCCESS);
    for (size_t length = 0; length < image.size(); length++) {
      const Bytes cut(image.begin(), image.begin() + length);
      EXPECT_NE(Convert(cut).status, EFI_SUCCESS) << bits << " bits cut at " << length;
    }
  }
  std::mt19937 random(20240611);
  const Bytes seed = sim::MakeBmp(CornerMarkedBmp(9, 6, 8));
  for (int round = 0; round < 3000; round++) {
    Bytes image = seed;
    // Damage a few bytes, mostly in the headers and the palette.
    const int hits = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < hits; i++) {
      const size_t at = random() % 2 == 0 ? random() % 80 : random() % image.size();
      image[at] = static_cast<uint8_t>(random());
    }
    image.resize(random() % 8 == 0 ? random() % (image.size() + 1) : image.size());
    const Converted c = Convert(image);
    if (c.status == EFI_SUCCESS) {
      EXPECT_EQ(c.pixels.size(), c.width * c.height);
    }
  }
  for (int round = 0; round < 500; round++) {
    Bytes garbage(random() % 200);
    for (uint8_t &b : garbage) {
      b = static_cast<uint8_t>(random());
    }
    if (garbage.size() >= 2) {
      garbage[0] = 'B';
      garbage[1] = 'M';
    }
    (void)Convert(garbage);
  }
  EXPECT_EQ(dxe->PoolAllocationsInUse(), pool);
}

} // namespace
