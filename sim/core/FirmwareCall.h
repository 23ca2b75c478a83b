// Calls from the simulator into firmware through a function pointer that
// firmware handed over (an entry point, an event's notify function). Host
// builds are called natively; code that only an emulated CPU can run (an EFI
// image) is claimed by the CPU that loaded it and runs there.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

namespace sim {

class ForeignCode {
public:
  virtual bool Owns(uint64_t address) const = 0;
  // Calls with the EFIAPI convention; returns the result register.
  virtual uint64_t CallForeign(uint64_t address, std::span<const uint64_t> args) = 0;

protected:
  ~ForeignCode() = default;
};

// Registration lasts until the matching Unregister (latest first).
void RegisterForeignCode(ForeignCode *code);
void UnregisterForeignCode(ForeignCode *code);
ForeignCode *ForeignCodeAt(uint64_t address);

namespace detail {
template <typename T> uint64_t AsWord(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uint64_t>(value);
  } else {
    return static_cast<uint64_t>(value);
  }
}
} // namespace detail

template <typename R, typename... Params, typename... Args>
R CallFirmware(R(__attribute__((ms_abi)) * fn)(Params...), Args... args) {
  if (ForeignCode *code = ForeignCodeAt(reinterpret_cast<uint64_t>(fn))) {
    const uint64_t words[] = {detail::AsWord(static_cast<Params>(args))..., 0};
    const uint64_t result =
        code->CallForeign(reinterpret_cast<uint64_t>(fn), std::span(words, sizeof...(Params)));
    if constexpr (std::is_void_v<R>) {
      (void)result;
      return;
    } else if constexpr (std::is_pointer_v<R>) {
      return reinterpret_cast<R>(result);
    } else {
      return static_cast<R>(result);
    }
  }
  return fn(args...);
}

} // namespace sim
