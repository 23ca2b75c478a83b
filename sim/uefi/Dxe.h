// The DXE phase of one boot: the UEFI system table with working boot and
// runtime services (handle database, protocol notifications, events with task
// priority levels and event groups, pool and pages on guest memory with leak
// accounting, configuration table, variables) and a named trap in every slot
// that is not emulated. Firmware reaches it only through the tables; the
// simulator and tests use the C++ API below.
//
// Everything runs on the one boot-services thread. Calls that may run firmware
// code (notify functions, entry points) must be made inside a FirmwareRunner
// run, so that a reset or a fault ends the run instead of the process.
#pragma once

#include <Uefi/UefiServices.h>

#include "sim/core/GuestMemory.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim {

class Machine;
class VariableStore;

class Dxe {
public:
  struct LiveAllocation {
    enum Kind { Pool, Pages } kind;
    uint64_t address; // the caller's address
    uint64_t bytes;   // requested size (pool) or pages * 4096
    uint32_t memoryType;
    uint64_t serial; // allocation order, for telling leaks apart
  };

  struct ImageInfo {
    // Loaded-image FilePath (e.g. a firmware-volume file node); copied.
    const EFI_DEVICE_PATH_PROTOCOL *filePath = nullptr;
    EFI_HANDLE deviceHandle = nullptr;
    void *imageBase = nullptr;
    uint64_t imageSize = 0;
  };

  // Builds the tables in guest memory and makes this the current Dxe.
  Dxe(Machine &machine, VariableStore &variables);
  ~Dxe();
  Dxe(const Dxe &) = delete;
  Dxe &operator=(const Dxe &) = delete;

  // The Dxe the EFIAPI entry points serve (the latest constructed one that is
  // still alive, or the one made current explicitly).
  static Dxe *Current();
  void MakeCurrent();

  EFI_SYSTEM_TABLE *SystemTable() const { return systemTable_; }
  EFI_BOOT_SERVICES *BootServices() const { return bootServices_; }
  EFI_RUNTIME_SERVICES *RuntimeServices() const { return runtimeServices_; }
  Machine &machine() const { return machine_; }
  VariableStore &variables() const { return variables_; }

  // A new handle carrying EFI_LOADED_IMAGE_PROTOCOL. Installing it signals
  // loaded-image notifications, so call it inside a run once drivers listen.
  EFI_HANDLE NewImageHandle(const ImageInfo &info);
  EFI_HANDLE NewImageHandle();
  // Calls a driver entry point at TPL_APPLICATION; a driver that returns at
  // another TPL ends the run with a Fault. A driver whose entry point fails
  // is unloaded, as a reference core does: its loaded-image protocol goes,
  // and whatever it left behind (an event whose notify function is its code,
  // an interface it installed) ends the run with a Fault naming it when used.
  EFI_STATUS RunEntryPoint(EFI_IMAGE_ENTRY_POINT entry, EFI_HANDLE imageHandle);
  // True once `module` was unloaded after its entry point failed.
  bool Unloaded(const std::string &module) const { return unloaded_.count(module) != 0; }

  // Signals every event of the group (e.g. ready-to-boot).
  void SignalEventGroup(const EFI_GUID &group);
  // What the OS loader's ExitBootServices call does: runs the notifications
  // of the exit-boot-services group, then every boot service becomes a trap
  // ("... called after ExitBootServices") and guest memory hands
  // boot-services memory to the OS. Call it inside a run.
  void ExitBootServices();
  bool BootServicesExited() const { return bootServicesExited_; }
  // Adds or replaces a configuration table entry (the HOB list, SMBIOS...).
  void AddConfigurationTable(const EFI_GUID &guid, void *table);
  void *FindConfigurationTable(const EFI_GUID &guid) const;

  // Leak accounting of what firmware allocated through the services.
  uint64_t PoolBytesInUse() const { return poolBytesInUse_; }
  uint64_t PoolAllocationsInUse() const { return livePool_.size(); }
  uint64_t PagesInUse() const { return pagesInUse_; }
  std::vector<LiveAllocation> LiveAllocations() const;
  std::string DescribeLiveAllocations() const;

  EFI_TPL CurrentTpl() const { return tpl_; }
  // Live handles, in creation order.
  std::vector<EFI_HANDLE> Handles() const;
  // Interface of `protocol` on `handle`, without going through firmware paths.
  void *InterfaceOn(EFI_HANDLE handle, const EFI_GUID &protocol) const;

