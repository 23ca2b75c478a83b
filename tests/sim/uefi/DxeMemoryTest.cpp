// Pool and pages through the boot services: leak accounting, the memory
// map, and the faults that firmware memory bugs turn into.
#include "DxeFixture.h"

#include "sim/core/GuestMemory.h"

#include <algorithm>
#include <cstring>

namespace sim::test {
namespace {

using PoolTest = DxeFixture;

TEST_F(PoolTest, AccountingFollowsAllocationsAndFrees) {
  void *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 100, &a), EFI_SUCCESS);
  ASSERT_EQ(bs_->AllocatePool(EfiLoaderData, 3000, &b), EFI_SUCCESS);
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 70000, &c), EFI_SUCCESS);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), 3u);
  EXPECT_EQ(dxe_->PoolBytesInUse(), 73100u);
  for (void *p : {a, b, c}) {
    const uint64_t address = reinterpret_cast<uint64_t>(p);
    // 8-byte aligned, as UEFI promises, and deliberately not 16; above
    // 4 GiB, where a reference core serves pool first.
    EXPECT_EQ(address % 16, 8u);
    EXPECT_GE(address, GuestMemory::k4GiB);
    EXPECT_TRUE(machine_.memory().Contains(address));
  }
  // Nothing is cleared: new pool holds what memory held at power-on.
  for (auto [p, size] : {std::pair{a, 100}, std::pair{b, 3000}, std::pair{c, 70000}}) {
    const auto *bytes = static_cast<const uint8_t *>(p);
    EXPECT_EQ(std::count(bytes, bytes + size, GuestMemory::kPowerOnFill), size);
  }
  uint32_t type = 0;
  ASSERT_TRUE(machine_.memory().TypeAt(reinterpret_cast<uint64_t>(b), type));
  EXPECT_EQ(type, static_cast<uint32_t>(EfiLoaderData));
  std::memset(c, 0x5A, 70000); // the whole buffer is usable

  ASSERT_EQ(bs_->FreePool(a), EFI_SUCCESS);
  ASSERT_EQ(bs_->FreePool(c), EFI_SUCCESS);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), 1u);
  EXPECT_EQ(dxe_->PoolBytesInUse(), 3000u);
  std::vector<Dxe::LiveAllocation> live = dxe_->LiveAllocations();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].kind, Dxe::LiveAllocation::Pool);
  EXPECT_EQ(live[0].address, reinterpret_cast<uint64_t>(b));
  EXPECT_EQ(live[0].bytes, 3000u);
  EXPECT_EQ(bs_->AllocatePool(EfiConventionalMemory, 8, &a), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->FreePool(nullptr), EFI_INVALID_PARAMETER);
}

struct BadFree {
  const char *name;
  std::function<void *(EFI_BOOT_SERVICES *)> make; // returns what gets freed
  const char *expected;                            // part of the fault detail
};

class PoolFaultTest : public DxeFixture, public ::testing::WithParamInterface<BadFree> {};

TEST_P(PoolFaultTest, FreeingEndsTheRunWithANamedFault) {
  void *target = GetParam().make(bs_);
  const uint64_t live = dxe_->PoolAllocationsInUse();
  RunOutcome outcome = Run([&] {
    bs_->FreePool(target);
    ADD_FAILURE() << "FreePool returned";
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find(GetParam().expected), std::string::npos) << outcome.detail;
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), live) << "nothing was freed";
}

INSTANTIATE_TEST_SUITE_P(BadPointers, PoolFaultTest,
                         ::testing::Values(BadFree{"DoubleFree",
                                                   [](EFI_BOOT_SERVICES *bs) {
                                                     void *p = nullptr;
                                                     bs->AllocatePool(EfiBootServicesData, 32, &p);
                                                     bs->FreePool(p);
                                                     return p;
                                                   },
                                                   "not a live pool allocation"},
                                           BadFree{"InteriorPointer",
                                                   [](EFI_BOOT_SERVICES *bs) {
                                                     void *p = nullptr;
                                                     bs->AllocatePool(EfiBootServicesData, 32, &p);
                                                     return static_cast<void *>(
                                                         static_cast<uint8_t *>(p) + 8);
                                                   },
                                                   "inside the pool allocation"},
                                           BadFree{"Overrun",
                                                   [](EFI_BOOT_SERVICES *bs) {
                                                     void *p = nullptr;
                                                     bs->AllocatePool(EfiBootServicesData, 20, &p);
                                                     std::memset(p, 0, 28);
                                                     return p;
                                                   },
                                                   "written past the end of its 20 bytes"},
                                           BadFree{"Underrun",
                                                   [](EFI_BOOT_SERVICES *bs) {
                                                     void *p = nullptr;
                                                     bs->AllocatePool(EfiBootServicesData, 20, &p);
                                                     static_cast<uint8_t *>(p)[-1] = 0xFF;
                                                     return p;
                                                   },
                                                   "pool header was overwritten"}),
                         [](const ::testing::TestParamInfo<BadFree> &info) {
                           return info.param.name;
                         });

using PageTest = DxeFixture;

