// SMBIOS table images: the default board's table, dump-bin images with 2.x
// and 3.x entry points and raw tables, the real-machine images against their
// expected.txt, malformed images refused with a message, and every
// truncation or random corruption of an image parsed without reading past
// the input (which ends at an inaccessible page here).
#include "DefaultTable.h"
#include "SampleImages.h"
#include "SmbiosBuilder.h"
#include "SmbiosTable.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

namespace {

using namespace sim::smbios;
namespace L = sim::smbios::layout;

// Input bytes placed so that the first byte past them is an inaccessible
// page: a parser that reads beyond the input faults instead of passing.
class GuardedBytes {
public:
  explicit GuardedBytes(const std::vector<uint8_t> &bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t dataPages = (bytes.size() + page - 1) / page;
    size_ = (dataPages + 1) * page;
    base_ = static_cast<uint8_t *>(
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) {
      throw std::runtime_error("mmap failed");
    }
    mprotect(base_ + dataPages * page, page, PROT_NONE);
    data_ = base_ + dataPages * page - bytes.size();
    if (!bytes.empty()) {
      std::memcpy(data_, bytes.data(), bytes.size());
    }
    length_ = bytes.size();
  }
  ~GuardedBytes() { munmap(base_, size_); }
  GuardedBytes(const GuardedBytes &) = delete;
  GuardedBytes &operator=(const GuardedBytes &) = delete;

  ParseResult Parse() const { return ParseSmbiosImage(data_, length_); }

private:
  uint8_t *base_ = nullptr;
  uint8_t *data_ = nullptr;
  size_t size_ = 0;
  size_t length_ = 0;
};

std::vector<std::vector<uint8_t>> SmallStructures() {
  return {StructureBuilder(0, 0x10, L::kBiosLength)
              .String(L::kBiosVendor, "Vendor")
              .String(L::kBiosVersion, "1.0")
              .Build(),
          StructureBuilder(16, 0x20, L::kMemoryArrayLength).U16(L::kMemoryArrayDevices, 1).Build(),
          StructureBuilder(17, 0x21, L::kMemoryDeviceLength)
              .U16(L::kMemoryDeviceSize, 512)
              .String(L::kMemoryDeviceLocator, "SLOT")
              .Build()};
}

std::vector<uint8_t> Types(const Table &table) {
  std::vector<uint8_t> types;
  for (const Structure &structure : table.structures) {
    types.push_back(structure.type);
  }
  return types;
}

TEST(SmbiosTableTest, DefaultBoardImageHoldsTheBoardsStructures) {
  ParseResult parsed = ParseSmbiosImage(DefaultBoardImage());
  ASSERT_TRUE(parsed) << parsed.error;
  const Table &table = *parsed.table;
  EXPECT_EQ(table.format, ImageFormat::EntryPoint3);
  EXPECT_EQ(Types(table), (std::vector<uint8_t>{0, 1, 2, 4, 16, 17, 17, 17, 17, 127}));
  const Structure *array = table.Find(16, 1);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->bytes[L::kMemoryArrayDevices], 4);
  std::vector<unsigned> sizes;
  for (unsigned i = 1; i <= 4; i++) {
    const Structure *device = table.Find(17, i);
    ASSERT_NE(device, nullptr);
    sizes.push_back(device->bytes[L::kMemoryDeviceSize] | device->bytes[L::kMemoryDeviceSize + 1]
                                                              << 8);
  }
  EXPECT_EQ(sizes, (std::vector<unsigned>{16384, 0, 16384, 0})); // populated and empty slots
  EXPECT_EQ(table.Find(17, 5), nullptr);
  EXPECT_EQ(table.Find(2, 1)->Strings(),
            (std::vector<std::string>{"Harbor Board Company", "Q7146-MB", "Rev 1.02",
                                      "MB7146-000381", "HB-ASSET-0042", "Main board"}));
}

