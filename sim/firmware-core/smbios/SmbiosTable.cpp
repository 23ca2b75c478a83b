// Parsing of SMBIOS table images (see SmbiosTable.h). Every read is checked
// against the input's size first; offsets are compared by subtraction so
// that no sum can wrap.
#include "SmbiosTable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::smbios {

namespace {

constexpr uint8_t kEndOfTable = 127;
constexpr size_t kHeaderSize = 4;

// "_SM_" entry point (SMBIOS 2.x) with its "_DMI_" part.
constexpr char kAnchor2[] = "_SM_";
constexpr char kIntermediateAnchor[] = "_DMI_";
constexpr size_t kEntryPoint2Size = 0x1F;
constexpr size_t kEntryPoint2MinLength = 0x1E; // some 2.1 firmware says 0x1E
constexpr size_t kIntermediateOffset = 0x10;
constexpr size_t kIntermediateSize = 0x0F;
constexpr size_t kEp2TableLengthOffset = 0x16;
constexpr size_t kEp2TableAddressOffset = 0x18;
constexpr size_t kEp2StructureCountOffset = 0x1C;

// "_SM3_" entry point (SMBIOS 3.x).
constexpr char kAnchor3[] = "_SM3_";
constexpr size_t kEntryPoint3Size = 0x18;
constexpr size_t kEp3MaxSizeOffset = 0x0C;
constexpr size_t kEp3TableAddressOffset = 0x10;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t *p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t *p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

bool StartsWith(const uint8_t *data, size_t size, const char *anchor) {
  size_t length = std::strlen(anchor);
  return size >= length && std::memcmp(data, anchor, length) == 0;
}

uint8_t Sum(const uint8_t *data, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; i++) {
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  return sum;
}

ParseResult Fail(std::string message) {
  ParseResult result;
  result.error = std::move(message);
  return result;
}

// The table that an entry point places at `address`, `length` bytes long,
// must lie inside the image after the entry point.
ParseResult TableAt(const uint8_t *data, size_t size, size_t entryPointLength, uint64_t address,
                    uint64_t length, std::optional<size_t> maxStructures) {
  if (address < entryPointLength || address > size || length > size - address) {
    return Fail("the entry point places the structure table at " + Hex(address) + " (" +
                std::to_string(length) + " bytes), outside the " + std::to_string(size) +
                "-byte image after the entry point (a dump-bin image holds the table itself)");
  }
  ParseResult result =
      ParseStructureTable(data + address, static_cast<size_t>(length), maxStructures);
  if (!result) {
    result.error = "structure table at " + Hex(address) + ": " + result.error;
  }
  return result;
}

ParseResult ParseEntryPoint3(const uint8_t *data, size_t size) {
  if (size < kEntryPoint3Size) {
    return Fail("SMBIOS 3.x entry point truncated: " + std::to_string(size) + " of " +
                std::to_string(kEntryPoint3Size) + " bytes");
  }
  size_t length = data[6];
  if (length < kEntryPoint3Size || length > size) {
    return Fail("SMBIOS 3.x entry point length " + Hex(length) + " is invalid (at least " +
                Hex(kEntryPoint3Size) + ", within the image)");
  }
  if (Sum(data, length) != 0) {
    return Fail("SMBIOS 3.x entry point checksum is wrong (bytes sum to " + Hex(Sum(data, length)) +
                ", not 0)");
  }
  // A 3.x entry point gives the table's maximum size, not its size: the
  // table ends at the end-of-table structure or where the data ends,
  // whichever comes first, as dmidecode reads a dump.
  const uint64_t address = Le64(data + kEp3TableAddressOffset);
  uint64_t tableBytes = Le32(data + kEp3MaxSizeOffset);
  if (address < size) {
    tableBytes = std::min<uint64_t>(tableBytes, size - address);
  }
  ParseResult result = TableAt(data, size, length, address, tableBytes, std::nullopt);
  if (result) {
    result.table->format = ImageFormat::EntryPoint3;
    result.table->majorVersion = data[7];
    result.table->minorVersion = data[8];
    result.table->docRevision = data[9];
  }
  return result;
}

ParseResult ParseEntryPoint2(const uint8_t *data, size_t size) {
  if (size < kEntryPoint2Size) {
    return Fail("SMBIOS 2.x entry point truncated: " + std::to_string(size) + " of " +
                std::to_string(kEntryPoint2Size) + " bytes");
  }
  size_t length = data[5];
  if (length < kEntryPoint2MinLength || length > size) {
    return Fail("SMBIOS 2.x entry point length " + Hex(length) + " is invalid (at least " +
                Hex(kEntryPoint2MinLength) + ", within the image)");
  }
  if (Sum(data, length) != 0) {
    return Fail("SMBIOS 2.x entry point checksum is wrong (bytes sum to " + Hex(Sum(data, length)) +
                ", not 0)");
  }
  if (std::memcmp(data + kIntermediateOffset, kIntermediateAnchor, 5) != 0) {
    return Fail("SMBIOS 2.x entry point has no \"_DMI_\" anchor at 0x10");
  }
  if (Sum(data + kIntermediateOffset, kIntermediateSize) != 0) {
    return Fail("SMBIOS 2.x intermediate (\"_DMI_\") checksum is wrong");
  }
  ParseResult result =
      TableAt(data, size, kEntryPoint2Size, Le32(data + kEp2TableAddressOffset),
              Le16(data + kEp2TableLengthOffset), Le16(data + kEp2StructureCountOffset));
  if (result) {
    result.table->format = ImageFormat::EntryPoint2;
    result.table->majorVersion = data[6];
    result.table->minorVersion = data[7];
  }
  return result;
}

} // namespace

