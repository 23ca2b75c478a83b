// The ready-to-boot report end to end against the SMBIOS stand-in and the
// recording link: the four documents byte for byte (cJSON's formatted
// printer applied to trees built here), value renderings, string positions,
// the early return on a missing structure and the retry, the event closed
// after a whole report, and the pool left as it was found.
#include "InventoryFixture.h"

#include "DefaultTable.h"

namespace inventory_test {
namespace {

using sim::smbios::StructureBuilder;
namespace layout = sim::smbios::layout;

class ReportTest : public InventoryFixture {};

TEST_F(ReportTest, DefaultBoardSendsItsFourDocuments) {
  machine_.bus().SetMsr(kMsrPerfStatus, sim::smbios::kDefaultBoardPerfStatus);
  Report(sim::smbios::DefaultBoardImage());

  ExpectReport(DefaultBoardValues());
}

TEST_F(ReportTest, PathDocumentIsTheTwentyOneCharacterObject) {
  Report(TestBoard().Image());
  std::optional<sim::documents::Document> path = LatestDocument(kInventoryMessagePath);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->text, "{\n\t\"uPath\":\t\"Q7146\"\n}");
  EXPECT_EQ(path->text.size(), 21u);
}

TEST_F(ReportTest, UuidBytesAreWrittenFromLastToFirst) {
  TestBoard board;
  for (uint8_t i = 0; i < 16; i++) {
    board.uuid[i] = i;
  }
  Report(board.Image());
  std::optional<sim::documents::Document> uuid = LatestDocument(kInventoryMessageUuid);
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(uuid->text, ExpectedSingle("UUID", "0f0e0d0c0b0a09080706050403020100"));
}

TEST_F(ReportTest, MemorySizeWordsAreWrittenAsTheyStand) {
  TestBoard board;
  board.dimms = {{0, "S0", "B0"}, {0x7FFF, "S1", "B1"}, {0x8000, "S2", "B2"}, {0xFFFF, "S3", "B3"}};
  Report(board.Image());
  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  v.memory = {
      {"0", "S0", "B0"}, {"32767", "S1", "B1"}, {"32768", "S2", "B2"}, {"65535", "S3", "B3"}};
  ExpectReport(v);
}

struct ClockCase {
  uint64_t perfStatus;
  const char *text;
};
void PrintTo(const ClockCase &c, std::ostream *os) { *os << c.text; }

class ProcessorClockTest : public InventoryFixture,
                           public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ProcessorClockTest, RatioOfMsr198GivesTheClockText) {
  machine_.bus().SetMsr(kMsrPerfStatus, GetParam().perfStatus);
  TestBoard board;
  Report(board.Image());
  ExpectReport(board.Values(kTestBoardUuidText, GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Ratios, ProcessorClockTest,
                         ::testing::Values(ClockCase{0x0000, "0.000 GHz"},
                                           ClockCase{0x0800, "0.800 GHz"},
                                           ClockCase{0x2400, "3.600 GHz"},
                                           ClockCase{0xFF00, "25.500 GHz"},
                                           // Only bits 15..8 count.
                                           ClockCase{0xFFFFFFFFFFFF24FFull, "3.600 GHz"}));

TEST_F(ReportTest, BaseboardWithoutVersionStringMovesLaterStringsUp) {
  TestBoard board;
  board.baseboardVersion = ""; // string number 0: four strings in the set
  Report(board.Image());
  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  v.baseboardSerial = board.baseboardAssetTag; // position 4 is now the asset tag
  v.baseboardAssetTag = "";                    // position 5 is past the set
  ExpectReport(v);
}

TEST_F(ReportTest, DeviceCountZeroGivesAnEmptyArrayWithoutReadingType17) {
  TestBoard board;
  board.deviceCount = 0;
  Report(board.Image());
  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  v.memory.clear();
  ExpectReport(v);
  EXPECT_EQ(ReadsOfType(17), 0u);
  std::optional<sim::documents::Document> inventory = LatestDocument(kInventoryMessageInventory);
  ASSERT_TRUE(inventory.has_value());
  EXPECT_NE(inventory->text.find("\t\"Memory\":\t[],\n"), std::string::npos) << inventory->text;
}

TEST_F(ReportTest, SeveralMemoryDevicesInInstanceOrder) {
  TestBoard board;
  board.dimms.clear();
  for (uint16_t i = 0; i < 6; i++) {
    board.dimms.push_back({static_cast<uint16_t>(i % 2 == 0 ? 4096 * (i + 1) : 0),
                           "CH" + std::to_string(i / 2) + "-D" + std::to_string(i % 2),
                           "BANK " + std::to_string(i)});
  }
  Report(board.Image());
  ExpectReport(board.Values(kTestBoardUuidText, "2.000 GHz"));
  EXPECT_EQ(ReadsOfType(17), 6u);
}

TEST_F(ReportTest, StringPositionsPastTheSetGiveEmptyTexts) {
  TestBoard board;
  board.bios = {"Only Vendor", "", ""};
  board.processorVersion = "";
  Report(board.Image());
  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  v.biosVersion = "";
  v.biosReleaseDate = "";
  v.processorVersion = ""; // the set holds only socket and maker
  ExpectReport(v);
}

TEST_F(ReportTest, StructureWithEmptyStringSetGivesEmptyTexts) {
  using namespace layout;
  std::vector<std::vector<uint8_t>> s = TestBoard().Structures();
  // Replace the processor with one that carries no strings at all.
  for (auto &structure : s) {
    if (structure[0] == 4) {
      structure = StructureBuilder(4, 0x0004, kProcessorLength).Build();
    }
  }
  Report(sim::smbios::BuildImage3(sim::smbios::BuildTable(s)));
  ReportValues v = TestBoard().Values(kTestBoardUuidText, "2.000 GHz");
  v.processorVersion = "";
  ExpectReport(v);
}

TEST_F(ReportTest, FieldsPastAShortFormattedAreaGiveEmptyTexts) {
  using namespace layout;
  TestBoard board;
  board.omit = {1, 17};
  std::vector<std::vector<uint8_t>> s = board.Structures();
  // SMBIOS 2.0 system information (no UUID field) and a memory device that
  // ends before its Size word. Their strings follow the short areas.
  s.push_back(StructureBuilder(1, 0x0001, 0x08)
                  .String(kSystemManufacturer, board.systemManufacturer)
                  .String(kSystemProduct, board.systemProduct)
                  .ExtraString("Serial 1")
                  .ExtraString("0123456789abcdef0123456789")
                  .Build());
  s.push_back(StructureBuilder(17, 0x1100, 0x0C)
                  .ExtraString(board.dimms[0].locator)
                  .ExtraString(board.dimms[0].bank)
                  .Build());
  s.push_back(StructureBuilder(17, 0x1101, 0x0D)
                  .ExtraString(board.dimms[1].locator)
                  .ExtraString(board.dimms[1].bank)
                  .Build());
  Report(sim::smbios::BuildImage3(sim::smbios::BuildTable(s)));
  ReportValues v = board.Values("", "2.000 GHz");
  v.memory[0].size = "";
  v.memory[1].size = ""; // one byte of the word is inside, the other is not
  ExpectReport(v);
}

TEST_F(ReportTest, DeviceCountAbove255IsCappedAtTheLastReadableInstance) {
  TestBoard board;
  board.dimms.clear();
  for (int i = 0; i < 255; i++) {
    board.dimms.push_back({static_cast<uint16_t>(i % 3 == 0 ? 0 : 2048), "D" + std::to_string(i),
                           "B" + std::to_string(i % 4)});
  }
  board.deviceCount = 300;
  Report(board.Image());
  ExpectReport(board.Values(kTestBoardUuidText, "2.000 GHz"));
  EXPECT_EQ(ReadsOfType(17), 255u);
  std::optional<sim::documents::Document> inventory = LatestDocument(kInventoryMessageInventory);
  ASSERT_TRUE(inventory.has_value());
  EXPECT_GT(inventory->chunkCount, 20); // a many-slice document on the wire
}

class MissingStructureTest : public InventoryFixture,
                             public ::testing::WithParamInterface<uint8_t> {};

TEST_P(MissingStructureTest, NothingIsSentAndTheNextSignalRetries) {
  TestBoard board;
  board.omit = {GetParam()};
  ServeImage(board.Image());
  InstallLink();
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t poolBefore = dxe_->PoolAllocationsInUse();

  SignalReadyToBoot();
  EXPECT_TRUE(link_.Calls().empty());
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore) << dxe_->DescribeLiveAllocations();

  board.omit.clear();
  ServeImage(board.Image());
  SignalReadyToBoot();
  ExpectReport(board.Values(kTestBoardUuidText, "2.000 GHz"));
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore) << dxe_->DescribeLiveAllocations();
}

