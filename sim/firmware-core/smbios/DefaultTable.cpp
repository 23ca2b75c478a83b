// The default board's SMBIOS structures, written field by field.
#include "DefaultTable.h"

#include "SmbiosBuilder.h"

namespace sim::smbios {

namespace {

using namespace layout;

constexpr uint16_t kMemoryArrayHandle = 0x1000;
constexpr uint16_t kNoHandle = 0xFFFE; // "not provided" for error-information handles

std::vector<uint8_t> MemoryDevice(uint16_t handle, const char *locator, const char *bank,
                                  uint16_t sizeMb) {
  StructureBuilder device(17, handle, kMemoryDeviceLength);
  device.U16(kMemoryDeviceArray, kMemoryArrayHandle)
      .U16(kMemoryDeviceErrorHandle, kNoHandle)
      .U8(kMemoryDeviceFormFactor, 0x09) // DIMM
      .String(kMemoryDeviceLocator, locator)
      .String(kMemoryDeviceBankLocator, bank)
      .U16(kMemoryDeviceSize, sizeMb);
  if (sizeMb == 0) {
    // An empty slot: unknown widths and type, the usual placeholder strings.
    device.U16(kMemoryDeviceTotalWidth, 0xFFFF)
        .U16(kMemoryDeviceDataWidth, 0xFFFF)
        .U8(kMemoryDeviceType, 0x02) // unknown
        .String(kMemoryDeviceManufacturer, "NO DIMM")
        .String(kMemoryDeviceSerial, "NO DIMM")
        .String(kMemoryDevicePartNumber, "NO DIMM");
  } else {
    device.U16(kMemoryDeviceTotalWidth, 64)
        .U16(kMemoryDeviceDataWidth, 64)
        .U8(kMemoryDeviceType, 0x1A) // DDR4
        .U16(kMemoryDeviceTypeDetail, 0x0080)
        .U16(kMemoryDeviceSpeed, 3200)
        .U16(kMemoryDeviceConfiguredSpeed, 3200)
        .String(kMemoryDeviceManufacturer, "Keelson Memory")
        .String(kMemoryDeviceSerial, std::string("KM") + locator)
        .String(kMemoryDevicePartNumber, "KM4-16G3200U");
  }
  return device.Build();
}

} // namespace

std::vector<uint8_t> DefaultBoardImage() {
  std::vector<std::vector<uint8_t>> structures;

  structures.push_back(StructureBuilder(0, 0x0000, kBiosLength)
                           .String(kBiosVendor, "Tallow Firmware Works")
                           .String(kBiosVersion, "TFW 2.31.0")
                           .U16(kBiosStartSegment, 0xF000)
                           .String(kBiosReleaseDate, "03/14/2025")
                           .U8(kBiosRomSize, 0xFF)
                           .U64(kBiosCharacteristics, 0x0000000000000008ull)
                           .U8(kBiosMajor, 2)
                           .U8(kBiosMinor, 31)
                           .U8(kBiosEcMajor, 0xFF)
                           .U8(kBiosEcMinor, 0xFF)
                           .Build());

  structures.push_back(StructureBuilder(1, 0x0001, kSystemLength)
                           .String(kSystemManufacturer, "Harbor Board Company")
                           .String(kSystemProduct, "HB Q7146 Management Board")
                           .String(kSystemVersion, "1.0")
                           .String(kSystemSerial, "HBQ7146-2025-000381")
                           .Bytes(kSystemUuid, {0x3A, 0x91, 0x5C, 0x20, 0x7E, 0x41, 0x4B, 0xD2,
                                                0x9F, 0x06, 0x12, 0xC4, 0x88, 0x0D, 0x6B, 0xE5})
                           .U8(kSystemWakeUp, 0x06) // power switch
                           .String(kSystemSku, "HBQ7146-SKU1")
                           .String(kSystemFamily, "Q7146")
                           .Build());

  structures.push_back(StructureBuilder(2, 0x0002, kBaseboardLength)
                           .String(kBaseboardManufacturer, "Harbor Board Company")
                           .String(kBaseboardProduct, "Q7146-MB")
                           .String(kBaseboardVersion, "Rev 1.02")
                           .String(kBaseboardSerial, "MB7146-000381")
                           .String(kBaseboardAssetTag, "HB-ASSET-0042")
                           .U8(kBaseboardFeatures, 0x09) // hosting board, replaceable
                           .String(kBaseboardLocation, "Main board")
                           .U16(kBaseboardChassis, 0x0003)
                           .U8(kBaseboardType, 0x0A) // motherboard
                           .Build());

  structures.push_back(StructureBuilder(4, 0x0004, kProcessorLength)
                           .String(kProcessorSocket, "CPU0")
                           .U8(kProcessorType, 0x03)   // central processor
                           .U8(kProcessorFamily, 0xFE) // see family 2
                           .String(kProcessorManufacturer, "Lanyard Semiconductor")
                           .String(kProcessorVersion, "Lanyard LX-8 Processor @ 3.60GHz")
                           .U8(kProcessorVoltage, 0x8B)
                           .U16(kProcessorExternalClock, 100)
                           .U16(kProcessorMaxSpeed, 4600)
                           .U16(kProcessorCurrentSpeed, 3600)
                           .U8(kProcessorStatus, 0x41) // populated, enabled
                           .U8(kProcessorUpgrade, 0x01)
                           .U16(kProcessorL1, 0xFFFF)
                           .U16(kProcessorL2, 0xFFFF)
                           .U16(kProcessorL3, 0xFFFF)
                           .U8(kProcessorCoreCount, 8)
                           .U8(kProcessorCoresEnabled, 8)
                           .U8(kProcessorThreadCount, 16)
                           .U16(kProcessorCharacteristics, 0x00FC)
                           .U16(kProcessorFamily2, 0x00C6)
                           .Build());

  structures.push_back(StructureBuilder(16, kMemoryArrayHandle, kMemoryArrayLength)
                           .U8(kMemoryArrayLocation, 0x03) // system board
                           .U8(kMemoryArrayUse, 0x03)      // system memory
                           .U8(kMemoryArrayCorrection, 0x03)
                           .U32(kMemoryArrayMaxCapacity, 64u * 1024 * 1024) // KiB
                           .U16(kMemoryArrayErrorHandle, kNoHandle)
                           .U16(kMemoryArrayDevices, 4)
                           .Build());

  structures.push_back(MemoryDevice(0x1100, "DIMM_A1", "BANK 0", 16384));
  structures.push_back(MemoryDevice(0x1101, "DIMM_A2", "BANK 1", 0));
  structures.push_back(MemoryDevice(0x1102, "DIMM_B1", "BANK 2", 16384));
  structures.push_back(MemoryDevice(0x1103, "DIMM_B2", "BANK 3", 0));

  return BuildImage3(BuildTable(structures));
}

} // namespace sim::smbios
