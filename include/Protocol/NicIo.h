// NIC_IO_PROTOCOL: the agent's own PCI I/O interface for the Ethernet
// controller that carries the management link. It lets NicLinkDxe drive the
// controller before, and independently of, the firmware core's PCI
// enumeration. The standard PCI I/O members come first; after them sit the
// device's location, its BAR windows and a microsecond delay routine, at
// fixed offsets that both drivers rely on (NicLinkDxe reads Stall directly).
#pragma once

#include <Protocol/PciIo.h>
#include <Uefi/UefiBaseType.h>

#define NIC_IO_PROTOCOL_GUID                                                                       \
  {                                                                                                \
    0x15667DA9, 0xE18C, 0x4927, { 0x83, 0x26, 0x6E, 0xA9, 0x0C, 0xD4, 0x35, 0xF6 }                 \
  }

typedef struct _NIC_IO_PROTOCOL NIC_IO_PROTOCOL;

/**
  Busy-waits on the ACPI power-management timer.

  @param[in] Microseconds   How long to wait.

  @return Microseconds, unchanged.
**/
typedef UINTN(EFIAPI *NIC_IO_STALL)(IN UINTN Microseconds);

// One window of the device: BarTable[0..5] are BARs 0..5, BarTable[6] the
// option ROM.
typedef struct {
  UINT32 BarKind; // kNicIoBarKind*
  UINT32 Reserved0;
  UINT64 BarBase;
  UINT64 BarLength;
  UINT8 Reserved1[40];
} NIC_IO_BAR;

struct _NIC_IO_PROTOCOL {
  EFI_PCI_IO_PROTOCOL PciIo; // members keep PCI I/O semantics and signatures
  UINT8 Reserved0[457];
  UINT8 FunctionNumber; // kNicIoLocationUnknown until known
  UINT8 DeviceNumber;
  UINT8 BusNumber;
  UINT8 Reserved1[4];
  NIC_IO_BAR BarTable[7];
  NIC_IO_STALL Stall;
};

constexpr UINT32 kNicIoBarCount = 7;
constexpr UINT8 kNicIoRomBarIndex = 6;
constexpr UINT8 kNicIoAbsoluteBarIndex = 0xFF; // Offset is used as the address itself
constexpr UINT8 kNicIoLocationUnknown = 0xFF;

// BarKind: 0 = no window, 2..3 = I/O window, 4..7 = memory window.
constexpr UINT32 kNicIoBarKindNone = 0;
constexpr UINT32 kNicIoBarKindIo = 3;     // what the agent records for an I/O BAR
constexpr UINT32 kNicIoBarKindMemory = 4; // what the agent records for a memory BAR
constexpr BOOLEAN NicIoBarKindIsIo(UINT32 Kind) { return (Kind == 2 || Kind == 3) ? TRUE : FALSE; }
constexpr BOOLEAN NicIoBarKindIsMemory(UINT32 Kind) {
  return (Kind >= 4 && Kind <= 7) ? TRUE : FALSE;
}

// EFI_PCI_IO_PROTOCOL_WIDTH classes: element size is 1 << (Width & 3).
constexpr UINT32 kNicIoWidthFifoFirst = 4;
constexpr UINT32 kNicIoWidthFillFirst = 8;
constexpr UINT32 kNicIoWidthLimit = 12; // widths at or above this are refused

// The members receive the embedded PCI I/O record as This.
static inline NIC_IO_PROTOCOL *NicIoFromPciIo(EFI_PCI_IO_PROTOCOL *PciIo) {
  return (NIC_IO_PROTOCOL *)PciIo;
}

static_assert(sizeof(NIC_IO_BAR) == 64);
static_assert(OFFSET_OF(NIC_IO_BAR, BarKind) == 0);
static_assert(OFFSET_OF(NIC_IO_BAR, BarBase) == 8);
static_assert(OFFSET_OF(NIC_IO_BAR, BarLength) == 16);
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, PciIo) == 0, "container-of by cast");

// X64: 20 eight-byte PCI I/O members. IA32: RomSize is 64-bit and 8-aligned
// there too, which pads the PCI I/O record to 88 bytes.
static_assert(sizeof(EFI_PCI_IO_PROTOCOL) == EFI_ABI_PICK(160, 88));
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, FunctionNumber) == EFI_ABI_PICK(617, 545));
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, DeviceNumber) == EFI_ABI_PICK(618, 546));
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, BusNumber) == EFI_ABI_PICK(619, 547));
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, BarTable) == EFI_ABI_PICK(624, 552));
static_assert(OFFSET_OF(NIC_IO_PROTOCOL, Stall) == EFI_ABI_PICK(1072, 1000),
              "NicLinkDxe reads Stall here");
static_assert(sizeof(NIC_IO_PROTOCOL) == EFI_ABI_PICK(1080, 1008));

extern EFI_GUID gNicIoProtocolGuid;
