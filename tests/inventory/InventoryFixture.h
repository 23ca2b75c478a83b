// One DXE phase for the inventory reporter: a machine whose MSR 0x198 is
// board configuration, the SMBIOS_READ_PROTOCOL stand-in serving a table
// image, the recording link, and helpers that start the driver and signal
// ready-to-boot inside firmware runs. Expected documents are built here as
// cJSON trees from plain values and printed with cJSON's formatted printer,
// independently of the reporter's own code.
#pragma once

#include <Guid/EventGroup.h>
#include <MgmtLink/Commands.h>

#include "InventoryDxe.h"
#include "RecordingLink.h"
#include "Documents.h"
#include "SmbiosBuilder.h"
#include "SmbiosReadProvider.h"
#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace inventory_test {

constexpr uint32_t kMsrPerfStatus = 0x198;

// Values of the four documents, as plain strings.
struct MemoryValues {
  std::string size;
  std::string deviceLocator;
  std::string bankLocator;
};
struct ReportValues {
  std::string biosVendor, biosVersion, biosReleaseDate;
  std::string systemManufacturer, systemProduct, uuid;
  std::string baseboardManufacturer, baseboardProduct, baseboardSerial, baseboardAssetTag;
  std::vector<MemoryValues> memory;
  std::string processorVersion, processorClock;
};

inline std::string PrintTree(cJSON *tree) {
  char *text = cJSON_Print(tree);
  std::string printed = text != nullptr ? text : "<cJSON_Print failed>";
  cJSON_free(text);
  cJSON_Delete(tree);
  return printed;
}

inline std::string ExpectedInventory(const ReportValues &v) {
  cJSON *root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "BIOSVendor", v.biosVendor.c_str());
  cJSON_AddStringToObject(root, "BIOSVersion", v.biosVersion.c_str());
  cJSON_AddStringToObject(root, "BIOSReleaseDate", v.biosReleaseDate.c_str());
  cJSON_AddStringToObject(root, "SystemManufacturer", v.systemManufacturer.c_str());
  cJSON_AddStringToObject(root, "SystemManuProductName", v.systemProduct.c_str());
  cJSON_AddStringToObject(root, "BaseboardManufacturer", v.baseboardManufacturer.c_str());
  cJSON_AddStringToObject(root, "BaseboardProduct", v.baseboardProduct.c_str());
  cJSON_AddStringToObject(root, "BaseboardSerialNumber", v.baseboardSerial.c_str());
  cJSON_AddStringToObject(root, "BaseboardAssetTag", v.baseboardAssetTag.c_str());
  cJSON *memory = cJSON_AddArrayToObject(root, "Memory");
  for (const MemoryValues &device : v.memory) {
    cJSON *element = cJSON_CreateObject();
    cJSON_AddStringToObject(element, "MemorySize", device.size.c_str());
    cJSON_AddStringToObject(element, "MemoryDeviceLocator", device.deviceLocator.c_str());
    cJSON_AddStringToObject(element, "MemoryBankLocator", device.bankLocator.c_str());
    cJSON_AddItemToArray(memory, element);
  }
  cJSON_AddStringToObject(root, "ProcessorVersion", v.processorVersion.c_str());
  cJSON_AddStringToObject(root, "ProcessorClock", v.processorClock.c_str());
  return PrintTree(root);
}

inline std::string ExpectedSingle(const char *key, const std::string &value) {
  cJSON *root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, key, value.c_str());
  return PrintTree(root);
}

inline std::string ExpectedUuid(const ReportValues &v) { return ExpectedSingle("UUID", v.uuid); }
inline std::string ExpectedPath() { return ExpectedSingle("uPath", "Q7146"); }
inline std::string ExpectedModel(const ReportValues &v) {
  return ExpectedSingle("ModelName", v.baseboardProduct);
}

// What the default board's table and processor give (sim/firmware-core/smbios
// DefaultTable.cpp), written out here by hand.
inline ReportValues DefaultBoardValues() {
  ReportValues v;
  v.biosVendor = "Tallow Firmware Works";
  v.biosVersion = "TFW 2.31.0";
  v.biosReleaseDate = "03/14/2025";
  v.systemManufacturer = "Harbor Board Company";
  v.systemProduct = "HB Q7146 Management Board";
  v.uuid = "e56b0d88c412069fd24b417e205c913a";
  v.baseboardManufacturer = "Harbor Board Company";
  v.baseboardProduct = "Q7146-MB";
  v.baseboardSerial = "MB7146-000381";
  v.baseboardAssetTag = "HB-ASSET-0042";
  v.memory = {{"16384", "DIMM_A1", "BANK 0"},
              {"0", "DIMM_A2", "BANK 1"},
              {"16384", "DIMM_B1", "BANK 2"},
              {"0", "DIMM_B2", "BANK 3"}};
  v.processorVersion = "Lanyard LX-8 Processor @ 3.60GHz";
  v.processorClock = "3.600 GHz";
  return v;
}

