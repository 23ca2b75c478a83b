// The end of the boot-services phase. ExitBootServices runs the notify
// functions of the exit-boot-services group, then takes the boot services
// away: every slot of the table becomes a trap, and the system table drops
// its boot-services and console pointers (UEFI: "ExitBootServices"). From
// then on guest memory tells device writes into the OS's memory apart.
#include "DxeInternal.h"
#include "ServiceCommon.h"
#include "Trap.h"

#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"

#include <Guid/EventGroup.h>

namespace sim {
namespace {
constexpr EFI_GUID kExitBootServicesGroup = EFI_EVENT_GROUP_EXIT_BOOT_SERVICES;
} // namespace

void Dxe::ExitBootServices() {
  if (bootServicesExited_) {
    return;
  }
  machine_.trace().Emit("dxe", ev::DxeExitBootServices{});
  SignalEventGroup(kExitBootServicesGroup);
  bootServicesExited_ = true;

  // A module that kept the table's address still reaches it; the slots name
  // the fault instead of running a service that no longer exists.
  EFI_BOOT_SERVICES &bs = *bootServices_;
  SIM_GONE_SLOT(bs, "BootServices", RaiseTPL);
  SIM_GONE_SLOT(bs, "BootServices", RestoreTPL);
  SIM_GONE_SLOT(bs, "BootServices", AllocatePages);
  SIM_GONE_SLOT(bs, "BootServices", FreePages);
  SIM_GONE_SLOT(bs, "BootServices", GetMemoryMap);
  SIM_GONE_SLOT(bs, "BootServices", AllocatePool);
  SIM_GONE_SLOT(bs, "BootServices", FreePool);
  SIM_GONE_SLOT(bs, "BootServices", CreateEvent);
  SIM_GONE_SLOT(bs, "BootServices", SetTimer);
  SIM_GONE_SLOT(bs, "BootServices", WaitForEvent);
  SIM_GONE_SLOT(bs, "BootServices", SignalEvent);
  SIM_GONE_SLOT(bs, "BootServices", CloseEvent);
  SIM_GONE_SLOT(bs, "BootServices", CheckEvent);
  SIM_GONE_SLOT(bs, "BootServices", InstallProtocolInterface);
  SIM_GONE_SLOT(bs, "BootServices", ReinstallProtocolInterface);
  SIM_GONE_SLOT(bs, "BootServices", UninstallProtocolInterface);
  SIM_GONE_SLOT(bs, "BootServices", HandleProtocol);
  SIM_GONE_SLOT(bs, "BootServices", RegisterProtocolNotify);
  SIM_GONE_SLOT(bs, "BootServices", LocateHandle);
  SIM_GONE_SLOT(bs, "BootServices", LocateDevicePath);
  SIM_GONE_SLOT(bs, "BootServices", InstallConfigurationTable);
  SIM_GONE_SLOT(bs, "BootServices", LoadImage);
  SIM_GONE_SLOT(bs, "BootServices", StartImage);
  SIM_GONE_SLOT(bs, "BootServices", Exit);
  SIM_GONE_SLOT(bs, "BootServices", UnloadImage);
  SIM_GONE_SLOT(bs, "BootServices", ExitBootServices);
  SIM_GONE_SLOT(bs, "BootServices", GetNextMonotonicCount);
  SIM_GONE_SLOT(bs, "BootServices", Stall);
  SIM_GONE_SLOT(bs, "BootServices", SetWatchdogTimer);
  SIM_GONE_SLOT(bs, "BootServices", ConnectController);
  SIM_GONE_SLOT(bs, "BootServices", DisconnectController);
  SIM_GONE_SLOT(bs, "BootServices", OpenProtocol);
  SIM_GONE_SLOT(bs, "BootServices", CloseProtocol);
  SIM_GONE_SLOT(bs, "BootServices", OpenProtocolInformation);
  SIM_GONE_SLOT(bs, "BootServices", ProtocolsPerHandle);
  SIM_GONE_SLOT(bs, "BootServices", LocateHandleBuffer);
  SIM_GONE_SLOT(bs, "BootServices", LocateProtocol);
  SIM_GONE_SLOT(bs, "BootServices", InstallMultipleProtocolInterfaces);
  SIM_GONE_SLOT(bs, "BootServices", UninstallMultipleProtocolInterfaces);
  SIM_GONE_SLOT(bs, "BootServices", CalculateCrc32);
  SIM_GONE_SLOT(bs, "BootServices", CopyMem);
  SIM_GONE_SLOT(bs, "BootServices", SetMem);
  SIM_GONE_SLOT(bs, "BootServices", CreateEventEx);

  EFI_SYSTEM_TABLE &st = *systemTable_;
  st.ConsoleInHandle = nullptr;
  st.ConIn = nullptr;
  st.ConsoleOutHandle = nullptr;
  st.ConOut = nullptr;
  st.StandardErrorHandle = nullptr;
  st.StdErr = nullptr;
  st.BootServices = nullptr;
  UpdateSystemTableCrc();

  machine_.memory().ExitBootServices();
}

} // namespace sim