TEST_F(PageTest, AnyPagesComeFromAbove4GiBAndALimitBelowItKeepsThemBelow) {
  const GuestMemory &memory = machine_.memory();
  EFI_PHYSICAL_ADDRESS any = 0;
  ASSERT_EQ(bs_->AllocatePages(AllocateAnyPages, EfiBootServicesData, 3, &any), EFI_SUCCESS);
  EXPECT_GE(any, memory.layout().high.base);
  EXPECT_LE(any + 3 * GuestMemory::kPageSize, memory.layout().high.End());
  EFI_PHYSICAL_ADDRESS low = 0xFFFFFFFF;
  ASSERT_EQ(bs_->AllocatePages(AllocateMaxAddress, EfiBootServicesData, 2, &low), EFI_SUCCESS);
  EXPECT_LE(low + 2 * GuestMemory::kPageSize, GuestMemory::k4GiB);
  EXPECT_TRUE(memory.Contains(low, 2 * GuestMemory::kPageSize));
  for (EFI_PHYSICAL_ADDRESS pages : {any, low}) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(pages);
    EXPECT_EQ(std::count(bytes, bytes + 2 * GuestMemory::kPageSize, GuestMemory::kPowerOnFill),
              2 * GuestMemory::kPageSize)
        << "pages are handed out as they are, not zeroed";
  }
}

TEST_F(PageTest, MaxAddressIsHonouredAndPartialFreesAreCounted) {
  const uint64_t lowBase = machine_.memory().layout().low.base;
  const EFI_PHYSICAL_ADDRESS limit = lowBase + 0x00200000 - 1;
  EFI_PHYSICAL_ADDRESS address = limit;
  ASSERT_EQ(bs_->AllocatePages(AllocateMaxAddress, EfiBootServicesData, 4, &address), EFI_SUCCESS);
  EXPECT_EQ(address % GuestMemory::kPageSize, 0u);
  EXPECT_LE(address + 4 * GuestMemory::kPageSize - 1, limit);
  EXPECT_EQ(dxe_->PagesInUse(), 4u);

  EFI_PHYSICAL_ADDRESS tooLow = lowBase - 1;
  EXPECT_EQ(bs_->AllocatePages(AllocateMaxAddress, EfiBootServicesData, 1, &tooLow),
            EFI_OUT_OF_RESOURCES)
      << "no room below the limit";
  EXPECT_EQ(tooLow, lowBase - 1) << "a refused request leaves the address alone";
  EFI_PHYSICAL_ADDRESS taken = address;
  EXPECT_EQ(bs_->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &taken), EFI_NOT_FOUND)
      << "the pages at a fixed address are already allocated";
  EFI_PHYSICAL_ADDRESS unaligned = lowBase + 0x123;
  EXPECT_EQ(bs_->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &unaligned),
            EFI_INVALID_PARAMETER);

  ASSERT_EQ(bs_->FreePages(address + GuestMemory::kPageSize, 2), EFI_SUCCESS);
  EXPECT_EQ(dxe_->PagesInUse(), 2u);
  EXPECT_EQ(bs_->FreePages(address + GuestMemory::kPageSize, 1), EFI_NOT_FOUND) << "already free";
  ASSERT_EQ(bs_->FreePages(address, 1), EFI_SUCCESS);
  ASSERT_EQ(bs_->FreePages(address + 3 * GuestMemory::kPageSize, 1), EFI_SUCCESS);
  EXPECT_EQ(dxe_->PagesInUse(), 0u);

  void *pool = nullptr;
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 64, &pool), EFI_SUCCESS);
  EXPECT_EQ(bs_->FreePages(reinterpret_cast<uint64_t>(pool) & ~0xFFFull, 1), EFI_NOT_FOUND)
      << "pool pages are not the caller's to free";
}

TEST_F(PageTest, MemoryMapDescribesAllocationsAndReportsTheSizeItNeeds) {
  EFI_PHYSICAL_ADDRESS address = 0;
  ASSERT_EQ(bs_->AllocatePages(AllocateAnyPages, EfiACPIMemoryNVS, 3, &address), EFI_SUCCESS);
  UINTN size = 0, key = 0, descriptorSize = 0;
  UINT32 version = 0;
  ASSERT_EQ(bs_->GetMemoryMap(&size, nullptr, &key, &descriptorSize, &version),
            EFI_BUFFER_TOO_SMALL);
  ASSERT_EQ(descriptorSize, sizeof(EFI_MEMORY_DESCRIPTOR));
  ASSERT_GT(size, 0u);
  std::vector<EFI_MEMORY_DESCRIPTOR> map(size / descriptorSize);
  ASSERT_EQ(bs_->GetMemoryMap(&size, map.data(), &key, &descriptorSize, &version), EFI_SUCCESS);
  // Each RAM region is covered from its base to its end without gaps.
  const auto regions = machine_.memory().Regions();
  size_t region = 0;
  uint64_t total = 0, next = regions[0].base;
  bool found = false;
  for (const EFI_MEMORY_DESCRIPTOR &d : map) {
    if (next == regions[region].End() && region + 1 < regions.size()) {
      next = regions[++region].base;
    }
    EXPECT_EQ(d.PhysicalStart, next) << "descriptors cover guest memory without gaps";
    next = d.PhysicalStart + d.NumberOfPages * GuestMemory::kPageSize;
    total += d.NumberOfPages;
    found |= d.Type == EfiACPIMemoryNVS && d.PhysicalStart == address && d.NumberOfPages == 3;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(next, regions.back().End());
  EXPECT_EQ(total * GuestMemory::kPageSize, regions[0].size + regions[1].size);

  const UINTN firstKey = key;
  ASSERT_EQ(bs_->FreePages(address, 3), EFI_SUCCESS);
  size = map.size() * sizeof(EFI_MEMORY_DESCRIPTOR);
  ASSERT_EQ(bs_->GetMemoryMap(&size, map.data(), &key, &descriptorSize, &version), EFI_SUCCESS);
  EXPECT_NE(key, firstKey) << "the key changes with the map";
}

} // namespace
} // namespace sim::test
