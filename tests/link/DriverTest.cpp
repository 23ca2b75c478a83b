// The driver's entry and NIC I/O notification: when a record is installed,
// what repeated notifications keep of contexts and DMA areas, allocation
// failures, an unrecognised controller, and the COM1 programming.
#include "LinkFixture.h"

#include "Bus.h"

#include <cstring>

namespace link_test {
namespace {

// The part of a 16550-style UART that the driver touches: the line control
// register and the divisor latch behind its bit 7.
class Com1 final : public sim::BusTarget {
public:
  uint8_t lineControl = 0x0B; // eight bits, parity on
  uint8_t divisorLow = 0x0C, divisorHigh = 0x00;
  uint8_t transmitted = 0;
  unsigned transmitWrites = 0;
  uint64_t Read(uint64_t offset, unsigned) override {
    switch (offset) {
    case 0:
      return (lineControl & 0x80) ? divisorLow : 0;
    case 1:
      return (lineControl & 0x80) ? divisorHigh : 0;
    case 3:
      return lineControl;
    default:
      return 0;
    }
  }
  void Write(uint64_t offset, unsigned, uint64_t value) override {
    uint8_t v = static_cast<uint8_t>(value);
    if (offset == 0 && (lineControl & 0x80)) {
      divisorLow = v;
    } else if (offset == 0) {
      transmitted = v;
      transmitWrites++;
    } else if (offset == 1 && (lineControl & 0x80)) {
      divisorHigh = v;
    } else if (offset == 3) {
      lineControl = v;
    }
  }
};

class DriverTest : public LinkFixture {
protected:
  DriverTest() { machine_.bus().MapIo(0x3F8, 8, &com1_, "com1"); }
  ~DriverTest() override { machine_.bus().Unmap(&com1_); }

  size_t LinkRecordsInstalled() {
    size_t count = 0;
    RunOk([&] {
      UINTN n = 0;
      EFI_HANDLE *handles = nullptr;
      if (bs_->LocateHandleBuffer(ByProtocol, &gMgmtLinkProtocolGuid, nullptr, &n, &handles) ==
          EFI_SUCCESS) {
        count = n;
        bs_->FreePool(handles);
      }
    });
    return count;
  }

