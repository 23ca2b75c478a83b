// The logo: its BMP file is read from a firmware volume as a raw section,
// converted into BLT pixels and drawn centred on a display. The image comes
// from the firmware image, but is still treated as untrusted input: every
// header field, the palette and the pixel rows are checked against the
// section's size before anything is read.
#include "Logo.h"

#include "AgentInternal.h"

#include <Guid/MgmtFiles.h>
#include <IndustryStandard/Bmp.h>
#include <Pi/PiFirmwareFile.h>
#include <Protocol/FirmwareVolume2.h>

namespace {

constexpr UINT32 kLogoSectionInstance = 0;
constexpr UINT64 kMaxBltBytes = 0xFFFFFFFF; // the BLT size is a 32-bit quantity
constexpr UINTN kBltPixelBytes = sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
constexpr UINT32 kBmpRowAlignBits = 32; // rows are padded to 4 bytes

BOOLEAN HasBmpSignature(CONST VOID *Image, UINTN Size) {
  CONST UINT8 *Bytes = (CONST UINT8 *)Image;
  return Size >= 2 && Bytes[0] == 'B' && Bytes[1] == 'M';
}

// Reads the logo's raw section from the first volume that has it. The
// section is pool memory the caller frees. FALSE when no volume has it, or a
// volume said the buffer was too small (nothing sensible to retry with).
BOOLEAN ReadLogoSection(VOID **Section, UINTN *SectionSize) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(mBootServices->LocateHandleBuffer(ByProtocol, &gEfiFirmwareVolume2ProtocolGuid,
                                                  NULL, &Count, &Handles)) ||
      Handles == NULL) {
    return FALSE;
  }
  BOOLEAN Found = FALSE;
  for (UINTN Index = 0; Index < Count; Index++) {
    EFI_FIRMWARE_VOLUME2_PROTOCOL *Fv = NULL;
    if (EFI_ERROR(mBootServices->HandleProtocol(Handles[Index], &gEfiFirmwareVolume2ProtocolGuid,
                                                (VOID **)&Fv)) ||
        Fv == NULL) {
      continue;
    }
    *Section = NULL;
    *SectionSize = 0;
    UINT32 Authentication = 0;
    EFI_STATUS Status = Fv->ReadSection(Fv, &gLogoFileGuid, EFI_SECTION_RAW, kLogoSectionInstance,
                                        Section, SectionSize, &Authentication);
    if (Status == EFI_SUCCESS && *Section != NULL) {
      Found = TRUE;
      break;
    }
    if (Status == EFI_BUFFER_TOO_SMALL) {
      break;
    }
  }
  (void)mBootServices->FreePool(Handles);
  return Found;
}

// The part of an image of ImageSize pixels that a screen of ScreenSize shows
// when the image is centred: where it starts in the image and on the screen,
// and how much of it fits.
VOID CentreSpan(UINTN ImageSize, UINTN ScreenSize, UINTN *Source, UINTN *Destination, UINTN *Span) {
  if (ImageSize <= ScreenSize) {
    *Source = 0;
    *Destination = (ScreenSize - ImageSize) / 2;
    *Span = ImageSize;
  } else {
    *Source = (ImageSize - ScreenSize) / 2;
    *Destination = 0;
    *Span = ScreenSize;
  }
}

} // namespace

