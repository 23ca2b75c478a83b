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
// The same for a boot service called once boot services are gone: "<slot>
// called after ExitBootServices".
void StopOnSlotAfterExitBootServices(const char *slot);

template <typename Fn> struct Trap;

template <typename R, typename... Args> struct Trap<R(EFIAPI *)(Args...)> {
  template <const char *Slot, void (*Stop)(const char *) = StopOnUnemulatedSlot>
  static R EFIAPI Fire(Args...) {
    Stop(Slot);
    if constexpr (!std::is_void_v<R>) {
      return R(EFI_UNSUPPORTED);
    }
  }
};

// Variadic slots (InstallMultipleProtocolInterfaces and its pair).
template <typename R, typename... Args> struct Trap<R(EFIAPI *)(Args..., ...)> {
  template <const char *Slot, void (*Stop)(const char *) = StopOnUnemulatedSlot>
  static R EFIAPI Fire(Args..., ...) {
    Stop(Slot);
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

// Fills Table.Slot with a trap named "<Prefix>.<Slot>" that says the service
// is gone (boot services after ExitBootServices).
#define SIM_GONE_SLOT(Table, Prefix, Slot)                                                         \
  do {                                                                                             \
    static constexpr char kGoneName_##Slot[] = Prefix "." #Slot;                                   \
    (Table).Slot = &::sim::Trap<decltype((Table).Slot)>::template Fire<                            \
        kGoneName_##Slot, ::sim::StopOnSlotAfterExitBootServices>;                                 \
  } while (0)
