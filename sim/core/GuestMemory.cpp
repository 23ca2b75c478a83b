// The fixed mappings of guest RAM, its page and stack allocators and the
// arenas cut from its pages.
#include "GuestMemory.h"
#include "Sanitizers.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace sim {

namespace {
bool gLive = false;

// The mapping the last GuestMemory left behind. A process that boots machine
// after machine (benchmarks, test suites, scenario runs) would otherwise have
// the kernel fault in and clear every page each new machine touches; handing
// the mapping on with its touched pages cleared here costs a fraction of that.
struct KeptMapping {
  GuestMemory::Layout layout;
  std::array<GuestMemory::Region, 3> used; // what the last machine may have written
  bool kept = false;
};
KeptMapping gKept;

bool SameLayout(const GuestMemory::Layout &a, const GuestMemory::Layout &b) {
  return a.low.base == b.low.base && a.low.size == b.low.size && a.high.base == b.high.base &&
         a.high.size == b.high.size;
}

[[noreturn]] void Die(const char *what) {
  std::fprintf(stderr, "mgmt-sim: guest memory: %s\n", what);
  std::abort();
}

uint64_t PagesOf(const GuestMemory::Region &area) { return area.size / GuestMemory::kPageSize; }
} // namespace

const GuestMemory::Layout &GuestMemory::BuildLayout() {
#if defined(MGMT_SIM_SANITIZER_LAYOUT) || MGMT_ASAN
  return kSanitizerLayout;
#else
  return kBoardLayout;
#endif
}

GuestMemory::GuestMemory() : GuestMemory(BuildLayout()) {}

GuestMemory::GuestMemory(const Layout &layout) : layout_(layout) {
  if (gLive) {
    Die("a second guest memory was created while one is alive (one machine at a time)");
  }
  if (layout_.low.End() > k4GiB || layout_.high.base < k4GiB ||
      layout_.low.size <= kStackAreaSize) {
    Die("the layout needs a low region below 4 GiB (larger than the stack area) and a high "
        "one above");
  }
  if (gKept.kept && SameLayout(gKept.layout, layout_)) {
    ClearKept(gKept.used);
  } else {
    if (gKept.kept) {
      munmap(reinterpret_cast<void *>(gKept.layout.low.base), gKept.layout.low.size);
      munmap(reinterpret_cast<void *>(gKept.layout.high.base), gKept.layout.high.size);
    }
    Map(layout_.low);
    Map(layout_.high);
  }
  gKept.kept = false;
  gLive = true;
  stackTop_ = layout_.low.End();
  maxPages_ = std::max(PagesOf(PageAreas()[0]), PagesOf(PageAreas()[1]));
  lowestUsed_ = {PageAreas()[0].End(), PageAreas()[1].End()};
  FreeEverything();
}

void GuestMemory::Map(const Region &region) {
  void *want = reinterpret_cast<void *>(region.base);
  void *got = mmap(want, region.size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED || got != want) {
    char msg[200];
    std::snprintf(msg, sizeof(msg), "cannot map 0x%llx..0x%llx: %s",
                  static_cast<unsigned long long>(region.base),
                  static_cast<unsigned long long>(region.End()),
                  got == MAP_FAILED ? std::strerror(errno) : "the address is taken");
    if (got != MAP_FAILED) {
      munmap(got, region.size);
    }
    if (region.base == layout_.high.base) {
      munmap(reinterpret_cast<void *>(layout_.low.base), layout_.low.size);
    }
    Die(msg);
  }
  // A boot touches a few clusters of RAM (PEI memory, the top-down page
  // allocations, the fiber stacks), some hundred pages each; in huge pages
  // that is a handful of faults instead of hundreds. Only a hint: where
  // the kernel has none to give, small pages serve as before.
  (void)madvise(want, region.size, MADV_HUGEPAGE);
}

std::array<GuestMemory::Region, 3> GuestMemory::UsedParts() const {
  const auto from = [](const Region &area, uint64_t lowest) {
    const uint64_t start = std::max(area.base, lowest);
    return Region{start, area.End() - start};
  };
  const std::array<Region, 2> areas = PageAreas();
  return {from(areas[0], lowestUsed_[0]), from(StackArea(), stackTop_),
          from(areas[1], lowestUsed_[1])};
}

