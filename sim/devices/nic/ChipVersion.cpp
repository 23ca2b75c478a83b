// Chip versions and the bits of transmit configuration register 0x40 that
// report them: X = bits 30..26 and 23 (mask 0x7C800000), S = bits 22..20
// (mask 0x00700000), and bit 31 telling versions 5 and 6 apart.
#include "NicRegisters.h"

#include <array>

namespace sim::nic {

namespace {
constexpr uint32_t kXMask = 0x7C800000;
constexpr uint32_t kSMask = 0x00700000;
constexpr uint32_t kBit31 = 0x80000000;
constexpr uint32_t S(unsigned n) { return n << 20; }

// Bits a part of each version reports (index = version). Zero entries with
// no version are parts that do not exist; version 61 reports S = 2.
struct Entry {
  bool ok;
  uint32_t bits;
};
constexpr std::array<Entry, kMaxChipVersion + 1> kBits = {{
    {false, 0},                  // 0: unrecognised, any unlisted X
    {true, 0x00000000},          // 1
    {true, 0x00800000},          // 2
    {true, 0x04000000},          // 3
    {true, 0x10000000},          // 4
    {true, 0x18000000},          // 5
    {true, 0x18000000 | kBit31}, // 6
    {true, 0x30000000},          // 7
    {true, 0x38000000},          // 8
    {true, 0x38000000 | S(1)},   // 9
    {true, 0x30800000},          // 10
    {true, 0x38800000},          // 11
    {true, 0x34000000},          // 12
    {true, 0x34000000 | S(1)},   // 13
    {true, 0x3C000000 | S(1)},   // 14
    {true, 0x3C000000 | S(2)},   // 15
    {true, 0x3C000000 | S(3)},   // 16
    {true, 0x3C000000},          // 17
    {true, 0x34800000},          // 18
    {true, 0x24800000},          // 19
    {true, 0x24800000 | S(1)},   // 20
    {true, 0x24800000 | S(2)},   // 21
    {true, 0x24800000 | S(3)},   // 22
    {true, 0x24800000 | S(5)},   // 23
    {true, 0x24800000 | S(6)},   // 24
    {true, 0x24000000},          // 25
    {true, 0x40800000},          // 26
    {true, 0x40800000 | S(1)},   // 27
    {true, 0x40800000 | S(2)},   // 28
    {true, 0x40800000 | S(3)},   // 29
    {true, 0x40800000 | S(4)},   // 30
    {true, 0x44800000},          // 31
    {true, 0x44800000 | S(1)},   // 32
    {false, 0},                  // 33: no part reports it
    {true, 0x28000000},          // 34
    {true, 0x28000000 | S(1)},   // 35
    {true, 0x28000000 | S(2)},   // 36
    {true, 0x2C000000},          // 37
    {true, 0x2C000000 | S(1)},   // 38
    {true, 0x2C000000 | S(2)},   // 39
    {true, 0x2C800000},          // 40
    {true, 0x2C800000 | S(1)},   // 41
    {true, 0x48000000},          // 42
    {true, 0x48000000 | S(1)},   // 43
    {true, 0x4C000000},          // 44
    {true, 0x4C000000 | S(1)},   // 45
    {true, 0x50800000},          // 46
    {true, 0x50800000 | S(1)},   // 47
    {true, 0x54000000},          // 48
    {true, 0x54000000 | S(1)},   // 49
    {true, 0x3C800000},          // 50
    {true, 0x3C800000 | S(1)},   // 51
    {true, 0x3C800000 | S(2)},   // 52
    {true, 0x3C800000 | S(3)},   // 53
    {true, 0x28800000},          // 54
    {true, 0x28800000 | S(1)},   // 55
    {true, 0x28800000 | S(2)},   // 56
    {true, 0x28800000 | S(3)},   // 57
    {true, 0x50000000},          // 58
    {true, 0x50000000 | S(1)},   // 59
    {true, 0x50000000 | S(2)},   // 60
    {true, 0x54800000 | S(2)},   // 61
    {true, 0x60800000},          // 62
    {true, 0x60800000 | S(1)},   // 63
    {true, 0x48800000},          // 64
    {true, 0x5C800000},          // 65
    {true, 0x44000000},          // 66
}};

unsigned FamilyOf24(uint32_t s, unsigned zero) {
  switch (s) {
  case S(0):
    return zero;
  case S(1):
    return 20;
  case S(2):
    return 21;
  case S(3):
  case S(4):
    return 22;
  case S(5):
    return 23;
  default:
    return 24; // S(6), S(7)
  }
}
} // namespace

VersionBits ChipVersionBits(unsigned version) {
  if (version > kMaxChipVersion || !kBits[version].ok) {
    return {false, 0};
  }
  return {true, kBits[version].bits};
}

unsigned ChipVersionOf(uint32_t txConfig) {
  const uint32_t x = txConfig & kXMask;
  const uint32_t s = txConfig & kSMask;
  switch (x) {
  case 0x00000000:
    return 1;
  case 0x00800000:
    return 2;
  case 0x04000000:
    return 3;
  case 0x10000000:
    return 4;
  case 0x18000000:
    return (txConfig & kBit31) ? 6 : 5;
  case 0x24000000:
    return 25;
  case 0x24800000:
    return FamilyOf24(s, 19);
  case 0x28000000:
    return s == S(0) ? 34 : s == S(1) ? 35 : 36;
  case 0x28800000:
    return s == S(0) ? 54 : s == S(1) ? 55 : s == S(2) ? 56 : 57;
  case 0x2C000000:
    return s == S(0) ? 37 : s == S(1) ? 38 : 39;
  case 0x2C800000:
    return s == S(0) ? 40 : 41;
  case 0x30000000:
    return 7;
  case 0x30800000:
    return 10;
  case 0x34000000:
    return s == S(0) ? 12 : 13;
  case 0x34800000:
    return FamilyOf24(s, 18);
  case 0x38000000:
    return s == S(0) ? 8 : 9;
  case 0x38800000:
    return 11;
  case 0x3C000000:
    return s == S(1) ? 14 : s == S(2) ? 15 : s == S(3) ? 16 : 17;
  case 0x3C800000:
    return s == S(0) ? 50 : s == S(1) ? 51 : s == S(2) ? 52 : 53;
  case 0x40800000:
    return s == S(0) ? 26 : s == S(1) ? 27 : s == S(2) ? 28 : s == S(3) ? 29 : 30;
  case 0x44000000:
    return 66;
  case 0x44800000:
    return s == S(0) ? 31 : 32;
  case 0x48000000:
    return s == S(0) ? 42 : 43;
  case 0x48800000:
    return 64;
  case 0x4C000000:
    return s == S(0) ? 44 : 45;
  case 0x50000000:
    return s == S(0) ? 58 : s == S(1) ? 59 : 60;
  case 0x50800000:
    return s == S(1) ? 47 : 46;
  case 0x54000000:
    return s == S(0) ? 48 : 49;
  case 0x54800000:
    return 61;
  case 0x5C800000:
    return 65;
  case 0x60800000:
    return s == S(0) ? 62 : s == S(1) ? 63 : 0;
  default:
    return 0;
  }
}

} // namespace sim::nic
