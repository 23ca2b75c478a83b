// Host images: two images with the same internal names and one module's
// library link into one program, and Load() gives each boot a fresh module.
#include <sim/core/Sanitizers.h>
#include <sim/loader/ModuleImage.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

using FixtureEntry = unsigned();

MGMT_SIM_MODULE_IMAGE(LoaderFixtureA, FixtureEntry)
MGMT_SIM_MODULE_IMAGE(LoaderFixtureB, FixtureEntry)
MGMT_SIM_MODULE_IMAGE(LoaderFixtureMissing, FixtureEntry)

// The library copy of module A, linked as an ordinary global symbol.
extern "C" unsigned LoaderFixtureAEntryPoint();

namespace {

unsigned Call(const sim::ModuleImage &image) { return image.EntryPoint<FixtureEntry>()(); }

// A section's bytes, read whole: with AddressSanitizer they include the
// redzones between the image's globals, which a checked read refuses.
MGMT_NO_ASAN
std::vector<std::uint8_t> Bytes(std::span<std::uint8_t> section) {
  std::vector<std::uint8_t> bytes(section.size());
  for (std::size_t i = 0; i < section.size(); i++) {
    bytes[i] = static_cast<volatile const std::uint8_t *>(section.data())[i];
  }
  return bytes;
}

bool AllZero(std::span<std::uint8_t> section) {
  return std::ranges::all_of(Bytes(section), [](std::uint8_t byte) { return byte == 0; });
}

TEST(ModuleImage, LoadRestoresInitialisedDataAndZeroesBss) {
  const sim::ModuleImage &a = LoaderFixtureAImage();
  ASSERT_TRUE(a.Present());
  a.Load();
  EXPECT_EQ(Call(a), 601u);
  EXPECT_EQ(Call(a), 702u);
  a.Load();
  EXPECT_EQ(Call(a), 601u);
}

TEST(ModuleImage, SectionsHoldTheModuleGlobals) {
  const sim::ModuleImage &a = LoaderFixtureAImage();
  a.Load();
  std::vector<std::uint8_t> fresh = Bytes(a.Data());
  ASSERT_FALSE(a.Bss().empty());
  EXPECT_TRUE(AllZero(a.Bss()));

  Call(a);
  // The counter lives in the image's data, the call count in its bss.
  EXPECT_NE(Bytes(a.Data()), fresh);
  EXPECT_FALSE(AllZero(a.Bss()));

  a.Load();
  EXPECT_EQ(Bytes(a.Data()), fresh);
  EXPECT_TRUE(AllZero(a.Bss()));
}

TEST(ModuleImage, ImagesWithTheSameSymbolNamesKeepSeparateState) {
  const sim::ModuleImage &a = LoaderFixtureAImage();
  const sim::ModuleImage &b = LoaderFixtureBImage();
  a.Load();
  b.Load();
  EXPECT_EQ(Call(a), 601u);
  EXPECT_EQ(Call(a), 702u);
  EXPECT_EQ(Call(b), 601u);
  // Reloading one image leaves the other as it is.
  b.Load();
  EXPECT_EQ(Call(a), 803u);
  EXPECT_EQ(Call(b), 601u);
}

TEST(ModuleImage, LibraryAndImageOfOneModuleKeepSeparateState) {
  const sim::ModuleImage &a = LoaderFixtureAImage();
  a.Load();
  unsigned fromLibrary = LoaderFixtureAEntryPoint();
  EXPECT_EQ(Call(a), 601u);
  EXPECT_EQ(LoaderFixtureAEntryPoint(), fromLibrary + 101);
  EXPECT_NE(a.EntryPoint<FixtureEntry>(), &LoaderFixtureAEntryPoint);
}

TEST(ModuleImage, SecondDescriptionReloadsThePristineData) {
  const sim::ModuleImage &a = LoaderFixtureAImage();
  a.Load();
  EXPECT_EQ(Call(a), 601u);
  // Described again after the module ran: the copy from before still counts.
  sim::ModuleImage again("LoaderFixtureA", reinterpret_cast<void *>(a.EntryPoint<FixtureEntry>()),
                         a.Data().data(), a.Data().data() + a.Data().size(), a.Bss().data(),
                         a.Bss().data() + a.Bss().size());
  again.Load();
  EXPECT_EQ(Call(a), 601u);
}

TEST(ModuleImage, ImageNotLinkedInIsAbsentAndRefusesToLoad) {
  const sim::ModuleImage &missing = LoaderFixtureMissingImage();
  EXPECT_FALSE(missing.Present());
  EXPECT_TRUE(missing.Data().empty());
  EXPECT_THROW(missing.Load(), std::logic_error);
}

} // namespace