// Brings a kept mapping back to what a fresh mapping holds: readable and
// writable throughout (stack guard pages included), zero everywhere. The
// parts the last machine handed out are cleared page by page; the rest only
// holds something after a stray write (firmware or a device writing where
// nothing was handed out), and is given back to the kernel, which costs
// next to nothing where nothing is mapped.
void GuestMemory::ClearKept(const std::array<Region, 3> &used) {
  for (const Region &region : {layout_.low, layout_.high}) {
    if (mprotect(reinterpret_cast<void *>(region.base), region.size, PROT_READ | PROT_WRITE) !=
        0) {
      Die("cannot make kept guest memory writable again");
    }
    uint64_t next = region.base; // start of what no used part covers
    for (const Region &part : used) {
      if (part.size == 0 || !In(region, part.base, part.size)) {
        continue;
      }
      if (part.base > next &&
          madvise(reinterpret_cast<void *>(next), part.base - next, MADV_DONTNEED) != 0) {
        Die("cannot drop unused kept guest memory");
      }
      Clear(part);
      next = std::max(next, part.End());
    }
    if (next < region.End() &&
        madvise(reinterpret_cast<void *>(next), region.End() - next, MADV_DONTNEED) != 0) {
      Die("cannot drop unused kept guest memory");
    }
  }
}

// Zeroes a part of the mapping: only the pages the kernel has in memory can
// hold anything but zero, and of those (a huge page is resident as a whole)
// only the ones written are written again.
void GuestMemory::Clear(const Region &region) {
  alignas(64) static const unsigned char kZeroPage[kPageSize] = {};
  constexpr uint64_t kChunkPages = 4096;
  alignas(8) static unsigned char resident[kChunkPages];
  for (uint64_t chunk = region.base; chunk < region.End(); chunk += kChunkPages * kPageSize) {
    const uint64_t pages = std::min(kChunkPages, (region.End() - chunk) / kPageSize);
    if (mincore(reinterpret_cast<void *>(chunk), pages * kPageSize, resident) != 0) {
      Die("cannot tell which kept guest pages are in memory");
    }
    for (uint64_t i = 0; i < pages; i += 8) {
      uint64_t eight = 0; // bit 0 of each byte: resident
      std::memcpy(&eight, resident + i, 8);
      if ((eight & 0x0101010101010101) == 0)
        continue;
      for (uint64_t j = i; j < std::min(i + 8, pages); ++j) {
        if ((resident[j] & 1) == 0)
          continue;
        void *page = reinterpret_cast<void *>(chunk + j * kPageSize);
        if (std::memcmp(page, kZeroPage, kPageSize) != 0)
          std::memset(page, 0, kPageSize);
      }
    }
  }
}

GuestMemory::~GuestMemory() {
  gKept = KeptMapping{layout_, UsedParts(), true};
  gLive = false;
}

std::array<GuestMemory::Region, 2> GuestMemory::PageAreas() const {
  return {Region{layout_.low.base, layout_.low.size - kStackAreaSize}, layout_.high};
}

bool GuestMemory::InPageArea(uint64_t address, uint64_t length) const {
  for (const Region &area : PageAreas()) {
    if (In(area, address, length)) {
      return true;
    }
  }
  return false;
}

void GuestMemory::FreeEverything() {
  free_.clear();
  allocated_.clear();
  for (const Region &area : PageAreas()) {
    free_[area.base] = PagesOf(area);
  }
  pagesInUse_ = 0;
}

void GuestMemory::Reset() {
  // RAM keeps what it held across a platform reset; what is handed out in
  // the next boot gets the power-on pattern then, so a boot touches only the
  // memory it uses.
  FreeEverything();
  bootServicesExited_ = false;
  dmaAfterExit_ = 0;
  intrusions_.clear();
}

bool GuestMemory::FirmwareKeepsAfterExit(uint64_t address) const {
  uint32_t type = 0;
  if (!TypeAt(address, type)) {
    return false; // free memory, or memory the firmware never described
  }
  // UEFI memory types the OS takes over at ExitBootServices: loader code and
  // data, boot-services code and data, conventional memory.
  constexpr uint32_t kLoaderCode = 1, kLoaderData = 2, kBootServicesCode = 3,
                     kBootServicesData = 4, kConventional = 7;
  return type != kLoaderCode && type != kLoaderData && type != kBootServicesCode &&
         type != kBootServicesData && type != kConventional;
}

void GuestMemory::NoteDmaWrite(const char *device, uint64_t address, uint64_t length) {
  if (!bootServicesExited_ || length == 0) {
    return;
  }
  // The page of each end and every page between: one of them in the OS's
  // hands makes the write an intrusion.
  bool intrudes = false;
  const uint64_t last =
      length - 1 > ~uint64_t{0} - address ? ~uint64_t{0} : address + (length - 1);
  for (uint64_t at = address; !intrudes; at = (at | (kPageSize - 1)) + 1) {
    intrudes = !FirmwareKeepsAfterExit(at);
    if ((at | (kPageSize - 1)) >= last) {
      break;
    }
  }
  if (!intrudes) {
    return;
  }
  ++dmaAfterExit_;
  if (intrusions_.size() < kDmaIntrusionsKept) {
    intrusions_.push_back(DmaIntrusion{device, address, length});
  }
}