TEST(SmbiosTableTest, EntryPoint2EntryPoint3AndRawTableGiveTheSameStructures) {
  std::vector<uint8_t> table = BuildTable(SmallStructures());
  ParseResult raw = ParseSmbiosImage(table);
  ParseResult v2 = ParseSmbiosImage(BuildImage2(table, 4));
  ParseResult v3 = ParseSmbiosImage(BuildImage3(table));
  ASSERT_TRUE(raw) << raw.error;
  ASSERT_TRUE(v2) << v2.error;
  ASSERT_TRUE(v3) << v3.error;
  EXPECT_EQ(raw.table->format, ImageFormat::RawTable);
  EXPECT_EQ(v2.table->format, ImageFormat::EntryPoint2);
  EXPECT_EQ(v3.table->format, ImageFormat::EntryPoint3);
  EXPECT_EQ(v2.table->majorVersion, 2);
  EXPECT_EQ(v2.table->minorVersion, 8);
  for (const ParseResult *parsed : {&raw, &v2, &v3}) {
    ASSERT_EQ(parsed->table->structures.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
      EXPECT_EQ(parsed->table->structures[i].bytes, raw.table->structures[i].bytes);
    }
  }
  EXPECT_EQ(raw.table->Find(0, 1)->Strings(), (std::vector<std::string>{"Vendor", "1.0"}));
  EXPECT_EQ(raw.table->Find(16, 1)->Strings(), std::vector<std::string>{});
  EXPECT_EQ(raw.table->Find(17, 1)->handle, 0x21);
}

TEST(SmbiosTableTest, EntryPoint2StructureCountEndsTheWalk) {
  std::vector<uint8_t> table = BuildTable(SmallStructures(), false);
  ParseResult parsed = ParseSmbiosImage(BuildImage2(table, 2));
  ASSERT_TRUE(parsed) << parsed.error;
  EXPECT_EQ(Types(*parsed.table), (std::vector<uint8_t>{0, 16}));
}

TEST(SmbiosTableTest, RawTableWithoutEndOfTableEndsWithTheBytes) {
  ParseResult parsed = ParseSmbiosImage(BuildTable(SmallStructures(), false));
  ASSERT_TRUE(parsed) << parsed.error;
  EXPECT_EQ(Types(*parsed.table), (std::vector<uint8_t>{0, 16, 17}));
}

TEST(SmbiosTableTest, EntryPoint3SizeIsAMaximumTheTableEndsAtEndOfTableOrAtTheData) {
  const std::vector<uint8_t> table = BuildTable(SmallStructures());
  // Ends at the end-of-table structure, though the maximum and the data go on.
  std::vector<uint8_t> trailing = table;
  trailing.insert(trailing.end(), {0x05, 0x04, 0x00, 0x00, 0x00}); // not a whole structure
  ParseResult endOfTable = ParseSmbiosImage(BuildImage3(trailing, 3, 2, 0x10000));
  ASSERT_TRUE(endOfTable) << endOfTable.error;
  EXPECT_EQ(Types(*endOfTable.table), (std::vector<uint8_t>{0, 16, 17, 127}));
  // No end-of-table structure: the table ends with the data, short of the maximum.
  ParseResult dataEnd =
      ParseSmbiosImage(BuildImage3(BuildTable(SmallStructures(), false), 3, 0, 0xFFFFFFFF));
  ASSERT_TRUE(dataEnd) << dataEnd.error;
  EXPECT_EQ(Types(*dataEnd.table), (std::vector<uint8_t>{0, 16, 17}));
  // A maximum below the data still ends the table.
  ParseResult cut =
      ParseSmbiosImage(BuildImage3(table, 3, 2, static_cast<uint32_t>(SmallStructures()[0].size())));
  ASSERT_TRUE(cut) << cut.error;
  EXPECT_EQ(Types(*cut.table), (std::vector<uint8_t>{0}));
  // The data ending inside a structure is still a truncated table.
  std::vector<uint8_t> inside(table.begin(), table.begin() + SmallStructures()[0].size() + 3);
  ParseResult truncated = ParseSmbiosImage(BuildImage3(inside, 3, 2, 0x10000));
  EXPECT_FALSE(truncated);
  EXPECT_NE(truncated.error.find("truncated header"), std::string::npos) << truncated.error;
}