  Com1 com1_;
};

TEST_F(DriverTest, EntryAloneInstallsNothing) {
  StartDriver();
  EXPECT_EQ(LocateLink(), nullptr);
  EXPECT_EQ(provider_->Allocations(), 0u);
}

TEST_F(DriverTest, NicIoInstalledBeforeTheDriverStartsIsNeverSeen) {
  InstallNicIo();
  StartDriver();
  EXPECT_EQ(LocateLink(), nullptr);
  EXPECT_EQ(provider_->Allocations(), 0u);
}

TEST_F(DriverTest, RecordLivesAtTheEndOfAnUndiContextOnTheDriversHandle) {
  Load();
  const uint8_t *context = reinterpret_cast<const uint8_t *>(link_) - (13112 - 48);
  EXPECT_EQ(std::memcmp(context, "undi\0\0\0\0", 8), 0);
  EXPECT_EQ(dxe_->InterfaceOn(driverHandle_, gMgmtLinkProtocolGuid), link_);
  // The context's pages and the 99-page DMA area.
  EXPECT_EQ(provider_->PagesOutstanding(), 4u + 99u);
  EXPECT_EQ(Context()->Adapter.DmaSize, 403454u);
  EXPECT_EQ(Context()->Adapter.Bus, kNicBus);
}

// Each reinstallation prepares the controller again; the context that could
// not install its record gives its pages back instead of leaking 103 pages.
TEST_F(DriverTest, RepeatedNotificationsKeepOneContextsPagesAndOneInstalledRecord) {
  Load();
  uint64_t pages = dxe_->PagesInUse(), pool = dxe_->PoolBytesInUse();
  for (int i = 0; i < 3; i++) {
    ReinstallNicIo();
  }
  EXPECT_EQ(provider_->Allocations(), 2u + 3 * 2) << "each notification made a context";
  EXPECT_EQ(provider_->PagesOutstanding(), 4u + 99) << "only the installed one's pages stay";
  EXPECT_EQ(dxe_->PagesInUse(), pages);
  EXPECT_EQ(dxe_->PoolBytesInUse(), pool);
  EXPECT_EQ(LinkRecordsInstalled(), 1u);
  EXPECT_EQ(LocateLink(), link_) << "the first record stays the one clients find";
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  ASSERT_EQ(Send({1}), EFI_SUCCESS);
  EXPECT_EQ(peer_.Notices().size(), 1u);
}

// Once the record is uninstalled, the next notification uses its context's
// memory and DMA area again: a fresh record at the same place, no new pages.
TEST_F(DriverTest, AfterUninstallTheNextNotificationReusesTheContextsMemory) {
  Load();
  uint64_t pages = dxe_->PagesInUse();
  for (int i = 0; i < 3; i++) {
    RunOk([&] {
      ASSERT_EQ(bs_->UninstallProtocolInterface(driverHandle_, &gMgmtLinkProtocolGuid, link_),
                EFI_SUCCESS);
    });
    link_->Transact = nullptr; // what a client may have put there is gone
    ReinstallNicIo();
    ASSERT_EQ(LocateLink(), link_);
  }
  EXPECT_EQ(provider_->PagesOutstanding(), 4u + 99);
  EXPECT_EQ(dxe_->PagesInUse(), pages);
  EXPECT_NE(link_->Transact, nullptr) << "the record is filled afresh";
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  peer_.SetItem(0x02030000, {0x01});
  EXPECT_EQ(Transact(ItemRequest(0x02030000), 500), EFI_SUCCESS);
}

TEST_F(DriverTest, ContextAllocationFailureInstallsNothing) {
  StartDriver();
  provider_->SetAllocateFault([](UINTN) { return EFI_OUT_OF_RESOURCES; });
  InstallNicIo();
  EXPECT_EQ(LocateLink(), nullptr);
  EXPECT_EQ(provider_->PagesOutstanding(), 0u);
}

TEST_F(DriverTest, DmaAreaFailureInstallsNothingAndGivesTheContextBack) {
  StartDriver();
  provider_->SetAllocateFault(
      [](UINTN pages) { return pages == 99 ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS; });
  InstallNicIo();
  EXPECT_EQ(LocateLink(), nullptr);
  EXPECT_EQ(provider_->PagesOutstanding(), 0u);
  EXPECT_EQ(com1_.divisorLow, 0x0C) << "creation ended before COM1";
}

// After exit-boot-services the memory of the rings is the operating system's.
class ExitBootServicesTest : public LinkFixture {
protected:
  void SignalExitBootServices() {
    static constexpr EFI_GUID kExitBootServicesGroup = {
        0x27ABF055, 0xB1B8, 0x4C26, {0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF}};
    RunOk([&] { dxe_->SignalEventGroup(kExitBootServicesGroup); });
  }
  // A frame from the management controller after the signal.
  bool LateFrameWritten() {
    size_t written = nic_.RxLog().size();
    peer_.SendAnswerFrame(0x0004, {0x99});
    machine_.clock().AdvanceNs(1 * kMs);
    nic_.Poll();
    return nic_.RxLog().size() != written;
  }
};

TEST_F(ExitBootServicesTest, ControllerWhoseLinkIsStillOpenIsStopped) {
  LoadAndOpen();
  SignalExitBootServices();
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0);
  EXPECT_FALSE(LateFrameWritten());
}

TEST_F(ExitBootServicesTest, ClosedLinkIsLeftAlone) {
  LoadAndOpen();
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  machine_.trace().Enable(true);
  SignalExitBootServices();
  EXPECT_EQ(machine_.trace().Filter("nic").size(), 0u) << machine_.trace().Dump("nic");
  EXPECT_FALSE(LateFrameWritten());
}

TEST_F(DriverTest, UnrecognisedControllerIsStillServed) {
  nic_.SetVersionBits(0x60A00000);
  Load();
  EXPECT_EQ(Context()->Adapter.ChipVersion, 0u);
  EXPECT_EQ(Context()->Adapter.OobAccessType, 3);
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  ASSERT_EQ(Send({1, 2, 3}), EFI_SUCCESS);
  EXPECT_EQ(peer_.Notices().size(), 1u);
}

TEST_F(DriverTest, Com1IsLeftAtDivisorOneWithTheLatchAndParityOff) {
  Load();
  EXPECT_EQ(com1_.divisorLow, 1);
  EXPECT_EQ(com1_.divisorHigh, 0) << "the high byte is not written";
  EXPECT_EQ(com1_.lineControl, 0x03) << "bits 7 and 3 clear, the rest kept";
  EXPECT_EQ(com1_.transmitWrites, 0u) << "nothing went to the transmit register";
}

TEST_F(DriverTest, MissingDelayRoutineMakesNoContext) {
  // Without the delay routine nothing can wait; no context is made.
  StartDriver();
  provider_->Protocol()->Stall = nullptr;
  InstallNicIo();
  EXPECT_EQ(LocateLink(), nullptr);
  EXPECT_EQ(provider_->Allocations(), 0u);
}

} // namespace
} // namespace link_test
