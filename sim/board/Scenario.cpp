// Reading scenario files with toml++. Each table is walked key by key so that
// nothing unknown slips through, and each value is range-checked before it
// reaches the board.
#include "Scenario.h"

#include "SetupFields.h"

#include <Guid/SetupVariable.h>

namespace sim::board {
// The TOML library states some of its expectations of the text only as
// assertions (a table header whose key does not start like one, a value
// position holding a terminator): failing one stops the simulator, and with
// assertions compiled out its parser goes on regardless. Here, in every
// build, a failed expectation is noted instead, the parser goes on as it
// would without assertions, and the text is then refused.
inline bool tomlExpectationFailed = false;
} // namespace sim::board
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) ((expr) ? (void)0 : (void)(::sim::board::tomlExpectationFailed = true))
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

#include <algorithm>
#include <cstdio>

#if MGMT_BOARD_HAS_NIC
#include "NicRegisters.h"
#endif

#include <fstream>
#include <functional>
#include <sstream>

namespace sim::board {

namespace {

class Reader {
public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void Fail(const toml::node &node, const std::string &key,
                         const std::string &why) const {
    throw ScenarioError(path_ + ":" + std::to_string(node.source().begin.line) + ": key '" + key +
                        "': " + why);
  }

  int64_t Integer(const toml::node &node, const std::string &key, int64_t min, int64_t max) const {
    const auto *value = node.as_integer();
    if (value == nullptr) {
      Fail(node, key, "expected an integer");
    }
    const int64_t v = value->get();
    if (v < min || v > max) {
      Fail(node, key,
           "value " + std::to_string(v) + " is outside " + std::to_string(min) + ".." +
               std::to_string(max));
    }
    return v;
  }

  bool Boolean(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_boolean();
    if (value == nullptr) {
      Fail(node, key, "expected true or false");
    }
    return value->get();
  }

  std::string String(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_string();
    if (value == nullptr) {
      Fail(node, key, "expected a string");
    }
    return value->get();
  }

  std::vector<uint8_t> ByteArray(const toml::node &node, const std::string &key) const {
    const auto *array = node.as_array();
    if (array == nullptr) {
      Fail(node, key, "expected an array of bytes");
    }
    std::vector<uint8_t> bytes;
    for (const toml::node &element : *array) {
      bytes.push_back(static_cast<uint8_t>(Integer(element, key, 0, 255)));
    }
    return bytes;
  }

  const toml::table &Table(const toml::node &node, const std::string &key) const {
    const auto *table = node.as_table();
    if (table == nullptr) {
      Fail(node, key, "expected a table");
    }
    return *table;
  }

  // Item codes are written as strings ("0x02030000") because TOML keys are
  // strings.
  uint32_t Code(const toml::node &node, const std::string &key, const std::string &text) const {
    try {
      size_t used = 0;
      const unsigned long long v = std::stoull(text, &used, 0);
      if (used != text.size() || v > 0xFFFFFFFFull) {
        Fail(node, key, "not a 32-bit item code");
      }
      return static_cast<uint32_t>(v);
    } catch (const std::logic_error &) {
      Fail(node, key, "not a 32-bit item code");
    }
  }