  // ---- Service implementations, reached by firmware through the tables ----
  EFI_TPL RaiseTpl(EFI_TPL newTpl);
  void RestoreTpl(EFI_TPL oldTpl);

  EFI_STATUS AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                           EFI_PHYSICAL_ADDRESS *memory);
  EFI_STATUS FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages);
  EFI_STATUS GetMemoryMap(UINTN *mapSize, EFI_MEMORY_DESCRIPTOR *map, UINTN *mapKey,
                          UINTN *descriptorSize, UINT32 *descriptorVersion);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE poolType, UINTN size, void **buffer);
  EFI_STATUS FreePool(void *buffer);

  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notifyFunction,
                         const void *notifyContext, const EFI_GUID *eventGroup, EFI_EVENT *event);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  EFI_STATUS CheckEvent(EFI_EVENT event);
  EFI_STATUS WaitForEvent(UINTN count, EFI_EVENT *events, UINTN *index);

  // `installer`: the module whose code made the call, when known
  // (FirmwareRunner::ModuleAt of the return address).
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *protocol,
                                      EFI_INTERFACE_TYPE interfaceType, void *interface,
                                      const std::string *installer = nullptr);
  EFI_STATUS ReinstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *protocol,
                                        void *oldInterface, void *newInterface,
                                        const std::string *installer = nullptr);
  EFI_STATUS UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *protocol,
                                        void *interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, void **interface);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID *protocol, EFI_EVENT event, void **registration);
  EFI_STATUS LocateHandle(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                          void *searchKey, UINTN *bufferSize, EFI_HANDLE *buffer);
  EFI_STATUS LocateDevicePath(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **devicePath,
                              EFI_HANDLE *device);
  EFI_STATUS InstallConfigurationTable(const EFI_GUID *guid, void *table);
  EFI_STATUS OpenProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, void **interface,
                          EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes);
  EFI_STATUS CloseProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, EFI_HANDLE agent,
                           EFI_HANDLE controller);
  EFI_STATUS OpenProtocolInformation(EFI_HANDLE handle, const EFI_GUID *protocol,
                                     EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries, UINTN *count);
  EFI_STATUS ProtocolsPerHandle(EFI_HANDLE handle, EFI_GUID ***protocols, UINTN *count);
  EFI_STATUS LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                                void *searchKey, UINTN *count, EFI_HANDLE **buffer);
  EFI_STATUS LocateProtocol(const EFI_GUID *protocol, void *registration, void **interface);
  // Pairs of (GUID pointer, interface); the whole set goes in or nothing does.
  EFI_STATUS InstallMultiple(EFI_HANDLE *handle,
                             const std::vector<std::pair<const EFI_GUID *, void *>> &pairs,
                             const std::string *installer = nullptr);
  EFI_STATUS UninstallMultiple(EFI_HANDLE handle,
                               const std::vector<std::pair<const EFI_GUID *, void *>> &pairs);

  EFI_STATUS SetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes,
                         UINTN dataSize, const void *data);
  EFI_STATUS GetNextMonotonicCount(UINT64 *count);
  EFI_STATUS GetNextHighMonotonicCount(UINT32 *high);
  EFI_STATUS Stall(UINTN microseconds);
  [[noreturn]] void ResetSystem(EFI_RESET_TYPE type, EFI_STATUS status);
  // Ends the run with a Fault (firmware misuse the board would not survive).
  // A text built from other strings is built in a statement of its own and
  // moved in: the run never comes back to destroy the caller's temporaries.
  [[noreturn]] void Fault(std::string detail);
  // Ends the run with a Fault when `service` is called at TPL_HIGH_LEVEL.
  void RequireBelowHighLevel(const char *service);
  // Variable services are callable up to TPL_CALLBACK only; above, a Fault.
  void RequireVariableTpl(const char *service);