bool GuestMemory::FreeRangeContains(uint64_t address, uint64_t pages) const {
  auto it = free_.upper_bound(address);
  if (it == free_.begin())
    return false;
  --it;
  const uint64_t end = it->first + it->second * kPageSize;
  return address >= it->first && address < end && pages * kPageSize <= end - address;
}

void GuestMemory::TakeFree(uint64_t address, uint64_t pages) {
  auto it = std::prev(free_.upper_bound(address));
  const uint64_t start = it->first;
  const uint64_t end = start + it->second * kPageSize;
  const uint64_t takenEnd = address + pages * kPageSize;
  free_.erase(it);
  if (start < address)
    free_[start] = (address - start) / kPageSize;
  if (takenEnd < end)
    free_[takenEnd] = (end - takenEnd) / kPageSize;
}

void GuestMemory::AddFree(uint64_t address, uint64_t pages) {
  auto [it, inserted] = free_.emplace(address, pages);
  (void)inserted;
  auto next = std::next(it);
  if (next != free_.end() && address + it->second * kPageSize == next->first) {
    it->second += next->second;
    free_.erase(next);
  }
  if (it != free_.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second * kPageSize == address) {
      prev->second += it->second;
      free_.erase(it);
    }
  }
}

bool GuestMemory::AllocatePages(AllocKind kind, uint32_t memoryType, uint64_t pages,
                                uint64_t &address, Fill fill) {
  if (pages == 0 || pages > maxPages_)
    return false;
  const uint64_t bytes = pages * kPageSize;
  uint64_t chosen = 0;
  bool found = false;
  switch (kind) {
  case AllocKind::Address:
    if (address % kPageSize != 0 || !InPageArea(address, bytes) ||
        !FreeRangeContains(address, pages)) {
      return false;
    }
    chosen = address;
    found = true;
    break;
  case AllocKind::AnyPages:
  case AllocKind::MaxAddress: {
    // Top-down, as a reference core serves both: the highest range that
    // fits, which for any address is high RAM.
    uint64_t limit = ~uint64_t{0};
    if (kind == AllocKind::MaxAddress && address != ~uint64_t{0}) {
      limit = (address + 1) & ~(kPageSize - 1);
    }
    for (auto it = free_.rbegin(); it != free_.rend(); ++it) {
      const uint64_t start = it->first;
      const uint64_t end = std::min(start + it->second * kPageSize, limit);
      if (end > start && end - start >= bytes) {
        chosen = end - bytes;
        found = true;
        break;
      }
    }
    break;
  }
  }
  if (!found)
    return false;
  TakeFree(chosen, pages);
  uint64_t &lowest = lowestUsed_[chosen < layout_.low.End() ? 0 : 1];
  lowest = std::min(lowest, chosen);
  allocated_[chosen] = Range{pages, memoryType};
  pagesInUse_ += pages;
  address = chosen;
  if (fill == Fill::PowerOnPattern) {
    std::memset(HostPointer(chosen), kPowerOnFill, bytes);
  }
  return true;
}

bool GuestMemory::FreePages(uint64_t address, uint64_t pages) {
  // The page bound comes first: a huge count would wrap pages * kPageSize.
  if (pages == 0 || pages > maxPages_ || address % kPageSize != 0 ||
      !InPageArea(address, pages * kPageSize)) {
    return false;
  }
  const uint64_t end = address + pages * kPageSize;
  // Every page must belong to some allocation: walk the allocations that
  // cover the range and insist they leave no gap.
  auto it = allocated_.upper_bound(address);
  if (it == allocated_.begin())
    return false;
  --it;
  auto first = it;
  uint64_t covered = address;
  while (covered < end) {
    if (it == allocated_.end() || it->first > covered)
      return false;
    const uint64_t rangeEnd = it->first + it->second.pages * kPageSize;
    if (rangeEnd <= covered)
      return false;
    covered = rangeEnd;
    ++it;
  }
  // Split the first and last allocations where the range cuts them.
  for (auto cur = first; cur != it;) {
    const uint64_t start = cur->first;
    const Range range = cur->second;
    const uint64_t rangeEnd = start + range.pages * kPageSize;
    cur = allocated_.erase(cur);
    if (start < address)
      allocated_[start] = Range{(address - start) / kPageSize, range.memoryType};
    if (rangeEnd > end)
      allocated_[end] = Range{(rangeEnd - end) / kPageSize, range.memoryType};
  }
  std::memset(HostPointer(address), kFreedFill, pages * kPageSize);
  AddFree(address, pages);
  pagesInUse_ -= pages;
  return true;
}

