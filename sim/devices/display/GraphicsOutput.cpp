// Graphics output and logo output over a display's framebuffer.
#include "GraphicsOutput.h"

#include "sim/core/Machine.h"
#include "sim/firmware-core/pci-io/DevicePathBuilder.h"
#include "sim/uefi/Dxe.h"

#include <cstring>
#include <string>

namespace sim {
namespace {

// Rectangle [x, x + w) × [y, y + h) inside limits, without overflow.
bool Inside(UINTN x, UINTN y, UINTN w, UINTN h, uint64_t limitW, uint64_t limitH) {
  return x <= limitW && w <= limitW - x && y <= limitH && h <= limitH - y;
}

uint32_t Rgb(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &p) {
  return uint32_t{p.Red} << 16 | uint32_t{p.Green} << 8 | p.Blue;
}

EFI_GRAPHICS_OUTPUT_BLT_PIXEL BltPixel(uint32_t rgb) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL p{};
  p.Blue = static_cast<UINT8>(rgb);
  p.Green = static_cast<UINT8>(rgb >> 8);
  p.Red = static_cast<UINT8>(rgb >> 16);
  return p;
}

} // namespace

GraphicsOutput::GraphicsOutput(Dxe &dxe, DisplayDevice &display,
                               const EFI_DEVICE_PATH_PROTOCOL *controllerPath, bool withLogoOutput,
                               uint32_t outputAdr)
    : dxe_(dxe), display_(display), withLogoOutput_(withLogoOutput),
      devicePath_(DevicePathBuilder(controllerPath).AcpiAdr(outputAdr).Build()) {
  for (Record *record : {&gop_, &logo_}) {
    record->protocol.QueryMode = QueryMode;
    record->protocol.SetMode = SetMode;
    record->protocol.Blt = Blt;
    record->protocol.Mode = &mode_;
    record->self = this;
  }
  logo_.logo = true;
  mode_.Info = &info_;
  mode_.SizeOfInfo = sizeof(info_);
  mode_.MaxMode = static_cast<UINT32>(display.modes().size());
  SyncMode();
}

void GraphicsOutput::SyncMode() {
  const int current = display_.CurrentMode();
  // No mode set yet: Mode names none of the valid ones and the resolution is 0.
  mode_.Mode = current < 0 ? mode_.MaxMode : static_cast<UINT32>(current);
  info_.Version = 0;
  info_.HorizontalResolution = display_.Width();
  info_.VerticalResolution = display_.Height();
  info_.PixelFormat = PixelBlueGreenRedReserved8BitPerColor;
  info_.PixelInformation = {};
  info_.PixelsPerScanLine = display_.Width();
  mode_.FrameBufferBase = display_.FramebufferBase();
  mode_.FrameBufferSize = display_.FramebufferSize();
}

EFI_STATUS GraphicsOutput::Install() {
  EFI_HANDLE handle = nullptr;
  std::vector<std::pair<const EFI_GUID *, void *>> pairs{
      {&gEfiDevicePathProtocolGuid, devicePath_.data()}};
  if (withLogoOutput_) {
    pairs.emplace_back(&gLogoOutputProtocolGuid, LogoOutput());
  }
  pairs.emplace_back(&gEfiGraphicsOutputProtocolGuid, Gop());
  EFI_STATUS status = dxe_.InstallMultiple(&handle, pairs);
  if (!EFI_ERROR(status)) {
    handle_ = handle;
  }
  return status;
}

bool GraphicsOutput::GopInstalled() const {
  return handle_ != nullptr && dxe_.InterfaceOn(handle_, gEfiGraphicsOutputProtocolGuid) != nullptr;
}

const EFI_DEVICE_PATH_PROTOCOL *GraphicsOutput::DevicePath() const {
  return AsDevicePath(devicePath_);
}

