// The firmware core's graphics output for one display: EFI_GRAPHICS_OUTPUT_
// PROTOCOL and LOGO_OUTPUT_PROTOCOL on one handle whose device path is the
// display controller's PCI path plus an ACPI _ADR output node. Both draw into
// the DisplayDevice's framebuffer with graphics-output Blt semantics; a Blt
// that would reach outside the screen is refused (EFI_INVALID_PARAMETER) and
// counted, so tests can tell that nothing was ever drawn off-screen.
#pragma once

#include "DisplayDevice.h"

#include <Protocol/GraphicsOutput.h>
#include <Protocol/LogoOutput.h>
#include <Uefi/UefiServices.h>

#include <cstdint>
#include <vector>

namespace sim {

class Dxe;

class GraphicsOutput {
public:
  static constexpr uint32_t kDefaultOutputAdr = 0x80010100; // a display output, first connector

  struct Stats {
    uint64_t blts = 0;         // accepted Blt calls through either protocol
    uint64_t logoBlts = 0;     // of them through LOGO_OUTPUT_PROTOCOL
    uint64_t rejectedBlts = 0; // refused: outside the screen or malformed
    uint64_t setModes = 0;
  };

  // `controllerPath` is the display controller's device path (its PCI I/O
  // handle's); the output's path extends it with one _ADR node.
  GraphicsOutput(Dxe &dxe, DisplayDevice &display, const EFI_DEVICE_PATH_PROTOCOL *controllerPath,
                 bool withLogoOutput = true, uint32_t outputAdr = kDefaultOutputAdr);
  GraphicsOutput(const GraphicsOutput &) = delete;
  GraphicsOutput &operator=(const GraphicsOutput &) = delete;

  // Device path, LOGO_OUTPUT_PROTOCOL (if any) and then the graphics output
  // on a new handle. Inside a firmware run: it signals notifications.
  EFI_STATUS Install();
  EFI_HANDLE Handle() const { return handle_; }
  // Whether the graphics output is still installed on the handle (the agent
  // may have withdrawn it).
  bool GopInstalled() const;

  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop() { return &gop_.protocol; }
  LOGO_OUTPUT_PROTOCOL *LogoOutput() { return &logo_.protocol; }
  const EFI_DEVICE_PATH_PROTOCOL *DevicePath() const;
  DisplayDevice &display() { return display_; }
  const Stats &stats() const { return stats_; }

private:
  struct Record {
    EFI_GRAPHICS_OUTPUT_PROTOCOL protocol;
    GraphicsOutput *self;
    bool logo;
  };
  static Record &RecordOf(EFI_GRAPHICS_OUTPUT_PROTOCOL *This) {
    return *reinterpret_cast<Record *>(This);
  }

  static EFI_STATUS EFIAPI QueryMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber,
                                     UINTN *SizeOfInfo,
                                     EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **Info);
  static EFI_STATUS EFIAPI SetMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber);
  static EFI_STATUS EFIAPI Blt(EFI_GRAPHICS_OUTPUT_PROTOCOL *This,
                               EFI_GRAPHICS_OUTPUT_BLT_PIXEL *BltBuffer,
                               EFI_GRAPHICS_OUTPUT_BLT_OPERATION BltOperation, UINTN SourceX,
                               UINTN SourceY, UINTN DestinationX, UINTN DestinationY, UINTN Width,
                               UINTN Height, UINTN Delta);

  EFI_STATUS DoBlt(bool logo, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer,
                   EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation, UINTN sx, UINTN sy, UINTN dx,
                   UINTN dy, UINTN width, UINTN height, UINTN delta);
  void SyncMode();

  Dxe &dxe_;
  DisplayDevice &display_;
  bool withLogoOutput_;
  std::vector<uint8_t> devicePath_;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info_{};
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE mode_{};
  Record gop_{};
  Record logo_{};
  EFI_HANDLE handle_ = nullptr;
  Stats stats_;
};

} // namespace sim
