// Guest RAM: its regions below and above 4 GiB, where pages come from, the
// allocation rules, leak accounting, what new, freed and reset memory reads
// as, fiber stacks, and what counts as DMA into the OS's memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "GuestMemory.h"
#include "Machine.h"

namespace {

using sim::GuestMemory;
using Kind = GuestMemory::AllocKind;

constexpr uint32_t kBootServicesData = 4;
constexpr uint32_t kRuntimeServicesData = 6;
constexpr uint64_t k4GiB = GuestMemory::k4GiB;
const GuestMemory::Layout &kLayout = GuestMemory::BuildLayout();
// Addresses well inside the low page area.
const uint64_t kLow = kLayout.low.base + 0x1000000;
const uint64_t kMid = kLayout.low.base + 0x20000000;

bool HoldsPattern(uint64_t address, uint64_t bytes) {
  const auto *p = reinterpret_cast<const uint8_t *>(address);
  return std::count(p, p + bytes, GuestMemory::kPowerOnFill) == static_cast<long>(bytes);
}

class GuestMemoryTest : public ::testing::Test {
protected:
  GuestMemory memory;
};

TEST_F(GuestMemoryTest, AnyPagesComeTopDownFromAbove4GiBHoldingThePowerOnPattern) {
  uint64_t top = kLayout.high.End();
  for (uint64_t pages : {1u, 3u, 256u}) {
    uint64_t address = 0;
    ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, pages, address));
    EXPECT_EQ(address, top - pages * GuestMemory::kPageSize) << "top-down";
    EXPECT_GE(address, k4GiB);
    EXPECT_TRUE(HoldsPattern(address, pages * GuestMemory::kPageSize));
    top = address;
  }
  // A limit below 4 GiB keeps the pages below it, in the low region.
  uint64_t low = k4GiB - 1;
  ASSERT_TRUE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 2, low));
  EXPECT_EQ(low + 2 * GuestMemory::kPageSize, memory.PageAreas()[0].End());
  EXPECT_TRUE(HoldsPattern(low, 2 * GuestMemory::kPageSize));
}

TEST_F(GuestMemoryTest, RegionsAndPageAreasSayWhereRamLies) {
  const auto regions = memory.Regions();
  EXPECT_EQ(regions[0].base, kLayout.low.base);
  EXPECT_LE(regions[0].End(), k4GiB);
  EXPECT_GE(regions[1].base, k4GiB);
  const auto areas = memory.PageAreas();
  EXPECT_EQ(areas[0].End(), memory.StackArea().base);
  EXPECT_EQ(memory.StackArea().End(), regions[0].End());
  EXPECT_EQ(areas[1].base, regions[1].base);
  EXPECT_TRUE(memory.Contains(regions[1].End() - 8, 8));
  EXPECT_FALSE(memory.Contains(regions[1].End() - 8, 16));
  EXPECT_FALSE(memory.Contains(regions[0].End()));
}

TEST_F(GuestMemoryTest, AllocationsDoNotOverlap) {
  uint64_t a = 0, b = 0, c = kMid - 1;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 2, a));
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 5, b));
  ASSERT_TRUE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 1, c));
  const auto disjoint = [](uint64_t x, uint64_t xPages, uint64_t y, uint64_t yPages) {
    return x + xPages * GuestMemory::kPageSize <= y || y + yPages * GuestMemory::kPageSize <= x;
  };
  EXPECT_TRUE(disjoint(a, 2, b, 5));
  EXPECT_TRUE(disjoint(a, 2, c, 1));
  EXPECT_TRUE(disjoint(b, 5, c, 1));
}

TEST_F(GuestMemoryTest, MaxAddressKeepsTheWholeRangeAtOrBelowTheLimit) {
  uint64_t address = kLow + 0xFFF;
  ASSERT_TRUE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 16, address));
  EXPECT_EQ(address + 16 * GuestMemory::kPageSize - 1, kLow + 0xFFF); // top-down: right below
  // An unaligned limit rounds down to the page that ends at or below it.
  address = kLow + 0xFFE;
  ASSERT_TRUE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 1, address));
  EXPECT_LE(address + GuestMemory::kPageSize - 1, kLow + 0xFFE);
}

