// GUID helpers for the simulator's own code: equality and the registry text
// form ("8-4-4-4-12") used in trace events and fault messages.
#pragma once

#include <Uefi/UefiBaseType.h>

#include <cstring>
#include <string>

namespace sim {

inline bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string GuidText(const EFI_GUID &guid);

} // namespace sim
