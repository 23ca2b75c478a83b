// IPv4 addresses as the setup forms keep them: UTF-16 dotted text in fields
// of 15 code units. The parser walks the text from its right end, the way the
// firmware always has, so its accept/refuse table is part of the contract
// (leading zeros accepted, an empty first group read as 0, only the first
// fifteen code units looked at).
#include "AgentInternal.h"

#include <Guid/SetupVariable.h>

namespace {

// The Setup buffer keeps these fields at odd offsets: read and write code
// units byte by byte.
CHAR16 ReadChar(CONST UINT8 *Text, UINT32 Index) {
  return (CHAR16)(Text[2 * Index] | ((CHAR16)Text[2 * Index + 1] << 8));
}

VOID WriteChar(UINT8 *Text, UINT32 Index, CHAR16 Value) {
  Text[2 * Index] = (UINT8)Value;
  Text[2 * Index + 1] = (UINT8)(Value >> 8);
}

constexpr UINT32 kIpv4Groups = 4;
constexpr UINT32 kGroupMaxDigits = 3;

} // namespace

EFI_STATUS ParseIpv4Text(CONST VOID *Text, UINT8 *Address) {
  CONST UINT8 *Bytes = (CONST UINT8 *)Text;
  UINT8 Parsed[kIpv4Groups] = {0, 0, 0, 0};
  // Never look past the fifteenth code unit, terminated or not.
  UINT32 Length = 0;
  while (Length < kIpv4TextMaxChars && ReadChar(Bytes, Length) != 0) {
    Length++;
  }

  BOOLEAN Ok = Length != 0 ? TRUE : FALSE;
  UINT32 Group = 0;
  UINT32 Digits = 0;
  UINT32 Place = 1;
  BOOLEAN DigitSeen = FALSE;
  INT32 Index = kIpv4Groups - 1;
  UINT16 Sum = 0;
  for (UINT32 Position = Length; Ok && Position-- > 0;) {
    CHAR16 Unit = ReadChar(Bytes, Position);
    if (Unit >= '0' && Unit <= '9') {
      if (Digits == kGroupMaxDigits) {
        Ok = FALSE;
        break;
      }
      if (Digits == 2) {
        // Hundreds: the group must stay within 255. The two code units to
        // the right are this group's tens and units.
        CHAR16 Tens = ReadChar(Bytes, Position + 1);
        CHAR16 Units = ReadChar(Bytes, Position + 2);
        if (Unit > '2' || (Unit == '2' && (Tens > '5' || (Tens == '5' && Units > '5')))) {
          Ok = FALSE;
          break;
        }
      }
      Group += (UINT32)(Unit - '0') * Place;
      Place *= 10;
      Digits++;
      DigitSeen = TRUE;
    } else if (Unit == '.') {
      // A trailing dot, or two dots in a row (an empty inner group).
      if (!DigitSeen || (Position + 1 < Length && ReadChar(Bytes, Position + 1) == '.')) {
        Ok = FALSE;
        break;
      }
      if (Index == 0) {
        Ok = FALSE; // a fourth dot
        break;
      }
      Parsed[Index] = (UINT8)Group;
      Sum = (UINT16)(Sum + Group);
      Index--;
      Group = 0;
      Digits = 0;
      Place = 1;
    } else {
      Ok = FALSE;
    }
  }
  if (Ok && Index != 0) {
    Ok = FALSE; // fewer than three dots
  }
  if (Ok) {
    Parsed[0] = (UINT8)Group;
    Sum = (UINT16)(Sum + Group);
    if (Sum == 0) {
      Ok = FALSE; // 0.0.0.0 is no address
    }
  }
  for (UINT32 Byte = 0; Byte < kIpv4Groups; Byte++) {
    Address[Byte] = Ok ? Parsed[Byte] : 0;
  }
  return Ok ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

VOID FormatIpv4Text(CONST UINT8 *Address, VOID *Field) {
  UINT8 *Out = (UINT8 *)Field;
  UINT32 Position = 0;
  for (UINT32 Byte = 0; Byte < kIpv4Groups; Byte++) {
    if (Byte != 0) {
      WriteChar(Out, Position++, '.');
    }
    UINT32 Value = Address[Byte];
    if (Value >= 100) {
      WriteChar(Out, Position++, (CHAR16)('0' + Value / 100));
    }
    if (Value >= 10) {
      WriteChar(Out, Position++, (CHAR16)('0' + Value / 10 % 10));
    }
    WriteChar(Out, Position++, (CHAR16)('0' + Value % 10));
  }
  // The longest text (15 code units, 100.100.100.100) fills the field
  // exactly and has no room for a terminator; every reader stops after
  // fifteen code units. Shorter texts are terminated and the rest of the
  // field cleared.
  while (Position < kSetupMgmtRangeFieldChars) {
    WriteChar(Out, Position++, 0);
  }
}