TEST_F(GuestMemoryTest, MaxAddressBelowTheRegionFails) {
  uint64_t address = kLayout.low.base - 1;
  EXPECT_FALSE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 1, address));
  EXPECT_EQ(memory.PagesInUse(), 0u);
}

TEST_F(GuestMemoryTest, AddressAllocatesExactlyThereOnceOnly) {
  uint64_t address = kMid;
  ASSERT_TRUE(memory.AllocatePages(Kind::Address, kRuntimeServicesData, 4, address));
  EXPECT_EQ(address, kMid);
  uint64_t overlapping = kMid + 0x3000;
  EXPECT_FALSE(memory.AllocatePages(Kind::Address, kRuntimeServicesData, 1, overlapping));
  uint64_t unaligned = kMid + 0x100800;
  EXPECT_FALSE(memory.AllocatePages(Kind::Address, kRuntimeServicesData, 1, unaligned));
  uint64_t outside = kLayout.low.End() + 0x100000; // between the regions
  EXPECT_FALSE(memory.AllocatePages(Kind::Address, kRuntimeServicesData, 1, outside));
  uint64_t stacks = memory.StackArea().base;
  EXPECT_FALSE(memory.AllocatePages(Kind::Address, kRuntimeServicesData, 1, stacks));
}

TEST_F(GuestMemoryTest, RequestLargerThanTheRegionFails) {
  uint64_t address = 0;
  EXPECT_FALSE(memory.AllocatePages(Kind::AnyPages, kBootServicesData,
                                    kLayout.high.size / GuestMemory::kPageSize + 1, address));
  EXPECT_FALSE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 0, address));
}

TEST_F(GuestMemoryTest, MemoryTypeIsRecordedPerAllocation) {
  uint64_t a = 0, b = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 1, a));
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kRuntimeServicesData, 2, b));
  uint32_t type = 0;
  ASSERT_TRUE(memory.TypeAt(b + GuestMemory::kPageSize + 5, type));
  EXPECT_EQ(type, kRuntimeServicesData);
  ASSERT_TRUE(memory.TypeAt(a, type));
  EXPECT_EQ(type, kBootServicesData);
  EXPECT_FALSE(memory.TypeAt(kLayout.low.base, type));
}

TEST_F(GuestMemoryTest, PagesInUseExposesALeak) {
  uint64_t a = 0, b = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 3, a));
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 5, b));
  EXPECT_EQ(memory.PagesInUse(), 8u);
  ASSERT_TRUE(memory.FreePages(a, 3));
  EXPECT_EQ(memory.PagesInUse(), 5u);
  ASSERT_EQ(memory.Allocations().size(), 1u);
  EXPECT_EQ(memory.Allocations()[0].address, b);
}

TEST_F(GuestMemoryTest, FreeingPagesThatAreNotAllocatedFailsAndChangesNothing) {
  uint64_t a = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 2, a));
  EXPECT_FALSE(memory.FreePages(a, 3));      // runs past the allocation
  EXPECT_FALSE(memory.FreePages(a + 12, 1)); // not page aligned
  EXPECT_FALSE(memory.FreePages(kMid, 1));   // never allocated
  // A count whose byte length wraps to zero must not pass for an empty range.
  EXPECT_FALSE(memory.FreePages(a, uint64_t{1} << 52));
  EXPECT_EQ(memory.PagesInUse(), 2u);
  uint32_t type = 0;
  EXPECT_TRUE(memory.TypeAt(a, type));
  EXPECT_TRUE(memory.FreePages(a, 2));
  EXPECT_FALSE(memory.FreePages(a, 2)); // double free
  EXPECT_EQ(memory.PagesInUse(), 0u);
}

