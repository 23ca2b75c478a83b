// A board slice for NicLinkDxe: a machine with the PM timer, one DXE phase,
// the Ethernet controller model on the PCI bus with the management-controller
// model at the far end of its wire, and a NIC_IO_PROTOCOL instance for the
// controller. The driver runs inside FirmwareRunner; tests call the link's
// operations through the installed record and look at the models.
#pragma once

#include "Protocol/MgmtLink.h"
#include "Protocol/NicIo.h"

#include "FirmwareRunner.h"
#include "Machine.h"
#include "MgmtController.h"
#include "NicIoProvider.h"
#include "NicModel.h"
#include "PmTimer.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include "DeviceContext.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

extern "C" EFI_STATUS EFIAPI NicLinkDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);

namespace link_test {

constexpr uint8_t kNicBus = 2, kNicDevice = 0, kNicFunction = 0;
constexpr uint32_t kTag = 600000;
constexpr uint64_t kMs = 1000 * 1000; // nanoseconds

// The command code of a configuration item, little-endian as requests carry it.
inline std::vector<uint8_t> ItemRequest(uint32_t code) {
  return {uint8_t(code), uint8_t(code >> 8), uint8_t(code >> 16), uint8_t(code >> 24)};
}

inline sim::NicModel::Config ConfigFor(unsigned version, bool oobFirmware = true) {
  sim::NicModel::Config config;
  config.chipVersion = version;
  config.oobFirmware = oobFirmware;
  return config;
}

class LinkFixture : public ::testing::Test {
protected:
  explicit LinkFixture(sim::NicModel::Config config = {})
      : scope_(machine_), pmTimer_(machine_.clock(), machine_.bus()),
        dxe_(std::make_unique<sim::Dxe>(machine_, variables_)), nic_(machine_, config),
        peer_(machine_) {
    machine_.trace().Enable(false); // tests that query it turn it on
    machine_.bus().Pci().Attach(kNicBus, kNicDevice, kNicFunction, &nic_, "nic");
    nic_.AllowExecutableDataDma(); // the driver's frame buffer is a module static
    nic_.AttachPeer(&peer_);
    peer_.Attach(&nic_);
    peer_.LoadDefaults();
    provider_ = std::make_unique<sim::NicIoProvider>(
        machine_, sim::NicIoProvider::Location{kNicBus, kNicDevice, kNicFunction}, nic_);
    bs_ = dxe_->SystemTable()->BootServices;
    provider_->SetBootServices(bs_);
  }

  ~LinkFixture() override { machine_.bus().Pci().Detach(&nic_); }

  // Whatever a test did, the driver must not have misused the controller;
  // a test that injects such a fault itself says so with misuseInjected_.
  void TearDown() override {
    if (!misuseInjected_) {
      EXPECT_EQ(nic_.LockedWrites(), 0u) << "a write to a locked register";
      EXPECT_EQ(nic_.WritesDuringReset(), 0u);
      EXPECT_EQ(nic_.UnknownWrites(), 0u);
      EXPECT_EQ(nic_.ReadOnlyWrites(), 0u);
      EXPECT_EQ(nic_.DmaFaults(), 0u);
      EXPECT_EQ(nic_.IgnoredDoorbells(), 0u);
      EXPECT_EQ(nic_.ChecksumFaults(), 0u);
      EXPECT_EQ(nic_.MapConflicts(), 0u);
    }
  }

  // Runs firmware-side code; the run must complete.
  void RunOk(std::function<void()> body) {
    sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine_, std::move(body));
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  // Calls one operation inside a run; elapsedNs_ gets its virtual duration.
  EFI_STATUS Call(std::function<EFI_STATUS()> operation) {
    EFI_STATUS status = EFI_ABORTED;
    uint64_t start = machine_.clock().NowNs();
    RunOk([&] { status = operation(); });
    elapsedNs_ = machine_.clock().NowNs() - start;
    return status;
  }

  void StartDriver() {
    RunOk([&] {
      driverHandle_ = dxe_->NewImageHandle();
      ASSERT_EQ(dxe_->RunEntryPoint(NicLinkDxeEntryPoint, driverHandle_), EFI_SUCCESS);
    });
  }

