// PE/COFF reading and loading. Only what an EFI loader needs: the DOS stub's
// pointer to the PE header, the COFF header, the optional header (magic
// 0x10B or 0x20B), the section table and the base-relocation directory.
#include "PeImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::cpu {
namespace {

constexpr uint16_t kMachineIa32 = 0x14C;
constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kBaseRelocDirectory = 5;
// Base relocation types in use by the two machines.
constexpr uint8_t kRelAbsolute = 0;
constexpr uint8_t kRelHighLow = 3;
constexpr uint8_t kRelDir64 = 10;
// Images are small; anything bigger is a corrupt size field.
constexpr uint32_t kMaxImageSize = 64u << 20;

template <typename T> T Read(const std::vector<uint8_t> &data, size_t offset, const char *what) {
  if (offset > data.size() || data.size() - offset < sizeof(T)) {
    throw ImageError(std::string("truncated: ") + what + " lies beyond the end of the file");
  }
  T value;
  std::memcpy(&value, data.data() + offset, sizeof(T));
  return value;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

} // namespace

const char *ArchName(Arch arch) { return arch == Arch::Ia32 ? "IA32" : "X64"; }

PeImage PeImage::FromFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ImageError("cannot read " + path);
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    return PeImage(std::move(data));
  } catch (const ImageError &e) {
    throw ImageError(path + ": " + e.what());
  }
}

PeImage::PeImage(std::vector<uint8_t> file) : file_(std::move(file)) {
  if (Read<uint16_t>(file_, 0, "the DOS header") != 0x5A4D) {
    throw ImageError("not a PE image (no MZ signature)");
  }
  const uint32_t pe = Read<uint32_t>(file_, 0x3C, "the PE header offset");
  if (Read<uint32_t>(file_, pe, "the PE signature") != 0x00004550) {
    throw ImageError("not a PE image (no PE signature at " + Hex(pe) + ")");
  }
  const size_t coff = size_t{pe} + 4;
  const uint16_t machine = Read<uint16_t>(file_, coff, "the COFF header");
  const uint16_t sectionCount = Read<uint16_t>(file_, coff + 2, "the COFF header");
  const uint16_t optionalSize = Read<uint16_t>(file_, coff + 16, "the COFF header");
  const size_t optional = coff + 20;
  const uint16_t magic = Read<uint16_t>(file_, optional, "the optional header");
  if (machine == kMachineIa32 && magic == kMagicPe32) {
    arch_ = Arch::Ia32;
  } else if (machine == kMachineX64 && magic == kMagicPe32Plus) {
    arch_ = Arch::X64;
  } else {
    throw ImageError("machine " + Hex(machine) + " with optional header magic " + Hex(magic) +
                     " is neither IA32 PE32 nor x86-64 PE32+");
  }
  entryRva_ = Read<uint32_t>(file_, optional + 16, "the entry point");
  const bool plus = arch_ == Arch::X64;
  linkBase_ = plus ? Read<uint64_t>(file_, optional + 24, "the image base")
                   : Read<uint32_t>(file_, optional + 28, "the image base");
  sizeOfImage_ = Read<uint32_t>(file_, optional + 56, "the image size");
  sizeOfHeaders_ = Read<uint32_t>(file_, optional + 60, "the header size");
  subsystem_ = Read<uint16_t>(file_, optional + 68, "the subsystem");
  const size_t directories = optional + (plus ? 112 : 96);
  const uint32_t directoryCount = Read<uint32_t>(file_, directories - 4, "the directory count");
  if (sizeOfImage_ == 0 || sizeOfImage_ > kMaxImageSize) {
    throw ImageError("image size " + Hex(sizeOfImage_) + " is out of range");
  }
  if (sizeOfHeaders_ > sizeOfImage_ || sizeOfHeaders_ > file_.size()) {
    throw ImageError("header size " + Hex(sizeOfHeaders_) + " exceeds the image or the file");
  }
  if (entryRva_ >= sizeOfImage_) {
    throw ImageError("entry point " + Hex(entryRva_) + " lies outside the image");
  }

  const size_t table = optional + optionalSize;
  for (uint16_t index = 0; index < sectionCount; index++) {
    const size_t at = table + size_t{index} * 40;
    PeSection section;
    char name[9] = {};
    for (int k = 0; k < 8; k++) {
      name[k] = static_cast<char>(Read<uint8_t>(file_, at + k, "the section table"));
    }
    section.name = name;
    section.virtualSize = Read<uint32_t>(file_, at + 8, "the section table");
    section.virtualAddress = Read<uint32_t>(file_, at + 12, "the section table");
    section.rawSize = Read<uint32_t>(file_, at + 16, "the section table");
    section.rawOffset = Read<uint32_t>(file_, at + 20, "the section table");
    section.characteristics = Read<uint32_t>(file_, at + 36, "the section table");
    const uint64_t span = std::max(section.virtualSize, section.rawSize);
    if (section.virtualAddress < sizeOfHeaders_ || section.virtualAddress + span > sizeOfImage_) {
      throw ImageError("section " + section.name + " at " + Hex(section.virtualAddress) +
                       " does not fit the image");
    }
    if (uint64_t{section.rawOffset} + section.rawSize > file_.size()) {
      throw ImageError("section " + section.name + " has raw data beyond the end of the file");
    }
    sections_.push_back(section);
  }
  if (directoryCount > kBaseRelocDirectory) {
    const size_t entry = directories + kBaseRelocDirectory * 8;
    const uint32_t rva = Read<uint32_t>(file_, entry, "the relocation directory");
    const uint32_t size = Read<uint32_t>(file_, entry + 4, "the relocation directory");
    if (size != 0) {
      ParseRelocations(rva, size);
    }
  }
}

