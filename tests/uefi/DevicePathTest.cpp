// Device path node helpers over byte-packed paths as the firmware core
// builds them, and the configuration-space address helpers.
#include <IndustryStandard/Pci.h>
#include <Protocol/DevicePath.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// ACPI root (PNP0A03), PCI 1C.0, PCI 0.0, end: 12 + 6 + 6 + 4 bytes, packed.
const UINT8 kPciPath[] = {0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0x00, 0x00,
                          0x00, 0x00, 0x01, 0x01, 0x06, 0x00, 0x00, 0x1C, 0x01, 0x01,
                          0x06, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0x04, 0x00};

TEST(DevicePath, WalksPackedNodesToTheEnd) {
  const auto *Node = (const EFI_DEVICE_PATH_PROTOCOL *)kPciPath;
  ASSERT_EQ(DevicePathType(Node), ACPI_DEVICE_PATH);
  ASSERT_EQ(DevicePathNodeLength(Node), sizeof(ACPI_HID_DEVICE_PATH));
  EXPECT_EQ(((const ACPI_HID_DEVICE_PATH *)Node)->HID, EISA_PNP_ID(0x0A03));

  Node = NextDevicePathNode(Node);
  ASSERT_EQ(DevicePathType(Node), HARDWARE_DEVICE_PATH);
  ASSERT_EQ(DevicePathSubType(Node), HW_PCI_DP);
  EXPECT_EQ(((const PCI_DEVICE_PATH *)Node)->Device, 0x1C);
  EXPECT_EQ(((const PCI_DEVICE_PATH *)Node)->Function, 0);

  Node = NextDevicePathNode(NextDevicePathNode(Node));
  EXPECT_TRUE(IsDevicePathEnd(Node));
  EXPECT_EQ((const UINT8 *)Node - kPciPath, (long)sizeof(kPciPath) - 4);
}

TEST(DevicePath, LengthIsLittleEndianAcrossBothBytes) {
  UINT8 Raw[4] = {MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP, 0x14, 0x01};
  EXPECT_EQ(DevicePathNodeLength((EFI_DEVICE_PATH_PROTOCOL *)Raw), 0x114u);
  SetDevicePathNodeLength((EFI_DEVICE_PATH_PROTOCOL *)Raw, 0x0203);
  EXPECT_EQ(Raw[2], 0x03);
  EXPECT_EQ(Raw[3], 0x02);
}

TEST(DevicePath, EndNodeIsTheFourStandardBytes) {
  UINT8 Raw[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  SetDevicePathEndNode((EFI_DEVICE_PATH_PROTOCOL *)Raw);
  const UINT8 Expected[4] = {0x7F, 0xFF, 0x04, 0x00};
  EXPECT_EQ(std::memcmp(Raw, Expected, 4), 0);
}

TEST(DevicePath, EndOfInstanceIsNotEndOfPath) {
  const UINT8 Raw[4] = {0x7F, 0x01, 0x04, 0x00};
  EXPECT_TRUE(IsDevicePathEndType((const EFI_DEVICE_PATH_PROTOCOL *)Raw));
  EXPECT_FALSE(IsDevicePathEnd((const EFI_DEVICE_PATH_PROTOCOL *)Raw));
}

TEST(DevicePath, FirmwareVolumeFileNodeCarriesTheFileGuidAtOffsetFour) {
  const EFI_GUID File = {
      0x3C1DE39F, 0xD207, 0x408A, {0xAA, 0xCC, 0x73, 0x1C, 0xFB, 0x7F, 0x1D, 0xD7}};
  UINT8 Raw[sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)] = {};
  auto *Node = (MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *)Raw;
  Node->Header.Type = MEDIA_DEVICE_PATH;
  Node->Header.SubType = MEDIA_PIWG_FW_FILE_DP;
  SetDevicePathNodeLength(&Node->Header, sizeof(*Node));
  Node->FvFileName = File;
  EXPECT_EQ(std::memcmp(Raw + 4, &File, 16), 0);
  EXPECT_EQ(Raw[2], 20);
}

TEST(PciConfig, EcamOffsetPlacesBusDeviceFunctionAndRegister) {
  // Device ID of 0:31.0 sits 0xF8002 into the window.
  EXPECT_EQ(PciEcamOffset(0, 31, 0, PCI_DEVICE_ID_OFFSET), 0xF8002u);
  EXPECT_EQ(PciEcamOffset(2, 0, 7, 0xFFC), 0x207FFCu);
  EXPECT_EQ(PCI_BAR_OFFSET(5), 0x24);
}

} // namespace
