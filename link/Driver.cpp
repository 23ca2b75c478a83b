// NicLinkDxe's entry point and NIC I/O notification: each installation of
// NIC_IO_PROTOCOL makes a device context for the controller behind it,
// identifies and prepares the controller, installs MGMT_LINK_PROTOCOL on the
// driver's image handle and leaves COM1 at divisor 1.
#include "DeviceContext.h"
#include "ChipId.h"
#include "Protocol.h"
#include "RegisterAccess.h"

#include <Hw.h>
#include <Uefi/UefiServices.h>

namespace {

EFI_HANDLE mImageHandle;
EFI_BOOT_SERVICES *mBootServices;
// The context whose record was installed last; its memory is used again by
// the next notification once the record is no longer installed.
NIC_DEVICE_CONTEXT *mContext;

// The legacy UART at COM1.
constexpr UINT16 kCom1Base = 0x3F8; // divisor latch low byte while the latch is open
constexpr UINT16 kCom1LineControl = 0x3FB;
constexpr UINT8 kLineControlDivisorLatch = 0x80;
constexpr UINT8 kLineControlParity = 0x08;
constexpr UINT8 kLineControlEightBits = 0x03;
constexpr UINT8 kCom1Divisor = 1;

void ProgramCom1() {
  UINT8 Line = IoRead8(kCom1LineControl);
  UINT8 Kept = (UINT8)(Line & ~kLineControlParity);
  IoWrite8(kCom1LineControl, (UINT8)(Kept | kLineControlEightBits));
  IoWrite8(kCom1LineControl, (UINT8)(Kept | kLineControlDivisorLatch));
  IoWrite8(kCom1Base, kCom1Divisor); // the high byte keeps its value
  IoWrite8(kCom1LineControl, (UINT8)(Line & ~(kLineControlDivisorLatch | kLineControlParity)));
}

constexpr UINTN kNicContextPages = EFI_SIZE_TO_PAGES(kNicContextSize);

// Gives the pages of a context that never had an installed record back.
void ReleaseContext(NIC_DEVICE_CONTEXT *Ctx, VOID *Dma) {
  EFI_PCI_IO_PROTOCOL *PciIo = &Ctx->NicIo->PciIo;
  if (Dma != NULL) {
    (void)PciIo->FreeBuffer(PciIo, kNicDmaPages, Dma); // nothing more can be done
  }
  (void)PciIo->FreeBuffer(PciIo, kNicContextPages, Ctx);
}

// Creates and fills a device context for NicIo; *Ctx receives it on success.
// Reuse, when not NULL, is an earlier context whose record is no longer
// installed: its memory and DMA area serve again instead of new pages.
EFI_STATUS CreateDeviceContext(NIC_IO_PROTOCOL *NicIo, NIC_IO_STALL Stall,
                               NIC_DEVICE_CONTEXT *Reuse, NIC_DEVICE_CONTEXT **Created) {
  *Created = NULL;
  if (Stall == NULL) {
    return EFI_UNSUPPORTED; // every wait of the driver needs the delay routine
  }
  EFI_PCI_IO_PROTOCOL *PciIo = &NicIo->PciIo;
  VOID *Memory = Reuse;
  VOID *Dma = Reuse != NULL ? (VOID *)(UINTN)Reuse->Adapter.DmaHostAddress : NULL;
  EFI_STATUS Status = EFI_SUCCESS;
  if (Memory == NULL) {
    Status = PciIo->AllocateBuffer(PciIo, AllocateAnyPages, EfiBootServicesData, kNicContextPages,
                                   &Memory, 0);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  NIC_DEVICE_CONTEXT *Ctx = (NIC_DEVICE_CONTEXT *)Memory;
  UINT8 *Bytes = (UINT8 *)Memory;
  for (UINT32 I = 0; I < kNicContextSize; I++) {
    Bytes[I] = 0;
  }
  Ctx->Signature = kNicContextSignature;
  Ctx->NicIo = NicIo;
  Ctx->Hooks.Stall = Stall;

  if (Dma == NULL) {
    Status =
        PciIo->AllocateBuffer(PciIo, AllocateAnyPages, EfiBootServicesData, kNicDmaPages, &Dma, 0);
    if (EFI_ERROR(Status)) {
      ReleaseContext(Ctx, NULL); // no record will ever point into it
      return Status;
    }
  }
  NIC_ADAPTER *A = &Ctx->Adapter;
  A->DmaHostAddress = (UINT64)(UINTN)Dma;
  A->DmaDeviceAddress = A->DmaHostAddress;
  A->DmaSize = kNicDmaAreaSize;
  A->OobAccessType = 3;

  Ctx->Hooks.Map = NULL;
  Ctx->Hooks.Unmap = NULL;
  for (VOID *&Spare : Ctx->Hooks.Spare) {
    Spare = NULL;
  }
  Ctx->Hooks.RegisterAccess = NicRegisterAccess;
  Ctx->Hooks.InterfaceVersion = kNicInterfaceVersion;
  Ctx->Hooks.UniqueId = A;

  UINTN Segment = 0, Bus = 0, Device = 0, Function = 0;
  (void)PciIo->GetLocation(PciIo, &Segment, &Bus, &Device, &Function);
  A->Segment = (UINT16)Segment;
  A->Bus = (UINT16)Bus;
  A->Device = (UINT8)Device;
  A->Function = (UINT8)Function;

  // An unrecognised controller is still served, with chip version 0.
  (void)NicPrepare(Ctx);
  (void)NicIdentify(Ctx);

  Ctx->Link = kLinkProtocolTemplate;
  *Created = Ctx;

  ProgramCom1();
  return EFI_SUCCESS;
}

// Whether Ctx's record is the link installed on the driver's handle.
BOOLEAN RecordInstalled(NIC_DEVICE_CONTEXT *Ctx) {
  VOID *Installed = NULL;
  return !EFI_ERROR(mBootServices->HandleProtocol(mImageHandle, &gMgmtLinkProtocolGuid,
                                                  &Installed)) &&
         Installed == &Ctx->Link;
}

VOID EFIAPI OnNicIoInstalled(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  VOID *Interface = NULL;
  if (EFI_ERROR(mBootServices->LocateProtocol(&gNicIoProtocolGuid, NULL, &Interface)) ||
      Interface == NULL) {
    return;
  }
  NIC_IO_PROTOCOL *NicIo = (NIC_IO_PROTOCOL *)Interface;
  NIC_DEVICE_CONTEXT *Reuse = (mContext != NULL && !RecordInstalled(mContext)) ? mContext : NULL;
  NIC_DEVICE_CONTEXT *Ctx = NULL;
  if (EFI_ERROR(CreateDeviceContext(NicIo, NicIo->Stall, Reuse, &Ctx)) || Ctx == NULL) {
    return;
  }
  // Fails while an earlier record is still installed; that one stays in use
  // and this context, which no client can reach, gives its pages back.
  if (EFI_ERROR(mBootServices->InstallProtocolInterface(&mImageHandle, &gMgmtLinkProtocolGuid,
                                                        EFI_NATIVE_INTERFACE, &Ctx->Link))) {
    if (Ctx != Reuse) {
      ReleaseContext(Ctx, (VOID *)(UINTN)Ctx->Adapter.DmaHostAddress);
    }
    return;
  }
  mContext = Ctx;
}

// After exit-boot-services the memory of the rings belongs to the operating
// system: a controller left running would go on writing arriving frames
// into it by DMA.
VOID EFIAPI OnExitBootServices(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  if (mContext != NULL && mContext->Opened) {
    NicStop(mContext);
  }
}

} // namespace

extern "C" EFI_STATUS EFIAPI NicLinkDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  mImageHandle = ImageHandle;
  mBootServices = SystemTable->BootServices;
  mContext = NULL;
  EFI_EVENT Event = NULL;
  if (EFI_ERROR(mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnNicIoInstalled, NULL,
                                           &Event))) {
    return EFI_SUCCESS;
  }
  VOID *Registration = NULL;
  (void)mBootServices->RegisterProtocolNotify(&gNicIoProtocolGuid, Event, &Registration);
  EFI_EVENT ExitEvent = NULL;
  (void)mBootServices->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, OnExitBootServices,
                                   NULL, &ExitEvent); // without it, nothing to stop at the end
  return EFI_SUCCESS;
}
