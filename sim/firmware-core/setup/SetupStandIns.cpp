// SETUP_BUFFER_PROTOCOL and the trigger protocols, as little of the firmware
// core's setup front end as the agent relies on.
#include "SetupStandIns.h"

#include <Guid/SetupVariable.h>
#include <Protocol/MgmtTriggers.h>

#include "core/Machine.h"
#include "uefi/Dxe.h"
#include "uefi/VariableStore.h"

#include <string>

namespace sim {

namespace {

// GetBuffer takes no interface pointer, so the protocol finds its provider
// the way the service tables find their Dxe: the latest one alive.
SetupBufferProvider *gCurrentProvider = nullptr;

constexpr EFI_GUID kSetupGuid = SETUP_VARIABLE_GUID;
constexpr EFI_GUID kSetupBufferGuid = SETUP_BUFFER_PROTOCOL_GUID;
constexpr EFI_GUID kLogoTriggerGuid = LOGO_TRIGGER_PROTOCOL_GUID;
constexpr EFI_GUID kPullTriggerGuid = SETUP_PULL_TRIGGER_PROTOCOL_GUID;
constexpr EFI_GUID kPushTriggerGuid = SETUP_PUSH_TRIGGER_PROTOCOL_GUID;
constexpr size_t kNameLimit = 64;

template <class Event> EFI_STATUS InstallTrigger(Dxe &dxe, const EFI_GUID &guid) {
  dxe.machine().trace().Emit("setup", Event{});
  EFI_HANDLE handle = nullptr;
  return dxe.InstallProtocolInterface(&handle, &guid, EFI_NATIVE_INTERFACE, nullptr);
}

} // namespace

SetupBufferProvider::SetupBufferProvider(Dxe &dxe) : dxe_(dxe), previous_(gCurrentProvider) {
  protocol_.GetBuffer = &SetupBufferProvider::GetBuffer;
  gCurrentProvider = this;
  LoadFromVariable();
}

SetupBufferProvider::~SetupBufferProvider() {
  if (handle_ != nullptr && Dxe::Current() == &dxe_) {
    dxe_.UninstallProtocolInterface(handle_, &kSetupBufferGuid, &protocol_);
  }
  if (gCurrentProvider == this) {
    gCurrentProvider = previous_;
  }
}

EFI_STATUS SetupBufferProvider::Install() {
  return dxe_.InstallProtocolInterface(&handle_, &kSetupBufferGuid, EFI_NATIVE_INTERFACE,
                                       &protocol_);
}

bool SetupBufferProvider::LoadFromVariable() {
  auto bytes = dxe_.variables().Read("Setup", kSetupGuid);
  buffer_ = bytes ? *bytes : std::vector<uint8_t>{};
  return bytes.has_value();
}

EFI_STATUS SetupBufferProvider::SaveToVariable() {
  const uint32_t attributes = dxe_.variables().AttributesOf("Setup", kSetupGuid).value_or(7);
  return dxe_.variables().Seed("Setup", kSetupGuid, attributes, buffer_);
}

EFI_STATUS EFIAPI SetupBufferProvider::GetBuffer(const CHAR16 *variableName,
                                                 const EFI_GUID *vendorGuid, void **buffer,
                                                 UINTN *size) {
  SetupBufferProvider *self = gCurrentProvider;
  if (self == nullptr) {
    return EFI_NOT_READY;
  }
  self->calls_++;
  self->dxe_.machine().trace().Emit("setup", ev::SetupGetBuffer{});
  if (variableName == nullptr || vendorGuid == nullptr || buffer == nullptr || size == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (self->refusal_ != EFI_SUCCESS) {
    return self->refusal_;
  }
  auto name = BoundedName(variableName, kNameLimit);
  if (!name || *name != u"Setup" || !CompareGuid(vendorGuid, &kSetupGuid) ||
      self->buffer_.empty()) {
    return EFI_NOT_FOUND;
  }
  *buffer = self->buffer_.data();
  *size = self->buffer_.size();
  return EFI_SUCCESS;
}

EFI_STATUS InstallLogoTrigger(Dxe &dxe) {
  return InstallTrigger<ev::SetupLogoTrigger>(dxe, kLogoTriggerGuid);
}

EFI_STATUS InstallSetupPullTrigger(Dxe &dxe) {
  return InstallTrigger<ev::SetupPullTrigger>(dxe, kPullTriggerGuid);
}

EFI_STATUS InstallSetupPushTrigger(Dxe &dxe) {
  return InstallTrigger<ev::SetupPushTrigger>(dxe, kPushTriggerGuid);
}

} // namespace sim
