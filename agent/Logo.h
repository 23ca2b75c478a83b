// The logo: read from its firmware-volume file, converted from BMP into a
// BLT buffer and drawn centred through a LOGO_OUTPUT_PROTOCOL.
#pragma once

#include <Protocol/GraphicsOutput.h>
#include <Protocol/LogoOutput.h>
#include <Uefi/UefiBaseType.h>

// Reads the logo file's raw section from the first firmware volume that has
// it and draws it centred on LogoOutput. EFI_SUCCESS unless the image could
// not be converted (then the conversion's status); a missing or non-BMP file
// draws nothing and still succeeds.
EFI_STATUS DrawLogo(LOGO_OUTPUT_PROTOCOL *LogoOutput);

// Converts an uncompressed 24-, 8- or 4-bit BMP of BmpImageSize bytes into
// BLT pixels. With *GopBlt NULL a buffer is allocated from pool (the caller
// frees it) and its size stored in *GopBltSize; otherwise *GopBltSize must
// hold the needed size or EFI_BUFFER_TOO_SMALL is returned with it.
// EFI_UNSUPPORTED for anything that is not such an image or does not fit in
// BmpImageSize; nothing is read outside the image.
EFI_STATUS BmpToBlt(CONST VOID *BmpImage, UINTN BmpImageSize,
                    EFI_GRAPHICS_OUTPUT_BLT_PIXEL **GopBlt, UINTN *GopBltSize, UINTN *PixelHeight,
                    UINTN *PixelWidth);
