// A module's host image as the simulator sees it: its entry point, the
// bounds of its code and of its writable data. Load() puts the data back as
// the executable had it before any boot, so every boot starts the module as
// freshly loaded. The code's bounds let a fault, or a service call, be put
// down to the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

namespace sim {

class ModuleImage {
public:
  // Bounds come from the linker's __start_/__stop_ symbols of the image's
  // <Name>_data, <Name>_bss and <Name>_text sections; absent sections are
  // null pairs. The pristine .data is captured here, so an image must be
  // described before its code first runs. The code is named after the
  // module for the firmware runner (FirmwareRunner::NameCode).
  ModuleImage(std::string name, void *entryPoint, std::uint8_t *dataBegin, std::uint8_t *dataEnd,
              std::uint8_t *bssBegin, std::uint8_t *bssEnd, std::uint8_t *textBegin = nullptr,
              std::uint8_t *textEnd = nullptr);

  const std::string &Name() const { return name_; }

  // False when the image is not linked into this executable.
  bool Present() const { return entryPoint_ != nullptr; }

  // The entry point as a function of type Fn (e.g. the image entry point
  // type of UEFI or PEI).
  template <typename Fn> Fn *EntryPoint() const {
    static_assert(std::is_function_v<Fn>, "EntryPoint<Fn>: Fn is a function type");
    return reinterpret_cast<Fn *>(entryPoint_);
  }

  std::span<std::uint8_t> Data() const { return {dataBegin_, dataEnd_}; }
  std::span<std::uint8_t> Text() const { return {textBegin_, textEnd_}; }
  std::span<std::uint8_t> Bss() const { return {bssBegin_, bssEnd_}; }

  // Restores .data to its pristine contents and zeroes .bss. Throws
  // std::logic_error when the image is not present.
  void Load() const;

private:
  std::string name_;
  void *entryPoint_;
  std::uint8_t *dataBegin_;
  std::uint8_t *dataEnd_;
  std::uint8_t *bssBegin_;
  std::uint8_t *bssEnd_;
  std::uint8_t *textBegin_;
  std::uint8_t *textEnd_;
  const std::uint8_t *pristine_; // shared by every description of this image
};

} // namespace sim

// Declares the host image of module Name (built by mgmt_module) and defines
// `sim::ModuleImage &Name##Image()` in the current namespace. EntryType is the
// entry point's function type or function pointer type. The references are
// weak: without the image in the link, Present() is false.
//   MGMT_SIM_MODULE_IMAGE(NicLinkDxe, EFI_IMAGE_ENTRY_POINT)
#define MGMT_SIM_MODULE_IMAGE(Name, EntryType)                                                     \
  extern "C" {                                                                                     \
  extern __attribute__((weak)) std::remove_pointer_t<EntryType> Name##ImageEntryPoint;             \
  extern __attribute__((weak)) std::uint8_t __start_##Name##_data[];                               \
  extern __attribute__((weak)) std::uint8_t __stop_##Name##_data[];                                \
  extern __attribute__((weak)) std::uint8_t __start_##Name##_bss[];                                \
  extern __attribute__((weak)) std::uint8_t __stop_##Name##_bss[];                                 \
  extern __attribute__((weak)) std::uint8_t __start_##Name##_text[];                               \
  extern __attribute__((weak)) std::uint8_t __stop_##Name##_text[];                                \
  }                                                                                                \
  inline ::sim::ModuleImage &Name##Image() {                                                       \
    static ::sim::ModuleImage image(#Name, reinterpret_cast<void *>(&Name##ImageEntryPoint),       \
                                    __start_##Name##_data, __stop_##Name##_data,                   \
                                    __start_##Name##_bss, __stop_##Name##_bss,                     \
                                    __start_##Name##_text, __stop_##Name##_text);                  \
    return image;                                                                                  \
  }
