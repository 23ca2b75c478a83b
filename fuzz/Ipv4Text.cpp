// MgmtAgentDxe's IPv4 text parser over any bytes at any alignment: it reads
// no more than its fifteen code units (or up to the terminator), and what it
// accepts formats back to text it accepts again as the same address.
#include "AgentInternal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte picks an odd or even start. The text is the rest, in a
  // heap block that ends where the parser must stop (after the window, or
  // after a terminator added to a shorter text), so a read past it shows.
  const size_t shift = data[0] & 1;
  const size_t length = size - 1;
  const size_t window = 2 * kIpv4TextMaxChars;
  const size_t stored = length < window ? (length + 1) / 2 * 2 + 2 : length;
  uint8_t *block = static_cast<uint8_t *>(std::malloc(shift + stored));
  std::memcpy(block + shift, data + 1, length);
  std::memset(block + shift + length, 0, stored - length);
  UINT8 address[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  if (ParseIpv4Text(block + shift, address) == EFI_SUCCESS) {
    UINT8 field[30] = {};
    FormatIpv4Text(address, field);
    UINT8 again[4] = {};
    if (ParseIpv4Text(field, again) != EFI_SUCCESS || std::memcmp(address, again, 4) != 0) {
      std::abort();
    }
  }
  std::free(block);
  return 0;
}
