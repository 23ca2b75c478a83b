// Chip identification: every row of the version table (with unrelated bits
// set, so masking errors show), the flags each version gets, and the address
// arithmetic of the windows that identification selects.
#include "ChipId.h"
#include "RegisterAccess.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct VersionCase {
  uint32_t txConfig;
  uint32_t version;
};

// Register 0x40 values and the version each must give. Bits outside the
// version fields (0x0000FF00, and bit 31 except for 0x18000000) are noise.
const std::vector<VersionCase> kVersionCases = {
    {0x00000000, 1},  {0x00800000, 2},  {0x04000000, 3},  {0x10000000, 4},  {0x18000000, 5},
    {0x98000000, 6},  {0x18300000, 5},  {0x98700000, 6},  {0x24000000, 25}, {0x24700000, 25},
    {0x24800000, 19}, {0x24900000, 20}, {0x24A00000, 21}, {0x24B00000, 22}, {0x24C00000, 22},
    {0x24D00000, 23}, {0x24E00000, 24}, {0x24F00000, 24}, {0x28000000, 34}, {0x28100000, 35},
    {0x28200000, 36}, {0x28300000, 36}, {0x28400000, 36}, {0x28700000, 36}, {0x28800000, 54},
    {0x28900000, 55}, {0x28A00000, 56}, {0x28B00000, 57}, {0x28F00000, 57}, {0x2C000000, 37},
    {0x2C100000, 38}, {0x2C200000, 39}, {0x2C800000, 40}, {0x2C900000, 41}, {0x30000000, 7},
    {0x30800000, 10}, {0x34000000, 12}, {0x34100000, 13}, {0x34800000, 18}, {0x34900000, 20},
    {0x34A00000, 21}, {0x34B00000, 22}, {0x34C00000, 22}, {0x34D00000, 23}, {0x34E00000, 24},
    {0x34F00000, 24}, {0x38000000, 8},  {0x38100000, 9},  {0x38800000, 11}, {0x3C100000, 14},
    {0x3C200000, 15}, {0x3C300000, 16}, {0x3C000000, 17}, {0x3C400000, 17}, {0x3C800000, 50},
    {0x3C900000, 51}, {0x3CA00000, 52}, {0x3CB00000, 53}, {0x40800000, 26}, {0x40900000, 27},
    {0x40A00000, 28}, {0x40B00000, 29}, {0x40C00000, 30}, {0x44000000, 66}, {0x44800000, 31},
    {0x44900000, 32}, {0x48000000, 42}, {0x48100000, 43}, {0x48800000, 64}, {0x4C000000, 44},
    {0x4C100000, 45}, {0x50000000, 58}, {0x50100000, 59}, {0x50200000, 60}, {0x50900000, 47},
    {0x50800000, 46}, {0x50A00000, 46}, {0x54000000, 48}, {0x54100000, 49}, {0x54800000, 61},
    {0x5C800000, 65}, {0x60800000, 62}, {0x60900000, 63}, {0x60A00000, 0},  {0x08000000, 0},
    {0x7C800000, 0},  {0x58000000, 0},  {0x64000000, 0},
};

class VersionTableTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTableTest, RegisterValueGivesVersion) {
  const VersionCase &c = GetParam();
  EXPECT_EQ(NicChipVersionFromTxConfig(c.txConfig), c.version);
  EXPECT_EQ(NicChipVersionFromTxConfig(c.txConfig | 0x0000FF00), c.version)
      << "configuration bits must not change the version";
  if ((c.txConfig & 0x7C800000) != 0x18000000) {
    EXPECT_EQ(NicChipVersionFromTxConfig(c.txConfig ^ 0x80000000), c.version)
        << "bit 31 only tells version 5 from 6";
  }
}

INSTANTIATE_TEST_SUITE_P(AllRows, VersionTableTest, ::testing::ValuesIn(kVersionCases),
                         [](const ::testing::TestParamInfo<VersionCase> &info) {
                           char name[32];
                           snprintf(name, sizeof name, "Reg%08X", info.param.txConfig);
                           return std::string(name);
                         });