std::vector<std::string> Structure::Strings() const {
  std::vector<std::string> strings;
  size_t at = length;
  while (at < bytes.size() && bytes[at] != 0) {
    size_t end = at;
    while (end < bytes.size() && bytes[end] != 0) {
      end++;
    }
    strings.emplace_back(reinterpret_cast<const char *>(bytes.data() + at), end - at);
    at = end + 1;
  }
  return strings;
}

const char *ImageFormatName(ImageFormat format) {
  switch (format) {
  case ImageFormat::EntryPoint2:
    return "SMBIOS 2.x entry point (_SM_)";
  case ImageFormat::EntryPoint3:
    return "SMBIOS 3.x entry point (_SM3_)";
  case ImageFormat::RawTable:
    return "raw structure table";
  }
  return "?";
}

const Structure *Table::Find(uint8_t type, unsigned instance) const {
  if (instance == 0) {
    return nullptr;
  }
  for (const Structure &structure : structures) {
    if (structure.type == type && --instance == 0) {
      return &structure;
    }
  }
  return nullptr;
}

size_t Table::Count(uint8_t type) const {
  size_t count = 0;
  for (const Structure &structure : structures) {
    count += structure.type == type ? 1 : 0;
  }
  return count;
}

ParseResult ParseStructureTable(const uint8_t *data, size_t size,
                                std::optional<size_t> maxStructures) {
  Table table;
  size_t offset = 0;
  while (offset < size && (!maxStructures || table.structures.size() < *maxStructures)) {
    std::string where =
        "structure " + std::to_string(table.structures.size() + 1) + " at offset " + Hex(offset);
    size_t left = size - offset;
    if (left < kHeaderSize) {
      return Fail(where + ": truncated header (" + std::to_string(left) + " of 4 bytes)");
    }
    const uint8_t *at = data + offset;
    where += " (type " + std::to_string(at[0]) + ")";
    uint8_t length = at[1];
    if (length < kHeaderSize) {
      return Fail(where + ": length byte " + std::to_string(length) +
                  " is below the 4-byte header");
    }
    if (length > left) {
      return Fail(where + ": formatted area of " + std::to_string(length) +
                  " bytes runs past the end of the table (" + std::to_string(left) + " left)");
    }
    // Strings are never empty, so the first zero pair after the formatted
    // area ends the set (an empty set is the pair alone).
    size_t end = 0;
    for (size_t i = length; i + 1 < left; i++) {
      if (at[i] == 0 && at[i + 1] == 0) {
        end = i + 2;
        break;
      }
    }
    if (end == 0) {
      return Fail(where + ": string set has no terminating double zero before the end of the "
                          "table (structure truncated)");
    }
    Structure structure;
    structure.type = at[0];
    structure.length = length;
    structure.handle = Le16(at + 2);
    structure.tableOffset = offset;
    structure.bytes.assign(at, at + end);
    table.structures.push_back(std::move(structure));
    offset += end;
    if (at[0] == kEndOfTable) {
      break;
    }
  }
  if (table.structures.empty()) {
    return Fail("the structure table is empty");
  }
  ParseResult result;
  result.table = std::move(table);
  return result;
}

ParseResult ParseSmbiosImage(const uint8_t *data, size_t size) {
  if (data == nullptr || size == 0) {
    return Fail("empty SMBIOS image");
  }
  if (StartsWith(data, size, kAnchor3)) {
    return ParseEntryPoint3(data, size);
  }
  if (StartsWith(data, size, kAnchor2)) {
    return ParseEntryPoint2(data, size);
  }
  return ParseStructureTable(data, size);
}

ParseResult ParseSmbiosImage(const std::vector<uint8_t> &image) {
  return ParseSmbiosImage(image.data(), image.size());
}

ParseResult LoadSmbiosImage(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return Fail(path + ": cannot open");
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  ParseResult result = ParseSmbiosImage(image);
  if (!result) {
    result.error = path + ": " + result.error;
  }
  return result;
}

} // namespace sim::smbios
