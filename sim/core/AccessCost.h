// The single cost model of hardware accesses in virtual time. The bus charges
// these on every access, before the device sees it, so a device that derives
// a value from the clock (the PM timer) sees the access's own cost.
//
// The figures are chosen so that the PM timer delay loop (one port read and
// one pause per iteration) resolves its deadline within one timer tick
// (279 ns): two port reads plus a pause stay below one tick.
#pragma once

#include <cstdint>

namespace sim::cost {

inline constexpr uint64_t kPortIoNs = 100;
inline constexpr uint64_t kMmioNs = 100;
inline constexpr uint64_t kMsrNs = 50;
inline constexpr uint64_t kCpuPauseNs = 50;

} // namespace sim::cost
