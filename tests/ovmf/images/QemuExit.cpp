// Test application: ends QEMU through its isa-debug-exit device, with the
// pass code unless a test image marked a failure. QEMU exits with
// (value << 1) | 1, so neither code can be mistaken for QEMU's own 0 or 1.
#include "Harness.h"

#include <Hw.h>

using namespace OvmfTest;

namespace {

constexpr UINT16 kDebugExitPort = 0xF4;
constexpr UINT8 kPassValue = 0x10; // QEMU exits with 33
constexpr UINT8 kFailValue = 0x11; // QEMU exits with 35

} // namespace

extern "C" EFI_STATUS EFIAPI QemuExitEntryPoint(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  BOOLEAN Failed = FailureMarked();
  Line().Text(Failed ? "exit fail" : "exit pass");
  IoWrite8(kDebugExitPort, Failed ? kFailValue : kPassValue);
  // Still here: the machine has no exit device.
  Line().Text("note isa-debug-exit did not end the machine");
  return EFI_DEVICE_ERROR;
}