  // Installs the NIC I/O instance on a handle of its own (what makes the
  // driver create a context).
  void InstallNicIo() {
    RunOk([&] {
      EFI_HANDLE handle = nullptr;
      ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &gNicIoProtocolGuid, EFI_NATIVE_INTERFACE,
                                              provider_->Protocol()),
                EFI_SUCCESS);
      nicIoHandles_.push_back(handle);
    });
  }

  void ReinstallNicIo() {
    RunOk([&] {
      ASSERT_EQ(bs_->ReinstallProtocolInterface(nicIoHandles_.front(), &gNicIoProtocolGuid,
                                                provider_->Protocol(), provider_->Protocol()),
                EFI_SUCCESS);
    });
  }

  MGMT_LINK_PROTOCOL *LocateLink() {
    void *link = nullptr;
    RunOk([&] {
      if (bs_->LocateProtocol(&gMgmtLinkProtocolGuid, nullptr, &link) != EFI_SUCCESS) {
        link = nullptr;
      }
    });
    return static_cast<MGMT_LINK_PROTOCOL *>(link);
  }

  // Driver loaded, controller found: the link record every client sees.
  void Load() {
    StartDriver();
    InstallNicIo();
    link_ = LocateLink();
    ASSERT_NE(link_, nullptr);
  }

  void LoadAndOpen() {
    Load();
    ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  }

  NIC_DEVICE_CONTEXT *Context() { return NicContextFromLink(link_); }

  // ---- The operations, each inside a run ----
  EFI_STATUS Open(uint8_t enable, uint32_t tag) {
    return Call([&] { return link_->Open(link_, enable, tag); });
  }
  EFI_STATUS Send(const std::vector<uint8_t> &payload) {
    return Call(
        [&] { return link_->Send(link_, payload.data(), static_cast<UINT16>(payload.size())); });
  }
  EFI_STATUS GetStatus(uint8_t *status) {
    return Call([&] { return link_->GetStatus(link_, status); });
  }
  EFI_STATUS SetOobMode(uint8_t mode) {
    return Call([&] { return link_->SetOobMode(link_, mode); });
  }
  EFI_STATUS ConfigureOob(uint8_t enable) {
    return Call([&] { return link_->ConfigureOob(link_, enable); });
  }
  // Transact with a response buffer of `capacity` bytes; answer_ receives
  // what came back (resized to the reported length on success).
  EFI_STATUS Transact(const std::vector<uint8_t> &request, uint32_t polls,
                      uint16_t capacity = 1024) {
    answer_.assign(capacity, 0xEE);
    answerLength_ = capacity;
    EFI_STATUS status = Call([&] {
      return link_->Transact(link_, request.data(), static_cast<UINT16>(request.size()), polls,
                             answer_.data(), &answerLength_);
    });
    if (status == EFI_SUCCESS) {
      answer_.resize(answerLength_);
    }
    return status;
  }

  // Frames the controller put on the wire, as sent (without padding).
  std::vector<std::vector<uint8_t>> SentFrames() const {
    std::vector<std::vector<uint8_t>> frames;
    for (const auto &record : nic_.TxLog()) {
      frames.emplace_back(record.frame.begin(), record.frame.begin() + record.length);
    }
    return frames;
  }

  sim::Machine machine_;
  sim::MachineScope scope_;
  sim::PmTimer pmTimer_;
  sim::VariableStore variables_;
  std::unique_ptr<sim::Dxe> dxe_;
  sim::NicModel nic_;
  sim::MgmtController peer_;
  std::unique_ptr<sim::NicIoProvider> provider_;
  EFI_BOOT_SERVICES *bs_ = nullptr;
  EFI_HANDLE driverHandle_ = nullptr;
  std::vector<EFI_HANDLE> nicIoHandles_;
  MGMT_LINK_PROTOCOL *link_ = nullptr;
  uint64_t elapsedNs_ = 0;
  std::vector<uint8_t> answer_;
  uint16_t answerLength_ = 0;
  bool misuseInjected_ = false;
};

// The same slice with the controller at another chip version.
template <unsigned Version, bool OobFirmware = true> class VersionFixture : public LinkFixture {
protected:
  VersionFixture() : LinkFixture(ConfigFor(Version, OobFirmware)) {}
};

// ---- Independent checks of what went on the wire ----

inline uint16_t Big16(const std::vector<uint8_t> &f, size_t at) {
  return static_cast<uint16_t>(f[at] << 8 | f[at + 1]);
}

// Ones' complement sum over [from, to) folded to 16 bits.
inline uint32_t OnesSum(const std::vector<uint8_t> &f, size_t from, size_t to, uint32_t sum = 0) {
  for (size_t i = from; i < to; i += 2) {
    sum += static_cast<uint32_t>(f[i]) << 8 | (i + 1 < to ? f[i + 1] : 0);
  }
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum;
}

// A header whose checksum is right sums to 0xFFFF.
inline bool Ipv4ChecksumValid(const std::vector<uint8_t> &f) {
  return OnesSum(f, 14, 34) == 0xFFFF;
}

inline bool UdpChecksumValid(const std::vector<uint8_t> &f) {
  size_t udpLength = Big16(f, 38);
  if (Big16(f, 40) == 0 || 34 + udpLength > f.size()) {
    return false; // "no checksum" is not what the descriptor asked for
  }
  uint32_t pseudo = OnesSum(f, 26, 34); // source and destination address
  pseudo += 17 + static_cast<uint32_t>(udpLength);
  return OnesSum(f, 34, 34 + udpLength, pseudo) == 0xFFFF;
}

} // namespace link_test
