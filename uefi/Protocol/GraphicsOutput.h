// EFI_GRAPHICS_OUTPUT_PROTOCOL: mode control and block transfers on one
// display's frame buffer.
#pragma once

#include <Uefi/UefiBaseType.h>

#define EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID                                                          \
  {                                                                                                \
    0x9042A9DE, 0x23DC, 0x4A38, { 0x96, 0xFB, 0x7A, 0xDE, 0xD0, 0x80, 0x51, 0x6A }                 \
  }

typedef struct EFI_GRAPHICS_OUTPUT_PROTOCOL EFI_GRAPHICS_OUTPUT_PROTOCOL;

typedef struct {
  UINT32 RedMask;
  UINT32 GreenMask;
  UINT32 BlueMask;
  UINT32 ReservedMask;
} EFI_PIXEL_BITMASK;

typedef enum {
  PixelRedGreenBlueReserved8BitPerColor,
  PixelBlueGreenRedReserved8BitPerColor,
  PixelBitMask, // layout given by PixelInformation
  PixelBltOnly, // no frame buffer; Blt is the only way to draw
  PixelFormatMax
} EFI_GRAPHICS_PIXEL_FORMAT;

typedef struct {
  UINT32 Version;
  UINT32 HorizontalResolution;
  UINT32 VerticalResolution;
  EFI_GRAPHICS_PIXEL_FORMAT PixelFormat;
  EFI_PIXEL_BITMASK PixelInformation;
  UINT32 PixelsPerScanLine;
} EFI_GRAPHICS_OUTPUT_MODE_INFORMATION;
static_assert(sizeof(EFI_GRAPHICS_OUTPUT_MODE_INFORMATION) == 36, "mode information");
static_assert(OFFSET_OF(EFI_GRAPHICS_OUTPUT_MODE_INFORMATION, PixelsPerScanLine) == 32,
              "mode information");

typedef struct {
  UINT32 MaxMode; // valid modes are 0 .. MaxMode - 1
  UINT32 Mode;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *Info;
  UINTN SizeOfInfo;
  EFI_PHYSICAL_ADDRESS FrameBufferBase;
  UINTN FrameBufferSize;
} EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE;
static_assert(OFFSET_OF(EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE, Info) == 8, "GOP mode");
static_assert(OFFSET_OF(EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE, FrameBufferBase) == EFI_ABI_PICK(24, 16),
              "GOP mode");
static_assert(sizeof(EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE) == EFI_ABI_PICK(40, 32), "GOP mode");

typedef struct {
  UINT8 Blue;
  UINT8 Green;
  UINT8 Red;
  UINT8 Reserved;
} EFI_GRAPHICS_OUTPUT_BLT_PIXEL;
static_assert(sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL) == 4, "BLT pixel");

typedef enum {
  EfiBltVideoFill,        // fill a video rectangle with BltBuffer[0]
  EfiBltVideoToBltBuffer, // read a video rectangle into BltBuffer
  EfiBltBufferToVideo,    // write a BltBuffer rectangle to video
  EfiBltVideoToVideo,     // move a rectangle within video
  EfiGraphicsOutputBltOperationMax
} EFI_GRAPHICS_OUTPUT_BLT_OPERATION;

/// Describes mode ModeNumber; Info is pool memory the caller frees.
typedef EFI_STATUS(EFIAPI *EFI_GRAPHICS_OUTPUT_PROTOCOL_QUERY_MODE)(
    IN EFI_GRAPHICS_OUTPUT_PROTOCOL *This, IN UINT32 ModeNumber, OUT UINTN *SizeOfInfo,
    OUT EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **Info);

/// Switches to ModeNumber and clears the screen to black.
typedef EFI_STATUS(EFIAPI *EFI_GRAPHICS_OUTPUT_PROTOCOL_SET_MODE)(
    IN EFI_GRAPHICS_OUTPUT_PROTOCOL *This, IN UINT32 ModeNumber);

/// Delta is the BltBuffer row length in bytes; 0 means Width pixels.
typedef EFI_STATUS(EFIAPI *EFI_GRAPHICS_OUTPUT_PROTOCOL_BLT)(
    IN EFI_GRAPHICS_OUTPUT_PROTOCOL *This, IN OUT EFI_GRAPHICS_OUTPUT_BLT_PIXEL *BltBuffer OPTIONAL,
    IN EFI_GRAPHICS_OUTPUT_BLT_OPERATION BltOperation, IN UINTN SourceX, IN UINTN SourceY,
    IN UINTN DestinationX, IN UINTN DestinationY, IN UINTN Width, IN UINTN Height,
    IN UINTN Delta OPTIONAL);

struct EFI_GRAPHICS_OUTPUT_PROTOCOL {
  EFI_GRAPHICS_OUTPUT_PROTOCOL_QUERY_MODE QueryMode;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_SET_MODE SetMode;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_BLT Blt;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE *Mode;
};
static_assert(OFFSET_OF(EFI_GRAPHICS_OUTPUT_PROTOCOL, Mode) == EFI_ABI_PICK(24, 12), "GOP");
static_assert(sizeof(EFI_GRAPHICS_OUTPUT_PROTOCOL) == EFI_ABI_PICK(32, 16), "GOP");

extern EFI_GUID gEfiGraphicsOutputProtocolGuid;
