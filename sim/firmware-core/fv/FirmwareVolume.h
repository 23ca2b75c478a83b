// A firmware volume as the firmware core presents it: files by name GUID,
// each a list of typed sections, served through EFI_FIRMWARE_VOLUME2_PROTOCOL
// ReadSection (the only member the modules use; the others trap). With
// *Buffer NULL the section is returned in pool the caller frees, as the
// firmware core does. A fault hook makes ReadSection answer with a chosen
// status instead.
#pragma once

#include <Protocol/FirmwareVolume2.h>
#include <Uefi/UefiServices.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sim {

class Dxe;

class FirmwareVolume {
public:
  struct Section {
    uint8_t type;
    std::vector<uint8_t> data;
  };

  explicit FirmwareVolume(Dxe &dxe);
  FirmwareVolume(const FirmwareVolume &) = delete;
  FirmwareVolume &operator=(const FirmwareVolume &) = delete;

  void AddFile(const EFI_GUID &name, std::vector<Section> sections);
  // A file of one raw section (EFI_SECTION_RAW), such as the logo.
  void AddRawFile(const EFI_GUID &name, std::vector<uint8_t> data);

  // Every ReadSection answers `status` without reading (nullopt: normal).
  void SetReadSectionFault(std::optional<EFI_STATUS> status) { fault_ = status; }
  uint64_t ReadSectionCalls() const { return readSectionCalls_; }

  // Installs the protocol on a new handle, inside a firmware run.
  EFI_STATUS Install();
  EFI_HANDLE Handle() const { return handle_; }
  EFI_FIRMWARE_VOLUME2_PROTOCOL *Protocol() { return &instance_.protocol; }

private:
  struct Instance {
    EFI_FIRMWARE_VOLUME2_PROTOCOL protocol;
    FirmwareVolume *self;
  };
  struct GuidLess {
    bool operator()(const EFI_GUID &a, const EFI_GUID &b) const;
  };

  static EFI_STATUS EFIAPI ReadSection(const EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                       const EFI_GUID *NameGuid, EFI_SECTION_TYPE SectionType,
                                       UINTN SectionInstance, VOID **Buffer, UINTN *BufferSize,
                                       UINT32 *AuthenticationStatus);

  Dxe &dxe_;
  std::map<EFI_GUID, std::vector<Section>, GuidLess> files_;
  std::optional<EFI_STATUS> fault_;
  uint64_t readSectionCalls_ = 0;
  Instance instance_{};
  EFI_HANDLE handle_ = nullptr;
};

} // namespace sim
