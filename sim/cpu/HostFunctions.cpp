// Function starts from the ELF symbol table of /proc/self/exe. The host build
// is not position independent, so symbol values are run-time addresses.
#include "HostFunctions.h"

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern "C" char __executable_start[];
extern "C" char etext[];

namespace sim::cpu {

const HostFunctions &HostFunctions::Get() {
  static const HostFunctions functions;
  return functions;
}

HostFunctions::HostFunctions()
    : textBegin_(reinterpret_cast<uint64_t>(__executable_start)),
      textEnd_(reinterpret_cast<uint64_t>(etext)) {
  std::ifstream in("/proc/self/exe", std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto fits = [&](uint64_t offset, uint64_t bytes) {
    return offset <= file.size() && bytes <= file.size() - offset;
  };
  Elf64_Ehdr header;
  if (!fits(0, sizeof header)) {
    return;
  }
  std::memcpy(&header, file.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      !fits(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr))) {
    return;
  }
  const auto *sections = reinterpret_cast<const Elf64_Shdr *>(file.data() + header.e_shoff);
  for (unsigned s = 0; s < header.e_shnum; s++) {
    if (sections[s].sh_type != SHT_SYMTAB || !fits(sections[s].sh_offset, sections[s].sh_size)) {
      continue;
    }
    const size_t count = sections[s].sh_size / sizeof(Elf64_Sym);
    const auto *symbols = reinterpret_cast<const Elf64_Sym *>(file.data() + sections[s].sh_offset);
    for (size_t k = 0; k < count; k++) {
      if (ELF64_ST_TYPE(symbols[k].st_info) == STT_FUNC && symbols[k].st_value != 0 &&
          symbols[k].st_shndx != SHN_UNDEF) {
        starts_.push_back(symbols[k].st_value);
      }
    }
  }
  std::sort(starts_.begin(), starts_.end());
  starts_.erase(std::unique(starts_.begin(), starts_.end()), starts_.end());
  if (starts_.empty()) {
    std::fprintf(stderr, "mgmt-sim: emulated CPU: the executable has no symbol table; calls from "
                         "x86-64 images into the simulator cannot be checked\n");
  }
}

bool HostFunctions::IsFunction(uint64_t address) const {
  return std::binary_search(starts_.begin(), starts_.end(), address);
}

} // namespace sim::cpu
