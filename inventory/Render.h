// Texts of the report's values that are not SMBIOS strings: the UUID field
// written last byte first, unsigned decimals ("%d") and the processor clock
// ("%d.%03d GHz"). Each writes into a caller's scratch buffer and zero-ends it.
#pragma once

#include <Uefi/UefiBaseType.h>

namespace Inventory {

// The report's scratch text.
constexpr UINTN kScratchSize = 255;

// The 16 UUID bytes, from Uuid[15] down to Uuid[0], as 32 lower-case hex
// digits with no separators.
constexpr UINTN kUuidSize = 16;
VOID RenderUuid(CONST UINT8 *Uuid, CHAR8 *Text);

VOID RenderDecimal(UINT32 Value, CHAR8 *Text);

// IA32_PERF_STATUS: bits 15..8 hold the current ratio, in units of 100 MHz.
constexpr UINT32 kMsrPerfStatus = 0x198;
constexpr UINTN kPerfStatusRatioShift = 8;
constexpr UINT64 kPerfStatusRatioMask = 0xFF;
constexpr UINT32 kRatioMhz = 100;
VOID RenderProcessorClock(UINT64 PerfStatus, CHAR8 *Text);

} // namespace Inventory