private:
  struct Handle;
  struct ProtocolEntry;
  struct Interface;
  struct Registration;
  struct Event;
  struct PoolBlock {
    uint64_t header;
    uint64_t requested;
    uint64_t capacity; // bytes of the whole block, header and tail included
    uint32_t memoryType;
    bool ownPages;
    uint64_t serial;
  };
  struct PageBlock {
    uint64_t pages;
    uint32_t memoryType;
    uint64_t serial;
  };

  void BuildTables();
  // A named event in the machine's trace, device "dxe".
  void UpdateSystemTableCrc();
  void *InternalAlloc(size_t bytes);

  // Protocol services run with the TPL raised to TPL_NOTIFY, as the UEFI
  // protocol lock does; firmware calling them above it is a fault.
  EFI_TPL EnterServiceLock(const char *service);

  Handle *LookupHandle(EFI_HANDLE handle) const;
  Event *LookupEvent(EFI_EVENT event) const;
  Registration *LookupRegistration(void *registration) const;
  ProtocolEntry *FindProtocol(const EFI_GUID &guid) const;
  ProtocolEntry &ProtocolFor(const EFI_GUID &guid);
  Interface *FindInterface(const Handle &handle, const EFI_GUID &guid) const;
  EFI_STATUS InstallLocked(EFI_HANDLE *handle, const EFI_GUID &protocol, void *interface,
                           const std::string *installer);
  // Fault when an unloaded driver's interface is about to be handed out, or
  // its code is about to run as a notify function.
  void RefuseUnloadedInterface(const Interface &iface, const char *service);
  void RefuseUnloadedNotify(const Event &event);
  EFI_STATUS UninstallLocked(Handle &handle, const EFI_GUID &protocol, void *interface);
  void NotifyInstalled(Interface &iface);
  Interface *NextRegistered(Registration &registration, bool consume);
  std::vector<Handle *> Search(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                               void *searchKey, bool consume, EFI_STATUS &status);
  bool DevicePathTaken(const EFI_DEVICE_PATH_PROTOCOL *path) const;

  // Signals `event`, or every member of its group when it has one.
  void SignalOne(Event &event);
  // Signals every member of `group` (none: nothing happens).
  void SignalGroupMembers(const EFI_GUID &group);
  void MarkSignaled(Event &event);
  void QueueNotify(Event &event);
  void DispatchAbove(EFI_TPL tpl);

  void *AllocatePoolInternal(EFI_MEMORY_TYPE type, UINTN size);
  EFI_STATUS FreePoolChecked(void *buffer, const char *service);
  bool ValidAllocationType(uint32_t memoryType) const;

  Machine &machine_;
  VariableStore &variables_;
  Dxe *previous_ = nullptr;

  EFI_SYSTEM_TABLE *systemTable_ = nullptr;
  EFI_BOOT_SERVICES *bootServices_ = nullptr;
  EFI_RUNTIME_SERVICES *runtimeServices_ = nullptr;
  EFI_CONFIGURATION_TABLE *configTable_ = nullptr;
  size_t configCapacity_ = 0;
  GuestArena internal_;

  EFI_TPL tpl_ = TPL_APPLICATION;
  std::array<std::deque<Event *>, TPL_HIGH_LEVEL + 1> queues_;

  // Handles, events and registrations stay allocated for the whole boot (a
  // dead one is only marked), so a stale pointer from firmware is detected
  // instead of matching a recycled object.
  std::vector<std::unique_ptr<Handle>> handles_;
  std::unordered_map<const void *, Handle *> handleIndex_;
  std::vector<std::unique_ptr<Event>> events_;
  std::unordered_map<const void *, Event *> eventIndex_;
  std::vector<std::unique_ptr<Registration>> registrations_;
  std::unordered_map<const void *, Registration *> registrationIndex_;
  std::vector<std::unique_ptr<ProtocolEntry>> protocols_;
  uint64_t installSerial_ = 0;

  std::map<uint64_t, PoolBlock> livePool_; // keyed by the caller's address
  std::map<std::pair<uint32_t, uint64_t>, std::vector<uint64_t>> freeBlocks_;
  std::map<uint32_t, GuestArena> arenas_; // pool blocks, one arena per memory type
  std::map<uint64_t, PageBlock> livePages_;
  uint64_t poolBytesInUse_ = 0;
  uint64_t pagesInUse_ = 0;
  uint64_t allocationSerial_ = 0;
  uint64_t monotonicCount_ = 0;
  std::map<std::string, EFI_STATUS> unloaded_; // module -> its entry point's status
  bool bootServicesExited_ = false;
};

} // namespace sim
