// Test application, the disk's removable-media boot file: starts the
// firmware's own UEFI shell with "-delay 0", so that startup.nsh runs at once
// instead of after the shell's five-second countdown. The shell is found as
// the boot option whose description names it.
#include "Harness.h"

#include <Protocol/LoadedImage.h>

using namespace OvmfTest;

namespace {

EFI_GUID kEfiGlobalVariableGuid = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};

CHAR16 kShellOptions[] = {'-', 'd', 'e', 'l', 'a', 'y', ' ', '0', 0};
constexpr UINTN kMaxBootOptions = 64;
constexpr UINTN kMaxLoadOption = 4096;

// EFI_LOAD_OPTION: attributes, file-path list length, description, paths.
constexpr UINTN kDescriptionOffset = 6;

BOOLEAN NamesShell(CONST CHAR16 *Text, UINTN Characters) {
  static CONST CHAR16 kWord[] = {'S', 'h', 'e', 'l', 'l'};
  constexpr UINTN WordLength = sizeof(kWord) / sizeof(kWord[0]);
  for (UINTN Start = 0; Start + WordLength <= Characters; Start++) {
    UINTN Match = 0;
    while (Match < WordLength && Text[Start + Match] == kWord[Match]) {
      Match++;
    }
    if (Match == WordLength) {
      return TRUE;
    }
  }
  return FALSE;
}

// Finds the shell's boot option: Option receives the whole load option and
// PathOffset the offset of its file path.
BOOLEAN FindShell(UINT8 *Option, UINTN *PathOffset) {
  UINT16 Order[kMaxBootOptions];
  UINTN Size = sizeof(Order);
  if (EFI_ERROR(gST->RuntimeServices->GetVariable((CHAR16 *)u"BootOrder", &kEfiGlobalVariableGuid,
                                                  NULL, &Size, Order))) {
    return FALSE;
  }
  for (UINTN I = 0; I < Size / sizeof(UINT16); I++) {
    CHAR16 Name[] = {'B', 'o', 'o', 't', 0, 0, 0, 0, 0};
    static CONST CHAR8 kHex[] = "0123456789ABCDEF";
    for (UINTN Digit = 0; Digit < 4; Digit++) {
      Name[4 + Digit] = (CHAR16)kHex[(Order[I] >> (12 - 4 * Digit)) & 0xF];
    }
    UINTN OptionSize = kMaxLoadOption;
    if (EFI_ERROR(gST->RuntimeServices->GetVariable(Name, &kEfiGlobalVariableGuid, NULL,
                                                    &OptionSize, Option)) ||
        OptionSize < kDescriptionOffset + sizeof(CHAR16)) {
      continue;
    }
    CONST CHAR16 *Description = (CONST CHAR16 *)(Option + kDescriptionOffset);
    UINTN Characters = 0;
    while (kDescriptionOffset + (Characters + 1) * sizeof(CHAR16) <= OptionSize &&
           Description[Characters] != 0) {
      Characters++;
    }
    if (NamesShell(Description, Characters)) {
      *PathOffset = kDescriptionOffset + (Characters + 1) * sizeof(CHAR16);
      return *PathOffset < OptionSize;
    }
  }
  return FALSE;
}

} // namespace

extern "C" EFI_STATUS EFIAPI ShellLauncherEntryPoint(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable) {
  Init(ImageHandle, SystemTable);
  Line().Text("launcher started");
  static UINT8 Option[kMaxLoadOption];
  UINTN PathOffset = 0;
  if (!FindShell(Option, &PathOffset)) {
    Line().Text("launcher no shell boot option");
    return EFI_NOT_FOUND;
  }
  EFI_HANDLE Shell = NULL;
  EFI_STATUS Status = gBS->LoadImage(
      FALSE, ImageHandle, (EFI_DEVICE_PATH_PROTOCOL *)(Option + PathOffset), NULL, 0, &Shell);
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = NULL;
  if (!EFI_ERROR(Status)) {
    Status = gBS->HandleProtocol(Shell, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded);
  }
  if (EFI_ERROR(Status)) {
    Line().Text("launcher shell not loaded ").Status(Status);
    return Status;
  }
  Loaded->LoadOptions = kShellOptions;
  Loaded->LoadOptionsSize = sizeof(kShellOptions);
  Line().Text("launcher starting the shell");
  Status = gBS->StartImage(Shell, NULL, NULL);
  Line().Text("launcher shell ended ").Status(Status);
  return Status;
}