INSTANTIATE_TEST_SUITE_P(EachType, MissingStructureTest, ::testing::Values(0, 1, 2, 16, 17, 4),
                         [](const ::testing::TestParamInfo<uint8_t> &info) {
                           return "Type" + std::to_string(info.param);
                         });

// Instances count the type-17 structures in table order, so a device count
// of 4 over three structures leaves instance 4 missing.
TEST_F(ReportTest, FewerMemoryDevicesThanTheCountSendsNothing) {
  TestBoard board;
  board.dimms = {{1024, "A", "0"}, {1024, "B", "1"}, {1024, "C", "2"}, {1024, "D", "3"}};
  board.omitDimmInstance = 3;
  ServeImage(board.Image());
  InstallLink();
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t poolBefore = dxe_->PoolAllocationsInUse();
  SignalReadyToBoot();
  EXPECT_TRUE(link_.Calls().empty());
  ASSERT_EQ(ReadsOfType(17), 4u);
  EXPECT_EQ(smbios_->Reads().back().instance, 4);
  EXPECT_EQ(smbios_->Reads().back().status, EFI_NOT_FOUND);
  EXPECT_EQ(ReadsOfType(4), 0u); // the report stopped at the missing device
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore) << dxe_->DescribeLiveAllocations();
}

TEST_F(ReportTest, WholeReportClosesTheEventSoLaterSignalsDoNothing) {
  TestBoard board;
  Report(board.Image());
  size_t calls = link_.Calls().size();
  size_t reads = smbios_->Reads().size();
  ASSERT_GT(calls, 0u);

  SignalReadyToBoot();
  EXPECT_EQ(link_.Calls().size(), calls);
  EXPECT_EQ(smbios_->Reads().size(), reads);
}

