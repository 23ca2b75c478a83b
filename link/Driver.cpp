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

// Creates and fills a device context for NicIo; *Link receives its protocol
// record on success.
EFI_STATUS CreateDeviceContext(NIC_IO_PROTOCOL *NicIo, NIC_IO_STALL Stall,
                               MGMT_LINK_PROTOCOL **Link) {
  *Link = NULL;
  if (Stall == NULL) {
    return EFI_UNSUPPORTED; // every wait of the driver needs the delay routine
  }
  EFI_PCI_IO_PROTOCOL *PciIo = &NicIo->PciIo;
  VOID *Memory = NULL;
  EFI_STATUS Status = PciIo->AllocateBuffer(PciIo, AllocateAnyPages, EfiBootServicesData,
                                            EFI_SIZE_TO_PAGES(kNicContextSize), &Memory, 0);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  NIC_DEVICE_CONTEXT *Ctx = (NIC_DEVICE_CONTEXT *)Memory;
  UINT8 *Bytes = (UINT8 *)Memory;
  for (UINT32 I = 0; I < kNicContextSize; I++) {
    Bytes[I] = 0;
  }
  Ctx->Signature = kNicContextSignature;
  Ctx->NicIo = NicIo;
  Ctx->Hooks.Stall = Stall;

  VOID *Dma = NULL;
  Status =
      PciIo->AllocateBuffer(PciIo, AllocateAnyPages, EfiBootServicesData, kNicDmaPages, &Dma, 0);
  if (EFI_ERROR(Status)) {
    return Status; // the context stays allocated, as contexts always do
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
  *Link = &Ctx->Link;

  ProgramCom1();
  return EFI_SUCCESS;
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
  MGMT_LINK_PROTOCOL *Link = NULL;
  if (EFI_ERROR(CreateDeviceContext(NicIo, NicIo->Stall, &Link)) || Link == NULL) {
    return;
  }
  // Fails while an earlier record is still installed; that one stays in use.
  (void)mBootServices->InstallProtocolInterface(&mImageHandle, &gMgmtLinkProtocolGuid,
                                                EFI_NATIVE_INTERFACE, Link);
}

} // namespace

extern "C" EFI_STATUS EFIAPI NicLinkDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  mImageHandle = ImageHandle;
  mBootServices = SystemTable->BootServices;
  EFI_EVENT Event = NULL;
  if (EFI_ERROR(mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnNicIoInstalled, NULL,
                                           &Event))) {
    return EFI_SUCCESS;
  }
  VOID *Registration = NULL;
  (void)mBootServices->RegisterProtocolNotify(&gNicIoProtocolGuid, Event, &Registration);
  return EFI_SUCCESS;
}
