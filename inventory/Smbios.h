// Reading SMBIOS structures as the reporter needs them: one structure at a
// time from SMBIOS_READ_PROTOCOL, texts by their position in the string set,
// and fields of the formatted area that a short (older) structure may lack.
#pragma once

#include <IndustryStandard/SmBios.h>
#include <Uefi/UefiBaseType.h>

namespace Inventory {

// The Instance-th structure of Type (from 1) as a pool buffer the caller
// frees with FreePool, or NULL when the protocol does not deliver it.
[[nodiscard]] UINT8 *ReadSmbiosStructure(UINT8 Type, UINT8 Instance);
VOID FreeSmbiosStructure(UINT8 *Structure);

// The N-th string (from 1) of the structure's string set, found by skipping
// N - 1 strings after the formatted area. A position beyond the set, or 0,
// gives an empty text; the walk stops at the set's double zero.
CONST CHAR8 *GetNthString(CONST UINT8 *Structure, UINTN N);

// Fields of the formatted area; FALSE when the structure's Length ends
// before the field.
[[nodiscard]] BOOLEAN ReadField16(CONST UINT8 *Structure, UINT8 Offset, UINT16 *Value);
[[nodiscard]] BOOLEAN HasField(CONST UINT8 *Structure, UINT8 Offset, UINT8 Size);

} // namespace Inventory
