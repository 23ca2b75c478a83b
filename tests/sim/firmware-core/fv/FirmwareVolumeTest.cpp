// ReadSection as the firmware core answers it (pool copy for a NULL buffer,
// partial copy and a warning for a short one, section instances per type,
// not-found cases, the fault hook), and the BMP writer's layout.
#include "BmpImage.h"
#include "FirmwareVolume.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <Pi/PiFirmwareFile.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr EFI_GUID kFile = {
    0x0336875A, 0xFEFB, 0x4917, {0x9D, 0xA6, 0xE7, 0xF5, 0x6E, 0xC8, 0xE6, 0x38}};
constexpr EFI_GUID kOther = {
    0x0336875A, 0xFEFB, 0x4917, {0x9D, 0xA6, 0xE7, 0xF5, 0x6E, 0xC8, 0xE6, 0x39}};

class FirmwareVolumeTest : public ::testing::Test {
protected:
  FirmwareVolumeTest() {
    fv.AddFile(kFile, {{EFI_SECTION_RAW, {1, 2, 3}},
                       {EFI_SECTION_PE32, {9}},
                       {EFI_SECTION_RAW, {4, 5, 6, 7, 8}}});
  }

  EFI_STATUS Read(const EFI_GUID &file, UINTN instance, void **buffer, UINTN *size) {
    UINT32 authentication = 1;
    return fv.Protocol()->ReadSection(fv.Protocol(), &file, EFI_SECTION_RAW, instance, buffer, size,
                                      &authentication);
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::VariableStore variables;
  sim::Dxe dxe{machine, variables};
  sim::FirmwareVolume fv{dxe};
};

TEST_F(FirmwareVolumeTest, NullBufferGetsAPoolCopyOfTheSection) {
  void *buffer = nullptr;
  UINTN size = 0;
  ASSERT_EQ(Read(kFile, 1, &buffer, &size), EFI_SUCCESS);
  ASSERT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(buffer, "\x04\x05\x06\x07\x08", 5), 0) << "second raw section";
  EXPECT_EQ(dxe.PoolAllocationsInUse(), 1u);
  EXPECT_EQ(dxe.FreePool(buffer), EFI_SUCCESS);
}

TEST_F(FirmwareVolumeTest, ShortBufferGetsWhatFitsAndTheFullSize) {
  uint8_t bytes[2] = {};
  void *buffer = bytes;
  UINTN size = sizeof(bytes);
  EXPECT_EQ(Read(kFile, 0, &buffer, &size), EFI_WARN_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(bytes[1], 2);
}

TEST_F(FirmwareVolumeTest, MissingFilesSectionsAndInjectedFaults) {
  void *buffer = nullptr;
  UINTN size = 0;
  EXPECT_EQ(Read(kOther, 0, &buffer, &size), EFI_NOT_FOUND);
  EXPECT_EQ(Read(kFile, 2, &buffer, &size), EFI_NOT_FOUND);
  fv.SetReadSectionFault(EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Read(kFile, 0, &buffer, &size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(fv.ReadSectionCalls(), 3u);
  EXPECT_EQ(dxe.PoolAllocationsInUse(), 0u);
}

TEST_F(FirmwareVolumeTest, UnusedMembersTrapByName) {
  const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, [&] {
    EFI_FV_ATTRIBUTES attributes;
    (void)fv.Protocol()->GetVolumeAttributes(fv.Protocol(), &attributes);
  });
  EXPECT_EQ(outcome.kind, sim::RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("FirmwareVolume2.GetVolumeAttributes"), std::string::npos);
}

TEST(BmpImageTest, RowsAreBottomUpAndPaddedToFourBytes) {
  sim::BmpPicture picture;
  picture.width = 3;
  picture.height = 2;
  picture.bitsPerPixel = 4;
  picture.palette = {0x000000, 0xFFFFFF};
  picture.pixel = [](uint32_t x, uint32_t y) { return (x + y) % 2; };
  const std::vector<uint8_t> bmp = sim::MakeBmp(picture);
  ASSERT_EQ(bmp.size(), 54u + 2 * 4 + 2 * 4);
  EXPECT_EQ(bmp[sim::bmp::kPixelOffset], 62);
  EXPECT_EQ(bmp[62], 0x10) << "bottom row (y = 1): 1, 0, 1";
  EXPECT_EQ(bmp[63], 0x10);
  EXPECT_EQ(bmp[66], 0x01) << "top row (y = 0): 0, 1, 0";
  const std::vector<uint8_t> logo = sim::DefaultLogoBmp();
  EXPECT_EQ(logo[0], 'B');
  EXPECT_EQ(logo[sim::bmp::kWidth], sim::kDefaultLogoWidth);
  EXPECT_EQ(logo[sim::bmp::kBitsPerPixel], 8);
}

} // namespace
