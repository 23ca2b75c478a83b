// The default board's wiring: which model sits at which port, address and
// PCI location, the flash's variables at first power-on, and the capture
// point on the management link.
#include "Board.h"

#include <Guid/SetupVariable.h>

#include "Chipset.h"
#include "Ec.h"
#include "PmTimer.h"
#include "ResetControl.h"
#include "SuperIo.h"
#include <sim/core/Pci.h>

#if MGMT_BOARD_HAS_NIC
#include "MgmtController.h"
#include "NicModel.h"
#include "PcapWriter.h"
#endif
#if MGMT_BOARD_HAS_DISPLAY
#include "DisplayDevice.h"
#endif
#if MGMT_BOARD_HAS_PCH_GPIO
#include "PchGpioModel.h"
#endif
#if MGMT_BOARD_HAS_SMBIOS
#include "DefaultTable.h"
#include "SmbiosTable.h"
#endif

#include <cstring>
#include <map>
#include <stdexcept>

namespace sim::board {

// A model that is in the build is deleted; one that is not is never made.
#define MGMT_BOARD_DELETER(Type)                                                                   \
  template <> void ModelDeleter<Type>::operator()(Type *model) const { delete model; }
#define MGMT_BOARD_NO_DELETER(Type)                                                                \
  template <> void ModelDeleter<Type>::operator()(Type *model) const { (void)model; }

#if MGMT_BOARD_HAS_NIC
MGMT_BOARD_DELETER(NicModel)
MGMT_BOARD_DELETER(MgmtController)
#else
MGMT_BOARD_NO_DELETER(NicModel)
MGMT_BOARD_NO_DELETER(MgmtController)
#endif
#if MGMT_BOARD_HAS_NIC
MGMT_BOARD_DELETER(LinkTap)
#else
MGMT_BOARD_NO_DELETER(LinkTap)
#endif
#if MGMT_BOARD_HAS_PCH_GPIO
MGMT_BOARD_DELETER(PchGpioModel)
#else
MGMT_BOARD_NO_DELETER(PchGpioModel)
#endif
#if MGMT_BOARD_HAS_DISPLAY
MGMT_BOARD_DELETER(DisplayDevice)
#else
MGMT_BOARD_NO_DELETER(DisplayDevice)
#endif
#if MGMT_BOARD_HAS_SMBIOS
MGMT_BOARD_DELETER(smbios::Table)
#else
MGMT_BOARD_NO_DELETER(smbios::Table)
#endif

#if MGMT_BOARD_HAS_NIC
// Sits on the wire: keeps every frame for the transcript and report, and
// passes each on to the optional capture (pcap).
class Board::WireTap final : public LinkTap {
public:
  explicit WireTap(Board &board) : board_(board) {}
  void OnWireFrame(uint64_t timeNs, LinkDirection direction,
                   const std::vector<uint8_t> &frame) override {
    board_.wire_.push_back(WireFrame{timeNs, direction == LinkDirection::ToBoard, frame});
    if (board_.capture_ != nullptr) {
      board_.capture_->OnWireFrame(timeNs, direction, frame);
    }
  }

private:
  Board &board_;
};
#else
class Board::WireTap {};
#endif

namespace {

// The management device's pads: group index and pad number.
const std::map<std::string, std::pair<unsigned, unsigned>> kPads = {
    {"MgmtPadDrive", {2, 21}}, {"MgmtPadSense", {2, 20}}, {"MgmtPadPulse", {4, 3}}};

void PutUtf16(std::vector<uint8_t> &image, uint32_t offset, const char *text) {
  for (size_t i = 0; text[i] != 0; ++i) {
    image[offset + 2 * i] = static_cast<uint8_t>(text[i]);
  }
}

// A type-1 header: the bridge the Ethernet controller sits behind.
void MakeBridge(PciConfigSpace &bridge) {
  bridge.SetIds(Chipset::kVendorId, 0xA33C); // the chipset's root port
  bridge.SetClass(0x06, 0x04, 0x00);
  bridge.Set8(pci::kHeaderType, 0x01);
  bridge.Set8(0x18, kBridgeBus); // primary bus
  bridge.Set8(0x19, kNicBus);    // secondary bus
  bridge.Set8(0x1A, kNicBus);    // subordinate bus
  bridge.Set16(pci::kCommand, 0x0007);
  bridge.SetWriteMask(pci::kCommand, 2, 0x0007);
}

} // namespace

std::vector<uint8_t> Board::DefaultSetup() {
  std::vector<uint8_t> setup(kSetupVariableSize, 0);
  setup[SetupOffset::SioEcOption] = 1;
  setup[SetupOffset::MgmtFirstStartMark] = kMgmtFirstStartDone;
  setup[SetupOffset::MgmtOobEnable] = 1;
  setup[SetupOffset::MgmtAgentEnable] = 1;
  setup[SetupOffset::MgmtRebindEnable] = 1;
  setup[SetupOffset::MgmtHobForce] = 0;
  setup[SetupOffset::MgmtDisplayMode] = 0;
  setup[SetupOffset::MgmtResetCount] = 0;
  const uint32_t polls = 500; // receive polls of 1 ms per link transaction
  std::memcpy(&setup[SetupOffset::MgmtLinkPollCount], &polls, sizeof(polls));
  setup[SetupOffset::MgmtRangeRows] = 1;
  PutUtf16(setup, MgmtRangeFirst(0), "192.168.10.1");
  PutUtf16(setup, MgmtRangeLast(0), "192.168.10.50");
  PutUtf16(setup, SetupOffset::MgmtTextItem, "board-01");
  return setup;
}

std::vector<std::string> Board::ModelsInBuild() {
  std::vector<std::string> models = {"chipset", "ec", "superio", "pm-timer", "reset-control"};
#if MGMT_BOARD_HAS_NIC
  models.push_back("nic");
  models.push_back("mgmt-controller");
#endif
#if MGMT_BOARD_HAS_PCH_GPIO
  models.push_back("pch-gpio");
#endif
#if MGMT_BOARD_HAS_DISPLAY
  models.push_back("display");
#endif
#if MGMT_BOARD_HAS_SMBIOS
  models.push_back("smbios");
#endif
  return models;
}

std::vector<std::string> Board::ModelsMissing() {
  std::vector<std::string> missing;
#if !MGMT_BOARD_HAS_NIC
  missing.push_back("nic");
  missing.push_back("mgmt-controller");
#endif
#if !MGMT_BOARD_HAS_PCH_GPIO
  missing.push_back("pch-gpio");
#endif
#if !MGMT_BOARD_HAS_PCI_DEVICE_LIST
  missing.push_back("pci-device-list");
#endif
#if !MGMT_BOARD_HAS_PCI_IO
  missing.push_back("pci-io");
#endif
#if !MGMT_BOARD_HAS_FV
  missing.push_back("fv");
#endif
#if !MGMT_BOARD_HAS_DISPLAY
  missing.push_back("display");
#endif
#if !MGMT_BOARD_HAS_SMBIOS
  missing.push_back("smbios");
#endif
  return missing;
}

Board::Board(BoardOptions options) : options_(std::move(options)) {
  // The limit holds accesses only: without a register trace nobody reads
  // them, and recording tens of thousands per boot cost more than the boot.
  machine_.trace().SetLimit(options_.registerTrace ? 200'000 : 0);
#if MGMT_BOARD_HAS_SMBIOS
  if (!options_.smbiosImage.empty()) {
    smbios::ParseResult parsed = smbios::ParseSmbiosImage(options_.smbiosImage);
    if (!parsed) {
      throw std::invalid_argument(parsed.error);
    }
    smbiosTable_.reset(new smbios::Table(std::move(*parsed.table)));
  } else {
    smbios::ParseResult parsed = smbios::ParseSmbiosImage(smbios::DefaultBoardImage());
    smbiosTable_.reset(new smbios::Table(std::move(*parsed.table)));
  }
  uint64_t perf = smbios::kDefaultBoardPerfStatus & ~uint64_t{0xFF00};
  machine_.bus().SetMsr(smbios::kMsrPerfStatus, perf | (uint64_t{options_.msrRatio} << 8));
#else
  machine_.bus().SetMsr(0x198, 0x00001B5A00000000ull | (uint64_t{options_.msrRatio} << 8));
#endif
  BuildNic();
#if MGMT_BOARD_HAS_DISPLAY
  if (options_.mgmtDisplay) {
    mgmtDisplay_.reset(
        new DisplayDevice(machine_, DisplayDevice::ManagementDisplay(kMgmtFramebuffer)));
    machine_.bus().Pci().Attach(kMgmtDisplayBus, kMgmtDisplayDevice, 0, mgmtDisplay_.get(),
                                "mgmt-display");
  }
  if (options_.otherDisplay) {
    otherDisplay_.reset(
        new DisplayDevice(machine_, DisplayDevice::Card("display", kOtherFramebuffer)));
    machine_.bus().Pci().Attach(kOtherDisplayBus, kOtherDisplayDevice, 0, otherDisplay_.get(),
                                "display");
  }
#endif
  SeedVariables();
}

Board::~Board() {
  if (nic_) {
    machine_.bus().Pci().Detach(kNicBus, kNicDevice, kNicFunction);
  }
  if (mgmtDisplay_) {
    machine_.bus().Pci().Detach(kMgmtDisplayBus, kMgmtDisplayDevice, 0);
  }
  if (otherDisplay_) {
    machine_.bus().Pci().Detach(kOtherDisplayBus, kOtherDisplayDevice, 0);
  }
  if (bridge_) {
    machine_.bus().Pci().Detach(bridge_.get());
  }
}

void Board::BuildNic() {
#if MGMT_BOARD_HAS_NIC
  NicModel::Config config;
  config.chipVersion = options_.chipVersion;
  config.linkUp = options_.linkUp;
  config.oobFirmware = options_.oobFirmware;
  config.ioBase = kNicIoBase;
  config.mmioBase = kNicMmioBase;
  config.auxBase = kNicAuxBase;
  nic_.reset(new NicModel(machine_, config));
  nic_->AllowExecutableDataDma();
  machine_.bus().Pci().Attach(kNicBus, kNicDevice, kNicFunction, nic_.get(), "nic");
  controller_.reset(new MgmtController(machine_));
  controller_->Attach(nic_.get());
  nic_->AttachPeer(controller_.get());
  tap_ = std::make_unique<WireTap>(*this);
  nic_->SetTap(tap_.get());

  // The controller holds the same first range as the board's Setup.
  controller_->SetRange(0, {192, 168, 10, 1}, {192, 168, 10, 50});
  for (const auto &[code, value] : options_.controllerItems) {
    controller_->SetItem(code, value);
  }
  controller_->SetSilent(options_.controllerSilent);
  controller_->DropNextRequests(options_.dropRequests);
  for (const ControllerFault &fault : options_.controllerFaults) {
    switch (fault.kind) {
    case ControllerFault::Kind::Refuse:
      if (fault.code) {
        controller_->Refuse(*fault.code, fault.status);
      }
      break;
    case ControllerFault::Kind::Silent:
      if (fault.code) {
        controller_->SetSilentFor(*fault.code, true);
      } else {
        controller_->SetSilent(true);
      }
      break;
    case ControllerFault::Kind::Late:
      if (fault.code) {
        controller_->SetAnswerDelayFor(*fault.code, fault.delayNs);
      } else {
        controller_->SetAnswerDelay(fault.delayNs);
      }
      break;
    }
  }
#endif
}

void Board::SeedVariables() {
  constexpr uint32_t kNvBsRt = 0x7;
  if (options_.setupPresent) {
    std::vector<uint8_t> setup = DefaultSetup();
    for (const auto &[offset, bytes] : options_.setupBytes) {
      if (offset + bytes.size() > setup.size()) {
        throw std::invalid_argument("Setup bytes beyond the variable's 2638 bytes");
      }
      std::memcpy(&setup[offset], bytes.data(), bytes.size());
    }
    variables_.Seed("Setup", gSetupVariableGuid, kNvBsRt, setup);
  }
  if (options_.acceVar) {
    uint32_t value = *options_.acceVar;
    variables_.Seed("AcceVar", gAcceVarGuid, kAcceVarAttributes,
                    std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&value), 4));
  }
  if (options_.networkStackVar) {
    std::vector<uint8_t> value = {*options_.networkStackVar, 0, 0, 0, 0, 0, 0, 0};
    variables_.Seed("NetworkStackVar", gNetworkStackVarGuid, kNvBsRt, value);
  }
}

