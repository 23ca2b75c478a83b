// The display model and the graphics output over it: the framebuffer decodes
// where BAR 0 points while memory decoding is on, Blt draws and reads inside
// the screen and refuses anything reaching outside it, modes, and the PNG
// export read back with libpng.
#include "DisplayDevice.h"
#include "GraphicsOutput.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/firmware-core/pci-io/DevicePathBuilder.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

using sim::DisplayDevice;
using sim::GraphicsOutput;

constexpr uint64_t kFramebuffer = 0xC0000000;

class DisplayDeviceTest : public ::testing::Test {
protected:
  DisplayDeviceTest() {
    machine.bus().Pci().Attach(0, 2, 0, &display, "display");
    output = std::make_unique<GraphicsOutput>(dxe, display, sim::AsDevicePath(path));
  }

  EFI_STATUS Blt(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION op,
                 UINTN sx, UINTN sy, UINTN dx, UINTN dy, UINTN w, UINTN h, UINTN delta = 0) {
    return output->Gop()->Blt(output->Gop(), buffer, op, sx, sy, dx, dy, w, h, delta);
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::VariableStore variables;
  sim::Dxe dxe{machine, variables};
  DisplayDevice display{machine, DisplayDevice::Card("card", kFramebuffer)};
  std::vector<uint8_t> path = sim::PciDevicePath({{2, 0}});
  std::unique_ptr<GraphicsOutput> output;
};

TEST_F(DisplayDeviceTest, FramebufferDecodesAtBar0WhileMemoryDecodingIsOn) {
  const uint64_t lastPixel = kFramebuffer + (1024 * 768 - 1) * 4;
  EXPECT_EQ(machine.bus().MmioRead(lastPixel - 4, 8), 0u) << "black before anything is drawn";
  machine.bus().MmioWrite(lastPixel, 4, 0x00654321);
  EXPECT_EQ(display.Pixel(1023, 767), 0x654321u);
  EXPECT_EQ(display.Pixel(1022, 767), 0u);
  machine.bus().MmioWrite(kFramebuffer + (1024 * 2 + 3) * 4, 4, 0x00123456);
  EXPECT_EQ(display.Pixel(3, 2), 0x123456u);
  const uint64_t config = sim::EcamAddress(0, 2, 0, 0);
  machine.bus().MmioWrite(config + sim::pci::kCommand, 2, 0);
  EXPECT_FALSE(display.FramebufferMapped());
  machine.bus().MmioWrite(config + sim::pci::kBar0, 4, 0xD0000000);
  machine.bus().MmioWrite(config + sim::pci::kCommand, 2, sim::pci::kCommandMemorySpace);
  EXPECT_EQ(display.FramebufferBase(), 0xD0000000u);
  machine.bus().MmioWrite(0xD0000000, 4, 0x00ABCDEF);
  EXPECT_EQ(display.Pixel(0, 0), 0xABCDEFu);
  EXPECT_EQ(machine.bus().MmioRead(kFramebuffer, 4), 0xFFFFFFFFu) << "old window gone";
}

TEST_F(DisplayDeviceTest, BltDrawsReadsAndMovesInsideTheScreenOnly) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL red{0, 0, 0xFF, 0};
  EXPECT_EQ(Blt(&red, EfiBltVideoFill, 0, 0, 10, 20, 4, 3), EFI_SUCCESS);
  EXPECT_EQ(display.Pixel(13, 22), 0xFF0000u);
  EXPECT_EQ(display.Pixel(14, 22), 0u);
  EXPECT_EQ(Blt(nullptr, EfiBltVideoToVideo, 10, 20, 100, 200, 4, 3), EFI_SUCCESS);
  EXPECT_EQ(display.Pixel(103, 202), 0xFF0000u);
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> back(6);
  EXPECT_EQ(Blt(back.data(), EfiBltVideoToBltBuffer, 102, 201, 1, 0, 2, 2, 3 * 4), EFI_SUCCESS);
  EXPECT_EQ(back[1].Red, 0xFF);
  EXPECT_EQ(back[0].Red, 0) << "column 0 of the buffer is not written";

