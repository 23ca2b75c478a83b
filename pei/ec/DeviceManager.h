// EcPei's small device framework: a constant table of constructors, a manager
// that creates and initialises every enabled device (at most ten) and then
// starts them, and the device base class with its two virtual operations.
// Objects live in PEI pool, zero-filled, and are never freed.
#pragma once

#include <Pi/PiPeiCis.h>
#include <runtime/New.h>

class EcPeiDevice {
public:
  virtual EFI_STATUS Initialize() = 0;
  virtual EFI_STATUS Start() = 0;

  EFI_PEI_FILE_HANDLE *FileHandle; // from the manager's owner
  UINT32 Context;                  // left at 0
  const EFI_PEI_SERVICES **PeiServices;

protected:
  EcPeiDevice() = default;
  ~EcPeiDevice() = default; // never destroyed: PEI pool lives to the end of PEI
};

// Creates one device; EFI_UNSUPPORTED means none was made.
typedef EFI_STATUS (*DEVICE_CONSTRUCTOR)(EcPeiDevice **NewDevice, EFI_PEI_FILE_HANDLE *FileHandle,
                                         UINT32 Reserved, const EFI_PEI_SERVICES **PeiServices);

#pragma pack(push, 1)
typedef struct {
  UINT8 Enabled; // kDeviceEntrySkip, kDeviceEntryEnd, anything else creates
  DEVICE_CONSTRUCTOR Create;
} DEVICE_TABLE_ENTRY;
#pragma pack(pop)
static_assert(sizeof(DEVICE_TABLE_ENTRY) == EFI_ABI_PICK(9, 5), "packed: Enabled, then Create");
static_assert(OFFSET_OF(DEVICE_TABLE_ENTRY, Create) == 1, "packed: Enabled, then Create");

constexpr UINT8 kDeviceEntrySkip = 0x00;
constexpr UINT8 kDeviceEntryEnd = 0xFF; // only this byte of the last entry is read

constexpr UINT32 kEcDeviceSlots = 10;

struct EcDeviceManager {
  // Walks DeviceTable: creates each enabled device, gives it the owner's
  // context, initialises it and keeps it, until the end entry or the tenth
  // device. Returns the status of the last constructor or Initialize called
  // (EFI_SUCCESS when none was).
  [[nodiscard]] EFI_STATUS CreateDevices();
  // Starts every created device in table order; their results are not used.
  void StartDevices();

  UINT8 DeviceCount;
  EFI_PEI_FILE_HANDLE *FileHandle;
  UINT32 Reserved; // passed to every constructor, always 0
  const EFI_PEI_SERVICES **PeiServices;
  EcDeviceManager *Owner; // provides the devices' context
  const DEVICE_TABLE_ENTRY *DeviceTable;
  EcPeiDevice *Devices[kEcDeviceSlots];
};

// A zero-filled T constructed in PEI pool, or nullptr when the pool is out.
template <typename T> T *NewPeiObject(const EFI_PEI_SERVICES **PeiServices) {
  VOID *Memory = nullptr;
  if (EFI_ERROR((*PeiServices)->AllocatePool(PeiServices, sizeof(T), &Memory)) ||
      Memory == nullptr) {
    return nullptr;
  }
  (*PeiServices)->SetMem(Memory, sizeof(T), 0);
  return new (Memory) T();
}
