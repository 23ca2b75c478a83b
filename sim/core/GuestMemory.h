// The board's RAM: one region of host memory mapped at a fixed address below
// 4 GiB, so that a host pointer into it is also the device (DMA) address and
// fits the 32-bit fields of IA32 code and of device descriptors. Pages are
// handed out with the allocation rules of the UEFI page services; fiber stacks
// come from a separate area at the top of the region that page allocation and
// Reset() never touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class GuestMemory {
public:
  // Above the program break, which the kernel places anywhere in the first
  // GiB after a non-PIE executable, and below the PCI MMIO hole.
  static constexpr uint64_t kBase = 0x80000000;
  static constexpr uint64_t kSize = 0x40000000;         // 1 GiB
  static constexpr uint64_t kStackAreaSize = 0x4000000; // 64 MiB at the top
  static constexpr uint64_t kPageSize = 4096;
  // First and last+1 address the page allocator hands out.
  static constexpr uint64_t kPagesBase = kBase;
  static constexpr uint64_t kPagesLimit = kBase + kSize - kStackAreaSize;
  // Freed pages are filled with this byte so that use after free shows.
  static constexpr uint8_t kFreedFill = 0xAF;

  enum class AllocKind { AnyPages, MaxAddress, Address };

  struct Allocation {
    uint64_t address;
    uint64_t pages;
    uint32_t memoryType;
  };

  // Maps the region; aborts with a message when the address range is taken
  // (another GuestMemory is alive, or something else sits there).
  GuestMemory();
  ~GuestMemory();
  GuestMemory(const GuestMemory &) = delete;
  GuestMemory &operator=(const GuestMemory &) = delete;

  // AnyPages: highest free range in the region. MaxAddress: highest free
  // range whose last byte is at or below `address` (in). Address: exactly at
  // `address` (in), which must be page aligned. Returns false (and changes
  // nothing) when no such range is free.
  bool AllocatePages(AllocKind kind, uint32_t memoryType, uint64_t pages, uint64_t &address);
  // Every page of the range must be allocated (it may be part of a larger
  // allocation); otherwise false and nothing changes.
  bool FreePages(uint64_t address, uint64_t pages);
  uint64_t PagesInUse() const { return pagesInUse_; }
  std::vector<Allocation> Allocations() const;
  // Memory type of the allocated page holding `address`, or nothing.
  bool TypeAt(uint64_t address, uint32_t &memoryType) const;

  // A new boot: every page free and zero, boot services not exited. Stacks
  // are not affected.
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

  bool Contains(uint64_t address, uint64_t length = 1) const {
    return address >= kBase && length <= kSize && address - kBase <= kSize - length;
  }
  uint8_t *HostPointer(uint64_t address) const { return reinterpret_cast<uint8_t *>(address); }
  uint64_t Base() const { return kBase; }
  uint64_t Size() const { return kSize; }

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
  bool FreeRangeContains(uint64_t address, uint64_t pages) const;
  void TakeFree(uint64_t address, uint64_t pages);
  void AddFree(uint64_t address, uint64_t pages);

  std::map<uint64_t, uint64_t> free_;   // start -> pages, coalesced
  std::map<uint64_t, Range> allocated_; // start -> range
  uint64_t pagesInUse_ = 0;
  std::map<uint64_t, StackBlock> stacks_; // usable start -> block
  uint64_t stackTop_ = kBase + kSize;     // stacks grow the area downwards
  size_t stacksInUse_ = 0;
  bool bootServicesExited_ = false;
  uint64_t dmaAfterExit_ = 0;
  std::vector<DmaIntrusion> intrusions_;
};

// Small pieces of guest memory that stay allocated for the rest of the boot
// (service tables, records firmware may point into, pool blocks): pages of one
// memory type are taken at least minPages at a time and cut into 16-byte
// aligned pieces; the unused end of a run of pages is left behind.
class GuestArena {
public:
  GuestArena(GuestMemory &memory, uint32_t memoryType, uint64_t minPages)
      : memory_(&memory), memoryType_(memoryType), minPages_(minPages) {}

  // A piece of `bytes` rounded up to 16, not cleared; nullptr when guest
  // memory has no pages left for it.
  void *Take(uint64_t bytes);

private:
  GuestMemory *memory_;
  uint32_t memoryType_;
  uint64_t minPages_;
  uint64_t next_ = 0;
  uint64_t end_ = 0;
};

} // namespace sim
