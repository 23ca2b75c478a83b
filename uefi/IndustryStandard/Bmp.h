// Windows bitmap (BMP) file layout: the 14-byte file header followed by the
// 40-byte information header, then an optional palette. All fields are
// little-endian and unaligned, hence packed.
#pragma once

#include <Uefi/UefiBaseType.h>

#pragma pack(push, 1)

typedef struct {
  UINT8 Blue;
  UINT8 Green;
  UINT8 Red;
  UINT8 Reserved;
} BMP_COLOR_MAP;

typedef struct {
  CHAR8 CharB; // 'B'
  CHAR8 CharM; // 'M'
  UINT32 Size;
  UINT16 Reserved[2];
  UINT32 ImageOffset; // file offset of the pixel data
} BMP_FILE_HEADER;

typedef struct {
  UINT32 HeaderSize;
  UINT32 PixelWidth;
  UINT32 PixelHeight; // rows are stored bottom-up
  UINT16 Planes;
  UINT16 BitPerPixel;
  UINT32 CompressionType; // 0: uncompressed
  UINT32 ImageSize;
  UINT32 XPixelsPerMeter;
  UINT32 YPixelsPerMeter;
  UINT32 NumberOfColors;
  UINT32 ImportantColors;
} BMP_INFO_HEADER;

typedef struct {
  BMP_FILE_HEADER File;
  BMP_INFO_HEADER Info;
} BMP_IMAGE_HEADER;

#pragma pack(pop)

static_assert(sizeof(BMP_COLOR_MAP) == 4, "BMP palette entry");
static_assert(sizeof(BMP_FILE_HEADER) == 14, "BMP file header");
static_assert(sizeof(BMP_INFO_HEADER) == 40, "BMP info header");
static_assert(sizeof(BMP_IMAGE_HEADER) == 54, "BMP headers");
static_assert(OFFSET_OF(BMP_IMAGE_HEADER, File.ImageOffset) == 10, "BMP pixel data offset");
static_assert(OFFSET_OF(BMP_IMAGE_HEADER, Info.PixelWidth) == 18, "BMP width");
static_assert(OFFSET_OF(BMP_IMAGE_HEADER, Info.PixelHeight) == 22, "BMP height");
static_assert(OFFSET_OF(BMP_IMAGE_HEADER, Info.BitPerPixel) == 28, "BMP bits per pixel");
static_assert(OFFSET_OF(BMP_IMAGE_HEADER, Info.CompressionType) == 30, "BMP compression");