// 33 appears in the flag ranges but no register value yields it.
TEST(VersionTableCoverage, EveryVersionFromOneToSixtySixButThirtyThreeIsReachable) {
  std::vector<bool> seen(67, false);
  for (const VersionCase &c : kVersionCases) {
    seen[NicChipVersionFromTxConfig(c.txConfig)] = true;
  }
  for (uint32_t v = 1; v <= 66; v++) {
    EXPECT_EQ(seen[v], v != 33) << "version " << v;
  }
}

NIC_ADAPTER FlagsOf(uint32_t version) {
  NIC_ADAPTER adapter{};
  adapter.ChipVersion = version;
  adapter.OobAccessType = 3; // what a new context starts with
  NicSetVersionFlags(&adapter);
  return adapter;
}

TEST(VersionFlags, ClassesFollowTheirVersionRanges) {
  struct {
    uint32_t version;
    uint8_t cls;
  } cases[] = {{1, 1},  {6, 1},  {7, 4},  {9, 4},  {10, 2}, {13, 2}, {14, 4}, {17, 4}, {18, 2},
               {33, 2}, {34, 4}, {61, 4}, {62, 3}, {63, 3}, {64, 4}, {65, 4}, {66, 2}, {0, 4}};
  for (const auto &c : cases) {
    EXPECT_EQ(FlagsOf(c.version).ChipClass, c.cls) << "version " << c.version;
  }
}

TEST(VersionFlags, GphyGroupIs44To49And58To63And65) {
  for (uint32_t v = 0; v <= 66; v++) {
    bool gphy = (v >= 44 && v <= 49) || (v >= 58 && v <= 63) || v == 65;
    NIC_ADAPTER a = FlagsOf(v);
    EXPECT_EQ(a.GphyAccess != 0, gphy) << "version " << v;
    EXPECT_EQ(a.F2Handling != 0, gphy) << "version " << v;
  }
}

TEST(VersionFlags, LockBitsAndPhyQuirkBelongToTheirVersionsOnly) {
  for (uint32_t v = 0; v <= 66; v++) {
    NIC_ADAPTER a = FlagsOf(v);
    EXPECT_EQ(a.RegisterLock != 0, v == 42 || v == 43 || v == 64 || v == 66) << "version " << v;
    EXPECT_EQ(a.PhyQuirk != 0, v >= 54 && v <= 56) << "version " << v;
  }
}

TEST(VersionFlags, OobAccessTypeAndKind) {
  for (uint32_t v = 0; v <= 66; v++) {
    NIC_ADAPTER a = FlagsOf(v);
    uint8_t type = (v >= 54 && v <= 57) ? 1 : (v >= 58 && v <= 60) ? 2 : 3;
    uint8_t kind = (v >= 54 && v <= 61) ? type : 0;
    EXPECT_EQ(a.OobAccessType, type) << "version " << v;
    EXPECT_EQ(a.OobKind, kind) << "version " << v;
  }
}

// Window addressing that identification selects between.
TEST(WindowAddressing, Type3CommandsForLowAndHighOobRegisters) {
  EXPECT_EQ(NicType3Command(0x188), 0x3DC2F188u);
  EXPECT_EQ(NicType3Command(0x000), 0x3DC2F000u);
  EXPECT_EQ(NicType3Command(0xFFF), 0x3DC2FFFFu);
  // From 0x1000 up the 4 KiB block number moves to bits 20 and up.
  EXPECT_EQ(NicType3Command(0x1234), 0x3DC2F234u | (1u << 20));
  EXPECT_EQ(NicType3Command(0xE0C4), 0x3DC2F0C4u | (0xEu << 20));
}

TEST(WindowAddressing, GphyPageZeroMapsToPagesFromA40) {
  EXPECT_EQ(NicGphyAddress(0, 0), 0xA400u);
  EXPECT_EQ(NicGphyAddress(0, 1), 0xA402u);
  EXPECT_EQ(NicGphyAddress(0, 9), 0xA412u);
  EXPECT_EQ(NicGphyAddress(0, 17), 0xA422u);
}

TEST(WindowAddressing, GphyOtherPagesMapRegisters16Up) {
  EXPECT_EQ(NicGphyAddress(0x0C41, 19), 0xC416u);
  EXPECT_EQ(NicGphyAddress(0x0A43, 16), 0xA430u);
  EXPECT_EQ(NicGphyAddress(0x0A44, 17), 0xA442u);
  EXPECT_EQ(NicGphyAddress(0x0A43, 15), 0u) << "below 16 on a non-zero page";
}

} // namespace
