// UEFI variable semantics over an in-memory table. Every argument comes from
// firmware, so each pointer and size is checked before it is used.
#include "VariableStore.h"

#include "GuidText.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {
namespace {

constexpr size_t kMaxNameChars = 1024;

constexpr uint32_t kAccessBits = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr uint32_t kKnownBits = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_HARDWARE_ERROR_RECORD |
                                kVariableAuthenticatedWriteAccess |
                                EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS |
                                EFI_VARIABLE_APPEND_WRITE | kVariableEnhancedAuthenticatedAccess;
constexpr uint32_t kUnsupportedBits =
    EFI_VARIABLE_HARDWARE_ERROR_RECORD | kVariableAuthenticatedWriteAccess |
    EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS | kVariableEnhancedAuthenticatedAccess;

size_t NameBytes(std::u16string_view name) { return (name.size() + 1) * sizeof(CHAR16); }

} // namespace

std::optional<std::u16string_view> BoundedName(const CHAR16 *name, size_t maxChars) {
  if (name == nullptr) {
    return std::nullopt;
  }
  for (size_t i = 0; i <= maxChars; i++) {
    if (name[i] == 0) {
      return std::u16string_view(reinterpret_cast<const char16_t *>(name), i);
    }
  }
  return std::nullopt;
}

VariableStore::VariableStore(size_t capacityBytes, size_t maxVariableBytes)
    : capacity_(capacityBytes), maxVariable_(maxVariableBytes) {}

const VariableStore::Variable *VariableStore::Find(std::u16string_view name,
                                                   const EFI_GUID &guid) const {
  for (const Variable &v : variables_) {
    if (v.name == name && SameGuid(v.guid, guid)) {
      return &v;
    }
  }
  return nullptr;
}

VariableStore::Variable *VariableStore::Find(std::u16string_view name, const EFI_GUID &guid) {
  return const_cast<Variable *>(std::as_const(*this).Find(name, guid));
}

size_t VariableStore::UsedBytes() const {
  size_t used = 0;
  for (const Variable &v : variables_) {
    used += NameBytes(v.name) + v.data.size();
  }
  return used;
}

