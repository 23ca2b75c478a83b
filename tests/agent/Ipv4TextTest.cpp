// IPv4 text as the setup fields hold it: the right-to-left parser's accept and
// refuse table, the "%d.%d.%d.%d" formatting into a 30-byte field, and the
// 15-character address that fills the field exactly.
#include "AgentTestSupport.h"

#include <array>

namespace {

using namespace agent_test;
using Address = std::array<uint8_t, 4>;

// Text as UTF-16 little-endian bytes, terminated, at an odd offset (as in Setup).
struct Utf16 {
  explicit Utf16(const std::string &text) {
    bytes.assign(1 + 2 * (text.size() + 1), 0);
    for (size_t i = 0; i < text.size(); i++) {
      bytes[1 + 2 * i] = static_cast<uint8_t>(text[i]);
    }
  }
  const void *Text() const { return bytes.data() + 1; }
  Bytes bytes;
};

std::pair<EFI_STATUS, Address> Parse(const std::string &text) {
  Utf16 utf16(text);
  Address out = {0xEE, 0xEE, 0xEE, 0xEE};
  EFI_STATUS status = ParseIpv4Text(utf16.Text(), out.data());
  return {status, out};
}

struct Accepted {
  const char *text;
  Address address;
};

class Ipv4ParseAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(Ipv4ParseAccepts, ReadsTheFourGroups) {
  auto [status, address] = Parse(GetParam().text);
  EXPECT_EQ(status, EFI_SUCCESS) << GetParam().text;
  EXPECT_EQ(address, GetParam().address) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ipv4ParseAccepts,
    ::testing::Values(Accepted{"255.255.255.255", {255, 255, 255, 255}},
                      Accepted{"192.168.1.10", {192, 168, 1, 10}},
                      Accepted{"0.0.0.1", {0, 0, 0, 1}},
                      Accepted{"01.2.3.4", {1, 2, 3, 4}},        // leading zeros
                      Accepted{"001.002.003.004", {1, 2, 3, 4}}, // three-digit groups
                      Accepted{".1.2.3", {0, 1, 2, 3}},          // empty first group reads 0
                      Accepted{"249.250.199.100", {249, 250, 199, 100}},
                      // Only fifteen code units are looked at.
                      Accepted{"192.168.100.2001", {192, 168, 100, 200}},
                      Accepted{"010.020.030.040xyz", {10, 20, 30, 40}}));

class Ipv4ParseRefuses : public ::testing::TestWithParam<const char *> {};

TEST_P(Ipv4ParseRefuses, FailsWithZeroOutput) {
  auto [status, address] = Parse(GetParam());
  EXPECT_EQ(status, EFI_INVALID_PARAMETER) << GetParam();
  EXPECT_EQ(address, (Address{0, 0, 0, 0})) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Table, Ipv4ParseRefuses,
                         ::testing::Values("", "256.1.1.1", "1.2.3.260", "1.2.3.256", "300.1.1.1",
                                           "1.2.3.4.5", "0.0.0.0", "1.2.3", " 1.2.3.4", "1.2.3.4 ",
                                           "1..2.3", "1.2.3.", "1.2.3.4a", "1.2.-3.4", "1000.2.3.4",
                                           "1.2.3.0001", "...."));

TEST(Ipv4Text, UnterminatedFieldIsReadNoFurtherThanFifteenCodeUnits) {
  // Fifteen code units and then no terminator: what follows must not count.
  Bytes field;
  for (char c : std::string("100.100.100.100")) {
    field.push_back(static_cast<uint8_t>(c));
    field.push_back(0);
  }
  field.push_back('9');
  field.push_back(0);
  Address out{};
  EXPECT_EQ(ParseIpv4Text(field.data(), out.data()), EFI_SUCCESS);
  EXPECT_EQ(out, (Address{100, 100, 100, 100}));
}

TEST(Ipv4Text, FormatWritesDecimalDottedTextTerminatedAndClearsTheRestOfTheField) {
  Bytes setup(64, 0xCC);
  const Address address = {192, 168, 0, 7};
  FormatIpv4Text(address.data(), setup.data() + 1);
  EXPECT_EQ(GetText(setup, 1, 30), "192.168.0.7");
  for (size_t i = 1 + 2 * 11; i < 31; i++) {
    EXPECT_EQ(setup[i], 0) << "field byte " << i - 1;
  }
  EXPECT_EQ(setup[0], 0xCC);
  EXPECT_EQ(setup[31], 0xCC) << "nothing past the 30-byte field";
}

TEST(Ipv4Text, FifteenCharacterAddressFillsTheFieldExactlyAndParsesBack) {
  Bytes setup(32, 0xCC);
  const Address address = {100, 100, 100, 100};
  FormatIpv4Text(address.data(), setup.data() + 1);
  EXPECT_EQ(GetText(setup, 1, 30), "100.100.100.100");
  EXPECT_EQ(setup[31], 0xCC) << "no terminator written past the field";
  Address back{};
  EXPECT_EQ(ParseIpv4Text(setup.data() + 1, back.data()), EFI_SUCCESS);
  EXPECT_EQ(back, address);
}

TEST(Ipv4Text, EveryFormattedAddressParsesBackToItself) {
  for (unsigned value : {1u, 9u, 10u, 99u, 100u, 199u, 200u, 249u, 250u, 255u}) {
    const Address address = {static_cast<uint8_t>(value), 0, static_cast<uint8_t>(255 - value),
                             static_cast<uint8_t>(value)};
    Bytes field(30, 0);
    FormatIpv4Text(address.data(), field.data());
    Address back{};
    EXPECT_EQ(ParseIpv4Text(field.data(), back.data()), EFI_SUCCESS) << value;
    EXPECT_EQ(back, address) << value;
  }
}

} // namespace
