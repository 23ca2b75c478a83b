// The UEFI system table and the boot and runtime service tables, every member
// in its standard slot, so DXE drivers built here can run on any firmware
// and the simulator can serve them.
#pragma once

#include <Protocol/DevicePath.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>

// The console protocols are never used; the system table only carries them.
typedef struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
typedef struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

// Task priority levels.
#define TPL_APPLICATION 4
#define TPL_CALLBACK 8
#define TPL_NOTIFY 16
#define TPL_HIGH_LEVEL 31

// Event types.
#define EVT_TIMER 0x80000000
#define EVT_RUNTIME 0x40000000
#define EVT_NOTIFY_WAIT 0x00000100
#define EVT_NOTIFY_SIGNAL 0x00000200
#define EVT_SIGNAL_EXIT_BOOT_SERVICES 0x00000201
#define EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE 0x60000202

// OpenProtocol attributes.
#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL 0x00000004
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008
#define EFI_OPEN_PROTOCOL_BY_DRIVER 0x00000010
#define EFI_OPEN_PROTOCOL_EXCLUSIVE 0x00000020

// Memory descriptor attributes.
#define EFI_MEMORY_UC 0x0000000000000001ULL
#define EFI_MEMORY_WC 0x0000000000000002ULL
#define EFI_MEMORY_WT 0x0000000000000004ULL
#define EFI_MEMORY_WB 0x0000000000000008ULL
#define EFI_MEMORY_WP 0x0000000000001000ULL
#define EFI_MEMORY_RP 0x0000000000002000ULL
#define EFI_MEMORY_XP 0x0000000000004000ULL
#define EFI_MEMORY_RUNTIME 0x8000000000000000ULL
#define EFI_MEMORY_DESCRIPTOR_VERSION 1

typedef enum { EFI_NATIVE_INTERFACE } EFI_INTERFACE_TYPE;

typedef enum { AllHandles, ByRegisterNotify, ByProtocol } EFI_LOCATE_SEARCH_TYPE;

typedef enum { TimerCancel, TimerPeriodic, TimerRelative } EFI_TIMER_DELAY;

typedef struct {
  UINT32 Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
} EFI_MEMORY_DESCRIPTOR;
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40, "memory descriptor");
static_assert(OFFSET_OF(EFI_MEMORY_DESCRIPTOR, PhysicalStart) == 8, "memory descriptor");

typedef struct {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
} EFI_OPEN_PROTOCOL_INFORMATION_ENTRY;

typedef struct {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
} EFI_TIME;
static_assert(sizeof(EFI_TIME) == 16, "EFI_TIME");

typedef struct {
  UINT32 Resolution;
  UINT32 Accuracy;
  BOOLEAN SetsToZero;
} EFI_TIME_CAPABILITIES;

typedef struct {
  EFI_GUID CapsuleGuid;
  UINT32 HeaderSize;
  UINT32 Flags;
  UINT32 CapsuleImageSize;
} EFI_CAPSULE_HEADER;
static_assert(sizeof(EFI_CAPSULE_HEADER) == 28, "capsule header");

typedef struct {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
} EFI_CONFIGURATION_TABLE;
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == EFI_ABI_PICK(24, 20), "configuration table");

typedef struct EFI_SYSTEM_TABLE EFI_SYSTEM_TABLE;