const uint8_t *PeImage::AtRva(uint32_t rva, uint32_t bytes) const {
  for (const PeSection &s : sections_) {
    if (rva >= s.virtualAddress && uint64_t{rva} + bytes <= uint64_t{s.virtualAddress} + s.rawSize) {
      return file_.data() + s.rawOffset + (rva - s.virtualAddress);
    }
  }
  return nullptr;
}

void PeImage::ParseRelocations(uint32_t rva, uint32_t size) {
  const uint8_t *data = AtRva(rva, size);
  if (data == nullptr) {
    throw ImageError("relocation directory " + Hex(rva) + "+" + Hex(size) +
                     " is not inside a section's data");
  }
  uint32_t offset = 0;
  while (size - offset >= 8) {
    uint32_t page;
    uint32_t blockSize;
    std::memcpy(&page, data + offset, 4);
    std::memcpy(&blockSize, data + offset + 4, 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > size - offset) {
      throw ImageError("relocation block at " + Hex(rva + offset) + " has a bad size " +
                       Hex(blockSize));
    }
    for (uint32_t k = 8; k < blockSize; k += 2) {
      uint16_t word;
      std::memcpy(&word, data + offset + k, 2);
      const uint8_t type = static_cast<uint8_t>(word >> 12);
      const uint32_t target = page + (word & 0xFFF);
      if (type == kRelAbsolute) {
        continue;
      }
      const uint32_t width = type == kRelHighLow ? 4 : type == kRelDir64 ? 8 : 0;
      if (width == 0) {
        throw ImageError("relocation type " + std::to_string(type) + " at " + Hex(target) +
                         " is not supported");
      }
      if ((type == kRelDir64) != (arch_ == Arch::X64) || uint64_t{target} + width > sizeOfImage_) {
        throw ImageError("relocation at " + Hex(target) + " does not fit the image or its machine");
      }
      relocations_.push_back({target, type});
    }
    offset += blockSize;
  }
}

void PeImage::LoadInto(uint8_t *destination, uint64_t loadAddress) const {
  if (arch_ == Arch::Ia32 && loadAddress + sizeOfImage_ > (uint64_t{1} << 32)) {
    throw ImageError("an IA32 image cannot be loaded at " + Hex(loadAddress));
  }
  std::memset(destination, 0, sizeOfImage_);
  std::memcpy(destination, file_.data(), sizeOfHeaders_);
  for (const PeSection &s : sections_) {
    const uint32_t copy = s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
    std::memcpy(destination + s.virtualAddress, file_.data() + s.rawOffset, copy);
  }
  const uint64_t delta = loadAddress - linkBase_;
  for (const Relocation &r : relocations_) {
    uint8_t *at = destination + r.rva;
    if (r.type == kRelDir64) {
      uint64_t value;
      std::memcpy(&value, at, 8);
      value += delta;
      std::memcpy(at, &value, 8);
    } else {
      uint32_t value;
      std::memcpy(&value, at, 4);
      value += static_cast<uint32_t>(delta);
      std::memcpy(at, &value, 4);
    }
  }
}

} // namespace sim::cpu
