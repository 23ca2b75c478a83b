// MgmtDevicePei's access to single PCH GPIO pads: which PCH series the board
// carries, whether a pad exists in that series and belongs to the host, and
// three operations on it (direction, output level, input level). Lock
// registers are opened and closed around a change through sideband lock
// messages; pads whose configuration PEI leaves unlocked are recorded in
// GPIO_UNLOCK_HOB.
#pragma once

#include <Register/PchGpio.h>
#include <Uefi/UefiBaseType.h>

// One row of a series' group table: 15 little-endian 16-bit fields.
typedef struct {
  UINT16 PortId; // community sideband port; only the low byte counts
  UINT16 PadOwnership;
  UINT16 HostSoftwareOwnership;
  UINT16 GpiInterruptStatus;
  UINT16 GpiInterruptEnable;
  UINT16 GpeStatus;
  UINT16 GpeEnable;
  UINT16 SmiStatus;
  UINT16 SmiEnable;
  UINT16 NmiStatus;
  UINT16 NmiEnable;
  UINT16 PadConfigLock;
  UINT16 PadConfigLockTx;
  UINT16 PadConfigBase;
  UINT16 PadCount;
} PadGroupInfo;

static_assert(sizeof(PadGroupInfo) == 30);
static_assert(OFFSET_OF(PadGroupInfo, PadCount) == 28);

// Direction values: bit 0 apply, bit 1 output disable, bit 2 input disable,
// bit 3 apply inversion, bit 4 inversion.
constexpr UINT8 PadDirNone = 0x00;           // leave the direction as it is
constexpr UINT8 PadDirOutput = 0x05;         // output only
constexpr UINT8 PadDirNeither = 0x07;        // neither input nor output
constexpr UINT8 PadDirInputOutput = 0x09;    // input and output
constexpr UINT8 PadDirInput = 0x0B;          // input only
constexpr UINT8 PadDirInvertedOutput = 0x19; // inverted input and output
constexpr UINT8 PadDirInverted = 0x1B;       // inverted input only

// Answer of the last PchSeries() query (kPchSeriesH, kPchSeriesLp or
// kPchSeriesUnknown); its initial 0xFF also means "not asked yet", so an
// unknown series is asked again at every query.
extern UINT8 mPchSeries;

// The PCH series from the device ID of PCI 0:31.0. Correct even when the
// store into mPchSeries does not stick (a module executing in place from
// flash): the answer returned is the one just read.
UINT8 PchSeries();

// The chipset id matches the series (4 for LP, else 3), the group exists in
// the series' table and the pad number is below the group's pad count.
BOOLEAN PadIsValid(UINT32 Pad);

// The pad is valid and its ownership bits give it to the host.
BOOLEAN PadIsHostOwned(UINT32 Pad);

// Value = the pad's input level (0 or 1).
// @retval EFI_INVALID_PARAMETER  Not a valid pad, or Value is NULL.
// @retval EFI_UNSUPPORTED        The pad does not belong to the host.
[[nodiscard]] EFI_STATUS PadGetInput(UINT32 Pad, UINT32 *Value);

// Sets the pad's output level to Value (0 or 1).
// @retval EFI_INVALID_PARAMETER  Not a valid pad, or Value is neither 0 nor 1.
// @retval EFI_UNSUPPORTED        The pad does not belong to the host.
[[nodiscard]] EFI_STATUS PadSetOutput(UINT32 Pad, UINT32 Value);

// Applies one of the direction values above, rewrites the pad's
// configuration and event enables, and records an unlocked configuration in
// GPIO_UNLOCK_HOB.
// @retval EFI_SUCCESS            Done and recorded.
// @retval EFI_UNSUPPORTED        Not a valid pad, not the host's, or an NMI/SMI
//                                routing in a group without those registers.
// @retval EFI_INVALID_PARAMETER  Not an accepted direction; event routing on a
//                                locked pad; no room for the pad in the HOB.
// @retval EFI_OUT_OF_RESOURCES   GPIO_UNLOCK_HOB could not be created.
// @retval other                  A sideband lock message around an enable
//                                register failed.
[[nodiscard]] EFI_STATUS PadSetDirection(UINT32 Pad, UINT8 Direction);

// Changes one lock register of community Port through the sideband bridge:
// new value = (current value AND Mask) OR Bits.
// @retval EFI_DEVICE_ERROR  The bridge is hidden, or the port refused.
// @retval EFI_TIMEOUT       The bridge stayed busy.
[[nodiscard]] EFI_STATUS SidebandLockMessage(UINT8 Port, UINT16 Offset, UINT32 Mask, UINT32 Bits);
