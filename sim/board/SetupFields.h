// The Setup fields the modules use, by name: what a scenario may set and
// what the transcript names when Setup changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::board {

struct SetupField {
  enum class Kind { Byte, Uint32, Text };
  std::string name; // e.g. "MgmtDisplayMode", "MgmtRangeFirst[2]"
  uint32_t offset;
  uint32_t size;
  Kind kind;
};

const std::vector<SetupField> &SetupFields();
const SetupField *FindSetupField(std::string_view name);
// The field holding `offset`, if it is one of ours.
const SetupField *SetupFieldAt(uint32_t offset);
// A field's value in words: a number, or the UTF-16 text.
std::string SetupFieldValue(const SetupField &field, const std::vector<uint8_t> &setup);

} // namespace sim::board
