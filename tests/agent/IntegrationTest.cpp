// The agent on a simulated board slice: its host image and NicLinkDxe's, a
// hand-built device HOB, the Ethernet controller model with the management
// controller at the far end of the wire. The agent's entry point installs the
// NIC I/O instance, the link appears and is wrapped before that installation
// returns, and the start-up exchanges cross the wire; later triggers, a
// reset and the next boot, and the teardown run on the same board.
#include "AgentTestSupport.h"

#include <Guid/MgmtFiles.h>
#include <Protocol/DevicePath.h>
#include <Protocol/NicIo.h>

#include "MgmtController.h"
#include "NicModel.h"
#include "NicRegisters.h"
#include "SetupStandIns.h"
#include "loader/ModuleImage.h"

namespace {

MGMT_SIM_MODULE_IMAGE(MgmtAgentDxe, EFI_IMAGE_ENTRY_POINT)
MGMT_SIM_MODULE_IMAGE(NicLinkDxe, EFI_IMAGE_ENTRY_POINT)

using namespace agent_test;
using sim::MgmtController;
using sim::RequestRecord;

constexpr EFI_GUID kHobListGuid = HOB_LIST_GUID;
constexpr EFI_GUID kCoreDriverFile = FIRMWARE_CORE_DRIVER_FILE_GUID;
constexpr uint8_t kNicBus = 2;

class AgentBoardTest : public ::testing::Test {
protected:
  AgentBoardTest() {
    machine.bus().Pci().Attach(kNicBus, 0, 0, &nic, "nic");
    nic.AllowExecutableDataDma(); // the link driver's frame buffer is a module static
    nic.SetInternalRegister(sim::nic::internal::kSignature, 0x78);
    nic.AttachPeer(&controller);
    controller.Attach(&nic);
    controller.LoadDefaults();
  }
  ~AgentBoardTest() override { machine.bus().Pci().Detach(&nic); }

  // One boot's DXE phase: fresh memory and services, both modules loaded as
  // from flash, NicLinkDxe first, then the agent. Returns how the run ended.
  sim::RunOutcome Boot() {
    dxe.reset();
    machine.memory().Reset();
    dxe = std::make_unique<sim::Dxe>(machine, variables);
    NicLinkDxeImage().Load();
    MgmtAgentDxeImage().Load();
    dxe->AddConfigurationTable(kHobListGuid, hobs.Build(NicEntries()));
    poolBefore = dxe->PoolAllocationsInUse();
    return sim::FirmwareRunner::Run(machine, [&] {
      linkHandle = dxe->NewImageHandle();
      ASSERT_EQ(dxe->RunEntryPoint(NicLinkDxeImage().EntryPoint<EFI_IMAGE_ENTRY_POINT_TYPE>(),
                                   linkHandle),
                EFI_SUCCESS);
      agentHandle = dxe->NewImageHandle();
      agentStatus = dxe->RunEntryPoint(MgmtAgentDxeImage().EntryPoint<EFI_IMAGE_ENTRY_POINT_TYPE>(),
                                       agentHandle);
    });
  }

  std::vector<HobEntry> NicEntries() const {
    return {{kMgmtDeviceKindFunction, kNicBus, 0, 0, nic.BarBase(0), sim::nic::kIoBarSize, 0x10, 0},
            {kMgmtDeviceKindFunction, kNicBus, 0, 0, nic.BarBase(2), sim::nic::kMmioBarSize, 0x18,
             kMgmtDeviceBarType64},
            {kMgmtDeviceKindFunction, kNicBus, 0, 0, nic.BarBase(4), sim::nic::kAuxBarSize, 0x20,
             kMgmtDeviceBarType64}};
  }

  void RunToEnd(std::function<void()> body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, std::move(body));
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  std::vector<uint32_t> RequestCodes() const {
    std::vector<uint32_t> codes;
    for (const RequestRecord &request : controller.Requests()) {
      codes.push_back(request.code);
    }
    return codes;
  }
  Bytes StoredSetup() const { return variables.Read("Setup", kSetupGuid).value_or(Bytes{}); }
  MGMT_LINK_PROTOCOL *Link() {
    for (EFI_HANDLE handle : dxe->Handles()) {
      if (void *link = dxe->InterfaceOn(handle, gMgmtLinkProtocolGuid)) {
        return static_cast<MGMT_LINK_PROTOCOL *>(link);
      }
    }
    return nullptr;
  }

