// The simulator's own functions, read once from the executable's symbol
// table: the emulated x86-64 CPU treats a call to the start of one of them
// as a call of that host function, and refuses a jump anywhere else in the
// simulator's code.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::cpu {

class HostFunctions {
public:
  static const HostFunctions &Get();

  bool IsFunction(uint64_t address) const;
  // Bounds of the executable's code.
  uint64_t TextBegin() const { return textBegin_; }
  uint64_t TextEnd() const { return textEnd_; }

private:
  HostFunctions();
  std::vector<uint64_t> starts_; // sorted
  uint64_t textBegin_ = 0;
  uint64_t textEnd_ = 0;
};

} // namespace sim::cpu