// ---- Boot services: task priority ----
typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(IN EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(IN EFI_TPL OldTpl);

// ---- Boot services: memory ----
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(IN EFI_ALLOCATE_TYPE Type,
                                               IN EFI_MEMORY_TYPE MemoryType, IN UINTN Pages,
                                               IN OUT EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(IN EFI_PHYSICAL_ADDRESS Memory, IN UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_MAP)(IN OUT UINTN *MemoryMapSize,
                                               OUT EFI_MEMORY_DESCRIPTOR *MemoryMap,
                                               OUT UINTN *MapKey, OUT UINTN *DescriptorSize,
                                               OUT UINT32 *DescriptorVersion);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size,
                                              OUT VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(IN VOID *Buffer);

// ---- Boot services: events and timers ----
typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(IN EFI_EVENT Event, IN VOID *Context);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                             IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                             IN VOID *NotifyContext OPTIONAL, OUT EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(IN EFI_EVENT Event, IN EFI_TIMER_DELAY Type,
                                          IN UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(IN UINTN NumberOfEvents, IN EFI_EVENT *Event,
                                               OUT UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(IN EFI_EVENT Event);

// ---- Boot services: protocol handlers ----
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle,
                                                           IN EFI_GUID *Protocol,
                                                           IN EFI_INTERFACE_TYPE InterfaceType,
                                                           IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle,
                                                             IN EFI_GUID *Protocol,
                                                             IN VOID *OldInterface,
                                                             IN VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle,
                                                             IN EFI_GUID *Protocol,
                                                             IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                                OUT VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(IN EFI_GUID *Protocol, IN EFI_EVENT Event,
                                                         OUT VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                              IN EFI_GUID *Protocol OPTIONAL,
                                              IN VOID *SearchKey OPTIONAL, IN OUT UINTN *BufferSize,
                                              OUT EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(IN EFI_GUID *Protocol,
                                                   IN OUT EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   OUT EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(IN EFI_GUID *Guid, IN VOID *Table);

// ---- Boot services: images ----
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(IN BOOLEAN BootPolicy, IN EFI_HANDLE ParentImageHandle,
                                           IN EFI_DEVICE_PATH_PROTOCOL *DevicePath OPTIONAL,
                                           IN VOID *SourceBuffer OPTIONAL, IN UINTN SourceSize,
                                           OUT EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(IN EFI_HANDLE ImageHandle, OUT UINTN *ExitDataSize,
                                            OUT CHAR16 **ExitData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_EXIT)(IN EFI_HANDLE ImageHandle, IN EFI_STATUS ExitStatus,
                                     IN UINTN ExitDataSize, IN CHAR16 *ExitData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(IN EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_EXIT_BOOT_SERVICES)(IN EFI_HANDLE ImageHandle, IN UINTN MapKey);

// ---- Boot services: miscellaneous ----
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_MONOTONIC_COUNT)(OUT UINT64 *Count);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(IN UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(IN UINTN Timeout, IN UINT64 WatchdogCode,
                                                   IN UINTN DataSize,
                                                   IN CHAR16 *WatchdogData OPTIONAL);

// ---- Boot services: driver support ----
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(
    IN EFI_HANDLE ControllerHandle, IN EFI_HANDLE *DriverImageHandle OPTIONAL,
    IN EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath OPTIONAL, IN BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_DISCONNECT_CONTROLLER)(IN EFI_HANDLE ControllerHandle,
                                                      IN EFI_HANDLE DriverImageHandle OPTIONAL,
                                                      IN EFI_HANDLE ChildHandle OPTIONAL);

// ---- Boot services: open and close protocol ----
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                              OUT VOID **Interface OPTIONAL,
                                              IN EFI_HANDLE AgentHandle,
                                              IN EFI_HANDLE ControllerHandle, IN UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                               IN EFI_HANDLE AgentHandle,
                                               IN EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL_INFORMATION)(
    IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
    OUT EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer, OUT UINTN *EntryCount);

// ---- Boot services: library ----
typedef EFI_STATUS(EFIAPI *EFI_PROTOCOLS_PER_HANDLE)(IN EFI_HANDLE Handle,
                                                     OUT EFI_GUID ***ProtocolBuffer,
                                                     OUT UINTN *ProtocolBufferCount);
// Buffer is pool memory the caller frees.
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     IN EFI_GUID *Protocol OPTIONAL,
                                                     IN VOID *SearchKey OPTIONAL,
                                                     OUT UINTN *NoHandles, OUT EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(IN EFI_GUID *Protocol,
                                                IN VOID *Registration OPTIONAL,
                                                OUT VOID **Interface);
// Variadic: GUID pointer and interface pairs ended by a NULL GUID pointer.
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(IN OUT EFI_HANDLE *Handle,
                                                                     ...);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(IN EFI_HANDLE Handle, ...);

// ---- Boot services: CRC and memory utilities ----
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(IN VOID *Data, IN UINTN DataSize,
                                                OUT UINT32 *Crc32);
typedef VOID(EFIAPI *EFI_COPY_MEM)(IN VOID *Destination, IN VOID *Source, IN UINTN Length);
typedef VOID(EFIAPI *EFI_SET_MEM)(IN VOID *Buffer, IN UINTN Size, IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                                IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                                IN CONST VOID *NotifyContext OPTIONAL,
                                                IN CONST EFI_GUID *EventGroup OPTIONAL,
                                                OUT EFI_EVENT *Event);

#define EFI_BOOT_SERVICES_SIGNATURE SIGNATURE_64('B', 'O', 'O', 'T', 'S', 'E', 'R', 'V')
#define EFI_BOOT_SERVICES_REVISION ((2U << 16) | 70U)

typedef struct {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
} EFI_BOOT_SERVICES;

// Slot N (0-based after the header) sits at 24 + N pointers on both ABIs.
#define EFI_BS_SLOT(N) (24 + (N) * sizeof(VOID *))
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, RaiseTPL) == EFI_BS_SLOT(0), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, AllocatePages) == EFI_BS_SLOT(2), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, AllocatePool) == EFI_BS_SLOT(5), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, FreePool) == EFI_BS_SLOT(6), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CreateEvent) == EFI_BS_SLOT(7), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CloseEvent) == EFI_BS_SLOT(11), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, InstallProtocolInterface) == EFI_BS_SLOT(13),
              "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, HandleProtocol) == EFI_BS_SLOT(16), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, RegisterProtocolNotify) == EFI_BS_SLOT(18),
              "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LocateDevicePath) == EFI_BS_SLOT(20), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LoadImage) == EFI_BS_SLOT(22), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, Stall) == EFI_BS_SLOT(28), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, OpenProtocol) == EFI_BS_SLOT(32), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LocateHandleBuffer) == EFI_BS_SLOT(36), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LocateProtocol) == EFI_BS_SLOT(37), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CopyMem) == EFI_BS_SLOT(41), "boot services");
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, CreateEventEx) == EFI_ABI_PICK(368, 196),
              "boot services");
