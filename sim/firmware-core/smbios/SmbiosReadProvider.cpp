// SMBIOS_READ_PROTOCOL served from a table image (see SmbiosReadProvider.h).
#include "SmbiosReadProvider.h"

#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/Trap.h"

#include <cstring>

namespace sim::smbios {

namespace {

template <int Slot> void EFIAPI CoreMember() {
  static constexpr char kName[] = "SMBIOS_READ_PROTOCOL.CoreMembers[0]";
  char name[sizeof(kName)];
  std::memcpy(name, kName, sizeof(kName));
  name[sizeof(kName) - 3] = static_cast<char>('0' + Slot);
  StopOnUnemulatedSlot(name);
}

template <int... Slots> void FillCoreMembers(SMBIOS_READ_PROTOCOL &protocol) {
  ((protocol.CoreMembers[Slots] = reinterpret_cast<VOID *>(&CoreMember<Slots>)), ...);
}

} // namespace

SmbiosReadProvider *SmbiosReadProvider::current_ = nullptr;

SmbiosReadProvider::SmbiosReadProvider(Table table) : table_(std::move(table)) {
  FillCoreMembers<0, 1, 2, 3, 4, 5, 6, 7>(protocol_);
  protocol_.ReadStructure = &SmbiosReadProvider::ReadStructure;
}

SmbiosReadProvider::~SmbiosReadProvider() {
  if (current_ == this) {
    current_ = previous_;
  }
}

EFI_STATUS SmbiosReadProvider::Install(Dxe &dxe) {
  if (current_ != this) {
    previous_ = current_;
    current_ = this;
  }
  EFI_HANDLE handle = nullptr;
  return dxe.InstallProtocolInterface(&handle, &gSmbiosReadProtocolGuid, EFI_NATIVE_INTERFACE,
                                      &protocol_);
}

EFI_STATUS EFIAPI SmbiosReadProvider::ReadStructure(UINT8 Type, UINT8 Instance, VOID **Structure,
                                                    UINT64 *Reserved) {
  if (current_ == nullptr) {
    StopOnUnemulatedSlot("SMBIOS_READ_PROTOCOL.ReadStructure (no provider alive)");
    return EFI_NOT_READY;
  }
  return current_->Serve(Type, Instance, Structure, Reserved);
}

EFI_STATUS SmbiosReadProvider::Serve(UINT8 type, UINT8 instance, VOID **structure,
                                     UINT64 *reserved) {
  Dxe *dxe = Dxe::Current();
  EFI_STATUS status = EFI_SUCCESS;
  const Structure *found = nullptr;
  if (structure == nullptr || instance == 0) {
    status = EFI_INVALID_PARAMETER;
  } else if ((found = table_.Find(type, instance)) == nullptr) {
    status = EFI_NOT_FOUND;
  } else {
    VOID *buffer = nullptr;
    status = dxe->AllocatePool(EfiBootServicesData, found->bytes.size(), &buffer);
    if (!EFI_ERROR(status)) {
      std::memcpy(buffer, found->bytes.data(), found->bytes.size());
      *structure = buffer;
      if (reserved != nullptr) {
        *reserved = found->handle;
      }
    }
  }
  reads_.push_back(Read{type, instance, status});
  const bool delivered = found != nullptr && !EFI_ERROR(status);
  dxe->machine().trace().Emit("smbios", ev::SmbiosRead{type, instance, delivered,
                                                       delivered ? found->handle : uint16_t{0},
                                                       delivered ? found->bytes.size() : 0});
  return status;
}

} // namespace sim::smbios
