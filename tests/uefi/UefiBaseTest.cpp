// Status codes, GUID values and their byte layout, table signatures and
// page arithmetic, checked against values written out independently here.
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>
#include <Protocol/DevicePath.h>
#include <Protocol/FirmwareVolume2.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/PciIo.h>
#include <Uefi/UefiServices.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

TEST(StatusCodes, ErrorsHaveTheHighBitAndWarningsDoNot) {
  const EFI_STATUS Errors[] = {EFI_LOAD_ERROR,       EFI_INVALID_PARAMETER, EFI_UNSUPPORTED,
                               EFI_BUFFER_TOO_SMALL, EFI_NOT_READY,         EFI_DEVICE_ERROR,
                               EFI_OUT_OF_RESOURCES, EFI_NOT_FOUND,         EFI_ACCESS_DENIED,
                               EFI_TIMEOUT,          EFI_ABORTED,           EFI_SECURITY_VIOLATION};
  for (EFI_STATUS Status : Errors) {
    EXPECT_TRUE(EFI_ERROR(Status)) << std::hex << Status;
    EXPECT_EQ(Status >> (sizeof(EFI_STATUS) * 8 - 1), 1u) << std::hex << Status;
  }
  EXPECT_FALSE(EFI_ERROR(EFI_SUCCESS));
  EXPECT_FALSE(EFI_ERROR(EFI_WARN_BUFFER_TOO_SMALL));
  EXPECT_FALSE(EFI_ERROR(EFI_WARN_STALE_DATA));
}

// Registry text to the 16 bytes firmware keeps in memory: the first three
// groups little-endian, the last eight bytes in text order.
std::array<uint8_t, 16> GuidBytes(const std::string &Text) {
  std::string Hex;
  for (char C : Text) {
    if (C != '-') {
      Hex += C;
    }
  }
  EXPECT_EQ(Hex.size(), 32u) << Text;
  auto Byte = [&](size_t I) { return (uint8_t)std::stoul(Hex.substr(I * 2, 2), nullptr, 16); };
  return {Byte(3), Byte(2), Byte(1),  Byte(0),  Byte(5),  Byte(4),  Byte(7),  Byte(6),
          Byte(8), Byte(9), Byte(10), Byte(11), Byte(12), Byte(13), Byte(14), Byte(15)};
}

struct NamedGuid {
  const char *Name;
  const EFI_GUID *Guid;
  const char *Registry;
};

const NamedGuid kGuids[] = {
    {"PciIo", &gEfiPciIoProtocolGuid, "4CF5B200-68B8-4CA5-9EEC-B23E3F50029A"},
    {"GraphicsOutput", &gEfiGraphicsOutputProtocolGuid, "9042A9DE-23DC-4A38-96FB-7ADED080516A"},
    {"LoadedImage", &gEfiLoadedImageProtocolGuid, "5B1B31A1-9562-11D2-8E3F-00A0C969723B"},
    {"DevicePath", &gEfiDevicePathProtocolGuid, "09576E91-6D3F-11D2-8E39-00A0C969723B"},
    {"FirmwareVolume2", &gEfiFirmwareVolume2ProtocolGuid, "220E73B6-6BDB-4413-8405-B974B108619A"},
    {"HobList", &gEfiHobListGuid, "7739F24C-93D7-11D4-9A3A-0090273FC14D"},
    {"ReadyToBoot", &gEfiEventReadyToBootGuid, "7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B"},
    {"ExitBootServices", &gEfiEventExitBootServicesGuid, "27ABF055-B1B8-4C26-8048-748F37BAA2DF"},
    {"ReadOnlyVariable2", &gEfiPeiReadOnlyVariable2PpiGuid, "2AB86EF5-ECB5-4134-B556-3854CA1FE1B4"},
    {"Stall", &gEfiPeiStallPpiGuid, "1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56"},
    {"EndOfPei", &gEfiEndOfPeiSignalPpiGuid, "605EA650-C65C-42E1-BA80-91A52AB618C6"},
};

TEST(Guids, EveryGuidHasItsRegistryValueInMemoryOrder) {
  for (const NamedGuid &G : kGuids) {
    std::array<uint8_t, 16> Expected = GuidBytes(G.Registry);
    EXPECT_EQ(std::memcmp(G.Guid, Expected.data(), 16), 0) << G.Name;
  }
}

TEST(Guids, PciIoGuidBytesAreLittleEndianInTheFirstThreeFields) {
  const uint8_t Expected[16] = {0x00, 0xB2, 0xF5, 0x4C, 0xB8, 0x68, 0xA5, 0x4C,
                                0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A};
  EXPECT_EQ(std::memcmp(&gEfiPciIoProtocolGuid, Expected, 16), 0);
}

TEST(Guids, CompareGuidTellsEveryPairApart) {
  for (const NamedGuid &A : kGuids) {
    for (const NamedGuid &B : kGuids) {
      EXPECT_EQ(CompareGuid(A.Guid, B.Guid), &A == &B ? TRUE : FALSE) << A.Name << " " << B.Name;
    }
  }
  EFI_GUID Copy = gEfiHobListGuid;
  Copy.Data4[7] ^= 1;
  EXPECT_FALSE(CompareGuid(&Copy, &gEfiHobListGuid));
}

TEST(TableSignatures, SpellTheirNamesInMemory) {
  const UINT64 System = EFI_SYSTEM_TABLE_SIGNATURE;
  const UINT64 Boot = EFI_BOOT_SERVICES_SIGNATURE;
  const UINT64 Runtime = EFI_RUNTIME_SERVICES_SIGNATURE;
  EXPECT_EQ(std::memcmp(&System, "IBI SYST", 8), 0);
  EXPECT_EQ(std::memcmp(&Boot, "BOOTSERV", 8), 0);
  EXPECT_EQ(std::memcmp(&Runtime, "RUNTSERV", 8), 0);
  EXPECT_EQ(System, 0x5453595320494249ull);
}

TEST(Pages, SizesRoundUpToWholePages) {
  EXPECT_EQ(EFI_SIZE_TO_PAGES((UINTN)0), 0u);
  EXPECT_EQ(EFI_SIZE_TO_PAGES((UINTN)1), 1u);
  EXPECT_EQ(EFI_SIZE_TO_PAGES((UINTN)0x1000), 1u);
  EXPECT_EQ(EFI_SIZE_TO_PAGES((UINTN)0x1001), 2u);
  EXPECT_EQ(EFI_PAGES_TO_SIZE((UINTN)3), 0x3000u);
}

} // namespace
