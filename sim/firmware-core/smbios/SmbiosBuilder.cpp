// Building SMBIOS structures and images (see SmbiosBuilder.h).
#include "SmbiosBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace sim::smbios {

namespace {

constexpr uint8_t kEndOfTable = 127;
constexpr size_t kImageTableOffset = 0x20;

uint8_t Checksum(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
  uint8_t sum = 0;
  for (size_t i = from; i < from + count; i++) {
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  return static_cast<uint8_t>(0x100 - sum);
}

void PutLe(std::vector<uint8_t> &bytes, size_t offset, uint64_t value, unsigned size) {
  for (unsigned i = 0; i < size; i++) {
    bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

} // namespace

StructureBuilder::StructureBuilder(uint8_t type, uint16_t handle, uint8_t length)
    : formatted_(length, 0) {
  if (length < 4) {
    throw std::invalid_argument("an SMBIOS structure is at least its 4-byte header");
  }
  formatted_[0] = type;
  formatted_[1] = length;
  PutLe(formatted_, 2, handle, 2);
}

void StructureBuilder::Put(uint8_t offset, uint64_t value, unsigned size) {
  if (offset < 4 || offset + size > formatted_.size()) {
    throw std::out_of_range("field at " + std::to_string(offset) + " outside the formatted area");
  }
  PutLe(formatted_, offset, value, size);
}

StructureBuilder &StructureBuilder::U8(uint8_t offset, uint8_t value) {
  Put(offset, value, 1);
  return *this;
}
StructureBuilder &StructureBuilder::U16(uint8_t offset, uint16_t value) {
  Put(offset, value, 2);
  return *this;
}
StructureBuilder &StructureBuilder::U32(uint8_t offset, uint32_t value) {
  Put(offset, value, 4);
  return *this;
}
StructureBuilder &StructureBuilder::U64(uint8_t offset, uint64_t value) {
  Put(offset, value, 8);
  return *this;
}

StructureBuilder &StructureBuilder::Bytes(uint8_t offset, const std::vector<uint8_t> &bytes) {
  for (size_t i = 0; i < bytes.size(); i++) {
    Put(static_cast<uint8_t>(offset + i), bytes[i], 1);
  }
  return *this;
}

StructureBuilder &StructureBuilder::String(uint8_t offset, const std::string &text) {
  if (text.empty()) {
    return U8(offset, 0);
  }
  ExtraString(text);
  return U8(offset, static_cast<uint8_t>(strings_.size()));
}

StructureBuilder &StructureBuilder::ExtraString(const std::string &text) {
  if (text.empty() || text.find('\0') != std::string::npos) {
    throw std::invalid_argument("SMBIOS strings are non-empty and hold no zero byte");
  }
  if (strings_.size() == 255) {
    throw std::length_error("an SMBIOS string set holds at most 255 strings");
  }
  strings_.push_back(text);
  return *this;
}

std::vector<uint8_t> StructureBuilder::Build() const {
  std::vector<uint8_t> bytes = formatted_;
  for (const std::string &text : strings_) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  // The set ends with an extra zero; an empty set is two zeros.
  bytes.push_back(0);
  if (strings_.empty()) {
    bytes.push_back(0);
  }
  return bytes;
}

std::vector<uint8_t> BuildTable(const std::vector<std::vector<uint8_t>> &structures,
                                bool endOfTable) {
  std::vector<uint8_t> table;
  uint16_t lastHandle = 0;
  for (const std::vector<uint8_t> &structure : structures) {
    table.insert(table.end(), structure.begin(), structure.end());
    if (structure.size() >= 4) {
      lastHandle = static_cast<uint16_t>(structure[2] | structure[3] << 8);
    }
  }
  if (endOfTable) {
    std::vector<uint8_t> end = StructureBuilder(kEndOfTable, lastHandle + 1, 4).Build();
    table.insert(table.end(), end.begin(), end.end());
  }
  return table;
}

std::vector<uint8_t> BuildImage3(const std::vector<uint8_t> &table, uint8_t major, uint8_t minor,
                                 uint32_t maximum) {
  // Sized for the table at once: inserting it behind the entry point draws a
  // false -Warray-bounds from GCC 12 at -O3.
  std::vector<uint8_t> image(kImageTableOffset + table.size(), 0);
  const char anchor[] = "_SM3_";
  std::copy(anchor, anchor + 5, image.begin());
  image[6] = 0x18; // entry point length
  image[7] = major;
  image[8] = minor;
  image[10] = 1; // entry point revision 3.0
  PutLe(image, 0x0C, maximum != 0 ? maximum : table.size(), 4);
  PutLe(image, 0x10, kImageTableOffset, 8);
  image[5] = Checksum(image, 0, 0x18);
  std::copy(table.begin(), table.end(), image.begin() + kImageTableOffset);
  return image;
}

std::vector<uint8_t> BuildImage2(const std::vector<uint8_t> &table, uint16_t structureCount,
                                 uint8_t major, uint8_t minor) {
  if (table.size() > 0xFFFF) {
    throw std::length_error("an SMBIOS 2.x table is at most 65535 bytes");
  }
  // Sized for the table at once: inserting it behind the entry point draws a
  // false -Warray-bounds from GCC 12 at -O3.
  std::vector<uint8_t> image(kImageTableOffset + table.size(), 0);
  const char anchor[] = "_SM_";
  std::copy(anchor, anchor + 4, image.begin());
  image[5] = 0x1F; // entry point length
  image[6] = major;
  image[7] = minor;
  const char intermediate[] = "_DMI_";
  std::copy(intermediate, intermediate + 5, image.begin() + 0x10);
  PutLe(image, 0x16, table.size(), 2);
  PutLe(image, 0x18, kImageTableOffset, 4);
  PutLe(image, 0x1C, structureCount, 2);
  image[0x1E] = static_cast<uint8_t>(major << 4 | minor);
  image[0x15] = Checksum(image, 0x10, 0x0F);
  image[4] = Checksum(image, 0, 0x1F);
  std::copy(table.begin(), table.end(), image.begin() + kImageTableOffset);
  return image;
}

} // namespace sim::smbios
