// A DXE driver whose entry point fails after leaving things behind: an
// interface installed on a new handle, a notification on a protocol and a
// ready-to-boot event, all pointing into its own code and data. A board
// unloads such a driver, so using any of them afterwards reaches freed code.
#include "TestModules.h"

#include <Guid/EventGroup.h>

namespace {

struct LEFT_INTERFACE {
  EFI_STATUS(EFIAPI *Call)(void);
};

EFI_STATUS EFIAPI LeftCall() { return EFI_SUCCESS; }

LEFT_INTERFACE mLeftInterface = {LeftCall};
UINTN mNotified;

VOID EFIAPI OnEvent(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  mNotified++;
}

} // namespace

extern "C" EFI_STATUS EFIAPI FailedEntryDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                      EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_GUID LeftGuid = kLeftInterfaceGuid;
  EFI_GUID AwaitedGuid = kAwaitedProtocolGuid;
  EFI_GUID ReadyToBoot = EFI_EVENT_GROUP_READY_TO_BOOT;
  EFI_HANDLE Handle = NULL;
  EFI_EVENT Awaited = NULL;
  EFI_EVENT Ready = NULL;
  VOID *Registration = NULL;
  if (EFI_ERROR(BootServices->InstallProtocolInterface(&Handle, &LeftGuid, EFI_NATIVE_INTERFACE,
                                                       &mLeftInterface)) ||
      EFI_ERROR(BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEvent, NULL,
                                          &Awaited)) ||
      EFI_ERROR(BootServices->RegisterProtocolNotify(&AwaitedGuid, Awaited, &Registration)) ||
      EFI_ERROR(BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEvent, NULL,
                                            &ReadyToBoot, &Ready))) {
    return EFI_OUT_OF_RESOURCES;
  }
  return EFI_DEVICE_ERROR;
}