  using Handler = std::function<void(const toml::node &, const std::string &)>;
  void Walk(const toml::table &table, const std::string &prefix,
            const std::map<std::string, Handler> &handlers) const {
    for (const auto &[name, node] : table) {
      const std::string key =
          prefix.empty() ? std::string(name.str()) : prefix + "." + std::string(name.str());
      auto it = handlers.find(std::string(name.str()));
      if (it == handlers.end()) {
        Fail(node, key, "unknown key");
      }
      it->second(node, key);
    }
  }

private:
  std::string path_;
};

std::vector<uint8_t> Utf16Field(const std::string &text, uint32_t size) {
  std::vector<uint8_t> bytes(size, 0);
  for (size_t i = 0; i < text.size() && 2 * i + 3 <= size; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(text[i]);
  }
  return bytes;
}

} // namespace

void ApplyScenario(const std::string &text, const std::string &path, BoardOptions &o) {
  // Scenario files are ASCII text (texts reach UTF-16 fields byte by byte).
  // Anything else is refused before the TOML library sees it: it stops on a
  // NUL in a table header, and takes some non-ASCII characters to a point
  // its own code marks unreachable.
  const auto notText = std::find_if(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x7F || (byte < 0x20 && c != '\t' && c != '\n' && c != '\r');
  });
  if (notText != text.end()) {
    char hex[8];
    std::snprintf(hex, sizeof(hex), "0x%02X", static_cast<unsigned char>(*notText));
    throw ScenarioError(path + ":" + std::to_string(1 + std::count(text.begin(), notText, '\n')) +
                        ": byte " + hex + " is not ASCII text");
  }
  toml::table root;
  tomlExpectationFailed = false;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error &error) {
    throw ScenarioError(path + ":" + std::to_string(error.source().begin.line) + ": " +
                        std::string(error.description()));
  }
  if (tomlExpectationFailed) {
    throw ScenarioError(path + ": malformed TOML");
  }
  Reader r(path);
  using Handler = Reader::Handler;

  auto setup = [&](const toml::node &node, const std::string &key) {
    std::map<std::string, Handler> fields;
    fields["present"] = [&](const toml::node &n, const std::string &k) {
      o.setupPresent = r.Boolean(n, k);
    };
    for (const SetupField &field : SetupFields()) {
      fields[field.name] = [&, field](const toml::node &n, const std::string &k) {
        std::vector<uint8_t> bytes;
        switch (field.kind) {
        case SetupField::Kind::Byte:
          bytes.push_back(static_cast<uint8_t>(r.Integer(n, k, 0, 255)));
          break;
        case SetupField::Kind::Uint32: {
          const uint32_t v = static_cast<uint32_t>(r.Integer(n, k, 0, 0xFFFFFFFFll));
          bytes = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
          break;
        }
        case SetupField::Kind::Text: {
          const std::string s = r.String(n, k);
          if ((s.size() + 1) * 2 > field.size) {
            r.Fail(n, k,
                   "text longer than the field's " + std::to_string(field.size / 2 - 1) +
                       " characters");
          }
          bytes = Utf16Field(s, field.size);
          break;
        }
        }
        o.setupBytes[field.offset] = std::move(bytes);
      };
    }
    // Any other byte by offset: bytes = { "1866" = 1 }.
    fields["bytes"] = [&](const toml::node &n, const std::string &k) {
      for (const auto &[name, value] : r.Table(n, k)) {
        const std::string sub = k + "." + std::string(name.str());
        const uint32_t offset = r.Code(value, sub, std::string(name.str()));
        if (offset >= kSetupVariableSize) {
          r.Fail(value, sub, "offset beyond the 2638-byte Setup variable");
        }
        o.setupBytes[offset] = {static_cast<uint8_t>(r.Integer(value, sub, 0, 255))};
      }
    };
    r.Walk(r.Table(node, key), key, fields);
  };

  auto variables = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key,
           {{"AcceVar",
             [&](const toml::node &n, const std::string &k) {
               o.acceVar = static_cast<uint32_t>(r.Integer(n, k, 0, 0xFFFFFFFFll));
             }},
            {"NetworkStackVar", [&](const toml::node &n, const std::string &k) {
               o.networkStackVar = static_cast<uint8_t>(r.Integer(n, k, 0, 255));
             }}});
  };

  auto nic = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key,
           {{"chip_version",
             [&](const toml::node &n, const std::string &k) {
               o.chipVersion = static_cast<unsigned>(r.Integer(n, k, 1, 80));
#if MGMT_BOARD_HAS_NIC
               if (!nic::ChipVersionBits(o.chipVersion).ok) {
                 r.Fail(n, k, "no part reports chip version " + std::to_string(o.chipVersion));
               }
#endif
             }},
            {"link",
             [&](const toml::node &n, const std::string &k) {
               const std::string s = r.String(n, k);
               if (s != "up" && s != "down") {
                 r.Fail(n, k, "expected \"up\" or \"down\"");
               }
               o.linkUp = s == "up";
             }},
            {"oob_firmware",
             [&](const toml::node &n, const std::string &k) { o.oobFirmware = r.Boolean(n, k); }}});
  };

  auto ec = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key,
           {{"present",
             [&](const toml::node &n, const std::string &k) { o.ecPresent = r.Boolean(n, k); }},
            {"registers", [&](const toml::node &n, const std::string &k) {
               const auto *array = n.as_array();
               if (array == nullptr) {
                 r.Fail(n, k, "expected an array of { bank, register, value } tables");
               }
               for (const toml::node &element : *array) {
                 BoardOptions::EcRegister reg{0, 0, 0};
                 bool haveReg = false, haveValue = false;
                 r.Walk(r.Table(element, k), k,
                        {{"bank",
                          [&](const toml::node &e, const std::string &ek) {
                            reg.bank = static_cast<uint8_t>(r.Integer(e, ek, 0, 255));
                          }},
                         {"register",
                          [&](const toml::node &e, const std::string &ek) {
                            reg.reg = static_cast<uint8_t>(r.Integer(e, ek, 0, 254));
                            haveReg = true;
                          }},
                         {"value", [&](const toml::node &e, const std::string &ek) {
                            reg.value = static_cast<uint8_t>(r.Integer(e, ek, 0, 255));
                            haveValue = true;
                          }}});
                 if (!haveReg || !haveValue) {
                   r.Fail(element, k, "each register needs 'register' and 'value'");
                 }
                 o.ecRegisters.push_back(reg);
               }
             }}});
  };

  auto pch = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key,
           {{"series",
             [&](const toml::node &n, const std::string &k) {
               const std::string s = r.String(n, k);
               if (s != "H" && s != "LP") {
                 r.Fail(n, k, "expected \"H\" or \"LP\"");
               }
               o.pchSeries = s == "H" ? BoardOptions::PchSeries::H : BoardOptions::PchSeries::LP;
             }},
            {"pads", [&](const toml::node &n, const std::string &k) {
               for (const auto &[name, value] : r.Table(n, k)) {
                 const std::string pad(name.str());
                 const std::string sub = k + "." + pad;
                 if (pad != "MgmtPadSense" && pad != "MgmtPadDrive" && pad != "MgmtPadPulse") {
                   r.Fail(value, sub, "unknown pad (MgmtPadSense, MgmtPadDrive, MgmtPadPulse)");
                 }
                 o.padLevels[pad] = r.Integer(value, sub, 0, 1) != 0;
               }
             }}});
  };

  auto controller = [&](const toml::node &node, const std::string &key) {
    auto codes = [&](const toml::node &n, const std::string &k, ControllerFault::Kind kind) {
      const auto *array = n.as_array();
      if (array == nullptr) {
        r.Fail(n, k, "expected an array of item codes");
      }
      for (const toml::node &element : *array) {
        ControllerFault fault;
        fault.kind = kind;
        fault.code = static_cast<uint32_t>(r.Integer(element, k, 0, 0xFFFFFFFFll));
        o.controllerFaults.push_back(fault);
      }
    };
    r.Walk(r.Table(node, key), key,
           {{"items",
             [&](const toml::node &n, const std::string &k) {
               for (const auto &[name, value] : r.Table(n, k)) {
                 const std::string sub = k + "." + std::string(name.str());
                 o.controllerItems[r.Code(value, sub, std::string(name.str()))] =
                     r.ByteArray(value, sub);
               }
             }},
            {"silent", [&](const toml::node &n,
                           const std::string &k) { o.controllerSilent = r.Boolean(n, k); }},
            {"sends_after_exit",
             [&](const toml::node &n, const std::string &k) {
               o.controllerSendsAfterExit = r.Boolean(n, k);
             }},
            {"silent_items",
             [&](const toml::node &n, const std::string &k) {
               codes(n, k, ControllerFault::Kind::Silent);
             }},
            {"refuse", [&](const toml::node &n,
                           const std::string &k) { codes(n, k, ControllerFault::Kind::Refuse); }},
            {"late_us",
             [&](const toml::node &n, const std::string &k) {
               ControllerFault fault;
               fault.kind = ControllerFault::Kind::Late;
               fault.delayNs = static_cast<uint64_t>(r.Integer(n, k, 0, 60'000'000)) * 1000;
               o.controllerFaults.push_back(fault);
             }},
            {"drop", [&](const toml::node &n, const std::string &k) {
               o.dropRequests = static_cast<unsigned>(r.Integer(n, k, 0, 1000));
             }}});
  };

  auto displays = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key,
           {{"management",
             [&](const toml::node &n, const std::string &k) { o.mgmtDisplay = r.Boolean(n, k); }},
            {"other", [&](const toml::node &n, const std::string &k) {
               o.otherDisplay = r.Boolean(n, k);
             }}});
  };

  auto cpu = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key, {{"ratio", [&](const toml::node &n, const std::string &k) {
                                        o.msrRatio = static_cast<uint8_t>(r.Integer(n, k, 1, 255));
                                      }}});
  };

  auto boot = [&](const toml::node &node, const std::string &key) {
    r.Walk(r.Table(node, key), key, {{"mode", [&](const toml::node &n, const std::string &k) {
                                        if (n.is_string()) {
                                          const std::string s = r.String(n, k);
                                          if (s == "full") {
                                            o.bootMode = 0x00;
                                          } else if (s == "s3") {
                                            o.bootMode = 0x11;
                                          } else {
                                            r.Fail(n, k, "expected \"full\", \"s3\" or a number");
                                          }
                                        } else {
                                          o.bootMode =
                                              static_cast<uint32_t>(r.Integer(n, k, 0, 0x20));
                                        }
                                      }}});
  };

  r.Walk(root, "",
         {{"description", [&](const toml::node &n, const std::string &k) { (void)r.String(n, k); }},
          {"setup", setup},
          {"variables", variables},
          {"nic", nic},
          {"ec", ec},
          {"pch", pch},
          {"controller", controller},
          {"displays", displays},
          {"cpu", cpu},
          {"boot", boot}});
}

void LoadScenario(const std::string &path, BoardOptions &options) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw ScenarioError(path + ": cannot open the scenario file");
  }
  std::stringstream text;
  text << file.rdbuf();
  ApplyScenario(text.str(), path, options);
}

std::string ScenarioDescription(const std::string &path) {
  BoardOptions ignored;
  LoadScenario(path, ignored);
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  const toml::table root = toml::parse(text.str(), path); // parsed once already
  return root["description"].value_or(std::string());
}

} // namespace sim::board
