// What the OVMF test images share: one line of text at a time on the debug
// port (0x402, where QEMU's debugcon device writes it to the host's log),
// the failure mark that the exit application turns into QEMU's exit code,
// and loading an image from the disk the caller itself was loaded from.
#pragma once

#include <Protocol/DevicePath.h>
#include <Uefi/UefiServices.h>

namespace OvmfTest {

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;

VOID Init(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// One line on the debug port, written as it is built and ended by the
// destructor. Every line starts with "#mgmt " so the host can tell it from
// whatever else the firmware writes there.
class Line {
public:
  Line();
  ~Line();
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;
  Line &Text(CONST CHAR8 *Text);
  Line &Dec(UINT64 Value);
  Line &Hex(UINT64 Value);                       // 0x followed by lower-case digits
  Line &Bytes(CONST VOID *Buffer, UINTN Length); // two lower-case digits a byte
  Line &Status(EFI_STATUS Status);               // the status code's name
};

// Writes "check NAME pass" or "check NAME fail"; a failure also sets the
// mark that the exit application reads.
BOOLEAN Verdict(CONST CHAR8 *Name, BOOLEAN Passed);
VOID MarkFailed();
BOOLEAN FailureMarked();

// Loads NAME (a path like u"\\MgmtAgentDxe.efi") from the file system the
// calling image was loaded from. The image is not started.
EFI_STATUS LoadFromOwnDisk(CONST CHAR16 *Name, EFI_HANDLE *Image);

// Signals the ready-to-boot event group, as the boot manager does before it
// starts a boot option.
EFI_STATUS SignalReadyToBoot();

// The handles that carry Protocol now; Count 0 and Handles NULL when none
// does. The caller frees a non-NULL buffer.
VOID HandlesWith(EFI_GUID *Protocol, UINTN *Count, EFI_HANDLE **Handles);

} // namespace OvmfTest