EFI_STATUS VariableStore::Get(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes,
                              UINTN *dataSize, void *data) const {
  if (name == nullptr || guid == nullptr || dataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::optional<std::u16string_view> key = BoundedName(name, kMaxNameChars);
  if (!key || key->empty()) {
    return key ? EFI_NOT_FOUND : EFI_INVALID_PARAMETER;
  }
  const Variable *v = Find(*key, *guid);
  if (v == nullptr) {
    return EFI_NOT_FOUND;
  }
  // Attributes are reported with EFI_BUFFER_TOO_SMALL as well, so a caller can
  // size its buffer and learn the attributes in one probe.
  if (attributes != nullptr) {
    *attributes = v->attributes;
  }
  if (*dataSize < v->data.size()) {
    *dataSize = v->data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  // A missing buffer is refused only where it would be written: a probe with
  // a stale non-zero size and no buffer still learns the size it needs.
  if (data == nullptr && !v->data.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  *dataSize = v->data.size();
  if (!v->data.empty()) {
    std::memcpy(data, v->data.data(), v->data.size());
  }
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::Set(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes,
                              UINTN dataSize, const void *data) {
  if (name == nullptr || guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (dataSize != 0 && data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::optional<std::u16string_view> key = BoundedName(name, kMaxNameChars);
  if (!key || key->empty()) {
    return EFI_INVALID_PARAMETER;
  }
  return SetChecked(*key, *guid, attributes, dataSize, static_cast<const uint8_t *>(data));
}

EFI_STATUS VariableStore::SetChecked(std::u16string_view name, const EFI_GUID &guid,
                                     uint32_t attributes, size_t dataSize, const uint8_t *data) {
  if ((attributes & ~kKnownBits) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((attributes & kUnsupportedBits) != 0) {
    return EFI_UNSUPPORTED;
  }
  if ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 &&
      (attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  const bool append = (attributes & EFI_VARIABLE_APPEND_WRITE) != 0;
  const uint32_t stored = attributes & ~EFI_VARIABLE_APPEND_WRITE;
  Variable *existing = Find(name, guid);

  // A write without data, or without any access bit, is a delete.
  if ((dataSize == 0 && !append) || (stored & kAccessBits) == 0) {
    if (existing == nullptr) {
      return EFI_NOT_FOUND;
    }
    if (stored != 0 && stored != existing->attributes) {
      return EFI_INVALID_PARAMETER;
    }
    variables_.erase(variables_.begin() + (existing - variables_.data()));
    writes_++;
    return EFI_SUCCESS;
  }

  if (existing != nullptr && existing->attributes != stored) {
    return EFI_INVALID_PARAMETER;
  }
  if (append && dataSize == 0) {
    return EFI_SUCCESS;
  }
  const size_t oldBytes = existing ? NameBytes(name) + existing->data.size() : 0;
  const size_t newData = (append && existing) ? existing->data.size() + dataSize : dataSize;
  const size_t newBytes = NameBytes(name) + newData;
  if (newBytes > maxVariable_) {
    return EFI_INVALID_PARAMETER;
  }
  if (UsedBytes() - oldBytes + newBytes > capacity_) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (existing == nullptr) {
    variables_.push_back(Variable{std::u16string(name), guid, stored, {}});
    existing = &variables_.back();
  }
  if (!append) {
    existing->data.clear();
  }
  existing->data.insert(existing->data.end(), data, data + dataSize);
  writes_++;
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::GetNextName(UINTN *nameSize, CHAR16 *name, EFI_GUID *guid) const {
  if (nameSize == nullptr || name == nullptr || guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // The caller's name must be terminated inside the buffer it declares.
  if (*nameSize < sizeof(CHAR16)) {
    return EFI_INVALID_PARAMETER;
  }
  std::optional<std::u16string_view> current =
      BoundedName(name, std::min(kMaxNameChars, *nameSize / sizeof(CHAR16) - 1));
  if (!current) {
    return EFI_INVALID_PARAMETER;
  }
  size_t next = 0;
  if (!current->empty()) {
    const Variable *v = Find(*current, *guid);
    if (v == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    next = static_cast<size_t>(v - variables_.data()) + 1;
  }
  if (next >= variables_.size()) {
    return EFI_NOT_FOUND;
  }
  const Variable &v = variables_[next];
  const size_t needed = NameBytes(v.name);
  if (*nameSize < needed) {
    *nameSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(name, v.name.c_str(), needed);
  *guid = v.guid;
  *nameSize = needed;
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::QueryInfo(UINT32 attributes, UINT64 *maxStorage, UINT64 *remainingStorage,
                                    UINT64 *maxVariableSize) const {
  if (maxStorage == nullptr || remainingStorage == nullptr || maxVariableSize == nullptr ||
      (attributes & kAccessBits) == 0 || (attributes & ~kKnownBits) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((attributes & kUnsupportedBits) != 0) {
    return EFI_UNSUPPORTED;
  }
  *maxStorage = capacity_;
  *remainingStorage = capacity_ - UsedBytes();
  *maxVariableSize = maxVariable_;
  return EFI_SUCCESS;
}

void VariableStore::ResetForNextBoot() {
  std::erase_if(variables_,
                [](const Variable &v) { return (v.attributes & EFI_VARIABLE_NON_VOLATILE) == 0; });
}

EFI_STATUS VariableStore::Seed(std::string_view name, const EFI_GUID &guid, uint32_t attributes,
                               std::span<const uint8_t> data) {
  if (name.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  return SetChecked(ToUtf16(name), guid, attributes, data.size(), data.data());
}

std::optional<std::vector<uint8_t>> VariableStore::Read(std::string_view name,
                                                        const EFI_GUID &guid) const {
  const Variable *v = Find(ToUtf16(name), guid);
  if (v == nullptr) {
    return std::nullopt;
  }
  return v->data;
}

std::optional<uint32_t> VariableStore::AttributesOf(std::string_view name,
                                                    const EFI_GUID &guid) const {
  const Variable *v = Find(ToUtf16(name), guid);
  if (v == nullptr) {
    return std::nullopt;
  }
  return v->attributes;
}

std::vector<VariableStore::Info> VariableStore::List() const {
  std::vector<Info> out;
  for (const Variable &v : variables_) {
    out.push_back(Info{v.name, v.guid, v.attributes, v.data.size()});
  }
  return out;
}

std::u16string VariableStore::ToUtf16(std::string_view ascii) {
  std::u16string out;
  for (char c : ascii) {
    out.push_back(static_cast<unsigned char>(c));
  }
  return out;
}

std::string VariableStore::ToAscii(std::u16string_view name) {
  std::string out;
  for (char16_t c : name) {
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return out;
}

} // namespace sim
