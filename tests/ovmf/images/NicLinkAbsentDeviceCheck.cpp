// Test application: NicLinkDxe (already loaded, waiting for NIC_IO_PROTOCOL)
// gets a NIC_IO_PROTOCOL over a device that is not there: every read gives
// all ones, writes go nowhere. The driver must install MGMT_LINK_PROTOCOL in
// its notification, before the installation returns, and Open(1, 600000)
// must fail with EFI_DEVICE_ERROR once the link wait has run out. Stall
// really waits (the firmware's Stall) and adds up what it was asked for, so
// the log shows how long the driver waited.
#include "Harness.h"

#include <Protocol/LoadedImage.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/NicIo.h>

using namespace OvmfTest;

namespace {

constexpr UINT64 kLinkStatusRegister = 0x6C; // the I/O register the link wait samples
constexpr UINT32 kLinkTag = 600000;
constexpr UINT32 kLinkWaitSamples = 1001; // 1,000 samples, then the one that ends the wait
constexpr UINTN kBelow4G = 0xFFFFFFFF;

// What the device was asked, as the log reports it.
UINT64 mStalledUs;
UINT64 mReads;
UINT64 mWrites;
UINT64 mLinkStatusReads;

UINTN ElementSize(EFI_PCI_IO_PROTOCOL_WIDTH Width) { return (UINTN)1 << (Width & 3); }

// A read that nothing answers: all ones into every element the buffer holds.
EFI_STATUS AbsentRead(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINTN Count, VOID *Buffer) {
  if (Buffer == NULL || Width >= EfiPciIoWidthMaximum) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN Elements = Width >= EfiPciIoWidthFillUint8 ? 1 : Count; // fill: buffer stays put
  gBS->SetMem(Buffer, Elements * ElementSize(Width), 0xFF);
  mReads += Count;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MemRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8, UINT64,
                          UINTN Count, VOID *Buffer) {
  return AbsentRead(Width, Count, Buffer);
}

EFI_STATUS EFIAPI IoRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8,
                         UINT64 Offset, UINTN Count, VOID *Buffer) {
  if (Offset == kLinkStatusRegister) {
    mLinkStatusReads++;
  }
  return AbsentRead(Width, Count, Buffer);
}

EFI_STATUS EFIAPI Write(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                        UINTN Count, VOID *) {
  mWrites += Count;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32,
                          UINTN Count, VOID *Buffer) {
  return AbsentRead(Width, Count, Buffer);
}

