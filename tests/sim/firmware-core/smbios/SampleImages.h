// The real-machine SMBIOS images in ../shared/smbios (beside the repository)
// and what their expected.txt files say an SMBIOS reader must extract. The
// folder is optional: tests skip when it is absent. Strings in expected.txt
// are JSON literals of the raw bytes decoded as Latin-1; they are turned back
// into those bytes here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace smbios_samples {

struct ExpectedStructure {
  uint16_t handle = 0;
  uint8_t length = 0;
  unsigned stringsInSet = 0;
  std::map<unsigned, std::string> positions; // posN
  std::string uuidReversed;                  // type 1
  std::optional<uint16_t> deviceCount;       // type 16
  std::optional<uint16_t> size;              // type 17
};

struct Sample {
  std::string name;
  std::string image; // path of the .bin
  std::string anchor;
  size_t structuresWalked = 0;
  size_t memoryDevices = 0;                                              // type17.count
  std::map<std::pair<unsigned, unsigned>, ExpectedStructure> structures; // (type, instance)

  const ExpectedStructure &At(unsigned type, unsigned instance) const {
    auto it = structures.find({type, instance});
    if (it == structures.end()) {
      throw std::out_of_range(name + ": no type " + std::to_string(type) + " instance " +
                              std::to_string(instance) + " in expected.txt");
    }
    return it->second;
  }
};

// A JSON string literal (with its quotes) as the bytes it stands for.
inline std::string DecodeLiteral(const std::string &literal) {
  if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
    throw std::invalid_argument("not a string literal: " + literal);
  }
  std::string bytes;
  for (size_t i = 1; i + 1 < literal.size(); i++) {
    char c = literal[i];
    if (c != '\\') {
      bytes += c;
      continue;
    }
    char e = literal.at(++i);
    switch (e) {
    case 'u': {
      unsigned code = std::stoul(literal.substr(i + 1, 4), nullptr, 16);
      if (code > 0xFF) {
        throw std::invalid_argument("not a Latin-1 escape: " + literal);
      }
      bytes += static_cast<char>(code);
      i += 4;
      break;
    }
    case 'n':
      bytes += '\n';
      break;
    case 't':
      bytes += '\t';
      break;
    case 'r':
      bytes += '\r';
      break;
    case 'b':
      bytes += '\b';
      break;
    case 'f':
      bytes += '\f';
      break;
    default: // \" \\ \/
      bytes += e;
    }
  }
  return bytes;
}

inline Sample ParseExpected(const std::string &name, const std::string &image,
                            const std::string &expectedPath) {
  std::ifstream file(expectedPath);
  if (!file) {
    throw std::runtime_error("cannot read " + expectedPath);
  }
  Sample sample;
  sample.name = name;
  sample.image = image;
  static const std::regex entry(R"(^entry_point = (\S+) )");
  static const std::regex walked(R"(^structures_walked = (\d+))");
  static const std::regex header(
      R"(^\[type (\d+) instance (\d+)\] handle=0x([0-9A-Fa-f]+) length=0x([0-9A-Fa-f]+) strings_in_set=(\d+))");
  static const std::regex position(R"(^type(\d+)\.(\d+)\.pos(\d+) = ("(?:[^"\\]|\\.)*"))");
  static const std::regex uuid(R"(^type1\.(\d+)\.uuid_bytes_23_down_to_8 = ([0-9a-f]{32}))");
  static const std::regex devices(R"(^type16\.(\d+)\.off0D_number_of_memory_devices = (\d+))");
  static const std::regex size(R"(^type17\.(\d+)\.off0C_size = (\d+))");
  static const std::regex count(R"(^type17\.count = (\d+))");

  std::string line;
  std::smatch m;
  while (std::getline(file, line)) {
    if (std::regex_search(line, m, entry)) {
      sample.anchor = m[1];
    } else if (std::regex_search(line, m, walked)) {
      sample.structuresWalked = std::stoul(m[1]);
    } else if (std::regex_search(line, m, header)) {
      ExpectedStructure &s = sample.structures[{std::stoul(m[1]), std::stoul(m[2])}];
      s.handle = static_cast<uint16_t>(std::stoul(m[3], nullptr, 16));
      s.length = static_cast<uint8_t>(std::stoul(m[4], nullptr, 16));
      s.stringsInSet = std::stoul(m[5]);
    } else if (std::regex_search(line, m, position)) {
      sample.structures[{std::stoul(m[1]), std::stoul(m[2])}].positions[std::stoul(m[3])] =
          DecodeLiteral(m[4]);
    } else if (std::regex_search(line, m, uuid)) {
      sample.structures[{1, std::stoul(m[1])}].uuidReversed = m[2];
    } else if (std::regex_search(line, m, devices)) {
      sample.structures[{16, std::stoul(m[1])}].deviceCount =
          static_cast<uint16_t>(std::stoul(m[2]));
    } else if (std::regex_search(line, m, size)) {
      sample.structures[{17, std::stoul(m[1])}].size = static_cast<uint16_t>(std::stoul(m[2]));
    } else if (std::regex_search(line, m, count)) {
      sample.memoryDevices = std::stoul(m[1]);
    }
  }
  return sample;
}

// Every NAME.bin with a NAME.expected.txt in `dir`, by name; empty when the
// folder is not there.
inline std::vector<Sample> LoadSamples(const std::string &dir) {
  std::vector<Sample> samples;
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error)) {
    return samples;
  }
  std::vector<std::filesystem::path> images;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".bin") {
      images.push_back(entry.path());
    }
  }
  std::sort(images.begin(), images.end());
  for (const auto &image : images) {
    std::filesystem::path expected = image;
    expected.replace_extension(".expected.txt");
    if (std::filesystem::exists(expected)) {
      samples.push_back(ParseExpected(image.stem().string(), image.string(), expected.string()));
    }
  }
  return samples;
}

} // namespace smbios_samples