TEST_F(ReportTest, DocumentsLeaveInOrderEachBetweenItsOwnOpenAndClose) {
  TestBoard board;
  board.dimms.assign(12, Dimm{4096, "DIMM-SLOT-WITH-A-LONG-NAME", "BANK-WITH-A-LONG-NAME"});
  Report(board.Image());

  // Open(1), chunks of one id, Open(0); ids 2, 3, 4, 5.
  std::vector<uint8_t> order;
  const auto &calls = link_.Calls();
  size_t i = 0;
  while (i < calls.size()) {
    ASSERT_EQ(calls[i].kind, RecordingLink::Call::Open);
    EXPECT_EQ(calls[i].enable, 1);
    EXPECT_EQ(calls[i].tag, kMgmtLinkTag);
    ASSERT_LT(++i, calls.size());
    ASSERT_EQ(calls[i].kind, RecordingLink::Call::Send);
    uint8_t id = calls[i].bytes.at(0);
    order.push_back(id);
    while (i < calls.size() && calls[i].kind == RecordingLink::Call::Send) {
      EXPECT_EQ(calls[i].bytes.at(0), id);
      i++;
    }
    ASSERT_LT(i, calls.size());
    EXPECT_EQ(calls[i].kind, RecordingLink::Call::Open);
    EXPECT_EQ(calls[i].enable, 0);
    EXPECT_EQ(calls[i].tag, kMgmtLinkTag);
    i++;
  }
  EXPECT_EQ(order, (std::vector<uint8_t>{2, 3, 4, 5}));
  std::optional<sim::documents::Document> inventory = LatestDocument(kInventoryMessageInventory);
  ASSERT_TRUE(inventory.has_value());
  EXPECT_GT(inventory->chunkCount, 1);
}

