// A NIC_IO_PROTOCOL instance for tests of the link driver: the members the
// driver may rely on (Io/Mem Read and Write through the BAR table, Pci Read
// and Write to the function's configuration space through the memory-mapped
// window, AllocateBuffer below 4 GiB, FreeBuffer, GetLocation, and Stall on
// the ACPI PM timer), every access going over the simulated bus so that it
// costs virtual time and shows in the trace. Members not offered return
// EFI_UNSUPPORTED. The agent's own instance replaces this in whole-board runs.
#pragma once

#include <Protocol/NicIo.h>
#include <Uefi/UefiServices.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>

namespace sim {

class Machine;
class NicModel;

class NicIoProvider {
public:
  struct Location {
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
  };
  struct Bar {
    uint32_t kind = kNicIoBarKindNone;
    uint64_t base = 0;
    uint64_t length = 0;
  };

  NicIoProvider(Machine &machine, Location location, const std::array<Bar, kNicIoBarCount> &bars);
  // The windows the controller model decodes now: BAR 0 as I/O (kind 3),
  // BARs 2 and 4 as memory (kind 4), as the agent records them.
  NicIoProvider(Machine &machine, Location location, const NicModel &nic);
  NicIoProvider(const NicIoProvider &) = delete;
  NicIoProvider &operator=(const NicIoProvider &) = delete;

  NIC_IO_PROTOCOL *Protocol() { return &instance_.protocol; }

  // Pages come from these boot services when set (so the firmware's leak
  // accounting sees them), otherwise straight from guest memory.
  void SetBootServices(EFI_BOOT_SERVICES *bootServices) { bootServices_ = bootServices; }
  // Fault hook: returning an error fails that AllocateBuffer call.
  void SetAllocateFault(std::function<EFI_STATUS(UINTN pages)> fault) {
    allocateFault_ = std::move(fault);
  }
  // Pages handed out by AllocateBuffer and not yet freed.
  uint64_t PagesOutstanding() const { return pagesOutstanding_; }
  uint64_t Allocations() const { return allocations_; }

  // The delay routine placed in the instance: busy-waits on the PM timer of
  // the current machine.
  static UINTN EFIAPI Stall(UINTN microseconds);

private:
  struct Instance {
    NIC_IO_PROTOCOL protocol; // first: members receive its address as This
    NicIoProvider *owner;
  };
  static NicIoProvider &From(EFI_PCI_IO_PROTOCOL *This);

  static EFI_STATUS EFIAPI PollMem(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                   UINT64, UINT64, UINT64, UINT64 *);
  static EFI_STATUS EFIAPI MemRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                   UINTN, VOID *);
  static EFI_STATUS EFIAPI MemWrite(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                    UINTN, VOID *);
  static EFI_STATUS EFIAPI IoRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                  UINTN, VOID *);
  static EFI_STATUS EFIAPI IoWrite(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                   UINTN, VOID *);
  static EFI_STATUS EFIAPI PciRead(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT32, UINTN,
                                   VOID *);
  static EFI_STATUS EFIAPI PciWrite(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT32, UINTN,
                                    VOID *);
  static EFI_STATUS EFIAPI CopyMem(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                   UINT8, UINT64, UINTN);
  static EFI_STATUS EFIAPI Map(EFI_PCI_IO_PROTOCOL *, EFI_PCI_IO_PROTOCOL_OPERATION, VOID *,
                               UINTN *, EFI_PHYSICAL_ADDRESS *, VOID **);
  static EFI_STATUS EFIAPI Unmap(EFI_PCI_IO_PROTOCOL *, VOID *);
  static EFI_STATUS EFIAPI AllocateBuffer(EFI_PCI_IO_PROTOCOL *, EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE,
                                          UINTN, VOID **, UINT64);
  static EFI_STATUS EFIAPI FreeBuffer(EFI_PCI_IO_PROTOCOL *, UINTN, VOID *);
  static EFI_STATUS EFIAPI Flush(EFI_PCI_IO_PROTOCOL *);
  static EFI_STATUS EFIAPI GetLocation(EFI_PCI_IO_PROTOCOL *, UINTN *, UINTN *, UINTN *, UINTN *);
  static EFI_STATUS EFIAPI Attributes(EFI_PCI_IO_PROTOCOL *,
                                      EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION, UINT64, UINT64 *);
  static EFI_STATUS EFIAPI GetBarAttributes(EFI_PCI_IO_PROTOCOL *, UINT8, UINT64 *, VOID **);
  static EFI_STATUS EFIAPI SetBarAttributes(EFI_PCI_IO_PROTOCOL *, UINT64, UINT8, UINT64 *,
                                            UINT64 *);

  EFI_STATUS Access(bool memory, bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT8 barIndex,
                    UINT64 offset, UINTN count, VOID *buffer);
  EFI_STATUS Config(bool write, EFI_PCI_IO_PROTOCOL_WIDTH width, UINT32 offset, UINTN count,
                    VOID *buffer);
  void TouchConfig(); // the configuration read every member but two starts with

  Machine &machine_;
  Instance instance_{};
  EFI_BOOT_SERVICES *bootServices_ = nullptr;
  std::function<EFI_STATUS(UINTN)> allocateFault_;
  std::map<uint64_t, uint64_t> live_; // address -> pages
  uint64_t pagesOutstanding_ = 0;
  uint64_t allocations_ = 0;
};

} // namespace sim
