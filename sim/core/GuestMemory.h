// The board's RAM: host memory mapped at fixed addresses, so that a host
// pointer into it is also the device (DMA) address. Two regions, as on a
// board with more than 4 GiB: a low one below 4 GiB, which 32-bit code and
// 32-bit device fields reach (PEI memory, DMA buffers, fiber stacks at its
// top), and a high one above 4 GiB. Pages are handed out with the rules of
// the UEFI page services, top-down as a reference core does, so any-address
// requests land in the high region; nothing handed out is zeroed, it holds
// the power-on pattern. Fiber stacks come from an area at the top of the low
// region that page allocation and Reset() never touch.
//
// Where the regions lie is fixed at build time (GuestMemory::BuildLayout):
// an AddressSanitizer runtime reserves 0x7FFF8000..0x10007FFF8000 for its
// shadow, so sanitizer builds put the low region below it and the high
// region above it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class GuestMemory {
public:
  struct Region {
    uint64_t base;
    uint64_t size;
    uint64_t End() const { return base + size; }
  };
  struct Layout {
    Region low;  // ends at or below 4 GiB
    Region high; // starts at or above 4 GiB
  };
  // The board's: low RAM above the program break (which the kernel places in
  // the first GiB after a non-PIE executable) and below the PCI MMIO hole;
  // high RAM from 4 GiB.
  static constexpr Layout kBoardLayout = {{0x80000000, 0x40000000}, {0x100000000, 0x40000000}};
  // Sanitizer builds: below and above the AddressSanitizer shadow.
  static constexpr Layout kSanitizerLayout = {{0x40000000, 0x3FF00000},
                                              {0x100080000000, 0x40000000}};
  // The layout of this build (kSanitizerLayout when built with
  // MGMT_SIM_SANITIZER_LAYOUT or with AddressSanitizer).
  static const Layout &BuildLayout();

  static constexpr uint64_t kStackAreaSize = 0x4000000; // 64 MiB at the top of the low region
  static constexpr uint64_t kPageSize = 4096;
  static constexpr uint64_t k4GiB = 0x100000000;
  // What memory holds when it is handed out: RAM at power-on is not zero,
  // and a reference core clears nothing it is not asked to clear.
  static constexpr uint8_t kPowerOnFill = 0x5A;
  // Freed pages are filled with this byte so that use after free shows.
  static constexpr uint8_t kFreedFill = 0xAF;

  enum class AllocKind { AnyPages, MaxAddress, Address };
  // Whether AllocatePages fills the pages with kPowerOnFill (callers that
  // hand the pages out piece by piece fill each piece instead).
  enum class Fill { PowerOnPattern, None };

  struct Allocation {
    uint64_t address;
    uint64_t pages;
    uint32_t memoryType;
  };

  // Maps the regions; aborts with a message when an address range is taken
  // (another GuestMemory is alive, or something else sits there). The
  // mapping outlives the object: the next GuestMemory of the same layout
  // takes it over, cleared to what a fresh mapping holds.
  GuestMemory();
  explicit GuestMemory(const Layout &layout);
  ~GuestMemory();
  GuestMemory(const GuestMemory &) = delete;
  GuestMemory &operator=(const GuestMemory &) = delete;

  // AnyPages: highest free range. MaxAddress: highest free range whose last
  // byte is at or below `address` (in). Address: exactly at `address` (in),
  // which must be page aligned. Returns false (and changes nothing) when no
  // such range is free.
  bool AllocatePages(AllocKind kind, uint32_t memoryType, uint64_t pages, uint64_t &address,
                     Fill fill = Fill::PowerOnPattern);
  // Every page of the range must be allocated (it may be part of a larger
  // allocation); otherwise false and nothing changes.
  bool FreePages(uint64_t address, uint64_t pages);
  uint64_t PagesInUse() const { return pagesInUse_; }
  std::vector<Allocation> Allocations() const;
  // Memory type of the allocated page holding `address`, or nothing.
  bool TypeAt(uint64_t address, uint32_t &memoryType) const;

  // A new boot: every page free, boot services not exited. Memory keeps what
  // it holds (pages are filled when handed out). Stacks are not affected.
  void Reset();

  // ---- After exit-boot-services ----
  // From ExitBootServices on, the OS owns all memory but the pages that stay
  // the firmware's (runtime services, reserved, ACPI NVS, ...). Device models
  // report every DMA write through NoteDmaWrite; a write that touches the
  // OS's memory after the exit is counted, and the first few are kept.
  struct DmaIntrusion {
    std::string device;
    uint64_t address;
    uint64_t length;
  };
  static constexpr size_t kDmaIntrusionsKept = 8;
  void ExitBootServices() { bootServicesExited_ = true; }
  bool BootServicesExited() const { return bootServicesExited_; }
  void NoteDmaWrite(const char *device, uint64_t address, uint64_t length);
  uint64_t DmaWritesAfterExitBootServices() const { return dmaAfterExit_; }
  const std::vector<DmaIntrusion> &DmaIntrusions() const { return intrusions_; }
  // Whether the byte at `address` still belongs to the firmware after the
  // exit (an allocated page of a runtime or reserved type).
  bool FirmwareKeepsAfterExit(uint64_t address) const;

  // Fiber stacks: the lowest address of a block of `size` bytes (rounded up
  // to pages) with an inaccessible guard page below it. Reused after
  // FreeStack. Aborts when the stack area is exhausted.
  void *AllocateStack(uint64_t size);
  void FreeStack(void *stack);
  size_t StacksInUse() const { return stacksInUse_; }
  // Gives a live stack-area block a memory type, so that TypeAt answers for
  // it as for allocated pages (an EFI image loaded there is boot-services
  // code and data to the device models). FreeStack drops the type.
  void SetStackBlockType(void *stack, uint32_t memoryType);
  // The usable part (guard page excluded) of the stack-area block holding
  // `address`, live or waiting for reuse; false elsewhere.
  bool StackBlockAt(uint64_t address, uint64_t &start, uint64_t &bytes) const;

  // ---- Where RAM lies (for the memory map and for mapping it elsewhere) ----
  // Both regions, low first: every address that is guest RAM.
  std::array<Region, 2> Regions() const { return {layout_.low, layout_.high}; }
  const Layout &layout() const { return layout_; }
  // The ranges pages are handed out from, low first (the low region without
  // its stack area, the high region).
  std::array<Region, 2> PageAreas() const;
  Region StackArea() const { return {layout_.low.End() - kStackAreaSize, kStackAreaSize}; }

  // Inside one region (RAM regions are not adjacent, so a range cannot span
  // both).
  bool Contains(uint64_t address, uint64_t length = 1) const {
    return In(layout_.low, address, length) || In(layout_.high, address, length);
  }
  uint8_t *HostPointer(uint64_t address) const { return reinterpret_cast<uint8_t *>(address); }

