// The default board: one machine with every device model the seven modules
// meet, wired as the board wires them. Models that hold state across a
// platform reset (the Ethernet controller's configuration and out-of-band
// firmware, the management controller, the displays' presence, the flash
// variables) live as long as the board; the platform's other models (chipset,
// EC, Super I/O, PCH GPIO, PM timer, reset control) are rebuilt in their
// power-on state by PowerOn() at the start of every boot.
//
// Models whose library is not in this build yet are left out; the
// MGMT_BOARD_HAS_* definitions say which are in.
#pragma once

#include "BoardOptions.h"
#include "ModelFaults.h"

#include <sim/core/Machine.h>
#include <sim/uefi/VariableStore.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {
class Chipset;
class Ec;
class SuperIo;
class PmTimer;
class ResetControl;
class PciConfigSpace;
class NicModel;
class MgmtController;
class DisplayDevice;
class LinkTap;
class PchGpioModel;
namespace smbios {
class Table;
}
} // namespace sim

namespace sim::board {

// Owner of a model whose library may be missing from this build: its
// deleter is defined where the model's header can be included.
template <typename T> struct ModelDeleter { void operator()(T *model) const; };
template <typename T> using Owned = std::unique_ptr<T, ModelDeleter<T>>;

// Where the board puts things.
inline constexpr uint8_t kBridgeBus = 0, kBridgeDevice = 28, kBridgeFunction = 0;
inline constexpr uint8_t kNicBus = 1, kNicDevice = 0, kNicFunction = 0;
inline constexpr uint8_t kMgmtDisplayBus = 0, kMgmtDisplayDevice = 2;
inline constexpr uint8_t kOtherDisplayBus = 2, kOtherDisplayDevice = 0;
// The controller's resources as the earlier PEI component assigns them.
inline constexpr uint16_t kNicIoBase = 0xE000;
inline constexpr uint64_t kNicMmioBase = 0xF7D00000;
inline constexpr uint64_t kNicAuxBase = 0xF7D04000;
inline constexpr uint64_t kMgmtFramebuffer = 0xC0000000;
inline constexpr uint64_t kOtherFramebuffer = 0xD0000000;

// The frames on the management link, both directions, as the board saw them.
struct WireFrame {
  uint64_t timeNs;
  bool toBoard;
  std::vector<uint8_t> frame;
};

class Board {
public:
  explicit Board(BoardOptions options = {});
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  const BoardOptions &options() const { return options_; }
  Machine &machine() { return machine_; }
  VariableStore &variables() { return variables_; }

  // Platform reset: fresh platform models, the NIC back to its power-on
  // registers. Non-volatile variables are kept; volatile ones are dropped.
  void PowerOn();
  unsigned PowerOns() const { return powerOns_; }
  // Runs at the end of every power-on, once the fresh models are in place
  // (fault injection into the models PowerOn rebuilds).
  void SetPowerOnHook(std::function<void(Board &)> hook) { powerOnHook_ = std::move(hook); }

  // Per-boot models (valid from PowerOn to the next PowerOn).
  Chipset &chipset() { return *chipset_; }
  Ec &ec() { return *ec_; }
  SuperIo &superio() { return *superio_; }
  ResetControl &resetControl() { return *resetControl_; }
  PchGpioModel *pchGpio() { return pchGpio_.get(); }
  PmTimer &pmTimer() { return *pmTimer_; }

  // Long-lived models; null when not in this build or not fitted.
  NicModel *nic() { return nic_.get(); }
  MgmtController *controller() { return controller_.get(); }
  DisplayDevice *mgmtDisplay() { return mgmtDisplay_.get(); }
  DisplayDevice *otherDisplay() { return otherDisplay_.get(); }
  std::vector<DisplayDevice *> Displays();

  // SMBIOS table the firmware core serves (parsed from options or built in).
  const smbios::Table *smbiosTable() const { return smbiosTable_.get(); }

  // Every frame on the management link, and an extra capture point (pcap).
  const std::vector<WireFrame> &Wire() const { return wire_; }
  void SetCapture(LinkTap *tap) { capture_ = tap; }
  // Writes every frame to a pcap file from now on; false (and `error`) when
  // the file cannot be created or the link is not in this build.
  bool OpenCapture(const std::string &path, std::string *error);

  // One PNG per display into `directory` (<name>.png); the paths written.
  // False (and `error`) on the first failure.
  bool SaveScreenshots(const std::string &directory, std::vector<std::string> &written,
                       std::string *error);

  // The Setup image the default board's flash holds (2638 bytes).
  static std::vector<uint8_t> DefaultSetup();

  // Misuse counters of every device model, summed over the run's boots.
  std::vector<ModelFaultCounts> ModelFaults() const;

  // Models in this build, for the transcript.
  static std::vector<std::string> ModelsInBuild();
  static std::vector<std::string> ModelsMissing();

private:
  class WireTap;
  void SeedVariables();
  void BuildNic();
  // Counters of the models PowerOn rebuilds, this boot's alone.
  std::vector<ModelFaultCounts> PlatformModelFaults() const;

  BoardOptions options_;
  Machine machine_;
  MachineScope scope_{machine_};
  VariableStore variables_;

  std::unique_ptr<PmTimer> pmTimer_;
  std::unique_ptr<ResetControl> resetControl_;
  std::unique_ptr<Chipset> chipset_;
  std::unique_ptr<Ec> ec_;
  std::unique_ptr<SuperIo> superio_;
  std::unique_ptr<PciConfigSpace> bridge_;
  Owned<PchGpioModel> pchGpio_;

  Owned<NicModel> nic_;
  Owned<MgmtController> controller_;
  Owned<DisplayDevice> mgmtDisplay_;
  Owned<DisplayDevice> otherDisplay_;
  Owned<smbios::Table> smbiosTable_;

  std::unique_ptr<WireTap> tap_;
  Owned<LinkTap> pcap_;
  LinkTap *capture_ = nullptr;
  std::vector<WireFrame> wire_;
  unsigned powerOns_ = 0;
  std::function<void(Board &)> powerOnHook_;
  std::vector<ModelFaultCounts> platformFaults_; // of the boots before this one
};

} // namespace sim::board