TEST_F(GuestMemoryTest, PartOfAnAllocationCanBeFreedAndTheRestStays) {
  uint64_t a = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 4, a));
  ASSERT_TRUE(memory.FreePages(a + GuestMemory::kPageSize, 2));
  EXPECT_EQ(memory.PagesInUse(), 2u);
  uint32_t type = 0;
  EXPECT_TRUE(memory.TypeAt(a, type));
  EXPECT_FALSE(memory.TypeAt(a + GuestMemory::kPageSize, type));
  EXPECT_TRUE(memory.TypeAt(a + 3 * GuestMemory::kPageSize, type));
  // The hole can be taken again at that address.
  uint64_t hole = a + GuestMemory::kPageSize;
  EXPECT_TRUE(memory.AllocatePages(Kind::Address, kBootServicesData, 2, hole));
}

TEST_F(GuestMemoryTest, FreedPagesAreFilledSoUseAfterFreeShows) {
  uint64_t a = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 1, a));
  *reinterpret_cast<uint32_t *>(a) = 0x12345678;
  ASSERT_TRUE(memory.FreePages(a, 1));
  EXPECT_EQ(*reinterpret_cast<uint32_t *>(a), 0xAFAFAFAFu);
}

TEST_F(GuestMemoryTest, ResetFreesEverythingAndPagesHandedOutAgainHoldThePattern) {
  uint64_t a = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 8, a));
  std::memset(reinterpret_cast<void *>(a), 0x77, 8 * GuestMemory::kPageSize);
  memory.Reset();
  EXPECT_EQ(memory.PagesInUse(), 0u);
  uint64_t again = a;
  EXPECT_TRUE(memory.AllocatePages(Kind::Address, kBootServicesData, 8, again));
  EXPECT_TRUE(HoldsPattern(again, 8 * GuestMemory::kPageSize));
  // Pages the caller fills itself are left as they are.
  std::memset(reinterpret_cast<void *>(a), 0x77, GuestMemory::kPageSize);
  ASSERT_TRUE(memory.FreePages(a, 8));
  uint64_t unfilled = a;
  ASSERT_TRUE(memory.AllocatePages(Kind::Address, kBootServicesData, 1, unfilled,
                                   GuestMemory::Fill::None));
  EXPECT_EQ(*reinterpret_cast<uint8_t *>(unfilled), GuestMemory::kFreedFill);
}

TEST_F(GuestMemoryTest, StacksAreReusedAndSurviveReset) {
  void *first = memory.AllocateStack(64 * 1024);
  EXPECT_LT(reinterpret_cast<uint64_t>(first), k4GiB);
  EXPECT_GE(reinterpret_cast<uint64_t>(first), memory.StackArea().base);
  EXPECT_TRUE(HoldsPattern(reinterpret_cast<uint64_t>(first), 64 * 1024)) << "a new stack";
  std::memset(first, 0x11, 64 * 1024);
  memory.Reset();
  EXPECT_EQ(*static_cast<uint8_t *>(first), 0x11u);
  void *second = memory.AllocateStack(64 * 1024);
  EXPECT_NE(first, second);
  memory.FreeStack(first);
  EXPECT_EQ(memory.AllocateStack(64 * 1024), first);
  EXPECT_EQ(memory.StacksInUse(), 2u);
}

TEST_F(GuestMemoryTest, ArenaCutsAlignedPiecesFromPagesOfItsType) {
  sim::GuestArena arena(memory, kRuntimeServicesData, 2);
  auto *a = static_cast<uint8_t *>(arena.Take(1));
  auto *b = static_cast<uint8_t *>(arena.Take(24));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b, a + 16) << "pieces are 16-byte aligned and packed";
  EXPECT_TRUE(HoldsPattern(reinterpret_cast<uint64_t>(b), 24));
  EXPECT_EQ(memory.PagesInUse(), 2u);
  uint32_t type = 0;
  ASSERT_TRUE(memory.TypeAt(reinterpret_cast<uint64_t>(a), type));
  EXPECT_EQ(type, kRuntimeServicesData);
  // A piece larger than the run left takes fresh pages, as many as it needs.
  auto *big = static_cast<uint8_t *>(arena.Take(3 * GuestMemory::kPageSize));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(memory.PagesInUse(), 5u);
  std::memset(big, 0x5A, 3 * GuestMemory::kPageSize);
  EXPECT_EQ(arena.Take(uint64_t{2} << 30), nullptr) << "no room in guest memory";
  // An arena with a limit takes its pages below it.
  sim::GuestArena low(memory, kRuntimeServicesData, 1, k4GiB - 1);
  EXPECT_LT(reinterpret_cast<uint64_t>(low.Take(8)), k4GiB);
  EXPECT_EQ(memory.PagesInUse(), 6u);
}