void Board::PowerOn() {
  if (powerOns_++ != 0) {
    variables_.ResetForNextBoot();
  }
  AddModelFaults(platformFaults_, PlatformModelFaults());
  // Old platform models leave the bus before the new ones map themselves.
  pchGpio_.reset();
  ec_.reset();
  superio_.reset();
  chipset_.reset();
  resetControl_.reset();
  pmTimer_.reset();
  if (bridge_) {
    machine_.bus().Pci().Detach(bridge_.get());
    bridge_.reset();
  }
  machine_.ClearStop();
  machine_.trace().Clear(); // the trace tells about the boot in progress

  pmTimer_ = std::make_unique<PmTimer>(machine_.clock(), machine_.bus());
  resetControl_ = std::make_unique<ResetControl>(machine_);
  chipset_ = std::make_unique<Chipset>(machine_, options_.pchSeries == BoardOptions::PchSeries::H
                                                     ? Chipset::kDeviceIdH
                                                     : Chipset::kDeviceIdLp);
  ec_ = std::make_unique<Ec>(machine_);
  ec_->AttachInterface(0x62, 0x66);
  ec_->SetPresent(options_.ecPresent);
  // The board's EC comes up with bit 3 of 0xD6 set, so the boot visibly clears it.
  ec_->SetRegister(0, 0xD6, 0x0C);
  for (const BoardOptions::EcRegister &r : options_.ecRegisters) {
    ec_->SetRegister(r.bank, r.reg, r.value);
  }
  Chipset *chipset = chipset_.get();
  ec_->SetDecodeGate([chipset](uint16_t port) { return chipset->DecodesIo(port); });
  superio_ = std::make_unique<SuperIo>(machine_);
  bridge_ = std::make_unique<PciConfigSpace>();
  MakeBridge(*bridge_);
  machine_.bus().Pci().Attach(kBridgeBus, kBridgeDevice, kBridgeFunction, bridge_.get(), "bridge");
#if MGMT_BOARD_HAS_PCH_GPIO
  pchGpio_.reset(new PchGpioModel(machine_, chipset_->sideband(), chipset_->Series()));
  // The management device pulls its sense pad low when it is fitted.
  std::map<std::string, bool> levels = {{"MgmtPadSense", false}};
  for (const auto &[pad, level] : options_.padLevels) {
    levels[pad] = level;
  }
  for (const auto &[pad, level] : levels) {
    const auto [group, number] = kPads.at(pad);
    pchGpio_->SetInputLevel(group, number, level);
  }
#endif
#if MGMT_BOARD_HAS_NIC
  nic_->PowerOnReset();
  // Resource assignment before the modules run: a previous boot may have
  // hidden the controller by clearing its BARs and decoding.
  nic_->ConfigWrite(pci::kBar0, 4, kNicIoBase | 1u);
  nic_->ConfigWrite(pci::kBar0 + 8, 4, static_cast<uint32_t>(kNicMmioBase));
  nic_->ConfigWrite(pci::kBar0 + 12, 4, static_cast<uint32_t>(kNicMmioBase >> 32));
  nic_->ConfigWrite(pci::kBar0 + 16, 4, static_cast<uint32_t>(kNicAuxBase));
  nic_->ConfigWrite(pci::kBar0 + 20, 4, static_cast<uint32_t>(kNicAuxBase >> 32));
  nic_->ConfigWrite(pci::kCommand, 2, 0x0007);
#endif
#if MGMT_BOARD_HAS_DISPLAY
  // Each display comes up black in its first mode.
  for (DisplayDevice *display : Displays()) {
    display->SetMode(0);
  }
#endif
  if (powerOnHook_) {
    powerOnHook_(*this);
  }
}

