// SMBIOS table images as the simulator reads them: a `dmidecode --dump-bin`
// file (an SMBIOS 2.x "_SM_" or 3.x "_SM3_" entry point at offset 0, the
// structure table where the entry point says) or a bare structure table as
// Linux exposes it. Parsing checks every length against the bytes it has and
// refuses a malformed image with a message that names the fault and where it
// is; it never reads outside the input. ParseSmbiosImage is the fuzzing entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::smbios {

// One structure: formatted area and string set, double zero included.
struct Structure {
  uint8_t type = 0;
  uint8_t length = 0; // formatted area
  uint16_t handle = 0;
  size_t tableOffset = 0;
  std::vector<uint8_t> bytes;

  // Strings of the set in position order (for tests and the CLI).
  std::vector<std::string> Strings() const;
};

enum class ImageFormat { EntryPoint2, EntryPoint3, RawTable };
const char *ImageFormatName(ImageFormat format);

class Table {
public:
  ImageFormat format = ImageFormat::RawTable;
  uint8_t majorVersion = 0; // from the entry point; 0 for a raw table
  uint8_t minorVersion = 0;
  uint8_t docRevision = 0;
  std::vector<Structure> structures; // in table order, end-of-table included if present

  // The instance-th structure of `type`, counting from 1 in table order.
  const Structure *Find(uint8_t type, unsigned instance) const;
  size_t Count(uint8_t type) const;
};

struct ParseResult {
  std::optional<Table> table;
  std::string error; // set when table is empty
  explicit operator bool() const { return table.has_value(); }
};

// Any input bytes: an entry point at offset 0, or else a raw table.
ParseResult ParseSmbiosImage(const uint8_t *data, size_t size);
ParseResult ParseSmbiosImage(const std::vector<uint8_t> &image);
// A structure table only, `size` bytes long; the walk ends at the
// end-of-table structure (type 127) or, failing that, must end exactly at
// `size`. maxStructures (from a 2.x entry point) ends it early when reached.
ParseResult ParseStructureTable(const uint8_t *data, size_t size,
                                std::optional<size_t> maxStructures = std::nullopt);

// Reads a whole file; the error names the file.
ParseResult LoadSmbiosImage(const std::string &path);

} // namespace sim::smbios
