// Test application: signals the ready-to-boot event group, as the boot
// manager does before it starts a boot option. OVMF has already done so
// before the shell started, before any of the drivers under test was loaded.
// Also writes the processor's IA32_PERF_STATUS, which "ProcessorClock" is
// made from, so the host can check the text against what the CPU showed.
#include "Harness.h"

#include <Hw.h>

using namespace OvmfTest;

namespace {

constexpr UINT32 kIa32PerfStatus = 0x198;

} // namespace

extern "C" EFI_STATUS EFIAPI SignalReadyToBootEntryPoint(EFI_HANDLE ImageHandle,
                                                         EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  Line().Text("msr ").Hex(kIa32PerfStatus).Text(" ").Hex(ReadMsr(kIa32PerfStatus));
  Line().Text("ready-to-boot signalling");
  EFI_STATUS Status = OvmfTest::SignalReadyToBoot();
  Line().Text("ready-to-boot signalled ").Status(Status);
  if (EFI_ERROR(Status)) {
    MarkFailed();
  }
  return Status;
}
