// The inventory report on the simulated board's real path: InventoryDxe over
// NicLinkDxe, the Ethernet controller model and the management-controller
// model at the far end of the wire. The controller's notice log, reassembled,
// must hold the four documents byte for byte; a cable pulled in the middle of
// the inventory document costs that document only.
#include "InventoryFixture.h"

#include "DefaultTable.h"
#include "MgmtController.h"
#include "NicIoProvider.h"
#include "NicModel.h"
#include "PmTimer.h"

extern "C" EFI_STATUS EFIAPI NicLinkDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);

namespace inventory_test {
namespace {

constexpr uint8_t kNicBus = 2, kNicDevice = 0, kNicFunction = 0;
constexpr uint64_t kMs = 1'000'000; // nanoseconds

// The wire between the controller and the management controller, with a
// cable the test can pull: when the management controller has taken a given
// notice the link goes down, and it comes back a set virtual time later.
// Virtual time is seen through the PM timer, which this stands in front of:
// every wait of the firmware reads it.
class Cable final : public sim::LinkPeer, public sim::BusTarget {
public:
  Cable(sim::Machine &machine, sim::NicModel &nic, sim::MgmtController &peer)
      : machine_(machine), nic_(nic), peer_(peer), timer_(machine.clock(), machine.bus()) {
    machine.bus().Unmap(&timer_);
    machine.bus().MapIo(sim::PmTimer::kPort, sim::PmTimer::kLength, this, "pm-timer");
    machine.bus().SetQuiet(this, true);
  }

  void PullAfterNotice(size_t notice, uint64_t downForNs) {
    pullAfter_ = notice;
    downForNs_ = downForNs;
  }
  bool Pulled() const { return plugAtNs_ != 0; }

  void OnFrame(const std::vector<uint8_t> &frame) override {
    peer_.OnFrame(frame);
    if (pullAfter_ != 0 && peer_.Notices().size() == pullAfter_) {
      pullAfter_ = 0;
      nic_.SetLink(false);
      plugAtNs_ = machine_.clock().NowNs() + downForNs_;
    }
  }