  // Display mode 0: the controller's default display-enable copy agrees, so
  // the start-up does not reset.
  static Bytes AgreeingSetup() {
    Bytes setup = LinkInUseSetup();
    setup[SetupOffset::MgmtDisplayMode] = 0;
    return setup;
  }

  using EFI_IMAGE_ENTRY_POINT_TYPE = std::remove_pointer_t<EFI_IMAGE_ENTRY_POINT>;

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::PmTimer pmTimer{machine.clock(), machine.bus()};
  sim::ResetControl resetControl{machine};
  sim::VariableStore variables;
  std::unique_ptr<sim::Dxe> dxe;
  sim::NicModel nic{machine};
  MgmtController controller{machine};
  HobListBuilder hobs{machine};
  EFI_HANDLE linkHandle = nullptr;
  EFI_HANDLE agentHandle = nullptr;
  EFI_STATUS agentStatus = EFI_NOT_STARTED;
  uint64_t poolBefore = 0;
};

TEST_F(AgentBoardTest, EntryPointBringsUpTheLinkWrapsItAndRunsBothStartUpExchanges) {
  ASSERT_TRUE(MgmtAgentDxeImage().Present() && NicLinkDxeImage().Present());
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtDisplayMode] = 0;
  ASSERT_EQ(variables.Seed("Setup", kSetupGuid, kNvBsRt, setup), EFI_SUCCESS);
  ASSERT_EQ(variables.Seed("AcceVar", kAcceVarGuid, kNvBsRt, Bytes{0x10, 0, 0, 0}), EFI_SUCCESS);
  controller.SetItem(kMgmtReadDisplayMode, {0x82});
  controller.SetItem(kMgmtReadRequestWord, {0x0D, 0x00, 0x00, 0x00});
  // The very first request is lost on the wire: only a wrapper already in the
  // link's Transact slot when the exchange starts gets the display mode.
  controller.DropNextRequests(1);

  const sim::RunOutcome outcome = Boot();
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(agentStatus, EFI_SUCCESS);
  EXPECT_NE(dxe->InterfaceOn(agentHandle, gNicIoProtocolGuid), nullptr);
  ASSERT_NE(Link(), nullptr);

  EXPECT_EQ(RequestCodes(), (std::vector<uint32_t>{kMgmtReadDisplayMode, kMgmtReadDisplayMode,
                                                   kMgmtWriteDisplayMode, kMgmtReadDisplayEnable,
                                                   kMgmtReadRequestWord, kMgmtWriteRequestWord}));
  ASSERT_FALSE(controller.Requests().empty());
  EXPECT_EQ(controller.Requests()[0].outcome, RequestRecord::Outcome::Dropped);

  EXPECT_EQ(StoredSetup()[SetupOffset::MgmtDisplayMode], 2);
  EXPECT_EQ(controller.Item(kMgmtReadDisplayMode), (Bytes{2}));
  EXPECT_EQ(variables.Read("AcceVar", kAcceVarGuid), (Bytes{0x17, 0, 0, 0}));
  EXPECT_EQ(controller.Item(kMgmtReadRequestWord), (Bytes{0x08, 0, 0, 0}));
  EXPECT_TRUE(resetControl.Requests().empty());
  EXPECT_EQ(dxe->PoolAllocationsInUse(), poolBefore) << dxe->DescribeLiveAllocations();
}

TEST_F(AgentBoardTest, DisplayChangeResetsTheBoardAndTheNextBootCompletesWithTheCount) {
  Bytes setup = LinkInUseSetup();
  setup[SetupOffset::MgmtDisplayMode] = 1;
  ASSERT_EQ(variables.Seed("Setup", kSetupGuid, kNvBsRt, setup), EFI_SUCCESS);
  controller.SetItem(kMgmtReadDisplayEnable, {0, 0, 0, 0}); // the controller has it off

  sim::RunOutcome outcome = Boot();
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Reset) << outcome.detail;
  EXPECT_EQ(outcome.resetValue, 0x0E);
  EXPECT_EQ(controller.Item(kMgmtReadDisplayEnable), (Bytes{0, 0, 1, 1}));

  variables.ResetForNextBoot();
  nic.PowerOnReset();
  controller.ClearLogs();
  outcome = Boot();
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(StoredSetup()[SetupOffset::MgmtResetCount], 1) << "counted across the reset";
  EXPECT_EQ(resetControl.Requests(), (std::vector<uint8_t>{0x0E})) << "one reset only";
  for (uint32_t code : RequestCodes()) {
    EXPECT_NE(code, kMgmtWriteDisplayEnable) << "the controller agrees now";
  }
}

