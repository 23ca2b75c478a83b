// The report over SMBIOS images taken from real machines (../shared/smbios):
// the documents must carry what the images' expected.txt lists for each key
// by string position, the reversed UUID bytes, the Size words and the device
// count, whatever the string-number fields say. Skipped without the folder.
#include "InventoryFixture.h"

#include "SampleImages.h"

#include <fstream>
#include <iterator>

namespace inventory_test {
namespace {

using smbios_samples::Sample;

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
}

std::string Position(const Sample &sample, unsigned type, unsigned position) {
  const auto &positions = sample.At(type, 1).positions;
  auto it = positions.find(position);
  if (it == positions.end()) {
    ADD_FAILURE() << sample.name << ": expected.txt has no type " << type << " pos" << position;
    return "";
  }
  return it->second;
}

class RealMachineTest : public InventoryFixture {};

TEST_F(RealMachineTest, DocumentsCarryWhatTheImagesHoldByPosition) {
  std::vector<Sample> samples = smbios_samples::LoadSamples(MGMT_SMBIOS_SAMPLES_DIR);
  if (samples.empty()) {
    GTEST_SKIP() << "no SMBIOS sample images in " << MGMT_SMBIOS_SAMPLES_DIR;
  }
  for (const Sample &sample : samples) {
    SCOPED_TRACE(sample.name);
    // A fresh DXE phase and link per image.
    smbios_.reset();
    dxe_ = std::make_unique<sim::Dxe>(machine_, variables_);
    RecordingLink link(machine_);
    machine_.bus().SetMsr(kMsrPerfStatus, 0x1700); // ratio 23

    ServeImage(ReadFile(sample.image));
    ASSERT_EQ(link.Install(*dxe_), EFI_SUCCESS);
    ASSERT_EQ(StartDriver(), EFI_SUCCESS);
    uint64_t pool = dxe_->PoolAllocationsInUse();
    SignalReadyToBoot();

    ReportValues v;
    v.biosVendor = Position(sample, 0, 1);
    v.biosVersion = Position(sample, 0, 2);
    v.biosReleaseDate = Position(sample, 0, 3);
    v.systemManufacturer = Position(sample, 1, 1);
    v.systemProduct = Position(sample, 1, 2);
    v.uuid = sample.At(1, 1).uuidReversed;
    v.baseboardManufacturer = Position(sample, 2, 1);
    v.baseboardProduct = Position(sample, 2, 2);
    v.baseboardSerial = Position(sample, 2, 4);
    v.baseboardAssetTag = Position(sample, 2, 5);
    ASSERT_TRUE(sample.At(16, 1).deviceCount.has_value());
    for (unsigned i = 1; i <= *sample.At(16, 1).deviceCount; i++) {
      const auto &device = sample.At(17, i);
      ASSERT_TRUE(device.size.has_value());
      v.memory.push_back(
          {std::to_string(*device.size), device.positions.at(1), device.positions.at(2)});
    }
    v.processorVersion = Position(sample, 4, 3);
    v.processorClock = "2.300 GHz";

    ExpectDocuments(sim::documents::ReassembleNotices(link.Notices()), v);
    EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool) << dxe_->DescribeLiveAllocations();
  }
}

} // namespace
} // namespace inventory_test
