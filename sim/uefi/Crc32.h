// The CRC-32 of UEFI table headers and of CalculateCrc32: the IEEE 802.3
// polynomial, reflected, initial value and final XOR all ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

uint32_t Crc32(const void *data, size_t size);

} // namespace sim
