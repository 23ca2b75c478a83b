// Pristine copies of the images' .data, kept once per image for the whole
// process, and the reload that every boot starts with.
#include "ModuleImage.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Sanitizers.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sim {
namespace {

// An image's sections hold the sanitizer's redzones between its globals; the
// pristine copy and the reload take the sections whole, redzones included,
// so these copies must not be checked byte by byte.
MGMT_NO_ASAN
void CopySection(volatile std::uint8_t *to, const std::uint8_t *from, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; i++) {
    to[i] = from[i];
  }
}
MGMT_NO_ASAN
void ZeroSection(volatile std::uint8_t *to, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; i++) {
    to[i] = 0;
  }
}

// Keyed by the section's address: two descriptions of one image (say, two
// boards in one test program) must share the copy taken before either ran.
const std::uint8_t *PristineData(std::uint8_t *begin, std::uint8_t *end) {
  static std::mutex mutex;
  static std::map<const std::uint8_t *, std::vector<std::uint8_t>> copies;
  std::lock_guard<std::mutex> lock(mutex);
  auto [it, inserted] = copies.try_emplace(begin);
  if (inserted) {
    it->second.resize(static_cast<std::size_t>(end - begin));
    CopySection(it->second.data(), begin, it->second.size());
  }
  return it->second.data();
}

} // namespace

ModuleImage::ModuleImage(std::string name, void *entryPoint, std::uint8_t *dataBegin,
                         std::uint8_t *dataEnd, std::uint8_t *bssBegin, std::uint8_t *bssEnd,
                         std::uint8_t *textBegin, std::uint8_t *textEnd)
    : name_(std::move(name)), entryPoint_(entryPoint), dataBegin_(dataBegin), dataEnd_(dataEnd),
      bssBegin_(bssBegin), bssEnd_(bssEnd), textBegin_(textBegin), textEnd_(textEnd),
      pristine_(nullptr) {
  if ((dataBegin_ == nullptr) != (dataEnd_ == nullptr) || dataBegin_ > dataEnd_ ||
      (bssBegin_ == nullptr) != (bssEnd_ == nullptr) || bssBegin_ > bssEnd_ ||
      (textBegin_ == nullptr) != (textEnd_ == nullptr) || textBegin_ > textEnd_) {
    throw std::invalid_argument("ModuleImage " + name_ + ": inconsistent section bounds");
  }
  if (dataBegin_ != dataEnd_) {
    pristine_ = PristineData(dataBegin_, dataEnd_);
  }
  if (textBegin_ != textEnd_) {
    FirmwareRunner::NameCode(name_, reinterpret_cast<std::uint64_t>(textBegin_),
                             reinterpret_cast<std::uint64_t>(textEnd_));
  }
}

void ModuleImage::Load() const {
  if (!Present()) {
    throw std::logic_error("ModuleImage " + name_ + ": image is not linked in");
  }
  if (pristine_ != nullptr) {
    CopySection(dataBegin_, pristine_, static_cast<std::size_t>(dataEnd_ - dataBegin_));
  }
  if (bssBegin_ != bssEnd_) {
    ZeroSection(bssBegin_, static_cast<std::size_t>(bssEnd_ - bssBegin_));
  }
}

} // namespace sim