EFI_STATUS EFIAPI GraphicsOutput::QueryMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber,
                                            UINTN *SizeOfInfo,
                                            EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **Info) {
  GraphicsOutput &self = *RecordOf(This).self;
  if (SizeOfInfo == nullptr || Info == nullptr || ModeNumber >= self.mode_.MaxMode) {
    return EFI_INVALID_PARAMETER;
  }
  void *block = nullptr;
  EFI_STATUS status = self.dxe_.AllocatePool(EfiBootServicesData,
                                             sizeof(EFI_GRAPHICS_OUTPUT_MODE_INFORMATION), &block);
  if (EFI_ERROR(status)) {
    return status;
  }
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info = self.info_;
  info.HorizontalResolution = self.display_.modes()[ModeNumber].width;
  info.VerticalResolution = self.display_.modes()[ModeNumber].height;
  info.PixelsPerScanLine = info.HorizontalResolution;
  std::memcpy(block, &info, sizeof(info));
  *SizeOfInfo = sizeof(info);
  *Info = static_cast<EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *>(block);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GraphicsOutput::SetMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber) {
  GraphicsOutput &self = *RecordOf(This).self;
  if (!self.display_.SetMode(ModeNumber)) {
    return EFI_UNSUPPORTED;
  }
  self.stats_.setModes++;
  self.SyncMode();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GraphicsOutput::Blt(EFI_GRAPHICS_OUTPUT_PROTOCOL *This,
                                      EFI_GRAPHICS_OUTPUT_BLT_PIXEL *BltBuffer,
                                      EFI_GRAPHICS_OUTPUT_BLT_OPERATION BltOperation, UINTN SourceX,
                                      UINTN SourceY, UINTN DestinationX, UINTN DestinationY,
                                      UINTN Width, UINTN Height, UINTN Delta) {
  Record &record = RecordOf(This);
  return record.self->DoBlt(record.logo, BltBuffer, BltOperation, SourceX, SourceY, DestinationX,
                            DestinationY, Width, Height, Delta);
}

EFI_STATUS GraphicsOutput::DoBlt(bool logo, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer,
                                 EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation, UINTN sx, UINTN sy,
                                 UINTN dx, UINTN dy, UINTN width, UINTN height, UINTN delta) {
  const uint64_t screenW = display_.Width();
  const uint64_t screenH = display_.Height();
  auto reject = [&](const char *why) {
    stats_.rejectedBlts++;
    dxe_.machine().trace().Emit(display_.name(), ev::GopBltRejected{why});
    return EFI_INVALID_PARAMETER;
  };
  if (width == 0 || height == 0 || operation < 0 || operation >= EfiGraphicsOutputBltOperationMax) {
    return reject("empty rectangle or unknown operation");
  }
  if (operation != EfiBltVideoToVideo && buffer == nullptr) {
    return reject("no BLT buffer");
  }
  const UINTN stride = delta == 0 ? width * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL) : delta;
  const UINTN stridePixels = stride / sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
  // Which rectangles lie on the screen and which in the buffer.
  switch (operation) {
  case EfiBltVideoFill:
    if (!Inside(dx, dy, width, height, screenW, screenH)) {
      return reject("fill outside the screen");
    }
    for (UINTN y = 0; y < height; y++) {
      for (UINTN x = 0; x < width; x++) {
        display_.SetPixel(dx + x, dy + y, Rgb(buffer[0]));
      }
    }
    break;
  case EfiBltVideoToBltBuffer:
    if (!Inside(sx, sy, width, height, screenW, screenH) || stridePixels < dx + width) {
      return reject("read outside the screen");
    }
    for (UINTN y = 0; y < height; y++) {
      for (UINTN x = 0; x < width; x++) {
        buffer[(dy + y) * stridePixels + dx + x] = BltPixel(display_.Pixel(sx + x, sy + y));
      }
    }
    break;
  case EfiBltBufferToVideo:
    if (!Inside(dx, dy, width, height, screenW, screenH) || stridePixels < sx + width) {
      return reject("write outside the screen");
    }
    for (UINTN y = 0; y < height; y++) {
      for (UINTN x = 0; x < width; x++) {
        display_.SetPixel(dx + x, dy + y, Rgb(buffer[(sy + y) * stridePixels + sx + x]));
      }
    }
    break;
  default: { // EfiBltVideoToVideo
    if (!Inside(sx, sy, width, height, screenW, screenH) ||
        !Inside(dx, dy, width, height, screenW, screenH)) {
      return reject("move outside the screen");
    }
    std::vector<uint32_t> copy(width * height);
    for (UINTN y = 0; y < height; y++) {
      for (UINTN x = 0; x < width; x++) {
        copy[y * width + x] = display_.Pixel(sx + x, sy + y);
      }
    }
    for (UINTN y = 0; y < height; y++) {
      for (UINTN x = 0; x < width; x++) {
        display_.SetPixel(dx + x, dy + y, copy[y * width + x]);
      }
    }
    break;
  }
  }
  stats_.blts++;
  if (logo) {
    stats_.logoBlts++;
  }
  const ev::BltArea area{width, height, dx, dy};
  if (logo) {
    dxe_.machine().trace().Emit(display_.name(), ev::LogoBlt{area});
  } else {
    dxe_.machine().trace().Emit(display_.name(), ev::GopBlt{area});
  }
  return EFI_SUCCESS;
}

} // namespace sim