private:
  struct Range {
    uint64_t pages;
    uint32_t memoryType;
  };
  struct StackBlock {
    uint64_t bytes; // guard page included
    bool inUse;
    bool typed = false;
    uint32_t memoryType = 0;
  };
  static bool In(const Region &region, uint64_t address, uint64_t length) {
    return address >= region.base && length <= region.size &&
           address - region.base <= region.size - length;
  }
  bool InPageArea(uint64_t address, uint64_t length) const;
  void Map(const Region &region);
  // Makes the kept mapping read as a fresh one; `used` are the parts the last
  // machine may have written (see UsedParts), everything else is dropped.
  void ClearKept(const std::array<Region, 3> &used);
  void Clear(const Region &region);
  // The tops of the page areas and of the stack area this machine has handed
  // out (all three fill downwards).
  std::array<Region, 3> UsedParts() const;
  void FreeEverything();
  bool FreeRangeContains(uint64_t address, uint64_t pages) const;
  void TakeFree(uint64_t address, uint64_t pages);
  void AddFree(uint64_t address, uint64_t pages);

  Layout layout_;
  uint64_t maxPages_ = 0;               // pages of the larger page area
  std::map<uint64_t, uint64_t> free_;   // start -> pages, coalesced
  std::map<uint64_t, Range> allocated_; // start -> range
  uint64_t pagesInUse_ = 0;
  // Lowest page handed out in each page area so far (the area's end: none).
  std::array<uint64_t, 2> lowestUsed_{};
  std::map<uint64_t, StackBlock> stacks_; // usable start -> block
  uint64_t stackTop_ = 0;                 // stacks grow the area downwards
  size_t stacksInUse_ = 0;
  bool bootServicesExited_ = false;
  uint64_t dmaAfterExit_ = 0;
  std::vector<DmaIntrusion> intrusions_;
};

// Small pieces of guest memory that stay allocated for the rest of the boot
// (service tables, records firmware may point into, pool blocks): pages of one
// memory type, at or below `maxAddress`, are taken at least minPages at a
// time and cut into pieces aligned to `alignment`; the unused end of a run of
// pages is left behind.
class GuestArena {
public:
  static constexpr uint64_t kAnywhere = ~uint64_t{0};

  GuestArena(GuestMemory &memory, uint32_t memoryType, uint64_t minPages,
             uint64_t maxAddress = kAnywhere, uint64_t alignment = 16)
      : memory_(&memory), memoryType_(memoryType), minPages_(minPages), maxAddress_(maxAddress),
        alignment_(alignment) {}

  // A piece of `bytes` rounded up to the alignment, holding the power-on
  // pattern; nullptr when guest memory has no pages left for it.
  void *Take(uint64_t bytes);

private:
  GuestMemory *memory_;
  uint32_t memoryType_;
  uint64_t minPages_;
  uint64_t maxAddress_;
  uint64_t alignment_;
  uint64_t next_ = 0;
  uint64_t end_ = 0;
};

} // namespace sim
