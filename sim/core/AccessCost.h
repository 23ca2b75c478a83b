// The single cost model of hardware accesses in virtual time: what one access
// costs the CPU on a board of this kind, by the path it takes. The bus charges
// it on every access, before the device sees it, so a device that derives a
// value from the clock (the PM timer) sees the access's own cost. Each mapping
// on the bus carries its kind; unclaimed accesses cost what the path to
// nowhere costs (ports go out to LPC/eSPI by subtractive decode, memory reads
// end in a master abort).
//
// A delay loop on the PM timer (one port read and one pause per iteration)
// meets its deadline within one iteration, about 0.75 us; that bounds how far
// a Stall overshoots. Durations the firmware fixes (pulse widths, Stall
// lengths, poll budgets) do not depend on these figures, only the number of
// accesses it takes to spend them does.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace sim {

enum class AccessKind : uint8_t {
  LpcPort,     // legacy and LPC/eSPI port I/O: EC, Super I/O, POST code, COM1
  PchRegister, // PCH-internal registers: ACPI PM timer, reset control, sideband window
  PciConfig,   // PCI configuration space through the ECAM window
  Device,      // a PCIe device's registers through its BARs (memory or I/O)
  Memory,      // RAM reached through the bus
};

namespace cost {

struct AccessCost {
  AccessKind kind;
  uint64_t ns;
};

// Reads and writes are charged alike: a posted write is cheaper for the CPU,
// but the next read of the same device waits until it has drained.
inline constexpr AccessCost kAccessCosts[] = {
    // An LPC I/O cycle is about 1 us (the classic port-0x80 delay of the OS).
    {AccessKind::LpcPort, 1000},
    // An ACPI PM-timer read is commonly measured at 0.7 to 1 us.
    {AccessKind::PchRegister, 700},
    // An ECAM read: one non-posted read that the root complex turns into a
    // configuration cycle, about 0.5 us.
    {AccessKind::PciConfig, 500},
    // A BAR register read: one PCIe round trip to the device, about 0.5 us.
    {AccessKind::Device, 500},
    // An uncached DRAM access, about 0.1 us.
    {AccessKind::Memory, 100},
};

constexpr uint64_t Ns(AccessKind kind) {
  for (const AccessCost &c : kAccessCosts) {
    if (c.kind == kind)
      return c.ns;
  }
  return 0;
}

// RDMSR of a core register (IA32_PERF_STATUS) takes on the order of 100 cycles.
inline constexpr uint64_t kMsrNs = 50;
// PAUSE takes on the order of 100 cycles on current cores.
inline constexpr uint64_t kCpuPauseNs = 50;

constexpr bool EveryKindHasACost() {
  for (AccessKind kind : {AccessKind::LpcPort, AccessKind::PchRegister, AccessKind::PciConfig,
                          AccessKind::Device, AccessKind::Memory}) {
    if (Ns(kind) == 0)
      return false;
  }
  return true;
}
static_assert(EveryKindHasACost());

} // namespace cost
} // namespace sim