std::vector<GuestMemory::Allocation> GuestMemory::Allocations() const {
  std::vector<Allocation> out;
  for (const auto &[address, range] : allocated_) {
    out.push_back({address, range.pages, range.memoryType});
  }
  return out;
}

bool GuestMemory::TypeAt(uint64_t address, uint32_t &memoryType) const {
  auto it = allocated_.upper_bound(address);
  if (it != allocated_.begin()) {
    --it;
    if (address - it->first < it->second.pages * kPageSize) {
      memoryType = it->second.memoryType;
      return true;
    }
  }
  uint64_t start = 0;
  uint64_t bytes = 0;
  if (StackBlockAt(address, start, bytes)) {
    const StackBlock &block = stacks_.at(start);
    if (block.inUse && block.typed) {
      memoryType = block.memoryType;
      return true;
    }
  }
  return false;
}

void GuestMemory::SetStackBlockType(void *stack, uint32_t memoryType) {
  auto it = stacks_.find(reinterpret_cast<uint64_t>(stack));
  if (it == stacks_.end() || !it->second.inUse) {
    Die("SetStackBlockType of a block that is not a live stack");
  }
  it->second.typed = true;
  it->second.memoryType = memoryType;
}

void *GuestArena::Take(uint64_t bytes) {
  // No piece comes near a region's size; a larger request cannot be met.
  constexpr uint64_t kLargestPiece = uint64_t{1} << 30;
  if (bytes > kLargestPiece) {
    return nullptr;
  }
  const uint64_t rounded = (bytes + alignment_ - 1) / alignment_ * alignment_;
  if (end_ - next_ < rounded) {
    const uint64_t pages =
        std::max(minPages_, (rounded + GuestMemory::kPageSize - 1) / GuestMemory::kPageSize);
    uint64_t base = maxAddress_;
    if (!memory_->AllocatePages(GuestMemory::AllocKind::MaxAddress, memoryType_, pages, base,
                                GuestMemory::Fill::None)) {
      return nullptr;
    }
    next_ = base;
    end_ = base + pages * GuestMemory::kPageSize;
  }
  void *piece = reinterpret_cast<void *>(next_);
  std::memset(piece, GuestMemory::kPowerOnFill, rounded);
  next_ += rounded;
  return piece;
}

void *GuestMemory::AllocateStack(uint64_t size) {
  const uint64_t bytes = ((size + kPageSize - 1) & ~(kPageSize - 1)) + kPageSize;
  for (auto &[start, block] : stacks_) {
    if (!block.inUse && block.bytes == bytes) {
      block.inUse = true;
      ++stacksInUse_;
      return reinterpret_cast<void *>(start);
    }
  }
  if (stackTop_ - StackArea().base < bytes) {
    Die("the fiber stack area is exhausted (runs nested too deep?)");
  }
  stackTop_ -= bytes;
  // The lowest page is a guard, so an overflow faults instead of corrupting
  // the neighbouring stack.
  mprotect(reinterpret_cast<void *>(stackTop_), kPageSize, PROT_NONE);
  const uint64_t usable = stackTop_ + kPageSize;
  // A new stack holds what RAM holds at power-on, not zeros; a reused one
  // holds what the last run left.
  std::memset(reinterpret_cast<void *>(usable), kPowerOnFill, bytes - kPageSize);
  stacks_[usable] = StackBlock{bytes, true};
  ++stacksInUse_;
  return reinterpret_cast<void *>(usable);
}

bool GuestMemory::StackBlockAt(uint64_t address, uint64_t &start, uint64_t &bytes) const {
  auto it = stacks_.upper_bound(address);
  if (it == stacks_.begin())
    return false;
  --it;
  const uint64_t usable = it->second.bytes - kPageSize;
  if (address - it->first >= usable)
    return false;
  start = it->first;
  bytes = usable;
  return true;
}

void GuestMemory::FreeStack(void *stack) {
  auto it = stacks_.find(reinterpret_cast<uint64_t>(stack));
  if (it == stacks_.end() || !it->second.inUse) {
    Die("FreeStack of a block that is not a live stack");
  }
  it->second.inUse = false;
  it->second.typed = false;
  --stacksInUse_;
}

} // namespace sim
