// UEFI variables through the runtime services table, and what survives a
// board reset.
#include "DxeFixture.h"

namespace sim::test {
namespace {

EFI_GUID gVendor = TestGuid(20);
EFI_GUID gOtherVendor = TestGuid(21);
std::u16string gSetupText = u"Setup";
std::u16string gCounterText = u"Counter";
CHAR16 *gSetup = reinterpret_cast<CHAR16 *>(gSetupText.data());
CHAR16 *gCounter = reinterpret_cast<CHAR16 *>(gCounterText.data());

constexpr uint32_t kNvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr uint32_t kBs = EFI_VARIABLE_BOOTSERVICE_ACCESS;

using VariableTest = DxeFixture;

TEST_F(VariableTest, GetReportsTheSizeNeededAndTheAttributes) {
  std::vector<uint8_t> value(2638);
  for (size_t i = 0; i < value.size(); i++) {
    value[i] = static_cast<uint8_t>(i * 7);
  }
  ASSERT_EQ(rt_->SetVariable(gSetup, &gVendor, kNvBs, value.size(), value.data()), EFI_SUCCESS);

  uint8_t small[16];
  UINTN size = sizeof small;
  UINT32 attributes = 0;
  EXPECT_EQ(rt_->GetVariable(gSetup, &gVendor, &attributes, &size, small), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, value.size());
  EXPECT_EQ(attributes, kNvBs);
  size = 0;
  EXPECT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, &size, nullptr), EFI_BUFFER_TOO_SMALL)
      << "a size probe with no buffer";
  EXPECT_EQ(size, value.size());
  size = sizeof small;
  EXPECT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, &size, nullptr), EFI_BUFFER_TOO_SMALL)
      << "a too-small size with no buffer is a probe too, not a bad argument";
  EXPECT_EQ(size, value.size());
  size = sizeof small;
  EXPECT_EQ(rt_->GetVariable(gSetup, &gOtherVendor, nullptr, &size, nullptr), EFI_NOT_FOUND);

  std::vector<uint8_t> read(4000, 0xEE);
  size = read.size();
  ASSERT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, &size, read.data()), EFI_SUCCESS);
  EXPECT_EQ(size, value.size());
  EXPECT_TRUE(std::equal(value.begin(), value.end(), read.begin()));
  EXPECT_EQ(read[value.size()], 0xEE) << "nothing written past the variable";

  EXPECT_EQ(rt_->GetVariable(gSetup, &gOtherVendor, nullptr, &size, read.data()), EFI_NOT_FOUND);
  EXPECT_EQ(rt_->GetVariable(nullptr, &gVendor, nullptr, &size, read.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt_->GetVariable(gSetup, nullptr, nullptr, &size, read.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, nullptr, read.data()),
            EFI_INVALID_PARAMETER);
  size = read.size();
  EXPECT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, &size, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(VariableTest, SetEnforcesAttributeRules) {
  uint8_t byte = 1;
  EXPECT_EQ(rt_->SetVariable(gCounter, &gVendor, EFI_VARIABLE_RUNTIME_ACCESS, 1, &byte),
            EFI_INVALID_PARAMETER)
      << "runtime access needs boot-service access";
  ASSERT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs, 1, &byte), EFI_SUCCESS);
  byte = 2;
  EXPECT_EQ(rt_->SetVariable(gCounter, &gVendor, kBs, 1, &byte), EFI_INVALID_PARAMETER)
      << "attributes of an existing variable do not change";
  EXPECT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs, 1, nullptr), EFI_INVALID_PARAMETER);
  uint8_t more[2] = {3, 4};
  ASSERT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs | EFI_VARIABLE_APPEND_WRITE, 2, more),
            EFI_SUCCESS);
  EXPECT_EQ(variables_.Read("Counter", gVendor), (std::vector<uint8_t>{1, 3, 4}));
  std::vector<TraceEntry> writes = machine_.trace().Events("dxe.set_variable");
  ASSERT_EQ(writes.size(), 5u) << "refused writes are traced too";
  const auto *append = writes[4].As<sim::ev::DxeSetVariable>();
  ASSERT_NE(append, nullptr);
  EXPECT_EQ(append->name, std::optional<std::string>("Counter"));
  EXPECT_EQ(append->size, 2u);
  EXPECT_EQ(append->attributes, kNvBs | EFI_VARIABLE_APPEND_WRITE);
  EXPECT_EQ(append->status, EFI_SUCCESS);
  EXPECT_EQ(variables_.AttributesOf("Counter", gVendor), kNvBs);

  // Size 0 deletes; deleting what is not there is EFI_NOT_FOUND.
  ASSERT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs, 0, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(variables_.Read("Counter", gVendor).has_value());
  EXPECT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs, 0, nullptr), EFI_NOT_FOUND);

  std::vector<uint8_t> huge(128 * 1024);
  EXPECT_EQ(rt_->SetVariable(gCounter, &gVendor, kNvBs, huge.size(), huge.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(variables_.Count(), 0u);
}

TEST_F(VariableTest, NonVolatileVariablesSurviveAResetAndVolatileOnesDoNot) {
  uint8_t nv = 0x11, bs = 0x22;
  ASSERT_EQ(rt_->SetVariable(gSetup, &gVendor, kNvBs, 1, &nv), EFI_SUCCESS);
  ASSERT_EQ(rt_->SetVariable(gCounter, &gVendor, kBs, 1, &bs), EFI_SUCCESS);
  variables_.ResetForNextBoot();
  NewBoot();
  uint8_t read = 0;
  UINTN size = 1;
  ASSERT_EQ(rt_->GetVariable(gSetup, &gVendor, nullptr, &size, &read), EFI_SUCCESS);
  EXPECT_EQ(read, 0x11);
  EXPECT_EQ(rt_->GetVariable(gCounter, &gVendor, nullptr, &size, &read), EFI_NOT_FOUND);
}

TEST_F(VariableTest, GetNextVariableNameWalksEveryVariableOnce) {
  const std::vector<uint8_t> one{1};
  ASSERT_EQ(variables_.Seed("Setup", gVendor, kNvBs, one), EFI_SUCCESS);
  ASSERT_EQ(variables_.Seed("Setup", gOtherVendor, kNvBs, one), EFI_SUCCESS);
  ASSERT_EQ(variables_.Seed("AcceVar", gVendor, kBs, one), EFI_SUCCESS);

  CHAR16 name[64] = {0};
  EFI_GUID guid{};
  UINTN size = sizeof(CHAR16); // room for the empty name only
  ASSERT_EQ(rt_->GetNextVariableName(&size, name, &guid), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, sizeof(u"Setup"));
  std::vector<std::string> seen;
  for (;;) {
    size = sizeof name;
    EFI_STATUS status = rt_->GetNextVariableName(&size, name, &guid);
    if (status == EFI_NOT_FOUND) {
      break;
    }
    ASSERT_EQ(status, EFI_SUCCESS);
    std::u16string_view text(reinterpret_cast<const char16_t *>(name));
    EXPECT_EQ(size, (text.size() + 1) * sizeof(CHAR16));
    seen.push_back(VariableStore::ToAscii(text) + (CompareGuid(&guid, &gVendor) ? "/v" : "/o"));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Setup/v", "Setup/o", "AcceVar/v"}));

  std::u16string unknown = u"Nope";
  size = (unknown.size() + 1) * sizeof(CHAR16);
  EXPECT_EQ(rt_->GetNextVariableName(&size, reinterpret_cast<CHAR16 *>(unknown.data()), &gVendor),
            EFI_INVALID_PARAMETER);
}

} // namespace
} // namespace sim::test

