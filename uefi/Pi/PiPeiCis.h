// The PEI services table and the PPI and notification descriptors, every
// service in its standard slot. PEI modules are IA32 here, so UINTN and
// EFI_STATUS are 32 bits wide in their firmware images.
#pragma once

#include <Pi/PiBootMode.h>
#include <Pi/PiFirmwareFile.h>
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>

typedef VOID *EFI_PEI_FV_HANDLE;
typedef VOID *EFI_PEI_FILE_HANDLE;

typedef UINT32 EFI_STATUS_CODE_TYPE;
typedef UINT32 EFI_STATUS_CODE_VALUE;

// Structures of services this system never calls; opaque on purpose.
typedef struct EFI_STATUS_CODE_DATA EFI_STATUS_CODE_DATA;
typedef struct EFI_FV_FILE_INFO EFI_FV_FILE_INFO;
typedef struct EFI_FV_FILE_INFO2 EFI_FV_FILE_INFO2;
typedef struct EFI_FV_INFO EFI_FV_INFO;
typedef struct EFI_PEI_CPU_IO_PPI EFI_PEI_CPU_IO_PPI;
typedef struct EFI_PEI_PCI_CFG2_PPI EFI_PEI_PCI_CFG2_PPI;

typedef struct EFI_PEI_SERVICES EFI_PEI_SERVICES;
typedef struct EFI_PEI_NOTIFY_DESCRIPTOR EFI_PEI_NOTIFY_DESCRIPTOR;

// Descriptor flags; the last descriptor of a list carries TERMINATE_LIST.
#define EFI_PEI_PPI_DESCRIPTOR_PIC 0x00000001
#define EFI_PEI_PPI_DESCRIPTOR_PPI 0x00000010
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK 0x00000020
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH 0x00000040
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES 0x00000060
#define EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST 0x80000000

typedef struct {
  UINTN Flags;
  EFI_GUID *Guid;
  VOID *Ppi;
} EFI_PEI_PPI_DESCRIPTOR;
static_assert(OFFSET_OF(EFI_PEI_PPI_DESCRIPTOR, Ppi) == EFI_ABI_PICK(16, 8), "PPI descriptor");
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == EFI_ABI_PICK(24, 12), "PPI descriptor");

/// Runs when the PPI named by NotifyDescriptor is installed; Ppi is its interface.
typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(
    IN EFI_PEI_SERVICES **PeiServices, IN EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor,
    IN VOID *Ppi);

struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};
static_assert(OFFSET_OF(EFI_PEI_NOTIFY_DESCRIPTOR, Notify) == EFI_ABI_PICK(16, 8),
              "notify descriptor");
static_assert(sizeof(EFI_PEI_NOTIFY_DESCRIPTOR) == EFI_ABI_PICK(24, 12), "notify descriptor");

/// Entry point of a PEI module.
typedef EFI_STATUS(EFIAPI *EFI_PEIM_ENTRY_POINT2)(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                  IN CONST EFI_PEI_SERVICES **PeiServices);

// ---- PPI services ----
/// Installs every descriptor of PpiList up to the one marked TERMINATE_LIST.
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                IN CONST EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REINSTALL_PPI)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                  IN CONST EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                                  IN CONST EFI_PEI_PPI_DESCRIPTOR *NewPpi);
/// @retval EFI_NOT_FOUND  No Instance-th PPI of that GUID is installed.
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(
    IN CONST EFI_PEI_SERVICES **PeiServices, IN CONST EFI_GUID *Guid, IN UINTN Instance,
    IN OUT EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor OPTIONAL, IN OUT VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                               IN CONST EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);

// ---- Boot mode ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_BOOT_MODE)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                  OUT EFI_BOOT_MODE *BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SET_BOOT_MODE)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                  IN EFI_BOOT_MODE BootMode);

// ---- HOBs ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_HOB_LIST)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                 OUT VOID **HobList);
/// Appends a HOB of Length bytes (header included) with its header filled in.
typedef EFI_STATUS(EFIAPI *EFI_PEI_CREATE_HOB)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                               IN UINT16 Type, IN UINT16 Length, IN OUT VOID **Hob);

// ---- Firmware volumes ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_VOLUME2)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                          IN UINTN Instance,
                                                          OUT EFI_PEI_FV_HANDLE *VolHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_FILE2)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                        IN EFI_FV_FILETYPE SearchType,
                                                        IN CONST EFI_PEI_FV_HANDLE FvHandle,
                                                        IN OUT EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA2)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                           IN EFI_SECTION_TYPE SectionType,
                                                           IN EFI_PEI_FILE_HANDLE FileHandle,
                                                           OUT VOID **SectionData);

// ---- Memory ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PEI_MEMORY)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                       IN EFI_PHYSICAL_ADDRESS MemoryBegin,
                                                       IN UINT64 MemoryLength);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_PAGES)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                   IN EFI_MEMORY_TYPE MemoryType, IN UINTN Pages,
                                                   OUT EFI_PHYSICAL_ADDRESS *Memory);
/// PEI pool lives in the HOB list and is never freed.
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_POOL)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                  IN UINTN Size, OUT VOID **Buffer);
typedef VOID(EFIAPI *EFI_PEI_COPY_MEM)(IN VOID *Destination, IN VOID *Source, IN UINTN Length);
typedef VOID(EFIAPI *EFI_PEI_SET_MEM)(IN VOID *Buffer, IN UINTN Size, IN UINT8 Value);