TEST_F(ReportTest, WholeReportLeavesNoPoolBehindAndCJsonOffThePool) {
  ServeImage(TestBoard().Image());
  InstallLink();
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t poolBefore = dxe_->PoolAllocationsInUse();
  uint64_t bytesBefore = dxe_->PoolBytesInUse();
  SignalReadyToBoot();
  ASSERT_EQ(Documents().documents.size(), 4u);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore) << dxe_->DescribeLiveAllocations();
  EXPECT_EQ(dxe_->PoolBytesInUse(), bytesBefore);

  // After the report cJSON no longer allocates through this driver's pool.
  cJSON *tree = cJSON_CreateObject();
  cJSON_AddStringToObject(tree, "after", "report");
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), poolBefore);
  cJSON_Delete(tree);
}

TEST_F(ReportTest, WithoutSmbiosProtocolTheDriverRefusesToLoad) {
  InstallLink();
  EXPECT_EQ(StartDriver(), EFI_NOT_FOUND);
  uint64_t pool = dxe_->PoolAllocationsInUse();
  SignalReadyToBoot(); // no member of the group belongs to the driver
  EXPECT_TRUE(link_.Calls().empty());
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool);
}

TEST_F(ReportTest, WithoutTheLinkTheReportStillReadsAllAndLeaksNothing) {
  ServeImage(TestBoard().Image());
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t pool = dxe_->PoolAllocationsInUse();
  SignalReadyToBoot();
  EXPECT_EQ(ReadsOfType(4), 1u);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool) << dxe_->DescribeLiveAllocations();
}

// Pool that runs out after GetParam() more allocations: every later one
// fails, part-way through building or printing a document.
class PoolRunsOutTest : public InventoryFixture, public ::testing::WithParamInterface<int> {
protected:
  static inline EFI_ALLOCATE_POOL original_ = nullptr;
  static inline int left_ = 0;
  static EFI_STATUS EFIAPI Limited(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
    if (left_ == 0) {
      return EFI_OUT_OF_RESOURCES;
    }
    left_--;
    return original_(type, size, buffer);
  }
};

TEST_P(PoolRunsOutTest, NoDocumentIsHalfSentAndNothingLeaks) {
  ServeImage(TestBoard().Image());
  InstallLink();
  ASSERT_EQ(StartDriver(), EFI_SUCCESS);
  uint64_t pool = dxe_->PoolAllocationsInUse(), bytes = dxe_->PoolBytesInUse();
  EFI_BOOT_SERVICES *bs = dxe_->SystemTable()->BootServices;
  original_ = bs->AllocatePool;
  left_ = GetParam();
  bs->AllocatePool = Limited;
  SignalReadyToBoot();
  bs->AllocatePool = original_;
  EXPECT_EQ(left_, 0) << "the pool ran out during the report";
  sim::documents::Reassembly documents = Documents();
  EXPECT_TRUE(documents.Clean()) << documents.Describe();
  EXPECT_LT(documents.documents.size(), 4u);
  for (const sim::documents::Document &document : documents.documents) {
    cJSON *tree = cJSON_Parse(document.text.c_str());
    EXPECT_NE(tree, nullptr) << "document " << int(document.messageId) << " is whole JSON";
    cJSON_Delete(tree);
  }
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool) << dxe_->DescribeLiveAllocations();
  EXPECT_EQ(dxe_->PoolBytesInUse(), bytes);
}

INSTANTIATE_TEST_SUITE_P(AfterAllocations, PoolRunsOutTest,
                         ::testing::Values(0, 1, 5, 15, 30, 45, 60, 77));

} // namespace
} // namespace inventory_test