bool Board::OpenCapture(const std::string &path, std::string *error) {
#if MGMT_BOARD_HAS_NIC
  std::unique_ptr<PcapWriter> writer = PcapWriter::Open(path, error);
  if (!writer) {
    return false;
  }
  pcap_.reset(writer.release());
  capture_ = pcap_.get();
  return true;
#else
  (void)path;
  if (error != nullptr) {
    *error = "the management link is not in this build";
  }
  return false;
#endif
}

bool Board::SaveScreenshots(const std::string &directory, std::vector<std::string> &written,
                            std::string *error) {
#if MGMT_BOARD_HAS_DISPLAY
  for (DisplayDevice *display : Displays()) {
    const std::string path = directory + "/" + display->name() + ".png";
    if (!display->SavePng(path, error)) {
      return false;
    }
    written.push_back(path);
  }
  return true;
#else
  (void)directory;
  (void)written;
  if (error != nullptr) {
    *error = "the display models are not in this build";
  }
  return false;
#endif
}

std::vector<DisplayDevice *> Board::Displays() {
  std::vector<DisplayDevice *> displays;
  if (mgmtDisplay_) {
    displays.push_back(mgmtDisplay_.get());
  }
  if (otherDisplay_) {
    displays.push_back(otherDisplay_.get());
  }
  return displays;
}

} // namespace sim::board