// A board's SMBIOS content, written as the fields a firmware would fill.
struct Dimm {
  uint16_t size;
  std::string locator;
  std::string bank;
};
struct TestBoard {
  std::array<std::string, 3> bios{"Test BIOS Vendor", "TB 1.00", "01/02/2024"};
  std::string systemManufacturer = "Test System Maker";
  std::string systemProduct = "Test System";
  std::array<uint8_t, 16> uuid{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                               0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  std::string baseboardManufacturer = "Test Board Maker";
  std::string baseboardProduct = "TB-1";
  std::string baseboardVersion = "Rev A";
  std::string baseboardSerial = "SER-0001";
  std::string baseboardAssetTag = "ASSET-9";
  std::vector<Dimm> dimms{{8192, "DIMM0", "BANK 0"}, {0, "DIMM1", "BANK 1"}};
  std::optional<uint16_t> deviceCount; // type-16 count; default: dimms.size()
  std::string processorVersion = "Test CPU @ 2.00GHz";
  std::set<uint8_t> omit;                 // structure types left out
  std::optional<size_t> omitDimmInstance; // a type-17 left out (from 1)

  std::vector<std::vector<uint8_t>> Structures() const {
    using namespace sim::smbios;
    using namespace sim::smbios::layout;
    std::vector<std::vector<uint8_t>> s;
    auto keep = [&](uint8_t type) { return omit.count(type) == 0; };
    if (keep(0)) {
      s.push_back(StructureBuilder(0, 0x0000, kBiosLength)
                      .String(kBiosVendor, bios[0])
                      .String(kBiosVersion, bios[1])
                      .String(kBiosReleaseDate, bios[2])
                      .Build());
    }
    if (keep(1)) {
      s.push_back(StructureBuilder(1, 0x0001, kSystemLength)
                      .String(kSystemManufacturer, systemManufacturer)
                      .String(kSystemProduct, systemProduct)
                      .Bytes(kSystemUuid, std::vector<uint8_t>(uuid.begin(), uuid.end()))
                      .Build());
    }
    if (keep(2)) {
      s.push_back(StructureBuilder(2, 0x0002, kBaseboardLength)
                      .String(kBaseboardManufacturer, baseboardManufacturer)
                      .String(kBaseboardProduct, baseboardProduct)
                      .String(kBaseboardVersion, baseboardVersion)
                      .String(kBaseboardSerial, baseboardSerial)
                      .String(kBaseboardAssetTag, baseboardAssetTag)
                      .Build());
    }
    if (keep(4)) {
      s.push_back(StructureBuilder(4, 0x0004, kProcessorLength)
                      .String(kProcessorSocket, "CPU0")
                      .String(kProcessorManufacturer, "Test Silicon")
                      .String(kProcessorVersion, processorVersion)
                      .Build());
    }
    if (keep(16)) {
      s.push_back(
          StructureBuilder(16, 0x1000, kMemoryArrayLength)
              .U16(kMemoryArrayDevices, deviceCount.value_or(static_cast<uint16_t>(dimms.size())))
              .Build());
    }
    if (keep(17)) {
      for (size_t i = 0; i < dimms.size(); i++) {
        if (omitDimmInstance && *omitDimmInstance == i + 1) {
          continue;
        }
        s.push_back(StructureBuilder(17, static_cast<uint16_t>(0x1100 + i), kMemoryDeviceLength)
                        .U16(kMemoryDeviceArray, 0x1000)
                        .U16(kMemoryDeviceSize, dimms[i].size)
                        .String(kMemoryDeviceLocator, dimms[i].locator)
                        .String(kMemoryDeviceBankLocator, dimms[i].bank)
                        .Build());
      }
    }
    return s;
  }

  std::vector<uint8_t> Image() const {
    return sim::smbios::BuildImage3(sim::smbios::BuildTable(Structures()));
  }

  // The values a correct report carries when every string is in its usual
  // position; tests that move strings adjust the result.
  ReportValues Values(const std::string &uuidText, const std::string &clock) const {
    ReportValues v;
    v.biosVendor = bios[0];
    v.biosVersion = bios[1];
    v.biosReleaseDate = bios[2];
    v.systemManufacturer = systemManufacturer;
    v.systemProduct = systemProduct;
    v.uuid = uuidText;
    v.baseboardManufacturer = baseboardManufacturer;
    v.baseboardProduct = baseboardProduct;
    v.baseboardSerial = baseboardSerial;
    v.baseboardAssetTag = baseboardAssetTag;
    for (const Dimm &dimm : dimms) {
      v.memory.push_back({std::to_string(dimm.size), dimm.locator, dimm.bank});
    }
    v.processorVersion = processorVersion;
    v.processorClock = clock;
    return v;
  }
};

// The UUID of TestBoard, written from byte 15 down to byte 0.
constexpr char kTestBoardUuidText[] = "efcdab8967452301fedcba9876543210";

// The four documents, whole and in order, with nothing else on the link.
inline void ExpectDocuments(const sim::documents::Reassembly &documents,
                            const ReportValues &values) {
  EXPECT_TRUE(documents.Clean()) << documents.Describe();
  std::vector<std::pair<uint8_t, std::string>> texts;
  for (const sim::documents::Document &document : documents.documents) {
    texts.emplace_back(document.messageId, document.text);
  }
  std::vector<std::pair<uint8_t, std::string>> expected = {
      {kInventoryMessageInventory, ExpectedInventory(values)},
      {kInventoryMessageUuid, ExpectedUuid(values)},
      {kInventoryMessagePath, ExpectedPath()},
      {kInventoryMessageModel, ExpectedModel(values)}};
  EXPECT_EQ(texts, expected);
}

class InventoryFixture : public ::testing::Test {
protected:
  static constexpr uint64_t kWatchdogNs = 5'000'000'000ull;
  static constexpr uint64_t kRatio20 = 20ull << 8;

