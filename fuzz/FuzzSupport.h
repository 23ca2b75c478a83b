// What the fuzz drivers give module code in place of a board: a hardware
// seam where reads float high and writes go nowhere (a full-reset request
// returns to the driver through FuzzResetPoint; the PM timer runs so fast
// that any Stall ends after a few reads), and boot and runtime
// services with pool from the heap, protocols looked up in a small table and
// variables kept in memory. Services a driver does not set stay NULL, so an
// unexpected call shows at once.
#pragma once

#include <Uefi/UefiServices.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

namespace fuzz {

// Set by a driver around code that may request a reset; the reset write
// longjmps here with value 1. NULL: a reset request aborts.
extern std::jmp_buf *gResetPoint;
// What every model-specific register reads as.
extern uint64_t gMsrValue;
// Set by a driver that needs devices to answer: 32-bit MMIO reads go here
// instead of floating high, and every MMIO write is reported here.
extern uint32_t (*gMmioRead32)(UINTN address);
extern void (*gMmioWrite)(UINTN address, unsigned width);

struct Variable {
  std::vector<CHAR16> name;
  EFI_GUID guid;
  UINT32 attributes;
  std::vector<uint8_t> data;
};

struct Services {
  EFI_SYSTEM_TABLE system{};
  EFI_BOOT_SERVICES boot{};
  EFI_RUNTIME_SERVICES runtime{};
  struct Protocol {
    const EFI_GUID *guid;
    void *interface;
  };
  std::vector<Protocol> protocols;
  std::vector<Variable> variables;

  // Pool, LocateProtocol, CloseEvent, GetVariable and SetVariable; makes this the
  // services the static callbacks use.
  Services();
  ~Services();
  Services(const Services &) = delete;
  Services &operator=(const Services &) = delete;

  const Variable *Find(const CHAR16 *name, const EFI_GUID &guid) const;
  void Set(const CHAR16 *name, const EFI_GUID &guid, UINT32 attributes,
           const std::vector<uint8_t> &data);
};

} // namespace fuzz