EFI_STATUS EFIAPI PciWrite(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT32, UINTN Count,
                           VOID *) {
  mWrites += Count;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI AllocateBuffer(EFI_PCI_IO_PROTOCOL *, EFI_ALLOCATE_TYPE,
                                 EFI_MEMORY_TYPE MemoryType, UINTN Pages, VOID **HostAddress,
                                 UINT64) {
  if (HostAddress == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_PHYSICAL_ADDRESS Address = kBelow4G;
  EFI_STATUS Status = gBS->AllocatePages(AllocateMaxAddress, MemoryType, Pages, &Address);
  if (!EFI_ERROR(Status)) {
    *HostAddress = (VOID *)(UINTN)Address;
  }
  return Status;
}

EFI_STATUS EFIAPI FreeBuffer(EFI_PCI_IO_PROTOCOL *, UINTN Pages, VOID *HostAddress) {
  return gBS->FreePages((EFI_PHYSICAL_ADDRESS)(UINTN)HostAddress, Pages);
}

EFI_STATUS EFIAPI GetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *Segment, UINTN *Bus, UINTN *Device,
                              UINTN *Function) {
  if (Segment == NULL || Bus == NULL || Device == NULL || Function == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  NIC_IO_PROTOCOL *NicIo = NicIoFromPciIo(This);
  *Segment = 0;
  *Bus = NicIo->BusNumber;
  *Device = NicIo->DeviceNumber;
  *Function = NicIo->FunctionNumber;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }

UINTN EFIAPI Stall(UINTN Microseconds) {
  mStalledUs += Microseconds;
  gBS->Stall(Microseconds);
  return Microseconds;
}

NIC_IO_PROTOCOL mNicIo;

VOID FillNicIo() {
  EFI_PCI_IO_PROTOCOL &P = mNicIo.PciIo;
  P.PollMem = (EFI_PCI_IO_PROTOCOL_POLL_IO_MEM)Unsupported;
  P.PollIo = (EFI_PCI_IO_PROTOCOL_POLL_IO_MEM)Unsupported;
  P.Mem.Read = MemRead;
  P.Mem.Write = Write;
  P.Io.Read = IoRead;
  P.Io.Write = Write;
  P.Pci.Read = PciRead;
  P.Pci.Write = PciWrite;
  P.CopyMem = (EFI_PCI_IO_PROTOCOL_COPY_MEM)Unsupported;
  P.Map = (EFI_PCI_IO_PROTOCOL_MAP)Unsupported;
  P.Unmap = (EFI_PCI_IO_PROTOCOL_UNMAP)Unsupported;
  P.AllocateBuffer = AllocateBuffer;
  P.FreeBuffer = FreeBuffer;
  P.Flush = (EFI_PCI_IO_PROTOCOL_FLUSH)Unsupported;
  P.GetLocation = GetLocation;
  P.Attributes = (EFI_PCI_IO_PROTOCOL_ATTRIBUTES)Unsupported;
  P.GetBarAttributes = (EFI_PCI_IO_PROTOCOL_GET_BAR_ATTRIBUTES)Unsupported;
  P.SetBarAttributes = (EFI_PCI_IO_PROTOCOL_SET_BAR_ATTRIBUTES)Unsupported;
  // A location and windows as the agent would record them from a device HOB.
  mNicIo.BusNumber = 1;
  mNicIo.DeviceNumber = 0;
  mNicIo.FunctionNumber = 0;
  mNicIo.BarTable[0] = {kNicIoBarKindIo, 0, 0xE000, 0x100, {}};
  mNicIo.BarTable[2] = {kNicIoBarKindMemory, 0, 0xF7D00000, 0x1000, {}};
  mNicIo.BarTable[4] = {kNicIoBarKindMemory, 0, 0xF7D04000, 0x4000, {}};
  mNicIo.Stall = Stall;
}

BOOLEAN Listed(EFI_HANDLE Handle, EFI_HANDLE *Handles, UINTN Count) {
  for (UINTN I = 0; I < Count; I++) {
    if (Handles[I] == Handle) {
      return TRUE;
    }
  }
  return FALSE;
}

} // namespace

extern "C" EFI_STATUS EFIAPI NicLinkAbsentDeviceCheckEntryPoint(EFI_HANDLE ImageHandle,
                                                                EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  FillNicIo();
  UINTN BeforeCount = 0, AfterCount = 0;
  EFI_HANDLE *Before = NULL, *After = NULL;
  HandlesWith(&gMgmtLinkProtocolGuid, &BeforeCount, &Before);

  EFI_HANDLE NicHandle = NULL;
  EFI_STATUS Status =
      gBS->InstallProtocolInterface(&NicHandle, &gNicIoProtocolGuid, EFI_NATIVE_INTERFACE, &mNicIo);
  Line().Text("nic-io installed ").Status(Status);
  HandlesWith(&gMgmtLinkProtocolGuid, &AfterCount, &After);

  // The driver's record is the one on a handle that had none before.
  EFI_HANDLE LinkHandle = NULL;
  UINTN New = 0;
  for (UINTN I = 0; I < AfterCount; I++) {
    if (!Listed(After[I], Before, BeforeCount)) {
      LinkHandle = After[I];
      New++;
    }
  }
  MGMT_LINK_PROTOCOL *Link = NULL;
  EFI_LOADED_IMAGE_PROTOCOL *Owner = NULL;
  if (New == 1) {
    gBS->HandleProtocol(LinkHandle, &gMgmtLinkProtocolGuid, (VOID **)&Link);
    gBS->HandleProtocol(LinkHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Owner);
  }
  Line()
      .Text("link records added ")
      .Dec(New)
      .Text(Owner != NULL ? ", on an image handle" : ", not on an image handle")
      .Text(", device reads ")
      .Dec(mReads)
      .Text(", writes ")
      .Dec(mWrites)
      .Text(", stalled us ")
      .Dec(mStalledUs);
  if (Verdict("niclink-installs-link",
              !EFI_ERROR(Status) && New == 1 && Link != NULL && Owner != NULL)) {
    mStalledUs = 0;
    mLinkStatusReads = 0;
    Status = Link->Open(Link, 1, kLinkTag);
    Line()
        .Text("open returned ")
        .Status(Status)
        .Text(", stalled us ")
        .Dec(mStalledUs)
        .Text(", link status reads ")
        .Dec(mLinkStatusReads);
    Verdict("niclink-open-device-error",
            Status == EFI_DEVICE_ERROR && mLinkStatusReads >= kLinkWaitSamples);
    // Nothing may use the record once this image, which holds its NIC I/O, is gone.
    gBS->UninstallProtocolInterface(LinkHandle, &gMgmtLinkProtocolGuid, Link);
  }
  if (NicHandle != NULL) {
    gBS->UninstallProtocolInterface(NicHandle, &gNicIoProtocolGuid, &mNicIo);
  }
  if (Before != NULL) {
    gBS->FreePool(Before);
  }
  if (After != NULL) {
    gBS->FreePool(After);
  }
  return EFI_SUCCESS;
}