TEST(SmbiosTableTest, RealMachineImagesWalkAsTheirExpectedTextSays) {
  std::vector<smbios_samples::Sample> samples =
      smbios_samples::LoadSamples(MGMT_SMBIOS_SAMPLES_DIR);
  if (samples.empty()) {
    GTEST_SKIP() << "no SMBIOS sample images in " << MGMT_SMBIOS_SAMPLES_DIR;
  }
  for (const smbios_samples::Sample &sample : samples) {
    SCOPED_TRACE(sample.name);
    ParseResult parsed = LoadSmbiosImage(sample.image);
    ASSERT_TRUE(parsed) << parsed.error;
    const Table &table = *parsed.table;
    EXPECT_EQ(table.format,
              sample.anchor == "_SM3_" ? ImageFormat::EntryPoint3 : ImageFormat::EntryPoint2);
    EXPECT_EQ(table.structures.size(), sample.structuresWalked);
    EXPECT_EQ(table.Count(17), sample.memoryDevices);
    ASSERT_FALSE(sample.structures.empty());
    for (const auto &[key, expected] : sample.structures) {
      auto [type, instance] = key;
      SCOPED_TRACE("type " + std::to_string(type) + " instance " + std::to_string(instance));
      const Structure *structure = table.Find(static_cast<uint8_t>(type), instance);
      ASSERT_NE(structure, nullptr);
      EXPECT_EQ(structure->handle, expected.handle);
      EXPECT_EQ(structure->length, expected.length);
      std::vector<std::string> strings = structure->Strings();
      EXPECT_EQ(strings.size(), expected.stringsInSet);
      for (const auto &[position, text] : expected.positions) {
        EXPECT_EQ(position <= strings.size() ? strings[position - 1] : std::string(), text)
            << "pos" << position;
      }
      const std::vector<uint8_t> &b = structure->bytes;
      if (!expected.uuidReversed.empty()) {
        std::string reversed;
        for (int i = 23; i >= 8; i--) {
          char hex[3];
          std::snprintf(hex, sizeof(hex), "%02x", b.at(i));
          reversed += hex;
        }
        EXPECT_EQ(reversed, expected.uuidReversed);
      }
      if (expected.deviceCount) {
        EXPECT_EQ(b.at(0x0D) | b.at(0x0E) << 8, *expected.deviceCount);
      }
      if (expected.size) {
        EXPECT_EQ(b.at(0x0C) | b.at(0x0D) << 8, *expected.size);
      }
    }
  }
}

struct Malformed {
  const char *name;
  std::vector<uint8_t> image;
  const char *message; // part of the error text
};
void PrintTo(const Malformed &m, std::ostream *os) { *os << m.name; }

std::vector<Malformed> MalformedImages() {
  std::vector<uint8_t> table = BuildTable(SmallStructures());
  std::vector<Malformed> cases;

  // Ends inside the formatted area of the second structure.
  std::vector<uint8_t> cut(table.begin(), table.begin() + SmallStructures()[0].size() + 10);
  cases.push_back({"TruncatedStructure", BuildImage3(cut), "runs past the end"});

  std::vector<uint8_t> open = StructureBuilder(0, 1, L::kBiosLength).Build();
  open.pop_back(); // string set without its second zero
  cases.push_back({"NoDoubleZero", open, "no terminating double zero"});

  std::vector<uint8_t> strings = StructureBuilder(0, 1, L::kBiosLength).String(4, "abc").Build();
  strings.pop_back();
  cases.push_back({"LastStringWithoutSetEnd", BuildImage3(strings), "no terminating double zero"});

  std::vector<uint8_t> shortLength = table;
  shortLength[1] = 3;
  cases.push_back({"LengthBelowHeader", BuildImage3(shortLength), "below the 4-byte header"});

  std::vector<uint8_t> zeros(64, 0);
  cases.push_back({"ZeroFilled", zeros, "below the 4-byte header"});

  std::vector<uint8_t> bad3 = BuildImage3(table);
  bad3[0x0B] ^= 0x01;
  cases.push_back({"EntryPoint3Checksum", bad3, "checksum is wrong"});

  std::vector<uint8_t> bad2 = BuildImage2(table, 4);
  bad2[0x08] ^= 0x40;
  cases.push_back({"EntryPoint2Checksum", bad2, "checksum is wrong"});

  std::vector<uint8_t> badDmi = BuildImage2(table, 4);
  badDmi[0x17] ^= 0x01; // table length inside the intermediate part
  badDmi[0x04] = static_cast<uint8_t>(badDmi[0x04] - 0x01);
  cases.push_back({"IntermediateChecksum", badDmi, "intermediate"});

  std::vector<uint8_t> elsewhere = BuildImage3(table);
  elsewhere[0x12] = 0x0F; // table at 0x000F0020: a physical address, not a file offset
  elsewhere[5] = static_cast<uint8_t>(elsewhere[5] - 0x0F);
  cases.push_back({"TableOutsideImage", elsewhere, "outside the"});

  std::vector<uint8_t> headerOnly = BuildImage3(table);
  headerOnly.resize(0x20);
  cases.push_back({"TableMissing", headerOnly, "outside the"});

  std::vector<uint8_t> shortEntry = BuildImage3(table);
  shortEntry.resize(0x10);
  cases.push_back({"EntryPointTruncated", shortEntry, "entry point truncated"});

  cases.push_back({"Empty", {}, "empty"});
  cases.push_back({"NoStructures", BuildImage2(table, 0), "empty"});
  return cases;
}

class MalformedImageTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedImageTest, IsRefusedWithAMessage) {
  GuardedBytes bytes(GetParam().image);
  ParseResult parsed = bytes.Parse();
  EXPECT_FALSE(parsed);
  EXPECT_NE(parsed.error.find(GetParam().message), std::string::npos) << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedImageTest, ::testing::ValuesIn(MalformedImages()),
                         [](const auto &info) { return std::string(info.param.name); });

// A successful parse holds only bytes of the input.
void ExpectWithinInput(const ParseResult &parsed, size_t inputSize) {
  if (!parsed) {
    EXPECT_FALSE(parsed.error.empty());
    return;
  }
  size_t total = 0;
  for (const Structure &structure : parsed.table->structures) {
    EXPECT_GE(structure.bytes.size(), structure.length + 2u);
    EXPECT_GE(structure.length, 4);
    total += structure.bytes.size();
  }
  EXPECT_LE(total, inputSize);
}

TEST(SmbiosTableTest, EveryTruncationIsParsedWithinTheInput) {
  std::vector<uint8_t> image = DefaultBoardImage();
  std::vector<uint8_t> table(image.begin() + 0x20, image.end());
  // Where each structure of the image ends: an image cut there is a shorter
  // table (the 3.x size is a maximum), cut anywhere else it is refused.
  std::map<size_t, size_t> structuresBefore;
  ParseResult whole = ParseSmbiosImage(image);
  ASSERT_TRUE(whole) << whole.error;
  for (size_t i = 0; i < whole.table->structures.size(); i++) {
    const Structure &s = whole.table->structures[i];
    structuresBefore[0x20 + s.tableOffset + s.bytes.size()] = i + 1;
  }
  for (const std::vector<uint8_t> *input : {&image, &table}) {
    for (size_t length = 0; length <= input->size(); length++) {
      std::vector<uint8_t> prefix(input->begin(), input->begin() + length);
      GuardedBytes bytes(prefix);
      ParseResult parsed = bytes.Parse();
      ExpectWithinInput(parsed, length);
      if (input != &image) {
        continue;
      }
      auto boundary = structuresBefore.find(length);
      if (boundary == structuresBefore.end()) {
        EXPECT_FALSE(parsed) << "an image cut to " << length << " bytes was accepted";
      } else {
        ASSERT_TRUE(parsed) << length << ": " << parsed.error;
        EXPECT_EQ(parsed.table->structures.size(), boundary->second) << length;
      }
    }
  }
}

TEST(SmbiosTableTest, RandomAndCorruptedInputsAreParsedWithinTheInput) {
  std::mt19937 random(20250314);
  std::vector<uint8_t> image = DefaultBoardImage();
  for (int round = 0; round < 3000; round++) {
    std::vector<uint8_t> input;
    if (round % 2 == 0) {
      input.resize(random() % 700);
      for (uint8_t &byte : input) {
        byte = static_cast<uint8_t>(random());
      }
      if (round % 4 == 0 && input.size() >= 5) {
        std::memcpy(input.data(), round % 8 == 0 ? "_SM3_" : "_SM_", round % 8 == 0 ? 5 : 4);
      }
    } else {
      input = image;
      for (int flips = 1 + random() % 8; flips > 0; flips--) {
        input[random() % input.size()] = static_cast<uint8_t>(random());
      }
      input.resize(input.size() - random() % 64);
    }
    GuardedBytes bytes(input);
    ExpectWithinInput(bytes.Parse(), input.size());
  }
}

} // namespace
