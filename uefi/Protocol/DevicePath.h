// EFI_DEVICE_PATH_PROTOCOL: a byte-packed list of typed nodes ended by an
// end node. Only the node kinds this system builds or inspects are defined.
#pragma once

#include <Uefi/UefiBaseType.h>

#define EFI_DEVICE_PATH_PROTOCOL_GUID                                                              \
  {                                                                                                \
    0x09576E91, 0x6D3F, 0x11D2, { 0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B }                 \
  }

#pragma pack(push, 1)

// Common node header; Length counts the whole node, header included.
typedef struct {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
} EFI_DEVICE_PATH_PROTOCOL;
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4, "device path node header");

#define HARDWARE_DEVICE_PATH 0x01
#define ACPI_DEVICE_PATH 0x02
#define MESSAGING_DEVICE_PATH 0x03
#define MEDIA_DEVICE_PATH 0x04
#define BBS_DEVICE_PATH 0x05
#define END_DEVICE_PATH_TYPE 0x7F

#define HW_PCI_DP 0x01
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 Function;
  UINT8 Device;
} PCI_DEVICE_PATH;
static_assert(sizeof(PCI_DEVICE_PATH) == 6, "PCI node");
static_assert(OFFSET_OF(PCI_DEVICE_PATH, Function) == 4, "PCI node");

#define ACPI_DP 0x01
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT32 HID;
  UINT32 UID;
} ACPI_HID_DEVICE_PATH;
static_assert(sizeof(ACPI_HID_DEVICE_PATH) == 12, "ACPI node");

// Compressed EISA id of a "PNPxxxx" device, as stored in ACPI_HID_DEVICE_PATH.HID.
#define EISA_PNP_ID(Id) ((UINT32)(((Id) << 16) | 0x41D0))

#define MEDIA_PIWG_FW_FILE_DP 0x06
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvFileName;
} MEDIA_FW_VOL_FILEPATH_DEVICE_PATH;
static_assert(sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH) == 20, "firmware-volume file node");
static_assert(OFFSET_OF(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH, FvFileName) == 4, "file GUID at 4");

#define MEDIA_PIWG_FW_VOL_DP 0x07
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvName;
} MEDIA_FW_VOL_DEVICE_PATH;
static_assert(sizeof(MEDIA_FW_VOL_DEVICE_PATH) == 20, "firmware-volume node");

#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF
#define END_INSTANCE_DEVICE_PATH_SUBTYPE 0x01
#define END_DEVICE_PATH_LENGTH ((UINTN)sizeof(EFI_DEVICE_PATH_PROTOCOL))

#pragma pack(pop)

static inline UINT8 DevicePathType(const EFI_DEVICE_PATH_PROTOCOL *Node) { return Node->Type; }

static inline UINT8 DevicePathSubType(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return Node->SubType;
}

// The length field is little-endian and may sit at any alignment.
static inline UINTN DevicePathNodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

static inline VOID SetDevicePathNodeLength(EFI_DEVICE_PATH_PROTOCOL *Node, UINTN Length) {
  Node->Length[0] = (UINT8)Length;
  Node->Length[1] = (UINT8)(Length >> 8);
}

// Callers walking untrusted paths must stop on a node shorter than its
// header, or this never advances.
static inline EFI_DEVICE_PATH_PROTOCOL *NextDevicePathNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + DevicePathNodeLength(Node));
}

static inline BOOLEAN IsDevicePathEndType(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return DevicePathType(Node) == END_DEVICE_PATH_TYPE;
}

static inline BOOLEAN IsDevicePathEnd(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return IsDevicePathEndType(Node) && DevicePathSubType(Node) == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

static inline VOID SetDevicePathEndNode(EFI_DEVICE_PATH_PROTOCOL *Node) {
  Node->Type = END_DEVICE_PATH_TYPE;
  Node->SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  SetDevicePathNodeLength(Node, END_DEVICE_PATH_LENGTH);
}

extern EFI_GUID gEfiDevicePathProtocolGuid;
