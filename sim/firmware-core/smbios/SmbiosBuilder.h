// Writing SMBIOS table images from a readable description: a structure is
// its type, handle and formatted-area length, fields written at their
// offsets, and strings whose numbers land in their fields. Used for the
// default board's table and for tests that need particular structures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::smbios {

class StructureBuilder {
public:
  StructureBuilder(uint8_t type, uint16_t handle, uint8_t length);

  StructureBuilder &U8(uint8_t offset, uint8_t value);
  StructureBuilder &U16(uint8_t offset, uint16_t value);
  StructureBuilder &U32(uint8_t offset, uint32_t value);
  StructureBuilder &U64(uint8_t offset, uint64_t value);
  StructureBuilder &Bytes(uint8_t offset, const std::vector<uint8_t> &bytes);
  // Appends `text` to the string set and writes its number at `offset`; an
  // empty text writes string number 0 (no string) and appends nothing.
  StructureBuilder &String(uint8_t offset, const std::string &text);
  // Appends a string that no field names.
  StructureBuilder &ExtraString(const std::string &text);

  // Formatted area, strings and the set's terminating zero(s).
  std::vector<uint8_t> Build() const;

private:
  void Put(uint8_t offset, uint64_t value, unsigned size);
  std::vector<uint8_t> formatted_;
  std::vector<std::string> strings_;
};

// Structures end to end; endOfTable adds a type-127 structure.
std::vector<uint8_t> BuildTable(const std::vector<std::vector<uint8_t>> &structures,
                                bool endOfTable = true);
// A dump-bin image: entry point at 0, the table at 0x20. The entry point's
// table maximum size is `maximum`, or the table's own size when 0.
std::vector<uint8_t> BuildImage3(const std::vector<uint8_t> &table, uint8_t major = 3,
                                 uint8_t minor = 2, uint32_t maximum = 0);
std::vector<uint8_t> BuildImage2(const std::vector<uint8_t> &table, uint16_t structureCount,
                                 uint8_t major = 2, uint8_t minor = 8);

// Offsets and sizes of the fields the reporter and the default board use.
namespace layout {
// Type 0, BIOS information (SMBIOS 2.4+).
constexpr uint8_t kBiosLength = 0x18;
constexpr uint8_t kBiosVendor = 0x04, kBiosVersion = 0x05, kBiosStartSegment = 0x06,
                  kBiosReleaseDate = 0x08, kBiosRomSize = 0x09, kBiosCharacteristics = 0x0A,
                  kBiosMajor = 0x14, kBiosMinor = 0x15, kBiosEcMajor = 0x16, kBiosEcMinor = 0x17;
// Type 1, system information (SMBIOS 2.4+).
constexpr uint8_t kSystemLength = 0x1B;
constexpr uint8_t kSystemManufacturer = 0x04, kSystemProduct = 0x05, kSystemVersion = 0x06,
                  kSystemSerial = 0x07, kSystemUuid = 0x08, kSystemWakeUp = 0x18, kSystemSku = 0x19,
                  kSystemFamily = 0x1A;
// Type 2, baseboard information, no contained handles.
constexpr uint8_t kBaseboardLength = 0x0F;
constexpr uint8_t kBaseboardManufacturer = 0x04, kBaseboardProduct = 0x05, kBaseboardVersion = 0x06,
                  kBaseboardSerial = 0x07, kBaseboardAssetTag = 0x08, kBaseboardFeatures = 0x09,
                  kBaseboardLocation = 0x0A, kBaseboardChassis = 0x0B, kBaseboardType = 0x0D;
// Type 4, processor information (SMBIOS 3.0+).
constexpr uint8_t kProcessorLength = 0x30;
constexpr uint8_t kProcessorSocket = 0x04, kProcessorType = 0x05, kProcessorFamily = 0x06,
                  kProcessorManufacturer = 0x07, kProcessorId = 0x08, kProcessorVersion = 0x10,
                  kProcessorVoltage = 0x11, kProcessorExternalClock = 0x12,
                  kProcessorMaxSpeed = 0x14, kProcessorCurrentSpeed = 0x16, kProcessorStatus = 0x18,
                  kProcessorUpgrade = 0x19, kProcessorL1 = 0x1A, kProcessorL2 = 0x1C,
                  kProcessorL3 = 0x1E, kProcessorSerial = 0x20, kProcessorAssetTag = 0x21,
                  kProcessorPartNumber = 0x22, kProcessorCoreCount = 0x23,
                  kProcessorCoresEnabled = 0x24, kProcessorThreadCount = 0x25,
                  kProcessorCharacteristics = 0x26, kProcessorFamily2 = 0x28;
// Type 16, physical memory array.
constexpr uint8_t kMemoryArrayLength = 0x17;
constexpr uint8_t kMemoryArrayLocation = 0x04, kMemoryArrayUse = 0x05,
                  kMemoryArrayCorrection = 0x06, kMemoryArrayMaxCapacity = 0x07,
                  kMemoryArrayErrorHandle = 0x0B, kMemoryArrayDevices = 0x0D;
// Type 17, memory device (SMBIOS 3.0+).
constexpr uint8_t kMemoryDeviceLength = 0x28;
constexpr uint8_t kMemoryDeviceArray = 0x04, kMemoryDeviceErrorHandle = 0x06,
                  kMemoryDeviceTotalWidth = 0x08, kMemoryDeviceDataWidth = 0x0A,
                  kMemoryDeviceSize = 0x0C, kMemoryDeviceFormFactor = 0x0E,
                  kMemoryDeviceLocator = 0x10, kMemoryDeviceBankLocator = 0x11,
                  kMemoryDeviceType = 0x12, kMemoryDeviceTypeDetail = 0x13,
                  kMemoryDeviceSpeed = 0x15, kMemoryDeviceManufacturer = 0x17,
                  kMemoryDeviceSerial = 0x18, kMemoryDeviceAssetTag = 0x19,
                  kMemoryDevicePartNumber = 0x1A, kMemoryDeviceConfiguredSpeed = 0x20;
} // namespace layout

} // namespace sim::smbios
