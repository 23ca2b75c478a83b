// The agent's NIC_IO_PROTOCOL instance: window-checked memory and port access
// through the controller's BARs, configuration access through the
// memory-mapped window, DMA pages below 4 GiB, the location, and a delay on
// the ACPI PM timer. Built from the device HOB at start-up and rebuilt from
// the enumerated controller's PCI I/O after enumeration.
#include "NicIo.h"

#include "AgentInternal.h"

#include <Board/BoardConfig.h>
#include <Hw.h>
#include <IndustryStandard/AcpiResources.h>
#include <Protocol/MgmtLink.h>

NIC_IO_PROTOCOL mNicIo;

namespace {

constexpr UINT64 kMaxIoPort = 0xFFFF;
constexpr UINT64 kMaxAddress = ~(UINT64)0;
constexpr UINT32 kConfigSpaceSize = 0x1000; // extended configuration space per function
constexpr UINT64 kConfigWindowSize = 0x10000000;
constexpr UINT64 kBelow4GiB = 0xFFFFFFFF;
constexpr UINT64 kMicrosecondsPerSecond = 1000000;
// The PM timer counts 24 bits; waits are cut into chunks short enough that
// bit 23 of (end - now) tells "passed" from "not yet" across a wrap.
constexpr UINT32 kStallChunkBits = 22;
constexpr UINT32 kStallChunkTicks = 1u << kStallChunkBits;
constexpr UINT32 kStallPassedBit = 1u << 23;

enum class WidthClass { Normal, Fifo, Fill };

WidthClass ClassOf(EFI_PCI_IO_PROTOCOL_WIDTH Width) {
  if ((UINT32)Width >= kNicIoWidthFillFirst) {
    return WidthClass::Fill;
  }
  return (UINT32)Width >= kNicIoWidthFifoFirst ? WidthClass::Fifo : WidthClass::Normal;
}

UINTN ElementSize(EFI_PCI_IO_PROTOCOL_WIDTH Width) { return (UINTN)1 << ((UINT32)Width & 3); }

// Offset of the function's register inside the configuration window. An
// unknown location (0xFF bytes) lands past the window's end on purpose.
UINT64 ConfigWindowOffset(CONST NIC_IO_PROTOCOL *NicIo, UINT32 Register) {
  return ((UINT64)NicIo->BusNumber << 20) + ((UINT64)NicIo->DeviceNumber << 15) +
         ((UINT64)NicIo->FunctionNumber << 12) + Register;
}

UINT32 ConfigRead32(CONST NIC_IO_PROTOCOL *NicIo, UINT32 Register) {
  UINT64 Offset = ConfigWindowOffset(NicIo, Register);
  return Offset + 4 <= kConfigWindowSize ? MmioRead32(kBoardPciConfigBase + Offset) : 0xFFFFFFFF;
}

// Every data member first touches the device's identity register, which
// keeps a device that sleeps until configuration access awake.
VOID TouchDevice(CONST NIC_IO_PROTOCOL *NicIo) { (void)ConfigRead32(NicIo, kBoardPciIdOffset); }

UINT64 ReadMemory(UINT64 Address, UINTN Size) {
  switch (Size) {
  case 1:
    return MmioRead8((UINTN)Address);
  case 2:
    return MmioRead16((UINTN)Address);
  case 4:
    return MmioRead32((UINTN)Address);
  default:
    return MmioRead64((UINTN)Address);
  }
}

VOID WriteMemory(UINT64 Address, UINTN Size, UINT64 Value) {
  switch (Size) {
  case 1:
    MmioWrite8((UINTN)Address, (UINT8)Value);
    break;
  case 2:
    MmioWrite16((UINTN)Address, (UINT16)Value);
    break;
  case 4:
    MmioWrite32((UINTN)Address, (UINT32)Value);
    break;
  default:
    MmioWrite64((UINTN)Address, Value);
    break;
  }
}

UINT64 LoadElement(CONST UINT8 *From, UINTN Size) {
  UINT64 Value = 0;
  for (UINTN Byte = 0; Byte < Size; Byte++) {
    Value |= (UINT64)From[Byte] << (8 * Byte);
  }
  return Value;
}

VOID StoreElement(UINT8 *To, UINTN Size, UINT64 Value) {
  for (UINTN Byte = 0; Byte < Size; Byte++) {
    To[Byte] = (UINT8)(Value >> (8 * Byte));
  }
}

// The checks the memory and port members share, after touching the device:
// the width, then the translation of (BarIndex, Offset) into an address for
// an access of Count elements. EFI_UNSUPPORTED when the window is missing,
// of the other kind, or too short.
[[nodiscard]] EFI_STATUS TranslateBar(EFI_PCI_IO_PROTOCOL *This, BOOLEAN Memory,
                                      EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8 BarIndex,
                                      UINT64 Offset, UINTN Count, UINT64 *Address) {
  CONST NIC_IO_PROTOCOL *NicIo = NicIoFromPciIo(This);
  TouchDevice(NicIo);
  if ((UINT32)Width >= kNicIoWidthLimit) {
    return EFI_INVALID_PARAMETER;
  }
  if (BarIndex == kNicIoAbsoluteBarIndex) {
    *Address = Offset;
    return EFI_SUCCESS;
  }
  if (BarIndex >= kNicIoRomBarIndex) {
    return EFI_UNSUPPORTED;
  }
  CONST NIC_IO_BAR *Bar = &NicIo->BarTable[BarIndex];
  if (Memory ? !NicIoBarKindIsMemory(Bar->BarKind) : !NicIoBarKindIsIo(Bar->BarKind)) {
    return EFI_UNSUPPORTED;
  }
  UINT64 Elements = ClassOf(Width) == WidthClass::Fifo ? 1 : Count;
  UINT64 Size = ElementSize(Width);
  // Offset + Size * Elements - 1 < BarLength, without overflowing.
  if (Offset > Bar->BarLength || Elements > (Bar->BarLength - Offset) / Size) {
    return EFI_UNSUPPORTED;
  }
  *Address = Bar->BarBase + Offset;
  return EFI_SUCCESS;
}

// Address + Size * Count - 1 stays at or below Limit (no element past it).
BOOLEAN RangeFits(UINT64 Address, UINTN Size, UINTN Count, UINT64 Limit) {
  if (Address > Limit) {
    return FALSE;
  }
  if (Count == 0) {
    return TRUE;
  }
  UINT64 Room = Limit - Address; // bytes after the first one
  if (Size - 1 > Room) {
    return FALSE;
  }
  return (UINT64)(Count - 1) <= (Room - (Size - 1)) / Size;
}

// Steps through Count elements, advancing the device address and the
// buffer as the width class says.
template <typename Access>
VOID ForEachElement(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count, UINT8 *Buffer,
                    Access Do) {
  WidthClass Class = ClassOf(Width);
  UINTN Size = ElementSize(Width);
  for (UINTN Index = 0; Index < Count; Index++) {
    Do(Address, Buffer);
    if (Class != WidthClass::Fifo) {
      Address += Size;
    }
    if (Class != WidthClass::Fill) {
      Buffer += Size;
    }
  }
}

EFI_STATUS MemAccess(EFI_PCI_IO_PROTOCOL *This, BOOLEAN Write, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                     UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  UINT64 Address;
  EFI_STATUS Status = TranslateBar(This, TRUE, Width, BarIndex, Offset, Count, &Address);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINTN Size = ElementSize(Width);
  if (Buffer == NULL ||
      (ClassOf(Width) != WidthClass::Fifo && !RangeFits(Address, Size, Count, kMaxAddress))) {
    return EFI_INVALID_PARAMETER;
  }
  ForEachElement(Width, Address, Count, (UINT8 *)Buffer, [Write, Size](UINT64 At, UINT8 *Data) {
    if (Write) {
      WriteMemory(At, Size, LoadElement(Data, Size));
    } else {
      StoreElement(Data, Size, ReadMemory(At, Size));
    }
  });
  return EFI_SUCCESS;
}

UINT32 ReadPort(UINT16 Port, UINTN Size) {
  switch (Size) {
  case 1:
    return IoRead8(Port);
  case 2:
    return IoRead16(Port);
  default:
    return IoRead32(Port);
  }
}

VOID WritePort(UINT16 Port, UINTN Size, UINT32 Value) {
  switch (Size) {
  case 1:
    IoWrite8(Port, (UINT8)Value);
    break;
  case 2:
    IoWrite16(Port, (UINT16)Value);
    break;
  default:
    IoWrite32(Port, Value);
    break;
  }
}

EFI_STATUS IoAccess(EFI_PCI_IO_PROTOCOL *This, BOOLEAN Write, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                    UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  UINT64 Address;
  EFI_STATUS Status = TranslateBar(This, FALSE, Width, BarIndex, Offset, Count, &Address);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINTN Size = ElementSize(Width);
  if (Buffer == NULL || Address > kMaxIoPort) {
    return EFI_INVALID_PARAMETER;
  }
  // The port range must stay below 0xFFFF.
  if (ClassOf(Width) != WidthClass::Fifo &&
      (Count > kMaxIoPort || Address + (UINT64)Size * Count > kMaxIoPort)) {
    return EFI_INVALID_PARAMETER;
  }
  if (Size == 8 && Write) {
    return EFI_INVALID_PARAMETER;
  }
  ForEachElement(Width, Address, Count, (UINT8 *)Buffer, [Write, Size](UINT64 At, UINT8 *Data) {
    UINT16 Port = (UINT16)At;
    if (Size == 8) {
      // No 8-byte port cycle exists: two DWORDs, low one first.
      StoreElement(Data, 4, IoRead32(Port));
      StoreElement(Data + 4, 4, IoRead32((UINT16)(Port + 4)));
    } else if (Write) {
      WritePort(Port, Size, (UINT32)LoadElement(Data, Size));
    } else {
      StoreElement(Data, Size, ReadPort(Port, Size));
    }
  });
  return EFI_SUCCESS;
}

EFI_STATUS ConfigAccess(EFI_PCI_IO_PROTOCOL *This, BOOLEAN Write, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                        UINT32 Offset, UINTN Count, VOID *Buffer) {
  NIC_IO_PROTOCOL *NicIo = NicIoFromPciIo(This);
  TouchDevice(NicIo);
  if (Buffer == NULL || (UINT32)Width >= kNicIoWidthLimit) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN Size = ElementSize(Width);
  if (!RangeFits(Offset, Size, Count, kConfigSpaceSize - 1)) {
    return EFI_UNSUPPORTED;
  }
  // The root bridge has no 8-byte configuration cycle: two DWORDs each.
  if (Size == 8) {
    Width = (EFI_PCI_IO_PROTOCOL_WIDTH)(((UINT32)Width & ~3u) | EfiPciIoWidthUint32);
    Size = 4;
    Count *= 2;
  }
  UINT64 Start = ConfigWindowOffset(NicIo, Offset);
  ForEachElement(Width, Start, Count, (UINT8 *)Buffer, [Write, Size](UINT64 At, UINT8 *Data) {
    BOOLEAN Inside = At + Size <= kConfigWindowSize;
    if (Write) {
      if (Inside) {
        WriteMemory(kBoardPciConfigBase + At, Size, LoadElement(Data, Size));
      }
    } else {
      StoreElement(Data, Size, Inside ? ReadMemory(kBoardPciConfigBase + At, Size) : kMaxAddress);
    }
  });
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NicIoMemRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                               UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return MemAccess(This, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoMemWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return MemAccess(This, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoIoRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                              UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return IoAccess(This, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoIoWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                               UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer) {
  return IoAccess(This, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoPciRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                               UINT32 Offset, UINTN Count, VOID *Buffer) {
  return ConfigAccess(This, FALSE, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoPciWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                UINT32 Offset, UINTN Count, VOID *Buffer) {
  return ConfigAccess(This, TRUE, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI NicIoAllocateBuffer(EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE Type,
                                      EFI_MEMORY_TYPE MemoryType, UINTN Pages, VOID **HostAddress,
                                      UINT64 Attributes) {
  (void)This;
  (void)Type;
  (void)Attributes;
  if (HostAddress == NULL ||
      (MemoryType != EfiBootServicesData && MemoryType != EfiRuntimeServicesData)) {
    return EFI_INVALID_PARAMETER;
  }
  // The controller's descriptors hold 32-bit addresses.
  EFI_PHYSICAL_ADDRESS Address = kBelow4GiB;
  EFI_STATUS Status = mBootServices->AllocatePages(AllocateMaxAddress, MemoryType, Pages, &Address);
  if (!EFI_ERROR(Status)) {
    *HostAddress = (VOID *)(UINTN)Address;
  }
  return Status;
}

EFI_STATUS EFIAPI NicIoGetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentNumber,
                                   UINTN *BusNumber, UINTN *DeviceNumber, UINTN *FunctionNumber) {
  if (SegmentNumber == NULL || BusNumber == NULL || DeviceNumber == NULL ||
      FunctionNumber == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  CONST NIC_IO_PROTOCOL *NicIo = NicIoFromPciIo(This);
  *SegmentNumber = 0;
  *BusNumber = NicIo->BusNumber;
  *DeviceNumber = NicIo->DeviceNumber;
  *FunctionNumber = NicIo->FunctionNumber;
  return EFI_SUCCESS;
}

// The members NicLinkDxe has no use for.
EFI_STATUS EFIAPI NicIoPoll(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64, UINT64,
                            UINT64, UINT64, UINT64 *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoCopyMem(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                               UINT8, UINT64, UINTN) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoMap(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_OPERATION, VOID *, UINTN *,
                           EFI_PHYSICAL_ADDRESS *, VOID **) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoUnmap(EFI_PCI_IO_PROTOCOL *, VOID *) { return EFI_UNSUPPORTED; }

// The link allocates a staging buffer for every exchange and gives it back
// here; refusing would keep 16 KiB below 4 GiB per exchange until the OS
// takes the memory.
EFI_STATUS EFIAPI NicIoFreeBuffer(EFI_PCI_IO_PROTOCOL *This, UINTN Pages, VOID *HostAddress) {
  (void)This;
  if (HostAddress == NULL || Pages == 0) {
    return EFI_INVALID_PARAMETER;
  }
  return mBootServices->FreePages((EFI_PHYSICAL_ADDRESS)(UINTN)HostAddress, Pages);
}

EFI_STATUS EFIAPI NicIoFlush(EFI_PCI_IO_PROTOCOL *) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI NicIoAttributes(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION,
                                  UINT64, UINT64 *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoGetBarAttributes(EFI_PCI_IO_PROTOCOL *, UINT8, UINT64 *, VOID **) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI NicIoSetBarAttributes(EFI_PCI_IO_PROTOCOL *, UINT64, UINT8, UINT64 *, UINT64 *) {
  return EFI_UNSUPPORTED;
}

CONST EFI_PCI_IO_PROTOCOL kNicIoTemplate = {
    NicIoPoll,
    NicIoPoll,
    {NicIoMemRead, NicIoMemWrite},
    {NicIoIoRead, NicIoIoWrite},
    {NicIoPciRead, NicIoPciWrite},
    NicIoCopyMem,
    NicIoMap,
    NicIoUnmap,
    NicIoAllocateBuffer,
    NicIoFreeBuffer,
    NicIoFlush,
    NicIoGetLocation,
    NicIoAttributes,
    NicIoGetBarAttributes,
    NicIoSetBarAttributes,
    0,
    NULL,
};

VOID ResetInstance() {
  AgentZeroMem(&mNicIo, sizeof(mNicIo));
  AgentCopyMem(&mNicIo.PciIo, &kNicIoTemplate, sizeof(kNicIoTemplate));
  mNicIo.BusNumber = kNicIoLocationUnknown;
  mNicIo.DeviceNumber = kNicIoLocationUnknown;
  mNicIo.FunctionNumber = kNicIoLocationUnknown;
}

VOID SetBar(UINT32 Index, UINT32 Kind, UINT64 Base, UINT64 Length) {
  mNicIo.BarTable[Index].BarKind = Kind;
  mNicIo.BarTable[Index].BarBase = Base;
  mNicIo.BarTable[Index].BarLength = Length;
}

// The HOB's windows, by the configuration offset of their BAR.
VOID RecordHobWindow(CONST MGMT_DEVICE_HOB_ENTRY *Entry) {
  switch (Entry->BarOffset) {
  case kMgmtDeviceBar0Offset:
    SetBar(0, kNicIoBarKindIo, Entry->Base, Entry->Length);
    break;
  case kMgmtDeviceBar2Offset:
    SetBar(2, kNicIoBarKindMemory, Entry->Base, Entry->Length);
    break;
  case kMgmtDeviceBar4Offset:
    SetBar(4, kNicIoBarKindMemory, Entry->Base, Entry->Length);
    break;
  default:
    break;
  }
}

// One BAR as the PCI bus driver describes it: kind 0 for an unused BAR.
VOID ReadEnumeratedBar(EFI_PCI_IO_PROTOCOL *PciIo, UINT8 Index, NIC_IO_BAR *Bar) {
  Bar->BarKind = kNicIoBarKindNone;
  Bar->BarBase = 0;
  Bar->BarLength = 0;
  VOID *Resources = NULL;
  if (EFI_ERROR(PciIo->GetBarAttributes(PciIo, Index, NULL, &Resources)) || Resources == NULL) {
    return;
  }
  CONST EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *Descriptor =
      (CONST EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *)Resources;
  if (Descriptor->Desc == ACPI_ADDRESS_SPACE_DESCRIPTOR &&
      Descriptor->Len == kAcpiAddressSpaceDescriptorLength && Descriptor->AddrLen != 0) {
    if (Descriptor->ResType == ACPI_ADDRESS_SPACE_TYPE_IO) {
      Bar->BarKind = kNicIoBarKindIo;
    } else if (Descriptor->ResType == ACPI_ADDRESS_SPACE_TYPE_MEM) {
      Bar->BarKind = kNicIoBarKindMemory;
    }
    if (Bar->BarKind != kNicIoBarKindNone) {
      Bar->BarBase = Descriptor->AddrRangeMin;
      Bar->BarLength = Descriptor->AddrLen;
    }
  }
  (void)mBootServices->FreePool(Resources);
}

} // namespace

BOOLEAN IsBoardNic(UINT8 Bus, UINT8 Device, UINT8 Function) {
  return MmioRead32(BoardPciConfigAddress(Bus, Device, Function, kBoardPciIdOffset)) ==
             kBoardNicPciId &&
         MmioRead32(BoardPciConfigAddress(Bus, Device, Function, kBoardPciSubsystemOffset)) ==
             kBoardNicSubsystemId;
}

BOOLEAN InstallNicIo(MGMT_DEVICE_HOB_DATA *DeviceHob) {
  ResetInstance();
  BOOLEAN Present = FALSE;
  UINT32 Entries = DeviceHob->EntryCount;
  if (Entries > kMgmtDeviceHobMaxEntries) {
    Entries = kMgmtDeviceHobMaxEntries;
  }
  for (UINT32 Index = 0; Index < Entries; Index++) {
    CONST MGMT_DEVICE_HOB_ENTRY *Entry = &DeviceHob->Entries[Index];
    // A location the configuration window cannot address is not the controller.
    if (!AgentEntryAddressable(Entry) || !IsBoardNic(Entry->Bus, Entry->Device, Entry->Function)) {
      continue;
    }
    Present = TRUE;
    if (mNicIo.BusNumber == kNicIoLocationUnknown && mNicIo.DeviceNumber == kNicIoLocationUnknown &&
        mNicIo.FunctionNumber == kNicIoLocationUnknown) {
      mNicIo.BusNumber = Entry->Bus;
      mNicIo.DeviceNumber = Entry->Device;
      mNicIo.FunctionNumber = Entry->Function;
    }
    // A second controller with the same identity does not mix its windows in.
    if (Entry->Bus == mNicIo.BusNumber && Entry->Device == mNicIo.DeviceNumber &&
        Entry->Function == mNicIo.FunctionNumber) {
      RecordHobWindow(Entry);
    }
  }
  if (!Present) {
    return FALSE;
  }
  mNicIo.Stall = Stall;
  EFI_HANDLE Handle = mImageHandle;
  if (EFI_ERROR(mBootServices->InstallProtocolInterface(&Handle, &gNicIoProtocolGuid,
                                                        EFI_NATIVE_INTERFACE, &mNicIo))) {
    return FALSE;
  }
  // NicLinkDxe's notification has run by now and installed the link.
  VOID *Link = NULL;
  return !EFI_ERROR(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, NULL, &Link)) &&
         Link != NULL;
}

EFI_STATUS RebindNicIo(EFI_PCI_IO_PROTOCOL *PciIo) {
  UINTN Segment;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
  EFI_STATUS Status = PciIo->GetLocation(PciIo, &Segment, &Bus, &Device, &Function);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  NIC_IO_BAR Bars[kNicIoBarCount];
  AgentZeroMem(Bars, sizeof(Bars));
  // The option ROM is not a window the link driver uses; its entry stays empty.
  for (UINT8 Index = 0; Index < kNicIoRomBarIndex; Index++) {
    ReadEnumeratedBar(PciIo, Index, &Bars[Index]);
  }
  mNicIo.BusNumber = (UINT8)Bus;
  mNicIo.DeviceNumber = (UINT8)Device;
  mNicIo.FunctionNumber = (UINT8)Function;
  AgentCopyMem(mNicIo.BarTable, Bars, sizeof(Bars));
  return mBootServices->ReinstallProtocolInterface(mImageHandle, &gNicIoProtocolGuid, &mNicIo,
                                                   &mNicIo);
}

UINTN EFIAPI Stall(UINTN Microseconds) {
  // Split so that the product cannot overflow; the result is the same.
  UINT64 Ticks =
      (UINT64)(Microseconds / kMicrosecondsPerSecond) * kBoardPmTimerHz +
      (UINT64)(Microseconds % kMicrosecondsPerSecond) * kBoardPmTimerHz / kMicrosecondsPerSecond;
  UINT32 Chunk = (UINT32)(Ticks & (kStallChunkTicks - 1));
  UINT64 FullChunks = Ticks >> kStallChunkBits;
  for (UINT64 Round = 0; Round <= FullChunks; Round++) {
    UINT32 End = IoRead32(kBoardPmTimerPort) + Chunk;
    while (((End - IoRead32(kBoardPmTimerPort)) & kStallPassedBit) == 0) {
      CpuPause();
    }
    Chunk = kStallChunkTicks;
  }
  return Microseconds;
}