TEST_F(AgentBoardTest, SetupTriggersPushAndPullOverTheWire) {
  Bytes setup = AgreeingSetup();
  AgentWriteUint32(setup.data() + SetupOffset::MgmtLinkPollCount, 5);
  PutRange(setup, 2, "192.168.1.10", "192.168.1.20");
  PutText(setup, SetupOffset::MgmtTextItem, "host01", 60);
  setup[SetupOffset::MgmtRangeOption] = 0x21;
  ASSERT_EQ(variables.Seed("Setup", kSetupGuid, kNvBsRt, setup), EFI_SUCCESS);
  ASSERT_EQ(Boot().kind, sim::RunOutcome::Completed);

  sim::SetupBufferProvider live(*dxe);
  RunToEnd([&] {
    ASSERT_EQ(live.Install(), EFI_SUCCESS);
    ASSERT_EQ(sim::InstallSetupPushTrigger(*dxe), EFI_SUCCESS);
  });
  EXPECT_EQ(controller.Item(kMgmtReadRange, {0}), (Bytes{192, 168, 1, 10, 192, 168, 1, 20}));
  EXPECT_EQ(controller.Item(kMgmtReadRange, {1}), Bytes(8, 0));
  EXPECT_EQ(controller.Item(kMgmtReadRangeOption), (Bytes{0x21}));
  Bytes text = {'h', 'o', 's', 't', '0', '1'};
  text.resize(32, 0);
  EXPECT_EQ(controller.Item(MgmtCodeAsRead(kMgmtWriteTextItem)), text);

  // A pull while the controller is silent keeps every range as it was.
  controller.SetSilent(true);
  const Bytes before = live.Buffer();
  RunToEnd([&] { ASSERT_EQ(sim::InstallSetupPullTrigger(*dxe), EFI_SUCCESS); });
  EXPECT_EQ(GetText(live.Buffer(), MgmtRangeFirst(2), 30), "192.168.1.10");
  EXPECT_EQ(GetText(live.Buffer(), MgmtRangeLast(2), 30), "192.168.1.20");
  EXPECT_EQ(live.Buffer()[SetupOffset::MgmtRangeOption], 0x21);
  EXPECT_EQ(dxe->PoolAllocationsInUse(), poolBefore) << dxe->DescribeLiveAllocations();
}

TEST_F(AgentBoardTest, CoreDriverLoadRemovesTheLinkAndHidesTheController) {
  ASSERT_EQ(variables.Seed("Setup", kSetupGuid, kNvBsRt, AgreeingSetup()), EFI_SUCCESS);
  ASSERT_EQ(Boot().kind, sim::RunOutcome::Completed);
  ASSERT_NE(Link(), nullptr);

  Bytes path(24, 0);
  path[0] = MEDIA_DEVICE_PATH;
  path[1] = MEDIA_PIWG_FW_FILE_DP;
  path[2] = 20;
  std::memcpy(path.data() + 4, &kCoreDriverFile, sizeof(kCoreDriverFile));
  path[20] = END_DEVICE_PATH_TYPE;
  path[21] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  path[22] = 4;
  RunToEnd([&] {
    sim::Dxe::ImageInfo info;
    info.filePath = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data());
    dxe->NewImageHandle(info);
  });
  EXPECT_EQ(Link(), nullptr);
  EXPECT_FALSE(nic.IoDecode());
  EXPECT_FALSE(nic.MemoryDecode());
  EXPECT_FALSE(nic.BusMaster());
  EXPECT_EQ(nic.BarBase(0), 0u);
  EXPECT_EQ(nic.BarBase(2), 0u);
  EXPECT_EQ(nic.BarBase(4), 0u);
}

} // namespace
