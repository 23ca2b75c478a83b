// The registry of code the host cannot call natively.
#include "FirmwareCall.h"

#include <algorithm>
#include <vector>

namespace sim {
namespace {
std::vector<ForeignCode *> &Registry() {
  static std::vector<ForeignCode *> registry;
  return registry;
}
} // namespace

void RegisterForeignCode(ForeignCode *code) { Registry().push_back(code); }

void UnregisterForeignCode(ForeignCode *code) {
  auto &registry = Registry();
  registry.erase(std::remove(registry.begin(), registry.end(), code), registry.end());
}

ForeignCode *ForeignCodeAt(uint64_t address) {
  auto &registry = Registry();
  for (auto it = registry.rbegin(); it != registry.rend(); ++it) {
    if ((*it)->Owns(address)) {
      return *it;
    }
  }
  return nullptr;
}

} // namespace sim
