// SMBIOS structure access for the report: reads through the firmware core's
// protocol, string lookup by position and bounded field reads.
#include "Smbios.h"

#include "Driver.h"

namespace Inventory {

namespace {
// What a missing string reads as.
CONST CHAR8 kNoString[] = "";
} // namespace

UINT8 *ReadSmbiosStructure(UINT8 Type, UINT8 Instance) {
  if (mSmbiosRead == NULL) {
    return NULL;
  }
  VOID *Structure = NULL;
  UINT64 Reserved = 0; // the provider's own slot; never read
  EFI_STATUS Status = mSmbiosRead->ReadStructure(Type, Instance, &Structure, &Reserved);
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  return (UINT8 *)Structure;
}

VOID FreeSmbiosStructure(UINT8 *Structure) {
  if (Structure != NULL) {
    mBootServices->FreePool(Structure);
  }
}

CONST CHAR8 *GetNthString(CONST UINT8 *Structure, UINTN N) {
  if (N == 0) {
    return kNoString;
  }
  CONST CHAR8 *String = (CONST CHAR8 *)Structure + ((CONST SMBIOS_STRUCTURE *)Structure)->Length;
  // An empty string inside the set cannot exist: the first zero right after
  // a terminator (or at the very start) is the end of the set.
  for (UINTN Skipped = 1; Skipped < N; Skipped++) {
    if (*String == '\0') {
      return kNoString;
    }
    while (*String != '\0') {
      String++;
    }
    String++;
  }
  return String;
}

BOOLEAN HasField(CONST UINT8 *Structure, UINT8 Offset, UINT8 Size) {
  return (UINTN)Offset + Size <= ((CONST SMBIOS_STRUCTURE *)Structure)->Length ? TRUE : FALSE;
}

BOOLEAN ReadField16(CONST UINT8 *Structure, UINT8 Offset, UINT16 *Value) {
  if (!HasField(Structure, Offset, 2)) {
    return FALSE;
  }
  *Value = (UINT16)(Structure[Offset] | (Structure[Offset + 1] << 8));
  return TRUE;
}

} // namespace Inventory
