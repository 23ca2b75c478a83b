// Rendering of the UUID, decimal and clock texts (see Render.h).
#include "Render.h"

namespace Inventory {

namespace {

CONST CHAR8 kHexDigits[] = "0123456789abcdef";
CONST CHAR8 kGhz[] = " GHz";

// Writes Value in decimal with at least MinDigits digits; returns the end.
CHAR8 *PutDecimal(CHAR8 *Text, UINT32 Value, UINTN MinDigits) {
  CHAR8 Reverse[10];
  UINTN Count = 0;
  do {
    Reverse[Count++] = (CHAR8)('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count < MinDigits) {
    Reverse[Count++] = '0';
  }
  while (Count != 0) {
    *Text++ = Reverse[--Count];
  }
  return Text;
}

} // namespace

VOID RenderUuid(CONST UINT8 *Uuid, CHAR8 *Text) {
  for (UINTN Index = kUuidSize; Index != 0; Index--) {
    UINT8 Byte = Uuid[Index - 1];
    *Text++ = kHexDigits[Byte >> 4];
    *Text++ = kHexDigits[Byte & 0x0F];
  }
  *Text = '\0';
}

VOID RenderDecimal(UINT32 Value, CHAR8 *Text) { *PutDecimal(Text, Value, 1) = '\0'; }

VOID RenderProcessorClock(UINT64 PerfStatus, CHAR8 *Text) {
  UINT32 Ratio = (UINT32)((PerfStatus >> kPerfStatusRatioShift) & kPerfStatusRatioMask);
  UINT32 Mhz = Ratio * kRatioMhz;
  Text = PutDecimal(Text, Mhz / 1000, 1);
  *Text++ = '.';
  Text = PutDecimal(Text, Mhz % 1000, 3);
  for (UINTN Index = 0; kGhz[Index] != '\0'; Index++) {
    *Text++ = kGhz[Index];
  }
  *Text = '\0';
}

} // namespace Inventory
