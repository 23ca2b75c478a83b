// Firmware-volume stand-in: section lookup and the pool copy ReadSection
// hands out.
#include "FirmwareVolume.h"

#include "sim/uefi/Dxe.h"
#include "sim/uefi/Trap.h"

#include <Pi/PiFirmwareFile.h>

#include <cstring>

namespace sim {

bool FirmwareVolume::GuidLess::operator()(const EFI_GUID &a, const EFI_GUID &b) const {
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) < 0;
}

FirmwareVolume::FirmwareVolume(Dxe &dxe) : dxe_(dxe) {
  EFI_FIRMWARE_VOLUME2_PROTOCOL &p = instance_.protocol;
  SIM_TRAP_SLOT(p, "FirmwareVolume2", GetVolumeAttributes);
  SIM_TRAP_SLOT(p, "FirmwareVolume2", SetVolumeAttributes);
  SIM_TRAP_SLOT(p, "FirmwareVolume2", ReadFile);
  p.ReadSection = ReadSection;
  SIM_TRAP_SLOT(p, "FirmwareVolume2", WriteFile);
  SIM_TRAP_SLOT(p, "FirmwareVolume2", GetNextFile);
  p.KeySize = 0;
  p.ParentHandle = nullptr;
  SIM_TRAP_SLOT(p, "FirmwareVolume2", GetInfo);
  SIM_TRAP_SLOT(p, "FirmwareVolume2", SetInfo);
  instance_.self = this;
}

void FirmwareVolume::AddFile(const EFI_GUID &name, std::vector<Section> sections) {
  files_[name] = std::move(sections);
}

void FirmwareVolume::AddRawFile(const EFI_GUID &name, std::vector<uint8_t> data) {
  AddFile(name, {Section{EFI_SECTION_RAW, std::move(data)}});
}

EFI_STATUS FirmwareVolume::Install() {
  EFI_HANDLE handle = nullptr;
  EFI_STATUS status =
      dxe_.InstallMultiple(&handle, {{&gEfiFirmwareVolume2ProtocolGuid, Protocol()}});
  if (!EFI_ERROR(status)) {
    handle_ = handle;
  }
  return status;
}

EFI_STATUS EFIAPI FirmwareVolume::ReadSection(const EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                              const EFI_GUID *NameGuid,
                                              EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                              VOID **Buffer, UINTN *BufferSize,
                                              UINT32 *AuthenticationStatus) {
  FirmwareVolume &self = *reinterpret_cast<const Instance *>(This)->self;
  self.readSectionCalls_++;
  if (NameGuid == nullptr || Buffer == nullptr || BufferSize == nullptr ||
      AuthenticationStatus == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (self.fault_) {
    return *self.fault_;
  }
  auto file = self.files_.find(*NameGuid);
  if (file == self.files_.end()) {
    return EFI_NOT_FOUND;
  }
  const Section *found = nullptr;
  UINTN instance = 0;
  for (const Section &section : file->second) {
    if (section.type == SectionType && instance++ == SectionInstance) {
      found = &section;
      break;
    }
  }
  if (found == nullptr) {
    return EFI_NOT_FOUND;
  }
  *AuthenticationStatus = 0;
  const UINTN size = found->data.size();
  if (*Buffer == nullptr) {
    EFI_STATUS status = self.dxe_.AllocatePool(EfiBootServicesData, size, Buffer);
    if (EFI_ERROR(status)) {
      return status;
    }
    std::memcpy(*Buffer, found->data.data(), size);
    *BufferSize = size;
    return EFI_SUCCESS;
  }
  const UINTN copied = std::min<UINTN>(*BufferSize, size);
  std::memcpy(*Buffer, found->data.data(), copied);
  const bool truncated = *BufferSize < size;
  *BufferSize = size;
  return truncated ? EFI_WARN_BUFFER_TOO_SMALL : EFI_SUCCESS;
}

} // namespace sim