namespace sim::test {
namespace {

TEST(VariableStoreTest, AFullStoreRefusesAWriteAndKeepsTheOldValue) {
  VariableStore store(/*capacityBytes=*/64, /*maxVariableBytes=*/64);
  const std::vector<uint8_t> small(20, 0x11), large(40, 0x22);
  ASSERT_EQ(store.Seed("A", gVendor, kNvBs, small), EFI_SUCCESS); // 4 name bytes + 20
  ASSERT_EQ(store.Seed("B", gVendor, kNvBs, small), EFI_SUCCESS); // 48 bytes used
  EXPECT_EQ(store.Seed("A", gVendor, kNvBs, large), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(store.Read("A", gVendor), small);
  UINT64 maxStorage = 0, remaining = 0, maxSize = 0;
  ASSERT_EQ(store.QueryInfo(kNvBs, &maxStorage, &remaining, &maxSize), EFI_SUCCESS);
  EXPECT_EQ(maxStorage, 64u);
  EXPECT_EQ(remaining, 16u);
  EXPECT_EQ(
      store.Seed("C", gVendor, kNvBs | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS, small),
      EFI_UNSUPPORTED)
      << "no authenticated-variable service is emulated";
  EXPECT_EQ(store.Count(), 2u);
}

} // namespace
} // namespace sim::test
