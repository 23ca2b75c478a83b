// The named Setup fields, with their offsets from the shared Setup layout.
#include "SetupFields.h"

#include <Guid/SetupVariable.h>

#include <cstdio>

namespace sim::board {

const std::vector<SetupField> &SetupFields() {
  static const std::vector<SetupField> fields = [] {
    using K = SetupField::Kind;
    std::vector<SetupField> f = {
        {"SioEcOption", SetupOffset::SioEcOption, 1, K::Byte},
        {"MgmtFirstStartMark", SetupOffset::MgmtFirstStartMark, 1, K::Byte},
        {"MgmtOobEnable", SetupOffset::MgmtOobEnable, 1, K::Byte},
        {"MgmtAgentEnable", SetupOffset::MgmtAgentEnable, 1, K::Byte},
        {"MgmtRebindEnable", SetupOffset::MgmtRebindEnable, 1, K::Byte},
        {"MgmtHobForce", SetupOffset::MgmtHobForce, 1, K::Byte},
        {"MgmtDisplayMode", SetupOffset::MgmtDisplayMode, 1, K::Byte},
        {"MgmtResetCount", SetupOffset::MgmtResetCount, 1, K::Byte},
        {"MgmtLinkPollCount", SetupOffset::MgmtLinkPollCount, 4, K::Uint32},
        {"MgmtRangeOption", SetupOffset::MgmtRangeOption, 1, K::Byte},
        {"MgmtRangeRows", SetupOffset::MgmtRangeRows, 1, K::Byte},
    };
    for (uint32_t k = 0; k < kSetupMgmtRangeCount; ++k) {
      f.push_back({"MgmtRangeFirst[" + std::to_string(k) + "]", MgmtRangeFirst(k),
                   kSetupMgmtRangeFieldSize, K::Text});
    }
    for (uint32_t k = 0; k < kSetupMgmtRangeCount; ++k) {
      f.push_back({"MgmtRangeLast[" + std::to_string(k) + "]", MgmtRangeLast(k),
                   kSetupMgmtRangeFieldSize, K::Text});
    }
    f.push_back({"MgmtTextItem", SetupOffset::MgmtTextItem, kSetupMgmtTextItemSize, K::Text});
    return f;
  }();
  return fields;
}

const SetupField *FindSetupField(std::string_view name) {
  for (const SetupField &field : SetupFields()) {
    if (field.name == name) {
      return &field;
    }
  }
  return nullptr;
}

const SetupField *SetupFieldAt(uint32_t offset) {
  for (const SetupField &field : SetupFields()) {
    if (offset >= field.offset && offset < field.offset + field.size) {
      return &field;
    }
  }
  return nullptr;
}

std::string SetupFieldValue(const SetupField &field, const std::vector<uint8_t> &setup) {
  if (field.offset + field.size > setup.size()) {
    return "(missing)";
  }
  const uint8_t *p = &setup[field.offset];
  switch (field.kind) {
  case SetupField::Kind::Byte: {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", p[0]);
    return text;
  }
  case SetupField::Kind::Uint32:
    return std::to_string(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                          uint32_t{p[3]} << 24);
  case SetupField::Kind::Text: {
    std::string text = "\"";
    for (uint32_t i = 0; i + 1 < field.size; i += 2) {
      const uint16_t unit = static_cast<uint16_t>(p[i] | p[i + 1] << 8);
      if (unit == 0) {
        break;
      }
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text + "\"";
  }
  }
  return "";
}

} // namespace sim::board
