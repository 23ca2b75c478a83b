// The UEFI tables firmware sees: system table, boot services and runtime
// services in guest memory, each slot either an EFIAPI entry into the current
// Dxe or a trap that names itself. Also the configuration table, image
// handles and the small services (CRC, copy, monotonic count, stall, reset).
#include "Dxe.h"

#include "Crc32.h"
#include "DxeInternal.h"
#include "ServiceCommon.h"
#include "Trap.h"
#include "VariableStore.h"
#include "sim/core/FirmwareRunner.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/FirmwareCall.h"
#include "sim/core/Machine.h"

#include <Protocol/LoadedImage.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace sim {
namespace {

Dxe *gCurrent = nullptr;

constexpr EFI_GUID kLoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constexpr uint64_t kInternalArenaPages = 16;
constexpr size_t kInitialConfigEntries = 32;
// Bound on pairs of one InstallMultipleProtocolInterfaces call; a list that
// does not end within it is taken as missing its NULL terminator.
constexpr size_t kMaxMultiplePairs = 64;
constexpr char16_t kFirmwareVendor[] = u"mgmt-sim";

// The module whose code called the service: the entry's return address.
#define SIM_CALLING_MODULE()                                                                       \
  ::sim::FirmwareRunner::ModuleAt(reinterpret_cast<uint64_t>(__builtin_return_address(0)))

Dxe &Self() {
  Dxe *dxe = Dxe::Current();
  if (dxe == nullptr) {
    std::fprintf(stderr, "mgmt-sim: a boot service was called with no DXE phase alive\n");
    std::abort();
  }
  return *dxe;
}

// ---- Boot services ----
EFI_TPL EFIAPI RaiseTplEntry(EFI_TPL newTpl) { return Self().RaiseTpl(newTpl); }
VOID EFIAPI RestoreTplEntry(EFI_TPL oldTpl) { Self().RestoreTpl(oldTpl); }
EFI_STATUS EFIAPI AllocatePagesEntry(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType,
                                     UINTN pages, EFI_PHYSICAL_ADDRESS *memory) {
  return Self().AllocatePages(type, memoryType, pages, memory);
}
EFI_STATUS EFIAPI FreePagesEntry(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  return Self().FreePages(memory, pages);
}
EFI_STATUS EFIAPI GetMemoryMapEntry(UINTN *mapSize, EFI_MEMORY_DESCRIPTOR *map, UINTN *mapKey,
                                    UINTN *descriptorSize, UINT32 *descriptorVersion) {
  return Self().GetMemoryMap(mapSize, map, mapKey, descriptorSize, descriptorVersion);
}
EFI_STATUS EFIAPI AllocatePoolEntry(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  return Self().AllocatePool(type, size, buffer);
}
EFI_STATUS EFIAPI FreePoolEntry(VOID *buffer) { return Self().FreePool(buffer); }
EFI_STATUS EFIAPI CreateEventEntry(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID *context,
                                   EFI_EVENT *event) {
  return Self().CreateEvent(type, tpl, notify, context, nullptr, event);
}
EFI_STATUS EFIAPI WaitForEventEntry(UINTN count, EFI_EVENT *events, UINTN *index) {
  return Self().WaitForEvent(count, events, index);
}
EFI_STATUS EFIAPI SignalEventEntry(EFI_EVENT event) { return Self().SignalEvent(event); }
EFI_STATUS EFIAPI CloseEventEntry(EFI_EVENT event) { return Self().CloseEvent(event); }
EFI_STATUS EFIAPI CheckEventEntry(EFI_EVENT event) { return Self().CheckEvent(event); }
EFI_STATUS EFIAPI InstallProtocolInterfaceEntry(EFI_HANDLE *handle, EFI_GUID *protocol,
                                                EFI_INTERFACE_TYPE type, VOID *interface) {
  return Self().InstallProtocolInterface(handle, protocol, type, interface, SIM_CALLING_MODULE());
}
EFI_STATUS EFIAPI ReinstallProtocolInterfaceEntry(EFI_HANDLE handle, EFI_GUID *protocol,
                                                  VOID *oldInterface, VOID *newInterface) {
  return Self().ReinstallProtocolInterface(handle, protocol, oldInterface, newInterface,
                                           SIM_CALLING_MODULE());
}
EFI_STATUS EFIAPI UninstallProtocolInterfaceEntry(EFI_HANDLE handle, EFI_GUID *protocol,
                                                  VOID *interface) {
  return Self().UninstallProtocolInterface(handle, protocol, interface);
}
EFI_STATUS EFIAPI HandleProtocolEntry(EFI_HANDLE handle, EFI_GUID *protocol, VOID **interface) {
  return Self().HandleProtocol(handle, protocol, interface);
}
EFI_STATUS EFIAPI RegisterProtocolNotifyEntry(EFI_GUID *protocol, EFI_EVENT event,
                                              VOID **registration) {
  return Self().RegisterProtocolNotify(protocol, event, registration);
}
EFI_STATUS EFIAPI LocateHandleEntry(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID *protocol,
                                    VOID *searchKey, UINTN *bufferSize, EFI_HANDLE *buffer) {
  return Self().LocateHandle(type, protocol, searchKey, bufferSize, buffer);
}
EFI_STATUS EFIAPI LocateDevicePathEntry(EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **path,
                                        EFI_HANDLE *device) {
  return Self().LocateDevicePath(protocol, path, device);
}
EFI_STATUS EFIAPI InstallConfigurationTableEntry(EFI_GUID *guid, VOID *table) {
  return Self().InstallConfigurationTable(guid, table);
}
EFI_STATUS EFIAPI GetNextMonotonicCountEntry(UINT64 *count) {
  return Self().GetNextMonotonicCount(count);
}
EFI_STATUS EFIAPI StallEntry(UINTN microseconds) { return Self().Stall(microseconds); }
EFI_STATUS EFIAPI OpenProtocolEntry(EFI_HANDLE handle, EFI_GUID *protocol, VOID **interface,
                                    EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes) {
  return Self().OpenProtocol(handle, protocol, interface, agent, controller, attributes);
}
EFI_STATUS EFIAPI CloseProtocolEntry(EFI_HANDLE handle, EFI_GUID *protocol, EFI_HANDLE agent,
                                     EFI_HANDLE controller) {
  return Self().CloseProtocol(handle, protocol, agent, controller);
}
EFI_STATUS EFIAPI OpenProtocolInformationEntry(EFI_HANDLE handle, EFI_GUID *protocol,
                                               EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries,
                                               UINTN *count) {
  return Self().OpenProtocolInformation(handle, protocol, entries, count);
}
EFI_STATUS EFIAPI ProtocolsPerHandleEntry(EFI_HANDLE handle, EFI_GUID ***protocols, UINTN *count) {
  return Self().ProtocolsPerHandle(handle, protocols, count);
}
EFI_STATUS EFIAPI LocateHandleBufferEntry(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID *protocol,
                                          VOID *searchKey, UINTN *count, EFI_HANDLE **buffer) {
  return Self().LocateHandleBuffer(type, protocol, searchKey, count, buffer);
}
EFI_STATUS EFIAPI LocateProtocolEntry(EFI_GUID *protocol, VOID *registration, VOID **interface) {
  return Self().LocateProtocol(protocol, registration, interface);
}

// Reads (GUID pointer, interface) pairs up to the NULL GUID pointer.
bool ReadPairs(__builtin_ms_va_list &args,
               std::vector<std::pair<const EFI_GUID *, void *>> &pairs) {
  for (size_t n = 0; n <= kMaxMultiplePairs; n++) {
    auto *guid = __builtin_va_arg(args, const EFI_GUID *);
    if (guid == nullptr) {
      return true;
    }
    void *interface = __builtin_va_arg(args, void *);
    pairs.emplace_back(guid, interface);
  }
  return false;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesEntry(EFI_HANDLE *handle, ...) {
  std::vector<std::pair<const EFI_GUID *, void *>> pairs;
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  const bool terminated = ReadPairs(args, pairs);
  __builtin_ms_va_end(args);
  if (!terminated) {
    return EFI_INVALID_PARAMETER;
  }
  return Self().InstallMultiple(handle, pairs, SIM_CALLING_MODULE());
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfacesEntry(EFI_HANDLE handle, ...) {
  std::vector<std::pair<const EFI_GUID *, void *>> pairs;
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  const bool terminated = ReadPairs(args, pairs);
  __builtin_ms_va_end(args);
  if (!terminated) {
    return EFI_INVALID_PARAMETER;
  }
  return Self().UninstallMultiple(handle, pairs);
}

EFI_STATUS EFIAPI CalculateCrc32Entry(VOID *data, UINTN size, UINT32 *crc) {
  if (data == nullptr || size == 0 || crc == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *crc = Crc32(data, size);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI CreateEventExEntry(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify,
                                     const VOID *context, const EFI_GUID *group, EFI_EVENT *event) {
  return Self().CreateEvent(type, tpl, notify, context, group, event);
}

// ---- Runtime services ----
EFI_STATUS EFIAPI GetVariableEntry(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes,
                                   UINTN *dataSize, VOID *data) {
  Self().RequireVariableTpl("GetVariable");
  return Self().variables().Get(name, guid, attributes, dataSize, data);
}
EFI_STATUS EFIAPI GetNextVariableNameEntry(UINTN *nameSize, CHAR16 *name, EFI_GUID *guid) {
  Self().RequireVariableTpl("GetNextVariableName");
  return Self().variables().GetNextName(nameSize, name, guid);
}
EFI_STATUS EFIAPI SetVariableEntry(CHAR16 *name, EFI_GUID *guid, UINT32 attributes, UINTN dataSize,
                                   VOID *data) {
  Self().RequireVariableTpl("SetVariable");
  return Self().SetVariable(name, guid, attributes, dataSize, data);
}
EFI_STATUS EFIAPI QueryVariableInfoEntry(UINT32 attributes, UINT64 *maxStorage, UINT64 *remaining,
                                         UINT64 *maxSize) {
  Self().RequireVariableTpl("QueryVariableInfo");
  return Self().variables().QueryInfo(attributes, maxStorage, remaining, maxSize);
}
EFI_STATUS EFIAPI GetNextHighMonotonicCountEntry(UINT32 *high) {
  return Self().GetNextHighMonotonicCount(high);
}
VOID EFIAPI ResetSystemEntry(EFI_RESET_TYPE type, EFI_STATUS status, UINTN, VOID *) {
  Self().ResetSystem(type, status);
}

} // namespace

Dxe::Dxe(Machine &machine, VariableStore &variables)
    : machine_(machine), variables_(variables), previous_(gCurrent),
      internal_(machine.memory(), EfiBootServicesData, kInternalArenaPages) {
  gCurrent = this;
  BuildTables();
}

Dxe::~Dxe() {
  if (gCurrent == this) {
    gCurrent = previous_;
  }
}

Dxe *Dxe::Current() { return gCurrent; }

void Dxe::MakeCurrent() { gCurrent = this; }

void *Dxe::InternalAlloc(size_t bytes) {
  return TakeRecord(machine_, internal_, bytes, "the boot services");
}

void Dxe::BuildTables() {
  bootServices_ = static_cast<EFI_BOOT_SERVICES *>(InternalAlloc(sizeof(EFI_BOOT_SERVICES)));
  runtimeServices_ =
      static_cast<EFI_RUNTIME_SERVICES *>(InternalAlloc(sizeof(EFI_RUNTIME_SERVICES)));
  systemTable_ = static_cast<EFI_SYSTEM_TABLE *>(InternalAlloc(sizeof(EFI_SYSTEM_TABLE)));
  configCapacity_ = kInitialConfigEntries;
  configTable_ = static_cast<EFI_CONFIGURATION_TABLE *>(
      InternalAlloc(configCapacity_ * sizeof(EFI_CONFIGURATION_TABLE)));
  auto *vendor = static_cast<CHAR16 *>(InternalAlloc(sizeof kFirmwareVendor));
  std::memcpy(vendor, kFirmwareVendor, sizeof kFirmwareVendor);

  EFI_BOOT_SERVICES &bs = *bootServices_;
  bs.Hdr = EFI_TABLE_HEADER{EFI_BOOT_SERVICES_SIGNATURE, EFI_BOOT_SERVICES_REVISION,
                            sizeof(EFI_BOOT_SERVICES), 0, 0};
  bs.RaiseTPL = RaiseTplEntry;
  bs.RestoreTPL = RestoreTplEntry;
  bs.AllocatePages = AllocatePagesEntry;
  bs.FreePages = FreePagesEntry;
  bs.GetMemoryMap = GetMemoryMapEntry;
  bs.AllocatePool = AllocatePoolEntry;
  bs.FreePool = FreePoolEntry;
  bs.CreateEvent = CreateEventEntry;
  SIM_TRAP_SLOT(bs, "BootServices", SetTimer);
  bs.WaitForEvent = WaitForEventEntry;
  bs.SignalEvent = SignalEventEntry;
  bs.CloseEvent = CloseEventEntry;
  bs.CheckEvent = CheckEventEntry;
  bs.InstallProtocolInterface = InstallProtocolInterfaceEntry;
  bs.ReinstallProtocolInterface = ReinstallProtocolInterfaceEntry;
  bs.UninstallProtocolInterface = UninstallProtocolInterfaceEntry;
  bs.HandleProtocol = HandleProtocolEntry;
  {
    // The reserved slot has no type of its own; give it a trap all the same.
    static constexpr char kReserved[] = "BootServices.Reserved";
    bs.Reserved = reinterpret_cast<void *>(&Trap<EFI_STALL>::Fire<kReserved>);
  }
  bs.RegisterProtocolNotify = RegisterProtocolNotifyEntry;
  bs.LocateHandle = LocateHandleEntry;
  bs.LocateDevicePath = LocateDevicePathEntry;
  bs.InstallConfigurationTable = InstallConfigurationTableEntry;
  SIM_TRAP_SLOT(bs, "BootServices", LoadImage);
  SIM_TRAP_SLOT(bs, "BootServices", StartImage);
  SIM_TRAP_SLOT(bs, "BootServices", Exit);
  SIM_TRAP_SLOT(bs, "BootServices", UnloadImage);
  SIM_TRAP_SLOT(bs, "BootServices", ExitBootServices);
  bs.GetNextMonotonicCount = GetNextMonotonicCountEntry;
  bs.Stall = StallEntry;
  SIM_TRAP_SLOT(bs, "BootServices", SetWatchdogTimer);
  SIM_TRAP_SLOT(bs, "BootServices", ConnectController);
  SIM_TRAP_SLOT(bs, "BootServices", DisconnectController);
  bs.OpenProtocol = OpenProtocolEntry;
  bs.CloseProtocol = CloseProtocolEntry;
  bs.OpenProtocolInformation = OpenProtocolInformationEntry;
  bs.ProtocolsPerHandle = ProtocolsPerHandleEntry;
  bs.LocateHandleBuffer = LocateHandleBufferEntry;
  bs.LocateProtocol = LocateProtocolEntry;
  bs.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfacesEntry;
  bs.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfacesEntry;
  bs.CalculateCrc32 = CalculateCrc32Entry;
  bs.CopyMem = CopyMemService;
  bs.SetMem = SetMemService;
  bs.CreateEventEx = CreateEventExEntry;
  bs.Hdr.CRC32 = Crc32(&bs, sizeof bs);

  EFI_RUNTIME_SERVICES &rt = *runtimeServices_;
  rt.Hdr = EFI_TABLE_HEADER{EFI_RUNTIME_SERVICES_SIGNATURE, EFI_RUNTIME_SERVICES_REVISION,
                            sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  SIM_TRAP_SLOT(rt, "RuntimeServices", GetTime);
  SIM_TRAP_SLOT(rt, "RuntimeServices", SetTime);
  SIM_TRAP_SLOT(rt, "RuntimeServices", GetWakeupTime);
  SIM_TRAP_SLOT(rt, "RuntimeServices", SetWakeupTime);
  SIM_TRAP_SLOT(rt, "RuntimeServices", SetVirtualAddressMap);
  SIM_TRAP_SLOT(rt, "RuntimeServices", ConvertPointer);
  rt.GetVariable = GetVariableEntry;
  rt.GetNextVariableName = GetNextVariableNameEntry;
  rt.SetVariable = SetVariableEntry;
  rt.GetNextHighMonotonicCount = GetNextHighMonotonicCountEntry;
  rt.ResetSystem = ResetSystemEntry;
  SIM_TRAP_SLOT(rt, "RuntimeServices", UpdateCapsule);
  SIM_TRAP_SLOT(rt, "RuntimeServices", QueryCapsuleCapabilities);
  rt.QueryVariableInfo = QueryVariableInfoEntry;
  rt.Hdr.CRC32 = Crc32(&rt, sizeof rt);

  EFI_SYSTEM_TABLE &st = *systemTable_;
  st.Hdr = EFI_TABLE_HEADER{EFI_SYSTEM_TABLE_SIGNATURE, EFI_SYSTEM_TABLE_REVISION,
                            sizeof(EFI_SYSTEM_TABLE), 0, 0};
  st.FirmwareVendor = vendor;
  st.FirmwareRevision = 0x00010000;
  st.RuntimeServices = runtimeServices_;
  st.BootServices = bootServices_;
  st.NumberOfTableEntries = 0;
  st.ConfigurationTable = configTable_;
  UpdateSystemTableCrc();
}

void Dxe::UpdateSystemTableCrc() {
  systemTable_->Hdr.CRC32 = 0;
  systemTable_->Hdr.CRC32 = Crc32(systemTable_, sizeof(EFI_SYSTEM_TABLE));
}

EFI_STATUS Dxe::InstallConfigurationTable(const EFI_GUID *guid, void *table) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = EnterServiceLock("InstallConfigurationTable");
  EFI_SYSTEM_TABLE &st = *systemTable_;
  size_t index = 0;
  while (index < st.NumberOfTableEntries && !SameGuid(configTable_[index].VendorGuid, *guid)) {
    index++;
  }
  EFI_STATUS status = EFI_SUCCESS;
  if (table == nullptr) {
    if (index == st.NumberOfTableEntries) {
      status = EFI_NOT_FOUND;
    } else {
      for (size_t k = index + 1; k < st.NumberOfTableEntries; k++) {
        configTable_[k - 1] = configTable_[k];
      }
      st.NumberOfTableEntries--;
    }
  } else if (index < st.NumberOfTableEntries) {
    configTable_[index].VendorTable = table;
  } else {
    if (st.NumberOfTableEntries == configCapacity_) {
      // The old array stays behind: firmware may still hold its address.
      auto *grown = static_cast<EFI_CONFIGURATION_TABLE *>(
          InternalAlloc(2 * configCapacity_ * sizeof(EFI_CONFIGURATION_TABLE)));
      std::copy(configTable_, configTable_ + configCapacity_, grown);
      configTable_ = grown;
      configCapacity_ *= 2;
      st.ConfigurationTable = configTable_;
    }
    configTable_[st.NumberOfTableEntries++] = EFI_CONFIGURATION_TABLE{*guid, table};
  }
  if (!EFI_ERROR(status)) {
    UpdateSystemTableCrc();
    machine_.trace().Emit("dxe", ev::DxeConfigTable{*guid, table != nullptr});
    // Whoever waits for this table listens on the event group of its GUID.
    SignalGroupMembers(*guid);
  }
  RestoreTpl(old);
  return status;
}

void Dxe::AddConfigurationTable(const EFI_GUID &guid, void *table) {
  EFI_STATUS status = InstallConfigurationTable(&guid, table);
  if (EFI_ERROR(status)) {
    std::string text = "configuration table " + GuidText(guid) + " could not be added";
    Fault(std::move(text));
  }
}

void *Dxe::FindConfigurationTable(const EFI_GUID &guid) const {
  for (size_t k = 0; k < systemTable_->NumberOfTableEntries; k++) {
    if (SameGuid(configTable_[k].VendorGuid, guid)) {
      return configTable_[k].VendorTable;
    }
  }
  return nullptr;
}

EFI_HANDLE Dxe::NewImageHandle(const ImageInfo &info) {
  auto *image =
      static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(InternalAlloc(sizeof(EFI_LOADED_IMAGE_PROTOCOL)));
  image->Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  image->SystemTable = systemTable_;
  image->DeviceHandle = info.deviceHandle;
  if (info.filePath != nullptr) {
    // Copy the path (end node included) so the caller's buffer may go.
    const uint8_t *src = reinterpret_cast<const uint8_t *>(info.filePath);
    size_t bytes = 0;
    for (const EFI_DEVICE_PATH_PROTOCOL *node = info.filePath;;) {
      const size_t length = DevicePathNodeLength(node);
      if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
        Fault("NewImageHandle: malformed file path");
      }
      bytes += length;
      if (IsDevicePathEnd(node)) {
        break;
      }
      node = NextDevicePathNode(node);
    }
    auto *copy = static_cast<uint8_t *>(InternalAlloc(bytes));
    std::memcpy(copy, src, bytes);
    image->FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(copy);
  }
  image->ImageBase = info.imageBase;
  image->ImageSize = info.imageSize;
  image->ImageCodeType = EfiBootServicesCode;
  image->ImageDataType = EfiBootServicesData;
  EFI_HANDLE handle = nullptr;
  EFI_STATUS status =
      InstallProtocolInterface(&handle, &kLoadedImageProtocolGuid, EFI_NATIVE_INTERFACE, image);
  if (EFI_ERROR(status)) {
    Fault("NewImageHandle: the loaded-image protocol could not be installed");
  }
  return handle;
}

EFI_HANDLE Dxe::NewImageHandle() { return NewImageHandle(ImageInfo{}); }

EFI_STATUS Dxe::RunEntryPoint(EFI_IMAGE_ENTRY_POINT entry, EFI_HANDLE imageHandle) {
  if (tpl_ != TPL_APPLICATION) {
    std::string text = "an image entry point was started at TPL " + std::to_string(tpl_);
    Fault(std::move(text));
  }
  EFI_STATUS status = CallFirmware(entry, imageHandle, systemTable_);
  if (tpl_ != TPL_APPLICATION) {
    std::string text = "an image entry point returned at TPL " + std::to_string(tpl_) +
                       " instead of TPL_APPLICATION";
    Fault(std::move(text));
  }
  if (EFI_ERROR(status)) {
    // UEFI StartImage: a driver whose entry point returns an error is
    // unloaded. The reference core frees its image and takes the
    // loaded-image protocol off its handle; what the driver registered or
    // installed elsewhere stays, pointing into freed memory.
    const std::string *module = FirmwareRunner::ModuleAt(reinterpret_cast<uint64_t>(entry));
    if (module != nullptr) {
      unloaded_[*module] = status;
    }
    if (void *image = InterfaceOn(imageHandle, kLoadedImageProtocolGuid)) {
      (void)UninstallProtocolInterface(imageHandle, &kLoadedImageProtocolGuid, image);
    }
    if (machine_.trace().Listening()) {
      machine_.trace().Emit(
          "dxe", ev::DxeUnload{module != nullptr ? std::optional(*module) : std::nullopt, status});
    }
  }
  return status;
}

void Dxe::RefuseUnloadedInterface(const Interface &iface, const char *service) {
  if (iface.installer == nullptr) {
    return;
  }
  auto it = unloaded_.find(*iface.installer);
  if (it == unloaded_.end()) {
    return;
  }
  char status[24];
  std::snprintf(status, sizeof status, "0x%llx", static_cast<unsigned long long>(it->second));
  std::string text = "BootServices." + std::string(service) + " handed out the " +
                     GuidText(iface.protocol->guid) + " interface that " + it->first +
                     " installed before it was unloaded (its entry point returned " + status +
                     ")";
  Fault(std::move(text));
}

void Dxe::RefuseUnloadedNotify(const Event &event) {
  const std::string *module = FirmwareRunner::ModuleAt(reinterpret_cast<uint64_t>(event.notify));
  if (module == nullptr) {
    return;
  }
  auto it = unloaded_.find(*module);
  if (it == unloaded_.end()) {
    return;
  }
  char status[24];
  std::snprintf(status, sizeof status, "0x%llx", static_cast<unsigned long long>(it->second));
  std::string text = "an event's notify function in " + it->first +
                     " was due to run after the driver was unloaded (its entry point returned " +
                     status + ")";
  Fault(std::move(text));
}

void Dxe::RequireVariableTpl(const char *service) {
  // UEFI TPL restrictions: the variable services at TPL_CALLBACK or below.
  if (tpl_ > TPL_CALLBACK) {
    std::string text = std::string("RuntimeServices.") + service + " called at TPL " +
                       std::to_string(tpl_) + ", above TPL_CALLBACK";
    Fault(std::move(text));
  }
}

EFI_STATUS Dxe::GetNextMonotonicCount(UINT64 *count) {
  if (count == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *count = ++monotonicCount_;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::SetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes,
                            UINTN dataSize, const void *data) {
  EFI_STATUS status = variables_.Set(name, guid, attributes, dataSize, data);
  if (machine_.trace().Listening()) {
    std::optional<std::u16string_view> text = BoundedName(name, 64);
    machine_.trace().Emit(
        "dxe", ev::DxeSetVariable{text ? std::optional(VariableStore::ToAscii(*text)) : std::nullopt,
                                  dataSize, attributes, status});
  }
  return status;
}

EFI_STATUS Dxe::GetNextHighMonotonicCount(UINT32 *high) {
  if (high == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  monotonicCount_ = (monotonicCount_ & 0xFFFFFFFFull) + (((monotonicCount_ >> 32) + 1) << 32);
  *high = static_cast<UINT32>(monotonicCount_ >> 32);
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::Stall(UINTN microseconds) {
  // Busy-waiting costs virtual time only; the clock's alarm (the watchdog)
  // still fires when a long stall crosses it.
  const uint64_t kMaxUs = UINT64_MAX / 1000;
  machine_.clock().AdvanceNs(std::min<uint64_t>(microseconds, kMaxUs) * 1000);
  return EFI_SUCCESS;
}

void Dxe::ResetSystem(EFI_RESET_TYPE type, EFI_STATUS status) {
  static const char *const kNames[] = {"cold", "warm", "shutdown", "platform-specific"};
  const char *name = static_cast<uint32_t>(type) < 4 ? kNames[type] : "unknown";
  char detail[96];
  std::snprintf(detail, sizeof detail, "RuntimeServices.ResetSystem (%s, status 0x%llx)", name,
                static_cast<unsigned long long>(status));
  StopForReset(machine_, type, detail);
}

void Dxe::Fault(std::string detail) { StopForFault(machine_, std::move(detail)); }

} // namespace sim