TEST_F(GuestMemoryTest, AfterExitBootServicesDeviceWritesIntoTheOsMemoryAreCounted) {
  uint64_t data = 0, runtime = 0;
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 2, data));
  ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kRuntimeServicesData, 2, runtime));
  memory.NoteDmaWrite("nic", data, 64); // before the exit: the firmware's memory
  EXPECT_EQ(memory.DmaWritesAfterExitBootServices(), 0u);
  memory.ExitBootServices();
  memory.NoteDmaWrite("nic", runtime, 2 * GuestMemory::kPageSize); // still the firmware's
  memory.NoteDmaWrite("nic", data + 8, 0);
  EXPECT_EQ(memory.DmaWritesAfterExitBootServices(), 0u);
  memory.NoteDmaWrite("nic", data + 100, 4);
  // A write that starts in runtime memory and runs into the next page, free.
  memory.NoteDmaWrite("nic", runtime + 2 * GuestMemory::kPageSize - 2, 4);
  memory.NoteDmaWrite("nic", kMid, 1); // memory nobody allocated
  EXPECT_EQ(memory.DmaWritesAfterExitBootServices(), 3u);
  ASSERT_EQ(memory.DmaIntrusions().size(), 3u);
  EXPECT_EQ(memory.DmaIntrusions()[0].device, "nic");
  EXPECT_EQ(memory.DmaIntrusions()[0].address, data + 100);
  EXPECT_EQ(memory.DmaIntrusions()[0].length, 4u);
  for (size_t i = 0; i < 2 * GuestMemory::kDmaIntrusionsKept; ++i) {
    memory.NoteDmaWrite("nic", data, 1);
  }
  EXPECT_EQ(memory.DmaIntrusions().size(), GuestMemory::kDmaIntrusionsKept);
  memory.Reset();
  EXPECT_FALSE(memory.BootServicesExited());
  EXPECT_EQ(memory.DmaWritesAfterExitBootServices(), 0u);
}

TEST(GuestMemoryLifetimeTest, NewMachineStartsWithFreeMemory) {
  uint64_t a = 0;
  {
    sim::Machine first;
    ASSERT_TRUE(first.memory().AllocatePages(Kind::AnyPages, kBootServicesData, 1, a));
    *reinterpret_cast<uint64_t *>(a) = ~uint64_t{0};
  }
  sim::Machine second;
  EXPECT_EQ(second.memory().PagesInUse(), 0u);
  uint64_t b = 0;
  ASSERT_TRUE(second.memory().AllocatePages(Kind::AnyPages, kBootServicesData, 1, b));
  EXPECT_EQ(b, a);
  EXPECT_TRUE(HoldsPattern(b, GuestMemory::kPageSize));
  // Both regions are reachable through the bus as well as through pointers.
  EXPECT_EQ(second.bus().MmioRead(b + 8, 4), 0x5A5A5A5Au);
}

