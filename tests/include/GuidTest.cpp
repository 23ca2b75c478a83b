// Every GUID variable against its registry form, through an independent
// text parser: a swapped byte or a typo in one of the initialisers would
// make protocols, HOBs and variables invisible to their partners.
#include <Guid/EcFlagHob.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/MgmtFiles.h>
#include <Guid/SetupVariable.h>
#include <Ppi/EcAccess.h>
#include <Ppi/PciDeviceList.h>
#include <Protocol/LogoOutput.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/MgmtTriggers.h>
#include <Protocol/NicIo.h>
#include <Protocol/SetupBuffer.h>
#include <Protocol/SmbiosRead.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Registry form "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE" to the UEFI memory
// image: the first three fields little-endian, the last eight bytes as written.
std::array<uint8_t, 16> GuidBytes(const std::string &Text) {
  std::string Hex;
  for (char C : Text) {
    if (C != '-') {
      Hex += C;
    }
  }
  EXPECT_EQ(Hex.size(), 32u) << Text;
  std::array<uint8_t, 16> Written{};
  for (size_t I = 0; I < 16; I++) {
    Written[I] = static_cast<uint8_t>(std::stoul(Hex.substr(2 * I, 2), nullptr, 16));
  }
  std::array<uint8_t, 16> Memory = Written;
  const int Swaps[][2] = {{0, 3}, {1, 2}, {4, 5}, {6, 7}};
  for (auto &S : Swaps) {
    std::swap(Memory[S[0]], Memory[S[1]]);
  }
  return Memory;
}

struct GuidCase {
  const char *Name;
  const EFI_GUID *Guid;
  const char *Registry;
};

const GuidCase kGuids[] = {
    {"MgmtLinkProtocol", &gMgmtLinkProtocolGuid, "1341D592-D87F-4616-9945-BD36ACDCB061"},
    {"NicIoProtocol", &gNicIoProtocolGuid, "15667DA9-E18C-4927-8326-6EA90CD435F6"},
    {"EcAccessPpi", &gEcAccessPpiGuid, "FB4F9AF6-EDFD-401E-A576-154735279BE9"},
    {"PciDeviceListPpi", &gPciDeviceListPpiGuid, "E7B5B715-1183-4533-BE76-56A6D7CEB02E"},
    {"SmbiosReadProtocol", &gSmbiosReadProtocolGuid, "5E90A50D-6955-4A49-9032-DA3812F8E8E5"},
    {"SetupBufferProtocol", &gSetupBufferProtocolGuid, "451175CF-377B-4BBC-B0C3-F592C4920871"},
    {"LogoOutputProtocol", &gLogoOutputProtocolGuid, "2D982264-FD98-4C5A-B1D9-75DD61699E88"},
    {"LogoTrigger", &gLogoTriggerProtocolGuid, "3677770F-EFB2-43B2-B8AE-B302E9604882"},
    {"SetupPullTrigger", &gSetupPullTriggerProtocolGuid, "56A12F31-1AE8-47E8-AB28-4AAF6BDAA834"},
    {"SetupPushTrigger", &gSetupPushTriggerProtocolGuid, "F7AE935C-E0CF-42C6-A634-E92D73AEB107"},
    {"MgmtDeviceHob", &gMgmtDeviceHobGuid, "246EB197-2232-4DF1-938E-6E75F0240074"},
    {"EcFlagHob", &gEcFlagHobGuid, "A18C3C9D-2818-463F-9D76-A9A4B67C7984"},
    {"GpioUnlockHob", &gGpioUnlockHobGuid, "A7892E49-0F9F-4166-B8D6-8A9BD98B1738"},
    {"FirmwareCoreDriverFile", &gFirmwareCoreDriverFileGuid,
     "3C1DE39F-D207-408A-AACC-731CFB7F1DD7"},
    {"LogoFile", &gLogoFileGuid, "0336875A-FEFB-4917-9DA6-E7F56EC8E638"},
    {"SetupVariable", &gSetupVariableGuid, "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9"},
    {"AcceVar", &gAcceVarGuid, "00195627-6276-4692-9922-4CDA9CF27B1D"},
    {"NetworkStackVar", &gNetworkStackVarGuid, "D1405D16-7AFC-4695-BB12-41459D3695A2"},
};

class GuidRegistryForm : public testing::TestWithParam<GuidCase> {};

TEST_P(GuidRegistryForm, MemoryImageMatchesRegistryText) {
  const GuidCase &C = GetParam();
  std::array<uint8_t, 16> Actual{};
  std::memcpy(Actual.data(), C.Guid, 16);
  EXPECT_EQ(Actual, GuidBytes(C.Registry)) << C.Name;
}

INSTANTIATE_TEST_SUITE_P(AllGuids, GuidRegistryForm, testing::ValuesIn(kGuids),
                         [](const testing::TestParamInfo<GuidCase> &Info) {
                           return std::string(Info.param.Name);
                         });

TEST(GuidRegistryForm, FirstFieldsAreLittleEndianInMemory) {
  const uint8_t Expected[] = {0x92, 0xD5, 0x41, 0x13, 0x7F, 0xD8, 0x16, 0x46,
                              0x99, 0x45, 0xBD, 0x36, 0xAC, 0xDC, 0xB0, 0x61};
  EXPECT_EQ(std::memcmp(&gMgmtLinkProtocolGuid, Expected, 16), 0);
}

} // namespace