EFI_STATUS BmpToBlt(CONST VOID *BmpImage, UINTN BmpImageSize,
                    EFI_GRAPHICS_OUTPUT_BLT_PIXEL **GopBlt, UINTN *GopBltSize, UINTN *PixelHeight,
                    UINTN *PixelWidth) {
  if (BmpImage == NULL || GopBlt == NULL || GopBltSize == NULL || PixelHeight == NULL ||
      PixelWidth == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  if (BmpImageSize < sizeof(BMP_IMAGE_HEADER) || !HasBmpSignature(BmpImage, BmpImageSize)) {
    return EFI_UNSUPPORTED;
  }
  CONST UINT8 *Image = (CONST UINT8 *)BmpImage;
  CONST BMP_IMAGE_HEADER *Header = (CONST BMP_IMAGE_HEADER *)BmpImage;
  UINT64 Width = Header->Info.PixelWidth;
  UINT64 Height = Header->Info.PixelHeight;
  UINT32 Bits = Header->Info.BitPerPixel;
  UINT64 PixelOffset = Header->File.ImageOffset;
  if (Header->Info.CompressionType != 0 || (Bits != 24 && Bits != 8 && Bits != 4)) {
    return EFI_UNSUPPORTED;
  }
  // Also refuses a top-down image (negative height) and an empty one.
  if (Width == 0 || Height == 0 || Width * Height > kMaxBltBytes / kBltPixelBytes) {
    return EFI_UNSUPPORTED;
  }
  UINT64 RowBytes = (Width * Bits + kBmpRowAlignBits - 1) / kBmpRowAlignBits * 4;
  if (PixelOffset > BmpImageSize || RowBytes * Height > BmpImageSize - PixelOffset) {
    return EFI_UNSUPPORTED;
  }
  // The palette runs from the end of the headers up to the pixel data.
  UINT32 PaletteEntries = 0;
  if (Bits != 24) {
    if (PixelOffset < sizeof(BMP_IMAGE_HEADER)) {
      return EFI_UNSUPPORTED;
    }
    UINT64 Available = (PixelOffset - sizeof(BMP_IMAGE_HEADER)) / sizeof(BMP_COLOR_MAP);
    PaletteEntries = Available < (1u << Bits) ? (UINT32)Available : (1u << Bits);
  }
  CONST BMP_COLOR_MAP *Palette = (CONST BMP_COLOR_MAP *)(Image + sizeof(BMP_IMAGE_HEADER));

  UINTN BltSize = (UINTN)(Width * Height * kBltPixelBytes);
  BOOLEAN Allocated = FALSE;
  if (*GopBlt == NULL) {
    if (EFI_ERROR(mBootServices->AllocatePool(EfiBootServicesData, BltSize, (VOID **)GopBlt)) ||
        *GopBlt == NULL) {
      *GopBlt = NULL;
      return EFI_OUT_OF_RESOURCES;
    }
    *GopBltSize = BltSize;
    Allocated = TRUE;
  } else if (*GopBltSize < BltSize) {
    *GopBltSize = BltSize;
    return EFI_BUFFER_TOO_SMALL;
  }
  *PixelWidth = (UINTN)Width;
  *PixelHeight = (UINTN)Height;

  CONST UINT8 *Row = Image + PixelOffset;
  for (UINT64 SourceRow = 0; SourceRow < Height; SourceRow++, Row += RowBytes) {
    // Rows are stored bottom-up.
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL *To = *GopBlt + (Height - 1 - SourceRow) * Width;
    for (UINT64 X = 0; X < Width; X++, To++) {
      UINT32 Index;
      switch (Bits) {
      case 24:
        To->Blue = Row[X * 3];
        To->Green = Row[X * 3 + 1];
        To->Red = Row[X * 3 + 2];
        continue;
      case 8:
        Index = Row[X];
        break;
      default: // 4: high nibble first
        Index = (X & 1) == 0 ? Row[X / 2] >> 4 : Row[X / 2] & 0x0F;
        break;
      }
      if (Index >= PaletteEntries) {
        // A colour the image does not define: the image is broken.
        if (Allocated) {
          (void)mBootServices->FreePool(*GopBlt);
          *GopBlt = NULL;
        }
        return EFI_UNSUPPORTED;
      }
      To->Blue = Palette[Index].Blue;
      To->Green = Palette[Index].Green;
      To->Red = Palette[Index].Red;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS DrawLogo(LOGO_OUTPUT_PROTOCOL *LogoOutput) {
  VOID *Section = NULL;
  UINTN SectionSize = 0;
  if (!ReadLogoSection(&Section, &SectionSize)) {
    return EFI_SUCCESS;
  }
  if (!HasBmpSignature(Section, SectionSize)) {
    (void)mBootServices->FreePool(Section);
    return EFI_SUCCESS;
  }
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Blt = NULL;
  UINTN BltSize = 0;
  UINTN Height = 0;
  UINTN Width = 0;
  EFI_STATUS Status = BmpToBlt(Section, SectionSize, &Blt, &BltSize, &Height, &Width);
  (void)mBootServices->FreePool(Section);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  CONST EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE *Mode = LogoOutput->Mode;
  if (Mode != NULL && Mode->Info != NULL) {
    // An image larger than the screen is clipped around its centre, so
    // nothing is ever drawn outside the screen.
    UINTN SourceX, DestinationX, DrawWidth;
    UINTN SourceY, DestinationY, DrawHeight;
    CentreSpan(Width, Mode->Info->HorizontalResolution, &SourceX, &DestinationX, &DrawWidth);
    CentreSpan(Height, Mode->Info->VerticalResolution, &SourceY, &DestinationY, &DrawHeight);
    if (DrawWidth != 0 && DrawHeight != 0) {
      (void)LogoOutput->Blt(LogoOutput, Blt, EfiBltBufferToVideo, SourceX, SourceY, DestinationX,
                            DestinationY, DrawWidth, DrawHeight, Width * kBltPixelBytes);
    }
  }
  (void)mBootServices->FreePool(Blt);
  return EFI_SUCCESS;
}