  const uint64_t written = display.PixelsWritten();
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> image(100 * 10);
  EXPECT_EQ(Blt(image.data(), EfiBltBufferToVideo, 0, 0, 1000, 0, 100, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Blt(image.data(), EfiBltBufferToVideo, 0, 0, 0, 760, 100, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Blt(image.data(), EfiBltBufferToVideo, 0, 0, ~UINTN{0} - 5, 0, 10, 1),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Blt(image.data(), EfiBltBufferToVideo, 0, 0, 0, 0, 0, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(output->stats().rejectedBlts, 4u);
  EXPECT_EQ(display.PixelsWritten(), written);
}

TEST_F(DisplayDeviceTest, ModesSwitchClearAndAreDescribed) {
  EXPECT_EQ(output->Gop()->Mode->MaxMode, 3u);
  EXPECT_EQ(output->Gop()->SetMode(output->Gop(), 3), EFI_UNSUPPORTED);
  display.SetPixel(1, 1, 0xFFFFFF);
  display.SetPixel(1023, 767, 0xFFFFFF);
  EXPECT_EQ(output->Gop()->SetMode(output->Gop(), 1), EFI_SUCCESS);
  EXPECT_EQ(output->Gop()->Mode->Info->HorizontalResolution, 800u);
  EXPECT_EQ(output->LogoOutput()->Mode->Info->VerticalResolution, 600u) << "shared mode";
  EXPECT_EQ(display.Pixel(1, 1), 0u);
  EXPECT_EQ(display.Pixel(799, 599), 0u);
  EXPECT_EQ(output->Gop()->SetMode(output->Gop(), 0), EFI_SUCCESS);
  EXPECT_EQ(display.Pixel(1023, 767), 0u) << "cleared with the mode before";
  sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, [&] {
    UINTN size = 0;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *info = nullptr;
    ASSERT_EQ(output->Gop()->QueryMode(output->Gop(), 2, &size, &info), EFI_SUCCESS);
    EXPECT_EQ(info->HorizontalResolution, 640u);
    EXPECT_EQ(dxe.FreePool(info), EFI_SUCCESS);
  });
  EXPECT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
}

TEST_F(DisplayDeviceTest, PngHoldsExactlyTheScreensPixels) {
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> image(64 * 48);
  for (size_t i = 0; i < image.size(); i++) {
    image[i] = {static_cast<UINT8>(i), static_cast<UINT8>(i >> 4), static_cast<UINT8>(i * 7), 0};
  }
  ASSERT_EQ(Blt(image.data(), EfiBltBufferToVideo, 0, 0, 480, 360, 64, 48), EFI_SUCCESS);
  const std::string file =
      (std::filesystem::temp_directory_path() / ("display-" + std::to_string(getpid()) + ".png"))
          .string();
  std::string error;
  ASSERT_TRUE(display.SavePng(file, &error)) << error;

  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&png, file.c_str())) << png.message;
  png.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
  ASSERT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) << png.message;
  std::remove(file.c_str());
  ASSERT_EQ(png.width, 1024u);
  ASSERT_EQ(png.height, 768u);
  size_t mismatches = 0;
  for (uint32_t y = 0; y < 768; y++) {
    for (uint32_t x = 0; x < 1024; x++) {
      const uint8_t *p = &rgb[(size_t{y} * 1024 + x) * 3];
      mismatches += (uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]) != display.Pixel(x, y);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(display.Pixel(480 + 5, 360 + 1), 0xE3u << 16 | 0x04u << 8 | 0x45u) << "pixel 69";
  display.ClearMode();
  EXPECT_FALSE(display.SavePng(file, &error)) << "no mode, no picture";
}

} // namespace
