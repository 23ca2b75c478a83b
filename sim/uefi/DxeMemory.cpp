// Pool and pages on guest memory, with the bookkeeping that turns firmware
// memory bugs into named faults: every pool block carries a header and a tail
// mark in guest memory and is also recorded on the host side, so freeing a
// pointer that is not a live block, or a block whose marks were overwritten,
// stops the run instead of corrupting the pool. Freed blocks are filled so a
// use after free shows. As from a reference core, pool and pages come
// top-down (above 4 GiB when they fit there), hold whatever the memory held
// (the power-on pattern or a freed block's fill), and pool data is 8-byte
// aligned, the UEFI promise, and never 16-byte aligned, so code that
// assumes more fails here too.
#include "DxeInternal.h"

#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace sim {
namespace {

constexpr uint32_t kPoolHeadSignature = 0x64686C70; // "plhd"
constexpr uint32_t kPoolTailSignature = 0x6C746C70; // "pltl"
constexpr uint32_t kPoolFreeSignature = 0x65657266; // "free"

struct PoolHead {
  uint32_t signature;
  uint32_t memoryType;
  uint64_t size;
  uint64_t reserved;
};
// Blocks start 16-byte aligned, so the data sits at 8 modulo 16.
static_assert(sizeof(PoolHead) % 16 == 8, "pool data is 8-byte aligned, never 16");

struct PoolTail {
  uint32_t signature;
  uint32_t reserved;
};

constexpr uint64_t kPage = GuestMemory::kPageSize;
constexpr uint64_t kArenaPages = 16;
// Blocks larger than this get pages of their own, returned on FreePool.
constexpr uint64_t kOwnPagesThreshold = 16 * 1024;
// No single pool or page request of firmware is anywhere near this.
constexpr uint64_t kMaxRequestBytes = 256ull * 1024 * 1024;

uint64_t RoundUp(uint64_t value, uint64_t to) { return (value + to - 1) / to * to; }

uint64_t BlockBytes(uint64_t size) {
  return RoundUp(sizeof(PoolHead) + RoundUp(size, 8) + sizeof(PoolTail), 16);
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

} // namespace

bool Dxe::ValidAllocationType(uint32_t memoryType) const {
  // OEM and OS-loader ranges are valid types; the reserved middle is not.
  if (memoryType >= 0x70000000u) {
    return true;
  }
  return memoryType < EfiMaxMemoryType && memoryType != EfiConventionalMemory &&
         memoryType != EfiPersistentMemory && memoryType != EfiUnacceptedMemoryType;
}

void *Dxe::AllocatePoolInternal(EFI_MEMORY_TYPE type, UINTN size) {
  if (size > kMaxRequestBytes) {
    return nullptr;
  }
  GuestMemory &memory = machine_.memory();
  const uint64_t bytes = BlockBytes(size);
  const uint32_t memoryType = static_cast<uint32_t>(type);
  uint64_t header = 0;
  bool ownPages = false;
  auto reuse = freeBlocks_.find({memoryType, bytes});
  if (reuse != freeBlocks_.end() && !reuse->second.empty()) {
    header = reuse->second.back();
    reuse->second.pop_back();
  } else if (bytes > kOwnPagesThreshold) {
    if (!memory.AllocatePages(GuestMemory::AllocKind::AnyPages, memoryType,
                              RoundUp(bytes, kPage) / kPage, header)) {
      return nullptr;
    }
    ownPages = true;
  } else {
    GuestArena &arena =
        arenas_.try_emplace(memoryType, memory, memoryType, kArenaPages).first->second;
    void *block = arena.Take(bytes);
    if (block == nullptr) {
      return nullptr;
    }
    header = reinterpret_cast<uint64_t>(block);
  }
  auto *head = reinterpret_cast<PoolHead *>(header);
  *head = PoolHead{kPoolHeadSignature, memoryType, size, 0};
  const uint64_t data = header + sizeof(PoolHead);
  *reinterpret_cast<PoolTail *>(data + RoundUp(size, 8)) = PoolTail{kPoolTailSignature, 0};
  livePool_[data] = PoolBlock{header, size, bytes, memoryType, ownPages, ++allocationSerial_};
  poolBytesInUse_ += size;
  return reinterpret_cast<void *>(data);
}

EFI_STATUS Dxe::AllocatePool(EFI_MEMORY_TYPE poolType, UINTN size, void **buffer) {
  if (buffer == nullptr || !ValidAllocationType(static_cast<uint32_t>(poolType))) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = EnterServiceLock("AllocatePool");
  void *p = AllocatePoolInternal(poolType, size);
  RestoreTpl(old);
  if (p == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::FreePool(void *buffer) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = EnterServiceLock("FreePool");
  EFI_STATUS status = FreePoolChecked(buffer, "FreePool");
  RestoreTpl(old);
  return status;
}

EFI_STATUS Dxe::FreePoolChecked(void *buffer, const char *service) {
  const uint64_t data = reinterpret_cast<uint64_t>(buffer);
  auto it = livePool_.find(data);
  if (it == livePool_.end()) {
    std::string text = std::string("BootServices.") + service + " of " + Hex(data) + ", ";
    auto after = livePool_.upper_bound(data);
    if (after != livePool_.begin() &&
        data < std::prev(after)->first + std::prev(after)->second.requested) {
      const auto &[start, block] = *std::prev(after);
      text += "inside the pool allocation at " + Hex(start) + " of " +
              std::to_string(block.requested) + " bytes";
    } else {
      text += "not a live pool allocation";
    }
    Fault(std::move(text));
  }
  const PoolBlock block = it->second;
  const auto *head = reinterpret_cast<const PoolHead *>(block.header);
  if (head->signature != kPoolHeadSignature || head->size != block.requested ||
      head->reserved != 0) {
    std::string text = std::string("BootServices.") + service + " of " + Hex(data) +
                       ": the pool header was overwritten (write before the start of the buffer)";
    Fault(std::move(text));
  }
  const auto *tail = reinterpret_cast<const PoolTail *>(data + RoundUp(block.requested, 8));
  if (tail->signature != kPoolTailSignature) {
    std::string text = std::string("BootServices.") + service + " of " + Hex(data) +
                       ": written past the end of its " + std::to_string(block.requested) +
                       " bytes";
    Fault(std::move(text));
  }
  livePool_.erase(it);
  poolBytesInUse_ -= block.requested;
  if (block.ownPages) {
    machine_.memory().FreePages(block.header, RoundUp(block.capacity, kPage) / kPage);
    return EFI_SUCCESS;
  }
  std::memset(reinterpret_cast<void *>(block.header), GuestMemory::kFreedFill, block.capacity);
  reinterpret_cast<PoolHead *>(block.header)->signature = kPoolFreeSignature;
  freeBlocks_[{block.memoryType, block.capacity}].push_back(block.header);
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                              EFI_PHYSICAL_ADDRESS *memory) {
  if (memory == nullptr || static_cast<uint32_t>(type) >= MaxAllocateType || pages == 0 ||
      !ValidAllocationType(static_cast<uint32_t>(memoryType))) {
    return EFI_INVALID_PARAMETER;
  }
  if (type == AllocateAddress && (*memory % kPage) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (pages > kMaxRequestBytes / kPage) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_TPL old = EnterServiceLock("AllocatePages");
  GuestMemory::AllocKind kind = type == AllocateAnyPages     ? GuestMemory::AllocKind::AnyPages
                                : type == AllocateMaxAddress ? GuestMemory::AllocKind::MaxAddress
                                                             : GuestMemory::AllocKind::Address;
  uint64_t address = *memory;
  const bool ok =
      machine_.memory().AllocatePages(kind, static_cast<uint32_t>(memoryType), pages, address);
  if (ok) {
    livePages_[address] = PageBlock{pages, static_cast<uint32_t>(memoryType), ++allocationSerial_};
    pagesInUse_ += pages;
    *memory = address;
  }
  RestoreTpl(old);
  if (!ok) {
    // Only a fixed address names pages that can be "not found"; a search
    // (anywhere, or below a limit) that finds no room is out of resources.
    return type == AllocateAddress ? EFI_NOT_FOUND : EFI_OUT_OF_RESOURCES;
  }
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  if ((memory % kPage) != 0 || pages == 0) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = EnterServiceLock("FreePages");
  // The range must lie inside one allocation made by AllocatePages; a part
  // of an allocation may be freed, leaving the rest allocated.
  EFI_STATUS status = EFI_NOT_FOUND;
  auto after = livePages_.upper_bound(memory);
  if (after != livePages_.begin() && pages <= kMaxRequestBytes / kPage) {
    auto it = std::prev(after);
    const uint64_t start = it->first;
    const PageBlock block = it->second;
    const uint64_t end = start + block.pages * kPage;
    if (memory + pages * kPage <= end && machine_.memory().FreePages(memory, pages)) {
      livePages_.erase(it);
      if (memory > start) {
        livePages_[start] = PageBlock{(memory - start) / kPage, block.memoryType, block.serial};
      }
      const uint64_t tail = memory + pages * kPage;
      if (tail < end) {
        livePages_[tail] = PageBlock{(end - tail) / kPage, block.memoryType, block.serial};
      }
      pagesInUse_ -= pages;
      status = EFI_SUCCESS;
    }
  }
  RestoreTpl(old);
  return status;
}

EFI_STATUS Dxe::GetMemoryMap(UINTN *mapSize, EFI_MEMORY_DESCRIPTOR *map, UINTN *mapKey,
                             UINTN *descriptorSize, UINT32 *descriptorVersion) {
  if (mapSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const GuestMemory &memory = machine_.memory();
  std::vector<GuestMemory::Allocation> allocations = memory.Allocations();
  std::sort(allocations.begin(), allocations.end(),
            [](const auto &a, const auto &b) { return a.address < b.address; });
  std::vector<EFI_MEMORY_DESCRIPTOR> descriptors;
  auto add = [&](uint32_t type, uint64_t start, uint64_t pages) {
    if (pages == 0) {
      return;
    }
    if (!descriptors.empty()) {
      EFI_MEMORY_DESCRIPTOR &last = descriptors.back();
      if (last.Type == type && last.PhysicalStart + last.NumberOfPages * kPage == start) {
        last.NumberOfPages += pages;
        return;
      }
    }
    descriptors.push_back(EFI_MEMORY_DESCRIPTOR{type, start, 0, pages, EFI_MEMORY_WB});
  };
  size_t next = 0;
  for (const GuestMemory::Region &area : memory.PageAreas()) {
    uint64_t cursor = area.base;
    for (; next < allocations.size() && allocations[next].address < area.End(); ++next) {
      const GuestMemory::Allocation &a = allocations[next];
      add(EfiConventionalMemory, cursor, (a.address - cursor) / kPage);
      add(a.memoryType, a.address, a.pages);
      cursor = a.address + a.pages * kPage;
    }
    add(EfiConventionalMemory, cursor, (area.End() - cursor) / kPage);
    if (area.End() == memory.StackArea().base) {
      // The top of low memory holds the firmware's stacks.
      add(EfiBootServicesData, memory.StackArea().base, memory.StackArea().size / kPage);
    }
  }

  // The key changes whenever the map does.
  uint64_t key = 1469598103934665603ull;
  for (const EFI_MEMORY_DESCRIPTOR &d : descriptors) {
    for (uint64_t v : std::initializer_list<uint64_t>{d.Type, d.PhysicalStart, d.NumberOfPages}) {
      key = (key ^ v) * 1099511628211ull;
    }
  }
  if (descriptorSize != nullptr) {
    *descriptorSize = sizeof(EFI_MEMORY_DESCRIPTOR);
  }
  if (descriptorVersion != nullptr) {
    *descriptorVersion = EFI_MEMORY_DESCRIPTOR_VERSION;
  }
  const UINTN needed = descriptors.size() * sizeof(EFI_MEMORY_DESCRIPTOR);
  if (*mapSize < needed) {
    *mapSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (map == nullptr || mapKey == nullptr || descriptorSize == nullptr ||
      descriptorVersion == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::copy(descriptors.begin(), descriptors.end(), map);
  *mapSize = needed;
  *mapKey = static_cast<UINTN>(key);
  return EFI_SUCCESS;
}

std::vector<Dxe::LiveAllocation> Dxe::LiveAllocations() const {
  std::vector<LiveAllocation> out;
  for (const auto &[address, block] : livePool_) {
    out.push_back(LiveAllocation{LiveAllocation::Pool, address, block.requested, block.memoryType,
                                 block.serial});
  }
  for (const auto &[address, block] : livePages_) {
    out.push_back(LiveAllocation{LiveAllocation::Pages, address, block.pages * kPage,
                                 block.memoryType, block.serial});
  }
  std::sort(out.begin(), out.end(),
            [](const auto &a, const auto &b) { return a.serial < b.serial; });
  return out;
}

std::string Dxe::DescribeLiveAllocations() const {
  std::string text;
  for (const LiveAllocation &a : LiveAllocations()) {
    char line[128];
    std::snprintf(line, sizeof line, "#%" PRIu64 " %s %s %" PRIu64 " bytes type %u\n", a.serial,
                  a.kind == LiveAllocation::Pool ? "pool" : "pages", Hex(a.address).c_str(),
                  a.bytes, a.memoryType);
    text += line;
  }
  return text;
}

} // namespace sim
