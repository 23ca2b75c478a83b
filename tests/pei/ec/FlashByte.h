// Makes one byte of module data behave like flash while the object lives:
// code may store to it, but the byte keeps its value, as when a PEI module
// executes in place and its data has not been copied to RAM. The byte's page
// is made read-only; each store into that page faults, is carried out by
// single-stepping it with the page writable, and then the byte is put back
// (other bytes of the page keep what was stored). One instance at a time.
#pragma once

#include <cstdint>

class FlashByte {
public:
  explicit FlashByte(uint8_t *byte);
  ~FlashByte();
  FlashByte(const FlashByte &) = delete;
  FlashByte &operator=(const FlashByte &) = delete;

  // Stores that tried to change the byte.
  uint64_t DroppedWrites() const;

private:
  uint64_t dropped_ = 0; // kept when the emulation ends
};
