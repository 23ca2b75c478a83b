// EFI images as files: the PE32 (IA32) or PE32+ (x86-64) headers, sections
// and base relocations, read with every offset and size checked against the
// file, and laid into memory at any address the way a firmware loader does
// (sections at their virtual addresses, the rest zero, relocations applied
// for the difference to the link base).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::cpu {

// A file that is not a loadable EFI image; the message says what is wrong.
class ImageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum class Arch { Ia32, X64 };
const char *ArchName(Arch arch);

struct PeSection {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
  bool Executable() const { return (characteristics & 0x20000000u) != 0; }
};

class PeImage {
public:
  // Parses `file`; throws ImageError.
  explicit PeImage(std::vector<uint8_t> file);
  static PeImage FromFile(const std::string &path);

  Arch arch() const { return arch_; }
  uint64_t LinkBase() const { return linkBase_; }
  uint32_t SizeOfImage() const { return sizeOfImage_; }
  uint32_t EntryRva() const { return entryRva_; }
  uint16_t Subsystem() const { return subsystem_; }
  const std::vector<PeSection> &Sections() const { return sections_; }
  size_t RelocationCount() const { return relocations_.size(); }

  // Lays the image out at `destination` (SizeOfImage bytes, which the caller
  // owns) as if loaded at guest address `loadAddress`, and applies the base
  // relocations. Throws ImageError when a relocation would not fit (an
  // IA32 image loaded above 4 GiB, a 32-bit field that wraps).
  void LoadInto(uint8_t *destination, uint64_t loadAddress) const;

private:
  struct Relocation {
    uint32_t rva;
    uint8_t type;
  };
  void ParseRelocations(uint32_t rva, uint32_t size);
  // File offset of `rva` inside a section's raw data, with `bytes` there.
  const uint8_t *AtRva(uint32_t rva, uint32_t bytes) const;

  std::vector<uint8_t> file_;
  Arch arch_ = Arch::X64;
  uint64_t linkBase_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint32_t entryRva_ = 0;
  uint16_t subsystem_ = 0;
  std::vector<PeSection> sections_;
  std::vector<Relocation> relocations_;
};

} // namespace sim::cpu
