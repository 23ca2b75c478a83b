// Stand-ins for the firmware core's setup front end as the agent meets it:
// SETUP_BUFFER_PROTOCOL, whose slot 4 hands out the live Setup buffer the
// front end is editing, and the three protocols the core installs only to
// mark a moment (logo, setup pull, setup push). Installing a trigger is the
// trigger: it runs the notifications registered on it, so call the Install*
// functions inside a FirmwareRunner run.
#pragma once

#include <Uefi/UefiServices.h>

#include <Protocol/SetupBuffer.h>

#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class Dxe;

class SetupBufferProvider {
public:
  // The live buffer starts as a copy of the Setup variable (empty when the
  // variable is missing).
  explicit SetupBufferProvider(Dxe &dxe);
  ~SetupBufferProvider();
  SetupBufferProvider(const SetupBufferProvider &) = delete;
  SetupBufferProvider &operator=(const SetupBufferProvider &) = delete;

  // Installs SETUP_BUFFER_PROTOCOL on a new handle.
  EFI_STATUS Install();

  // The live buffer, as the front end holds it.
  std::vector<uint8_t> &Buffer() { return buffer_; }
  void SetBuffer(std::span<const uint8_t> bytes) { buffer_.assign(bytes.begin(), bytes.end()); }
  // Reloads the buffer from the Setup variable; false when it is missing.
  bool LoadFromVariable();
  // Stores the buffer as the Setup variable (the front end's "save").
  EFI_STATUS SaveToVariable();

  // Fault hook: GetBuffer refuses with this status (EFI_SUCCESS: serves).
  void SetRefusal(EFI_STATUS status) { refusal_ = status; }
  uint64_t GetBufferCalls() const { return calls_; }

private:
  static EFI_STATUS EFIAPI GetBuffer(const CHAR16 *variableName, const EFI_GUID *vendorGuid,
                                     void **buffer, UINTN *size);

  Dxe &dxe_;
  SETUP_BUFFER_PROTOCOL protocol_{};
  EFI_HANDLE handle_ = nullptr;
  std::vector<uint8_t> buffer_;
  EFI_STATUS refusal_ = EFI_SUCCESS;
  uint64_t calls_ = 0;
  SetupBufferProvider *previous_ = nullptr;
};

// Each call installs the trigger protocol on a handle of its own, so every
// call is a new installation.
EFI_STATUS InstallLogoTrigger(Dxe &dxe);
EFI_STATUS InstallSetupPullTrigger(Dxe &dxe);
EFI_STATUS InstallSetupPushTrigger(Dxe &dxe);

} // namespace sim