// A new GuestMemory takes over the mapping the last one left; it must hold
// exactly what a fresh mapping holds: zeros wherever the last machine wrote,
// allocated or not (far from what it handed out, right below it, in the
// unused part of the stack area, in a page whose only non-zero byte is its
// last), and no stack guard page left inaccessible. A machine of another
// layout in between must not disturb that.
TEST(GuestMemoryLifetimeTest, MemoryOfTheLastMachineReadsAsFreshlyMapped) {
  const uint64_t lowStray = kMid + 0x123458;
  const uint64_t highStray = kLayout.high.base + 0x2000010;
  uint64_t guard = 0, page = 0, lowPage = 0;
  for (const GuestMemory::Layout *between : {&kLayout, &GuestMemory::kSanitizerLayout}) {
    SCOPED_TRACE(between == &kLayout ? "same layout" : "another layout between");
    std::vector<uint64_t> strays = {lowStray, highStray};
    {
      GuestMemory first;
      ASSERT_TRUE(first.AllocatePages(Kind::AnyPages, kBootServicesData, 3, page));
      std::memset(reinterpret_cast<void *>(page), 0, 3 * GuestMemory::kPageSize);
      for (uint64_t at = page; at < page + 3 * GuestMemory::kPageSize;
           at += GuestMemory::kPageSize) {
        reinterpret_cast<uint8_t *>(at)[GuestMemory::kPageSize - 1] = 0x77;
      }
      lowPage = k4GiB - 1;
      ASSERT_TRUE(first.AllocatePages(Kind::MaxAddress, kBootServicesData, 1, lowPage));
      guard = reinterpret_cast<uint64_t>(first.AllocateStack(64 * 1024)) - GuestMemory::kPageSize;
      strays.push_back(page - 8);                 // under the lowest page handed out
      strays.push_back(lowPage - 0x3000);         // the same, below 4 GiB
      strays.push_back(guard - 0x10000);          // stack area no stack has used
      strays.push_back(kLayout.low.End() - 0x40); // inside the stack
      for (uint64_t at : strays) {
        *reinterpret_cast<uint32_t *>(at) = 0xDEADBEEF;
      }
    }
    if (between != &kLayout) {
      GuestMemory other(*between);
    }
    GuestMemory second;
    for (uint64_t at : strays) {
      EXPECT_EQ(*reinterpret_cast<volatile uint32_t *>(at), 0u) << std::hex << at;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(page);
    EXPECT_EQ(std::count(bytes, bytes + 3 * GuestMemory::kPageSize, 0),
              static_cast<long>(3 * GuestMemory::kPageSize));
    // Where the guard page was is plain RAM again, readable and writable.
    EXPECT_EQ(*reinterpret_cast<volatile uint8_t *>(guard), 0u);
    *reinterpret_cast<volatile uint8_t *>(guard) = 1;
    uint64_t again = 0;
    ASSERT_TRUE(second.AllocatePages(Kind::AnyPages, kBootServicesData, 3, again));
    EXPECT_EQ(again, page);
    EXPECT_TRUE(HoldsPattern(again, 3 * GuestMemory::kPageSize));
  }
}

TEST(GuestMemoryLayoutTest, TheSanitizerLayoutKeepsLowRamBelowTheShadowAndHighRamAboveIt) {
  // It maps in every build (the board layout cannot under AddressSanitizer).
  {
    const GuestMemory::Layout *layout = &GuestMemory::kSanitizerLayout;
    GuestMemory memory(*layout);
    uint64_t any = 0, low = k4GiB - 1;
    ASSERT_TRUE(memory.AllocatePages(Kind::AnyPages, kBootServicesData, 4, any));
    ASSERT_TRUE(memory.AllocatePages(Kind::MaxAddress, kBootServicesData, 4, low));
    EXPECT_GE(any, layout->high.base);
    EXPECT_LT(low, layout->low.End());
    void *stack = memory.AllocateStack(64 * 1024);
    EXPECT_LT(reinterpret_cast<uint64_t>(stack), layout->low.End());
    memory.FreeStack(stack);
  }
  // AddressSanitizer's shadow on x86-64 Linux: 0x7FFF8000 up to 0x10007FFF8000.
  EXPECT_LE(GuestMemory::kSanitizerLayout.low.End(), 0x7FFF8000u);
  EXPECT_GE(GuestMemory::kSanitizerLayout.high.base, 0x10007FFF8000u);
}

TEST(GuestMemoryDeathTest, SecondLiveInstanceIsRefusedLoudly) {
  GuestMemory memory;
  EXPECT_DEATH(GuestMemory(), "one machine at a time");
}

} // namespace
