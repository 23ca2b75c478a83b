// Named traps for service-table slots the simulator does not emulate. A
// module that calls one ends its run with a Fault naming the slot, instead of
// jumping through a null pointer. Trap<decltype(table.Slot)>::Fire<kName>
// has exactly the slot's signature, so no function-pointer casts are needed.
#pragma once

#include <Uefi/UefiBaseType.h>

#include <type_traits>

namespace sim {

// Stops the current machine's run with a Fault "<slot> is not emulated".
// Returns only outside a firmware run, where Machine::Stop aborts anyway.
void StopOnUnemulatedSlot(const char *slot);

template <typename Fn> struct Trap;

template <typename R, typename... Args> struct Trap<R(EFIAPI *)(Args...)> {
  template <const char *Slot> static R EFIAPI Fire(Args...) {
    StopOnUnemulatedSlot(Slot);
    if constexpr (!std::is_void_v<R>) {
      return R(EFI_UNSUPPORTED);
    }
  }
};

} // namespace sim

// Fills Table.Slot with a trap named "<Prefix>.<Slot>".
#define SIM_TRAP_SLOT(Table, Prefix, Slot)                                                         \
  do {                                                                                             \
    static constexpr char kTrapName_##Slot[] = Prefix "." #Slot;                                   \
    (Table).Slot = &::sim::Trap<decltype((Table).Slot)>::template Fire<kTrapName_##Slot>;          \
  } while (0)
