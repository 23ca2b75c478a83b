// The PE loader on the throwaway images of the firmware toolchain checks:
// both machines parse, relocation moves every pointer by the load offset,
// and damaged files fail with a message instead of loading.
#include "PeImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::cpu {
namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string kDir = MGMT_TINY_IMAGES_DIR;

TEST(PeImageTest, BothMachinesParseWithTheirRelocations) {
  PeImage dxe = PeImage::FromFile(kDir + "/TinyDxe.efi");
  PeImage pei = PeImage::FromFile(kDir + "/TinyPei.efi");
  EXPECT_EQ(dxe.arch(), Arch::X64);
  EXPECT_EQ(pei.arch(), Arch::Ia32);
  for (const PeImage *image : {&dxe, &pei}) {
    EXPECT_EQ(image->Subsystem(), 11);
    EXPECT_GT(image->RelocationCount(), 0u);
    EXPECT_LT(image->EntryRva(), image->SizeOfImage());
  }
}

TEST(PeImageTest, RelocationMovesEveryPointerByTheLoadOffset) {
  for (const char *name : {"TinyDxe.efi", "TinyPei.efi"}) {
    SCOPED_TRACE(name);
    PeImage image = PeImage::FromFile(kDir + "/" + name);
    std::vector<uint8_t> atLink(image.SizeOfImage());
    std::vector<uint8_t> moved(image.SizeOfImage());
    constexpr uint64_t kShift = 0x123000;
    image.LoadInto(atLink.data(), image.LinkBase());
    image.LoadInto(moved.data(), image.LinkBase() + kShift);
    const size_t width = image.arch() == Arch::X64 ? 8 : 4;
    size_t changed = 0;
    for (size_t at = 0; at < atLink.size();) {
      if (atLink[at] == moved[at]) {
        at++;
        continue;
      }
      // A changed byte starts a relocated pointer (shift has no low byte).
      ASSERT_GE(at, 1u);
      const size_t start = at - 1;
      uint64_t before = 0;
      uint64_t after = 0;
      std::memcpy(&before, &atLink[start], width);
      std::memcpy(&after, &moved[start], width);
      EXPECT_EQ(after - before, width == 8 ? kShift : kShift & 0xFFFFFFFF) << "at " << start;
      changed++;
      at = start + width;
    }
    EXPECT_EQ(changed, image.RelocationCount());
  }
}

TEST(PeImageTest, DamagedFilesFailWithWhatIsWrong) {
  const std::vector<uint8_t> good = ReadFile(kDir + "/TinyDxe.efi");
  ASSERT_GT(good.size(), 0x200u);
  uint32_t pe;
  std::memcpy(&pe, &good[0x3C], 4);
  auto with = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> copy = good;
    std::memcpy(&copy[offset], bytes.data(), bytes.size());
    return copy;
  };
  struct Case {
    const char *name;
    std::vector<uint8_t> file;
    const char *message;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "truncated"},
      {"no MZ", with(0, {'Z', 'M'}), "no MZ signature"},
      {"PE offset past the end", with(0x3C, {0xFF, 0xFF, 0xFF, 0x7F}), "truncated"},
      {"cut in the headers", std::vector<uint8_t>(good.begin(), good.begin() + pe + 30),
       "truncated"},
      {"IA32 machine with a PE32+ header", with(pe + 4, {0x4C, 0x01}), "neither IA32"},
      {"image size zero", with(pe + 24 + 56, {0, 0, 0, 0}), "image size"},
      {"entry point outside", with(pe + 24 + 16, {0xFF, 0xFF, 0xFF, 0x00}), "entry point"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      PeImage image(c.file);
      ADD_FAILURE() << "parsed";
    } catch (const ImageError &e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(PeImage::FromFile(kDir + "/missing.efi"), ImageError);
}

} // namespace
} // namespace sim::cpu
