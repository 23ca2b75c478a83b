// The board's UEFI variable store: named, GUID-scoped byte strings with
// attributes, shared by the DXE runtime services and the PEI read-only
// variable PPI. It outlives a boot: ResetForNextBoot() keeps the non-volatile
// variables and drops the rest, the way a board's flash and RAM would.
#pragma once

#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiMultiPhase.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Attribute bits that we refuse because no authenticated-variable service is
// emulated: accepting them would claim a protection that is not enforced.
inline constexpr uint32_t kVariableAuthenticatedWriteAccess = 0x00000010;
inline constexpr uint32_t kVariableEnhancedAuthenticatedAccess = 0x00000080;

class VariableStore {
public:
  struct Info {
    std::u16string name;
    EFI_GUID guid;
    uint32_t attributes;
    size_t size;
  };

  // capacityBytes bounds the sum of name and data bytes of all variables;
  // maxVariableBytes bounds one variable (name plus data).
  explicit VariableStore(size_t capacityBytes = 512 * 1024, size_t maxVariableBytes = 64 * 1024);

  // UEFI GetVariable / SetVariable / GetNextVariableName / QueryVariableInfo
  // semantics, with firmware-supplied (untrusted) arguments.
  EFI_STATUS Get(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes, UINTN *dataSize,
                 void *data) const;
  EFI_STATUS Set(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes, UINTN dataSize,
                 const void *data);
  EFI_STATUS GetNextName(UINTN *nameSize, CHAR16 *name, EFI_GUID *guid) const;
  EFI_STATUS QueryInfo(UINT32 attributes, UINT64 *maxStorage, UINT64 *remainingStorage,
                       UINT64 *maxVariableSize) const;

  // A board reset: volatile variables vanish, non-volatile ones stay.
  void ResetForNextBoot();

  // Simulator side: names in ASCII. Seed() follows SetVariable's rules (an
  // empty span deletes) and returns its status.
  EFI_STATUS Seed(std::string_view name, const EFI_GUID &guid, uint32_t attributes,
                  std::span<const uint8_t> data);
  std::optional<std::vector<uint8_t>> Read(std::string_view name, const EFI_GUID &guid) const;
  std::optional<uint32_t> AttributesOf(std::string_view name, const EFI_GUID &guid) const;
  std::vector<Info> List() const;
  size_t Count() const { return variables_.size(); }
  // Successful changes made through Set()/Seed() since construction; lets a
  // test tell "not written" from "written with the same bytes".
  uint64_t WriteCount() const { return writes_; }

  static std::u16string ToUtf16(std::string_view ascii);
  static std::string ToAscii(std::u16string_view name);

private:
  struct Variable {
    std::u16string name;
    EFI_GUID guid;
    uint32_t attributes;
    std::vector<uint8_t> data;
  };

  const Variable *Find(std::u16string_view name, const EFI_GUID &guid) const;
  Variable *Find(std::u16string_view name, const EFI_GUID &guid);
  size_t UsedBytes() const;
  EFI_STATUS SetChecked(std::u16string_view name, const EFI_GUID &guid, uint32_t attributes,
                        size_t dataSize, const uint8_t *data);

  size_t capacity_;
  size_t maxVariable_;
  std::vector<Variable> variables_; // creation order, which GetNextName follows
  uint64_t writes_ = 0;
};

// Reads a firmware-supplied CHAR16 string of at most maxChars characters
// (terminator excluded); nullopt if it is not terminated within that bound.
std::optional<std::u16string_view> BoundedName(const CHAR16 *name, size_t maxChars);

} // namespace sim
