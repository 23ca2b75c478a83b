// MgmtAgentDxe's logo: DrawLogo over any raw section a firmware volume
// delivers and any screen size, and BmpToBlt into a buffer of its own stated
// size. Every pixel block handed to Blt must lie inside the converted image
// and the screen; pool handed out is all given back (LeakSanitizer).
#include "AgentInternal.h"
#include "FuzzSupport.h"
#include "Logo.h"

#include <Protocol/FirmwareVolume2.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

std::vector<uint8_t> gSection;
EFI_FIRMWARE_VOLUME2_PROTOCOL gVolume;
EFI_GRAPHICS_OUTPUT_MODE_INFORMATION gInfo;
EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE gMode;
UINTN gImageWidth, gImageHeight;
bool gConverted;

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE, EFI_GUID *, VOID *, UINTN *Count,
                                     EFI_HANDLE **Buffer) {
  *Buffer = static_cast<EFI_HANDLE *>(std::malloc(sizeof(EFI_HANDLE)));
  (*Buffer)[0] = &gVolume;
  *Count = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID *, VOID **Interface) {
  *Interface = Handle;
  return EFI_SUCCESS;
}

// The firmware-volume rule for ReadSection with *Buffer NULL: the section is
// returned in pool the caller frees.
EFI_STATUS EFIAPI ReadSection(CONST EFI_FIRMWARE_VOLUME2_PROTOCOL *, CONST EFI_GUID *,
                              EFI_SECTION_TYPE, UINTN, VOID **Buffer, UINTN *BufferSize,
                              UINT32 *Authentication) {
  if (*Buffer != nullptr) {
    std::abort(); // the agent always lets the volume allocate
  }
  *Buffer = std::malloc(gSection.empty() ? 1 : gSection.size());
  if (!gSection.empty()) {
    std::memcpy(*Buffer, gSection.data(), gSection.size());
  }
  *BufferSize = gSection.size();
  *Authentication = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Blt(EFI_GRAPHICS_OUTPUT_PROTOCOL *, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Buffer,
                      EFI_GRAPHICS_OUTPUT_BLT_OPERATION Operation, UINTN SourceX, UINTN SourceY,
                      UINTN DestinationX, UINTN DestinationY, UINTN Width, UINTN Height,
                      UINTN Delta) {
  if (Buffer == nullptr || Operation != EfiBltBufferToVideo || Width == 0 || Height == 0 ||
      SourceX + Width > gImageWidth || SourceY + Height > gImageHeight ||
      DestinationX + Width > gInfo.HorizontalResolution ||
      DestinationY + Height > gInfo.VerticalResolution ||
      Delta != gImageWidth * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL)) {
    std::abort();
  }
  // Touch the first and last pixel drawn: both must be in the buffer.
  volatile uint8_t sink = Buffer[SourceY * gImageWidth + SourceX].Blue;
  sink = Buffer[(SourceY + Height - 1) * gImageWidth + SourceX + Width - 1].Red;
  (void)sink;
  return EFI_SUCCESS;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Services services;
  services.boot.LocateHandleBuffer = LocateHandleBuffer;
  services.boot.HandleProtocol = HandleProtocol;
  mSystemTable = &services.system;
  mBootServices = &services.boot;
  mRuntimeServices = &services.runtime;
  gVolume = {};
  gVolume.ReadSection = ReadSection;
  gInfo = {};
  gInfo.HorizontalResolution = in.ConsumeIntegralInRange<UINT32>(0, 4096);
  gInfo.VerticalResolution = in.ConsumeIntegralInRange<UINT32>(0, 4096);
  gMode = {};
  gMode.Info = &gInfo;
  EFI_GRAPHICS_OUTPUT_PROTOCOL screen{};
  screen.Blt = Blt;
  screen.Mode = &gMode;
  const bool callerBuffer = in.ConsumeBool();
  gSection = in.ConsumeRemainingBytes<uint8_t>();

  // The image's own size, as BmpToBlt reports it, bounds what Blt may read.
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL *blt = nullptr;
  UINTN bltSize = 0;
  gImageWidth = gImageHeight = 0;
  gConverted = BmpToBlt(gSection.data(), gSection.size(), &blt, &bltSize, &gImageHeight,
                        &gImageWidth) == EFI_SUCCESS;
  if (gConverted) {
    if (bltSize / sizeof(*blt) < gImageWidth * gImageHeight) {
      std::abort();
    }
    std::free(blt);
    if (callerBuffer) {
      // Again into a buffer of exactly the size it asked for.
      blt = static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(std::malloc(bltSize == 0 ? 1 : bltSize));
      UINTN height = 0, width = 0;
      if (BmpToBlt(gSection.data(), gSection.size(), &blt, &bltSize, &height, &width) !=
              EFI_SUCCESS ||
          height != gImageHeight || width != gImageWidth) {
        std::abort();
      }
      std::free(blt);
    }
  }
  (void)DrawLogo(&screen);
  return 0;
}