// ---- Status code and reset ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_REPORT_STATUS_CODE)(
    IN CONST EFI_PEI_SERVICES **PeiServices, IN EFI_STATUS_CODE_TYPE Type,
    IN EFI_STATUS_CODE_VALUE Value, IN UINT32 Instance, IN CONST EFI_GUID *CallerId OPTIONAL,
    IN CONST EFI_STATUS_CODE_DATA *Data OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_PEI_RESET_SYSTEM)(IN CONST EFI_PEI_SERVICES **PeiServices);

// ---- Later additions ----
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_BY_NAME)(IN CONST EFI_GUID *FileName,
                                                     IN EFI_PEI_FV_HANDLE VolumeHandle,
                                                     OUT EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO)(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                      OUT EFI_FV_FILE_INFO *FileInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_VOLUME_INFO)(IN EFI_PEI_FV_HANDLE VolumeHandle,
                                                        OUT EFI_FV_INFO *VolumeInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REGISTER_FOR_SHADOW)(IN EFI_PEI_FILE_HANDLE FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA3)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                                           IN EFI_SECTION_TYPE SectionType,
                                                           IN UINTN SectionInstance,
                                                           IN EFI_PEI_FILE_HANDLE FileHandle,
                                                           OUT VOID **SectionData,
                                                           OUT UINT32 *AuthenticationStatus);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO2)(IN EFI_PEI_FILE_HANDLE FileHandle,
                                                       OUT EFI_FV_FILE_INFO2 *FileInfo);
typedef VOID(EFIAPI *EFI_PEI_RESET2_SYSTEM)(IN EFI_RESET_TYPE ResetType, IN EFI_STATUS ResetStatus,
                                            IN UINTN DataSize, IN VOID *ResetData OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FREE_PAGES)(IN CONST EFI_PEI_SERVICES **PeiServices,
                                               IN EFI_PHYSICAL_ADDRESS Memory, IN UINTN Pages);

#define PEI_SERVICES_SIGNATURE SIGNATURE_64('P', 'E', 'I', ' ', 'S', 'E', 'R', 'V')
#define PEI_SERVICES_REVISION ((1U << 16) | 70U)

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_REINSTALL_PPI ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_NOTIFY_PPI NotifyPpi;
  EFI_PEI_GET_BOOT_MODE GetBootMode;
  EFI_PEI_SET_BOOT_MODE SetBootMode;
  EFI_PEI_GET_HOB_LIST GetHobList;
  EFI_PEI_CREATE_HOB CreateHob;
  EFI_PEI_FFS_FIND_NEXT_VOLUME2 FfsFindNextVolume;
  EFI_PEI_FFS_FIND_NEXT_FILE2 FfsFindNextFile;
  EFI_PEI_FFS_FIND_SECTION_DATA2 FfsFindSectionData;
  EFI_PEI_INSTALL_PEI_MEMORY InstallPeiMemory;
  EFI_PEI_ALLOCATE_PAGES AllocatePages;
  EFI_PEI_ALLOCATE_POOL AllocatePool;
  EFI_PEI_COPY_MEM CopyMem;
  EFI_PEI_SET_MEM SetMem;
  EFI_PEI_REPORT_STATUS_CODE ReportStatusCode;
  EFI_PEI_RESET_SYSTEM ResetSystem;
  EFI_PEI_CPU_IO_PPI *CpuIo;
  EFI_PEI_PCI_CFG2_PPI *PciCfg;
  EFI_PEI_FFS_FIND_BY_NAME FfsFindFileByName;
  EFI_PEI_FFS_GET_FILE_INFO FfsGetFileInfo;
  EFI_PEI_FFS_GET_VOLUME_INFO FfsGetVolumeInfo;
  EFI_PEI_REGISTER_FOR_SHADOW RegisterForShadow;
  EFI_PEI_FFS_FIND_SECTION_DATA3 FindSectionData3;
  EFI_PEI_FFS_GET_FILE_INFO2 FfsGetFileInfo2;
  EFI_PEI_RESET2_SYSTEM ResetSystem2;
  EFI_PEI_FREE_PAGES FreePages;
};

// Slot N (0-based after the header) sits at 24 + N pointers on both ABIs.
#define EFI_PEI_SLOT(N) (24 + (N) * sizeof(VOID *))
static_assert(OFFSET_OF(EFI_PEI_SERVICES, InstallPpi) == EFI_PEI_SLOT(0), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, LocatePpi) == EFI_PEI_SLOT(2), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, NotifyPpi) == EFI_PEI_SLOT(3), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, GetBootMode) == EFI_PEI_SLOT(4), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, GetHobList) == EFI_PEI_SLOT(6), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, CreateHob) == EFI_PEI_SLOT(7), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, AllocatePool) == EFI_PEI_SLOT(13), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, SetMem) == EFI_PEI_SLOT(15), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, CpuIo) == EFI_PEI_SLOT(18), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, FfsFindFileByName) == EFI_PEI_SLOT(20), "PEI services");
static_assert(OFFSET_OF(EFI_PEI_SERVICES, FreePages) == EFI_ABI_PICK(240, 132), "PEI services");
static_assert(sizeof(EFI_PEI_SERVICES) == EFI_ABI_PICK(248, 136), "PEI services");