static_assert(sizeof(EFI_BOOT_SERVICES) == EFI_ABI_PICK(376, 200), "boot services");

// ---- Runtime services ----
typedef EFI_STATUS(EFIAPI *EFI_GET_TIME)(OUT EFI_TIME *Time,
                                         OUT EFI_TIME_CAPABILITIES *Capabilities OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIME)(IN EFI_TIME *Time);
typedef EFI_STATUS(EFIAPI *EFI_GET_WAKEUP_TIME)(OUT BOOLEAN *Enabled, OUT BOOLEAN *Pending,
                                                OUT EFI_TIME *Time);
typedef EFI_STATUS(EFIAPI *EFI_SET_WAKEUP_TIME)(IN BOOLEAN Enable, IN EFI_TIME *Time OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_SET_VIRTUAL_ADDRESS_MAP)(IN UINTN MemoryMapSize,
                                                        IN UINTN DescriptorSize,
                                                        IN UINT32 DescriptorVersion,
                                                        IN EFI_MEMORY_DESCRIPTOR *VirtualMap);
typedef EFI_STATUS(EFIAPI *EFI_CONVERT_POINTER)(IN UINTN DebugDisposition, IN OUT VOID **Address);
// On EFI_BUFFER_TOO_SMALL, DataSize holds the size needed.
typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(IN CHAR16 *VariableName, IN EFI_GUID *VendorGuid,
                                             OUT UINT32 *Attributes OPTIONAL,
                                             IN OUT UINTN *DataSize, OUT VOID *Data OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_VARIABLE_NAME)(IN OUT UINTN *VariableNameSize,
                                                       IN OUT CHAR16 *VariableName,
                                                       IN OUT EFI_GUID *VendorGuid);
typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(IN CHAR16 *VariableName, IN EFI_GUID *VendorGuid,
                                             IN UINT32 Attributes, IN UINTN DataSize,
                                             IN VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_HIGH_MONO_COUNT)(OUT UINT32 *HighCount);
typedef VOID(EFIAPI *EFI_RESET_SYSTEM)(IN EFI_RESET_TYPE ResetType, IN EFI_STATUS ResetStatus,
                                       IN UINTN DataSize, IN VOID *ResetData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_UPDATE_CAPSULE)(IN EFI_CAPSULE_HEADER **CapsuleHeaderArray,
                                               IN UINTN CapsuleCount,
                                               IN EFI_PHYSICAL_ADDRESS ScatterGatherList OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_QUERY_CAPSULE_CAPABILITIES)(
    IN EFI_CAPSULE_HEADER **CapsuleHeaderArray, IN UINTN CapsuleCount,
    OUT UINT64 *MaximumCapsuleSize, OUT EFI_RESET_TYPE *ResetType);
typedef EFI_STATUS(EFIAPI *EFI_QUERY_VARIABLE_INFO)(IN UINT32 Attributes,
                                                    OUT UINT64 *MaximumVariableStorageSize,
                                                    OUT UINT64 *RemainingVariableStorageSize,
                                                    OUT UINT64 *MaximumVariableSize);

#define EFI_RUNTIME_SERVICES_SIGNATURE SIGNATURE_64('R', 'U', 'N', 'T', 'S', 'E', 'R', 'V')
#define EFI_RUNTIME_SERVICES_REVISION ((2U << 16) | 70U)

typedef struct {
  EFI_TABLE_HEADER Hdr;
  EFI_GET_TIME GetTime;
  EFI_SET_TIME SetTime;
  EFI_GET_WAKEUP_TIME GetWakeupTime;
  EFI_SET_WAKEUP_TIME SetWakeupTime;
  EFI_SET_VIRTUAL_ADDRESS_MAP SetVirtualAddressMap;
  EFI_CONVERT_POINTER ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_GET_NEXT_HIGH_MONO_COUNT GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  EFI_UPDATE_CAPSULE UpdateCapsule;
  EFI_QUERY_CAPSULE_CAPABILITIES QueryCapsuleCapabilities;
  EFI_QUERY_VARIABLE_INFO QueryVariableInfo;
} EFI_RUNTIME_SERVICES;
static_assert(OFFSET_OF(EFI_RUNTIME_SERVICES, GetVariable) == EFI_ABI_PICK(72, 48),
              "runtime services");
static_assert(OFFSET_OF(EFI_RUNTIME_SERVICES, SetVariable) == EFI_ABI_PICK(88, 56),
              "runtime services");
static_assert(OFFSET_OF(EFI_RUNTIME_SERVICES, ResetSystem) == EFI_ABI_PICK(104, 64),
              "runtime services");
static_assert(OFFSET_OF(EFI_RUNTIME_SERVICES, QueryVariableInfo) == EFI_ABI_PICK(128, 76),
              "runtime services");
static_assert(sizeof(EFI_RUNTIME_SERVICES) == EFI_ABI_PICK(136, 80), "runtime services");

// ---- System table ----
#define EFI_SYSTEM_TABLE_SIGNATURE SIGNATURE_64('I', 'B', 'I', ' ', 'S', 'Y', 'S', 'T')
#define EFI_SYSTEM_TABLE_REVISION ((2U << 16) | 70U)

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, FirmwareRevision) == EFI_ABI_PICK(32, 28),
              "system table");
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, ConsoleInHandle) == EFI_ABI_PICK(40, 32), "system table");
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, RuntimeServices) == EFI_ABI_PICK(88, 56), "system table");
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, BootServices) == EFI_ABI_PICK(96, 60), "system table");
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, NumberOfTableEntries) == EFI_ABI_PICK(104, 64),
              "system table");
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, ConfigurationTable) == EFI_ABI_PICK(112, 68),
              "system table");
static_assert(sizeof(EFI_SYSTEM_TABLE) == EFI_ABI_PICK(120, 72), "system table");

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable);
