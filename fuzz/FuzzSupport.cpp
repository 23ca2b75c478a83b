#include "FuzzSupport.h"

#include <Board/BoardConfig.h>
#include <Hw.h>

#include <cstdlib>
#include <cstring>

namespace fuzz {

std::jmp_buf *gResetPoint = nullptr;
uint64_t gMsrValue = 0;
uint32_t (*gMmioRead32)(UINTN) = nullptr;
void (*gMmioWrite)(UINTN, unsigned) = nullptr;

namespace {

Services *gServices = nullptr;

size_t NameLength(const CHAR16 *name) {
  size_t n = 0;
  while (name[n] != 0) {
    n++;
  }
  return n;
}

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE, UINTN size, VOID **buffer) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *buffer = std::malloc(size == 0 ? 1 : size);
  return *buffer != nullptr ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

EFI_STATUS EFIAPI FreePool(VOID *buffer) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::free(buffer);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *guid, VOID *, VOID **interface) {
  if (guid == nullptr || interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (const Services::Protocol &p : gServices->protocols) {
    if (SameGuid(*p.guid, *guid)) {
      *interface = p.interface;
      return EFI_SUCCESS;
    }
  }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

// The UEFI GetVariable rules: EFI_BUFFER_TOO_SMALL with the size needed when
// the data does not fit, Attributes optional.
EFI_STATUS EFIAPI GetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes, UINTN *size,
                              VOID *data) {
  if (name == nullptr || guid == nullptr || size == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const Variable *v = gServices->Find(name, *guid);
  if (v == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (*size < v->data.size()) {
    *size = v->data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *size = v->data.size();
  if (!v->data.empty()) {
    std::memcpy(data, v->data.data(), v->data.size());
  }
  if (attributes != nullptr) {
    *attributes = v->attributes;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 attributes, UINTN size,
                              VOID *data) {
  if (name == nullptr || guid == nullptr || (size != 0 && data == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  gServices->Set(name, *guid, attributes,
                 size == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + size));
  return EFI_SUCCESS;
}

// Event handlers run from the driver, with no event behind them.
EFI_STATUS EFIAPI CloseEvent(EFI_EVENT) { return EFI_SUCCESS; }

} // namespace

Services::Services() {
  boot.CloseEvent = CloseEvent;
  boot.AllocatePool = AllocatePool;
  boot.FreePool = FreePool;
  boot.LocateProtocol = LocateProtocol;
  runtime.GetVariable = GetVariable;
  runtime.SetVariable = SetVariable;
  system.BootServices = &boot;
  system.RuntimeServices = &runtime;
  gServices = this;
}

Services::~Services() { gServices = nullptr; }

const Variable *Services::Find(const CHAR16 *name, const EFI_GUID &guid) const {
  const size_t n = NameLength(name);
  for (const Variable &v : variables) {
    if (v.name.size() == n && std::memcmp(v.name.data(), name, n * sizeof(CHAR16)) == 0 &&
        SameGuid(v.guid, guid)) {
      return &v;
    }
  }
  return nullptr;
}

void Services::Set(const CHAR16 *name, const EFI_GUID &guid, UINT32 attributes,
                   const std::vector<uint8_t> &data) {
  const size_t n = NameLength(name);
  for (auto it = variables.begin(); it != variables.end(); ++it) {
    if (it->name.size() == n && std::memcmp(it->name.data(), name, n * sizeof(CHAR16)) == 0 &&
        SameGuid(it->guid, guid)) {
      variables.erase(it);
      break;
    }
  }
  if (!data.empty()) {
    variables.push_back({std::vector<CHAR16>(name, name + n), guid, attributes, data});
  }
}

} // namespace fuzz

// The hardware seam: nothing answers.
extern "C" {
UINT8 IoRead8(UINT16) { return 0xFF; }
UINT16 IoRead16(UINT16) { return 0xFFFF; }
UINT32 IoRead32(UINT16 Port) {
  // A quarter of a chunk per read: waits end, yet still read the timer.
  static UINT32 sPmTimer;
  if (Port == kBoardPmTimerPort) {
    return sPmTimer += 1u << 20;
  }
  return 0xFFFFFFFF;
}
void IoWrite8(UINT16 Port, UINT8 Value) {
  if (Port == kBoardResetControlPort && Value == kBoardFullReset) {
    if (fuzz::gResetPoint == nullptr) {
      std::abort();
    }
    std::longjmp(*fuzz::gResetPoint, 1);
  }
}
void IoWrite16(UINT16, UINT16) {}
void IoWrite32(UINT16, UINT32) {}
UINT8 MmioRead8(UINTN) { return 0xFF; }
UINT16 MmioRead16(UINTN) { return 0xFFFF; }
UINT32 MmioRead32(UINTN Address) {
  return fuzz::gMmioRead32 != nullptr ? fuzz::gMmioRead32(Address) : 0xFFFFFFFF;
}
UINT64 MmioRead64(UINTN) { return ~0ull; }
void MmioWrite8(UINTN Address, UINT8) {
  if (fuzz::gMmioWrite != nullptr) {
    fuzz::gMmioWrite(Address, 1);
  }
}
void MmioWrite16(UINTN Address, UINT16) {
  if (fuzz::gMmioWrite != nullptr) {
    fuzz::gMmioWrite(Address, 2);
  }
}
void MmioWrite32(UINTN Address, UINT32) {
  if (fuzz::gMmioWrite != nullptr) {
    fuzz::gMmioWrite(Address, 4);
  }
}
void MmioWrite64(UINTN Address, UINT64) {
  if (fuzz::gMmioWrite != nullptr) {
    fuzz::gMmioWrite(Address, 8);
  }
}
UINT64 ReadMsr(UINT32) { return fuzz::gMsrValue; }
void CpuPause(void) {}
void ReadIdtr(IDT_REGISTER *Idtr) {
  Idtr->Limit = 0;
  Idtr->Base = 0;
}
}
