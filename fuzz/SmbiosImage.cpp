// mgmt-sim's reading of --smbios images: any bytes are either refused with a
// message, or give structures that each lie inside the image, start with
// their own type, length and handle, and end in their string set's double
// zero; and a table that was read can be read again, raw, to the same.
#include "SmbiosTable.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const sim::smbios::ParseResult parsed = sim::smbios::ParseSmbiosImage(data, size);
  if (!parsed) {
    if (parsed.error.empty()) {
      std::abort();
    }
    return 0;
  }
  std::vector<uint8_t> raw;
  for (const sim::smbios::Structure &s : parsed.table->structures) {
    const std::vector<uint8_t> &b = s.bytes;
    if (b.size() < size_t(s.length) + 2 || s.length < 4 || b[0] != s.type ||
        b[1] != s.length || (b[2] | b[3] << 8) != s.handle || b[b.size() - 1] != 0 ||
        b[b.size() - 2] != 0 || s.tableOffset >= size) {
      std::abort();
    }
    (void)s.Strings();
    raw.insert(raw.end(), b.begin(), b.end());
  }
  const sim::smbios::ParseResult again = sim::smbios::ParseStructureTable(raw.data(), raw.size());
  if (!again || again.table->structures.size() != parsed.table->structures.size()) {
    std::abort();
  }
  return 0;
}
