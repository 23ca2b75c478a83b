// HOB list walking over hand-built lists: finding GUID HOBs in order,
// stopping at the end marker, and not looping or over-reading on damaged
// records.
#include <Pi/PiHob.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const EFI_GUID kFirst = {
    0x246EB197, 0x2232, 0x4DF1, {0x93, 0x8E, 0x6E, 0x75, 0xF0, 0x24, 0x00, 0x74}};
const EFI_GUID kSecond = {
    0xA18C3C9D, 0x2818, 0x463F, {0x9D, 0x76, 0xA9, 0xA4, 0xB6, 0x7C, 0x79, 0x84}};
const EFI_GUID kAbsent = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// Builds a HOB list the way PEI lays it out: records back to back, each
// length a multiple of 8.
class HobListBuilder {
public:
  UINTN Add(UINT16 Type, UINT16 Length) {
    UINTN Offset = Bytes.size();
    Bytes.resize(Offset + Length, 0);
    EFI_HOB_GENERIC_HEADER Header = {Type, Length, 0};
    std::memcpy(&Bytes[Offset], &Header, sizeof(Header));
    return Offset;
  }
  UINTN AddGuid(const EFI_GUID &Name, UINT8 Fill, UINT16 DataSize) {
    UINTN Offset = Add(EFI_HOB_TYPE_GUID_EXTENSION, (UINT16)(sizeof(EFI_HOB_GUID_TYPE) + DataSize));
    std::memcpy(&Bytes[Offset + sizeof(EFI_HOB_GENERIC_HEADER)], &Name, sizeof(Name));
    std::memset(&Bytes[Offset + sizeof(EFI_HOB_GUID_TYPE)], Fill, DataSize);
    return Offset;
  }
  UINTN AddEnd() { return Add(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER)); }
  VOID *Start() { return Bytes.data(); }
  VOID *At(UINTN Offset) { return Bytes.data() + Offset; }

private:
  std::vector<UINT8> Bytes;
};

TEST(HobWalk, FindsEachGuidHobInListOrder) {
  HobListBuilder List;
  List.Add(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
  UINTN First = List.AddGuid(kFirst, 0xA1, 16);
  List.Add(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, sizeof(EFI_HOB_RESOURCE_DESCRIPTOR));
  UINTN Second = List.AddGuid(kSecond, 0xB2, 8);
  UINTN FirstAgain = List.AddGuid(kFirst, 0xC3, 24);
  List.AddEnd();

  VOID *Hob = GetNextGuidHob(&kFirst, List.Start());
  ASSERT_EQ(Hob, List.At(First));
  EXPECT_EQ(GetGuidHobDataSize(Hob), 16u);
  EXPECT_EQ(*(UINT8 *)GetGuidHobData(Hob), 0xA1);

  Hob = GetNextGuidHob(&kFirst, GetNextHob(Hob));
  ASSERT_EQ(Hob, List.At(FirstAgain));
  EXPECT_EQ(GetGuidHobDataSize(Hob), 24u);
  EXPECT_EQ(*(UINT8 *)GetGuidHobData(Hob), 0xC3);
  EXPECT_EQ(GetNextGuidHob(&kFirst, GetNextHob(Hob)), nullptr);

  EXPECT_EQ(GetNextGuidHob(&kSecond, List.Start()), List.At(Second));
  EXPECT_EQ(GetNextGuidHob(&kAbsent, List.Start()), nullptr);
  EXPECT_EQ(GetNextHobOfType(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, List.Start()),
            List.At(First + sizeof(EFI_HOB_GUID_TYPE) + 16));
}

TEST(HobWalk, StopsAtTheEndOfTheList) {
  HobListBuilder List;
  List.Add(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
  List.AddEnd();
  List.AddGuid(kFirst, 0, 8); // stale record beyond the end marker
  EXPECT_EQ(GetNextGuidHob(&kFirst, List.Start()), nullptr);
  EXPECT_EQ(GetNextHobOfType(EFI_HOB_TYPE_GUID_EXTENSION, List.Start()), nullptr);
}

TEST(HobWalk, ZeroLengthHobEndsTheWalkInsteadOfLooping) {
  HobListBuilder List;
  List.Add(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
  UINTN Broken = List.Add(EFI_HOB_TYPE_MEMORY_POOL, sizeof(EFI_HOB_GENERIC_HEADER));
  List.AddGuid(kFirst, 0, 8);
  List.AddEnd();
  ((EFI_HOB_GENERIC_HEADER *)List.At(Broken))->HobLength = 0;
  EXPECT_TRUE(IsEndOfHobList(List.At(Broken)));
  EXPECT_EQ(GetNextGuidHob(&kFirst, List.Start()), nullptr);
}

TEST(HobWalk, GuidHobTooShortForItsNameIsNeverMatched) {
  HobListBuilder List;
  UINTN Short = List.Add(EFI_HOB_TYPE_GUID_EXTENSION, 16);
  std::memcpy((UINT8 *)List.At(Short) + sizeof(EFI_HOB_GENERIC_HEADER), &kFirst, 8);
  UINTN Good = List.AddGuid(kFirst, 0x5A, 8);
  List.AddEnd();
  // Only the first half of the name fits in the short record; the walk must
  // step over it to the complete one.
  EXPECT_EQ(GetNextGuidHob(&kFirst, List.Start()), List.At(Good));
}

TEST(HobWalk, NullStartFindsNothing) {
  EXPECT_EQ(GetNextGuidHob(&kFirst, nullptr), nullptr);
  EXPECT_EQ(GetNextHobOfType(EFI_HOB_TYPE_HANDOFF, nullptr), nullptr);
}

} // namespace