  InventoryFixture() : scope_(machine_), link_(machine_) {
    machine_.SetWatchdog(kWatchdogNs);
    machine_.bus().SetMsr(kMsrPerfStatus, kRatio20);
    dxe_ = std::make_unique<sim::Dxe>(machine_, variables_);
  }

  // Serves `image` as the firmware core's SMBIOS (replacing any table served
  // before, from the next read on).
  void ServeImage(const std::vector<uint8_t> &image) {
    sim::smbios::ParseResult parsed = sim::smbios::ParseSmbiosImage(image);
    ASSERT_TRUE(parsed) << parsed.error;
    if (smbios_) {
      smbios_->SetTable(*parsed.table);
      return;
    }
    smbios_ = std::make_unique<sim::smbios::SmbiosReadProvider>(*parsed.table);
    ASSERT_EQ(smbios_->Install(*dxe_), EFI_SUCCESS);
  }

  void InstallLink() { ASSERT_EQ(link_.Install(*dxe_), EFI_SUCCESS); }

  // Runs the entry point; returns its status.
  EFI_STATUS StartDriver() {
    EFI_STATUS status = EFI_NOT_STARTED;
    sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine_, [&] {
      status = dxe_->RunEntryPoint(InventoryDxeEntryPoint, dxe_->NewImageHandle());
    });
    EXPECT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
    return status;
  }

  void SignalReadyToBoot() {
    sim::RunOutcome outcome = sim::FirmwareRunner::Run(
        machine_, [&] { dxe_->SignalEventGroup(gEfiEventReadyToBootGuid); });
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  // Board, link and driver ready; one ready-to-boot signal.
  void Report(const std::vector<uint8_t> &image) {
    ServeImage(image);
    InstallLink();
    ASSERT_EQ(StartDriver(), EFI_SUCCESS);
    SignalReadyToBoot();
  }

  sim::documents::Reassembly Documents() const {
    return sim::documents::ReassembleNotices(link_.Notices());
  }

  std::optional<sim::documents::Document> LatestDocument(uint8_t messageId) const {
    sim::documents::Reassembly documents = Documents();
    const sim::documents::Document *document = documents.Latest(messageId);
    if (document == nullptr) {
      return std::nullopt;
    }
    return *document;
  }

  // The documents' texts in the order they completed, as (id, text).
  std::vector<std::pair<uint8_t, std::string>> DocumentTexts() const {
    std::vector<std::pair<uint8_t, std::string>> texts;
    for (const sim::documents::Document &document : Documents().documents) {
      texts.emplace_back(document.messageId, document.text);
    }
    return texts;
  }

  void ExpectReport(const ReportValues &values) { ExpectDocuments(Documents(), values); }

  size_t ReadsOfType(uint8_t type) const {
    size_t count = 0;
    for (const auto &read : smbios_->Reads()) {
      count += read.type == type ? 1 : 0;
    }
    return count;
  }

  sim::Machine machine_;
  sim::MachineScope scope_;
  sim::VariableStore variables_;
  std::unique_ptr<sim::Dxe> dxe_;
  std::unique_ptr<sim::smbios::SmbiosReadProvider> smbios_;
  RecordingLink link_;
};

} // namespace inventory_test
