// EFI_LOADED_IMAGE_PROTOCOL: where a loaded image came from and where it
// sits in memory; installed on every image handle.
#pragma once

#include <Protocol/DevicePath.h>
#include <Uefi/UefiServices.h>

#define EFI_LOADED_IMAGE_PROTOCOL_GUID                                                             \
  {                                                                                                \
    0x5B1B31A1, 0x9562, 0x11D2, { 0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B }                 \
  }

#define EFI_LOADED_IMAGE_PROTOCOL_REVISION 0x1000

typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  // Path of the image file on DeviceHandle; for a driver from a firmware
  // volume, a firmware-volume file node carrying the file's GUID.
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
} EFI_LOADED_IMAGE_PROTOCOL;
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ParentHandle) == EFI_ABI_PICK(8, 4),
              "loaded image");
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, FilePath) == EFI_ABI_PICK(32, 16),
              "loaded image");
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == EFI_ABI_PICK(56, 28),
              "loaded image");
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == EFI_ABI_PICK(72, 40),
              "loaded image");
static_assert(OFFSET_OF(EFI_LOADED_IMAGE_PROTOCOL, Unload) == EFI_ABI_PICK(88, 56), "loaded image");
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == EFI_ABI_PICK(96, 64), "loaded image");

extern EFI_GUID gEfiLoadedImageProtocolGuid;