  uint64_t Read(uint64_t offset, unsigned size) override {
    if (plugAtNs_ != 0 && machine_.clock().NowNs() >= plugAtNs_ && !nic_.LinkUp()) {
      nic_.SetLink(true);
    }
    return timer_.Read(offset, size);
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    timer_.Write(offset, size, value);
  }

private:
  sim::Machine &machine_;
  sim::NicModel &nic_;
  sim::MgmtController &peer_;
  sim::PmTimer timer_;
  size_t pullAfter_ = 0;
  uint64_t downForNs_ = 0;
  uint64_t plugAtNs_ = 0;
};

class EndToEndTest : public InventoryFixture {
protected:
  EndToEndTest()
      : nic_(machine_, sim::NicModel::Config{}), peer_(machine_), cable_(machine_, nic_, peer_) {
    machine_.SetWatchdog(30'000 * kMs);
    machine_.bus().Pci().Attach(kNicBus, kNicDevice, kNicFunction, &nic_, "nic");
    nic_.AllowExecutableDataDma(); // the link driver's frame buffer is a module static
    nic_.AttachPeer(&cable_);
    peer_.Attach(&nic_);
    peer_.LoadDefaults();
    nicIo_ = std::make_unique<sim::NicIoProvider>(
        machine_, sim::NicIoProvider::Location{kNicBus, kNicDevice, kNicFunction}, nic_);
    nicIo_->SetBootServices(dxe_->BootServices());
  }
  ~EndToEndTest() override { machine_.bus().Pci().Detach(&nic_); }

  // The board's DXE drivers as they load, then the NIC I/O instance the agent
  // would install (which makes the link driver install MGMT_LINK_PROTOCOL).
  void Boot(const std::vector<uint8_t> &image) {
    ServeImage(image);
    sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine_, [&] {
      ASSERT_EQ(dxe_->RunEntryPoint(NicLinkDxeEntryPoint, dxe_->NewImageHandle()), EFI_SUCCESS);
      ASSERT_EQ(dxe_->RunEntryPoint(InventoryDxeEntryPoint, dxe_->NewImageHandle()), EFI_SUCCESS);
      EFI_HANDLE handle = nullptr;
      ASSERT_EQ(dxe_->BootServices()->InstallProtocolInterface(
                    &handle, &gNicIoProtocolGuid, EFI_NATIVE_INTERFACE, nicIo_->Protocol()),
                EFI_SUCCESS);
    });
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  sim::documents::Reassembly ControllerDocuments() const {
    return sim::documents::ReassembleNotices(peer_.Notices());
  }

  sim::NicModel nic_;
  sim::MgmtController peer_;
  Cable cable_;
  std::unique_ptr<sim::NicIoProvider> nicIo_;
};

TEST_F(EndToEndTest, DefaultBoardReportReachesTheManagementController) {
  machine_.bus().SetMsr(kMsrPerfStatus, sim::smbios::kDefaultBoardPerfStatus);
  Boot(sim::smbios::DefaultBoardImage());
  uint64_t pool = dxe_->PoolAllocationsInUse();
  SignalReadyToBoot();

  ExpectDocuments(ControllerDocuments(), DefaultBoardValues());
  for (const sim::NoticeRecord &notice : peer_.Notices()) {
    EXPECT_EQ(notice.tag, kMgmtLinkTag);
  }
  EXPECT_EQ(peer_.ChecksumFailures(), 0u);
  EXPECT_EQ(peer_.MalformedFrames(), 0u);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool) << dxe_->DescribeLiveAllocations();
}

TEST_F(EndToEndTest, ManySliceInventoryCrossesTheWireWhole) {
  TestBoard board;
  board.dimms.clear();
  for (int i = 0; i < 40; i++) {
    board.dimms.push_back({static_cast<uint16_t>(i % 2 == 0 ? 32768 : 0),
                           "CPU" + std::to_string(i / 20) + "_DIMM_" + std::to_string(i % 20),
                           "NODE" + std::to_string(i / 10) + " CHANNEL " + std::to_string(i % 10)});
  }
  Boot(board.Image());
  SignalReadyToBoot();

  sim::documents::Reassembly documents = ControllerDocuments();
  ExpectDocuments(documents, board.Values(kTestBoardUuidText, "2.000 GHz"));
  const sim::documents::Document *inventory = documents.Latest(kInventoryMessageInventory);
  ASSERT_NE(inventory, nullptr);
  EXPECT_GE(inventory->chunkCount, 5);
}

TEST_F(EndToEndTest, CablePulledDuringTheInventoryCostsThatDocumentOnly) {
  TestBoard board;
  board.dimms.assign(20, Dimm{16384, "A-LONG-DEVICE-LOCATOR", "A-LONG-BANK-LOCATOR"});
  // Down after the first chunk, back 1.5 s later: the second chunk's link
  // wait (1 s) fails, the link is closed, and the UUID document's opening
  // waits for the link to come back.
  cable_.PullAfterNotice(1, 1500 * kMs);
  Boot(board.Image());
  SignalReadyToBoot();
  EXPECT_TRUE(cable_.Pulled());

  ReportValues v = board.Values(kTestBoardUuidText, "2.000 GHz");
  sim::documents::Reassembly documents = ControllerDocuments();
  std::vector<std::pair<uint8_t, std::string>> texts;
  for (const sim::documents::Document &document : documents.documents) {
    texts.emplace_back(document.messageId, document.text);
  }
  std::vector<std::pair<uint8_t, std::string>> expected = {
      {kInventoryMessageUuid, ExpectedUuid(v)},
      {kInventoryMessagePath, ExpectedPath()},
      {kInventoryMessageModel, ExpectedModel(v)}};
  EXPECT_EQ(texts, expected);
  ASSERT_EQ(documents.problems.size(), 1u) << documents.Describe();
  EXPECT_EQ(documents.problems[0].kind, sim::documents::Problem::Kind::Incomplete);
  EXPECT_EQ(documents.problems[0].messageId, kInventoryMessageInventory);
}

} // namespace
} // namespace inventory_test
