// The default board's SMBIOS table and the processor state that goes with
// it: firmware, system, baseboard, one processor, one memory array with four
// slots (two populated, two empty). Made up for the simulated board.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::smbios {

// The table as a dump-bin image (SMBIOS 3.2 entry point, table at 0x20).
std::vector<uint8_t> DefaultBoardImage();

// IA32_PERF_STATUS of the board's processor: current ratio 36 (3.6 GHz,
// bits 15..8) with a core voltage in bits 47..32, as the processor reports
// it. The board sets it with Bus::SetMsr(kMsrPerfStatus, ...).
constexpr uint32_t kMsrPerfStatus = 0x198;
constexpr uint64_t kDefaultBoardPerfStatus = 0x00001B5A00002400ull;

} // namespace sim::smbios
