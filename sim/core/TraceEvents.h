// Every event the simulator's models and services put into the trace, each
// declared once as a type with its fields. Tests and the boot runner match
// events by type and read the fields; the text a person reads (the trace
// dump, `mgmt-sim -v`) is made from the fields in TraceEvents.cpp alone.
#pragma once

#include <Uefi/UefiBaseType.h>

#include <cstdint>
#include <optional>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

namespace sim::ev {

inline bool operator==(const EFI_GUID &a, const EFI_GUID &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---- machine ----
struct MachineStop {
  bool operator==(const MachineStop &) const = default;
  static constexpr const char *kName = "machine.stop";
  std::string_view reason; // "reset", "watchdog", "fault", "power-off"
  std::string detail;
};

// ---- PEI services ----
struct PeiInstallPpi {
  bool operator==(const PeiInstallPpi &) const = default;
  static constexpr const char *kName = "pei.install_ppi";
  EFI_GUID guid{};
};
struct PeiNotifyPpi {
  bool operator==(const PeiNotifyPpi &) const = default;
  static constexpr const char *kName = "pei.notify_ppi";
  EFI_GUID guid{};
};
struct PeiCreateHob {
  bool operator==(const PeiCreateHob &) const = default;
  static constexpr const char *kName = "pei.create_hob";
  uint16_t type = 0;
  uint32_t length = 0; // rounded up to the HOB alignment
};
struct PeiEndOfPei {
  bool operator==(const PeiEndOfPei &) const = default;
  static constexpr const char *kName = "pei.end_of_pei";
};

// ---- DXE services ----
struct DxeInstall {
  bool operator==(const DxeInstall &) const = default;
  static constexpr const char *kName = "dxe.install";
  EFI_GUID protocol{};
  uint64_t handle = 0;
};
struct DxeUninstall {
  bool operator==(const DxeUninstall &) const = default;
  static constexpr const char *kName = "dxe.uninstall";
  EFI_GUID protocol{};
  uint64_t handle = 0;
};
struct DxeReinstall {
  bool operator==(const DxeReinstall &) const = default;
  static constexpr const char *kName = "dxe.reinstall";
  EFI_GUID protocol{};
  uint64_t handle = 0;
};
struct DxeRegisterNotify {
  bool operator==(const DxeRegisterNotify &) const = default;
  static constexpr const char *kName = "dxe.register_notify";
  EFI_GUID protocol{};
};
struct DxeConfigTable {
  bool operator==(const DxeConfigTable &) const = default;
  static constexpr const char *kName = "dxe.config_table";
  EFI_GUID guid{};
  bool installed = false;
};
struct DxeUnload {
  bool operator==(const DxeUnload &) const = default;
  static constexpr const char *kName = "dxe.unload";
  std::optional<std::string> module; // unset: the entry point is in no known module
  uint64_t status = 0;
};
struct DxeSetVariable {
  bool operator==(const DxeSetVariable &) const = default;
  static constexpr const char *kName = "dxe.set_variable";
  std::optional<std::string> name; // unset: the caller's name was unterminated
  uint64_t size = 0;
  uint32_t attributes = 0;
  uint64_t status = 0;
};
struct DxeSignalGroup {
  bool operator==(const DxeSignalGroup &) const = default;
  static constexpr const char *kName = "dxe.signal_group";
  EFI_GUID group{};
};
struct DxeExitBootServices {
  bool operator==(const DxeExitBootServices &) const = default;
  static constexpr const char *kName = "dxe.exit_boot_services";
};

// ---- firmware-core stand-ins ----
struct SmbiosRead {
  bool operator==(const SmbiosRead &) const = default;
  static constexpr const char *kName = "smbios.read";
  uint8_t type = 0;
  uint8_t instance = 0;
  bool delivered = false;
  uint16_t handle = 0; // when delivered
  uint64_t bytes = 0;  // when delivered
};
struct PciListRefresh {
  bool operator==(const PciListRefresh &) const = default;
  static constexpr const char *kName = "pcilist.refresh";
  uint64_t records = 0;
};
struct SetupLogoTrigger {
  bool operator==(const SetupLogoTrigger &) const = default;
  static constexpr const char *kName = "setup.logo_trigger";
};
struct SetupPullTrigger {
  bool operator==(const SetupPullTrigger &) const = default;
  static constexpr const char *kName = "setup.pull_trigger";
};
struct SetupPushTrigger {
  bool operator==(const SetupPushTrigger &) const = default;
  static constexpr const char *kName = "setup.push_trigger";
};
struct SetupGetBuffer {
  bool operator==(const SetupGetBuffer &) const = default;
  static constexpr const char *kName = "setup.get_buffer";
};

// ---- displays ----
struct DisplayMode {
  bool operator==(const DisplayMode &) const = default;
  static constexpr const char *kName = "display.mode";
  uint32_t width = 0;
  uint32_t height = 0;
};
struct BltArea {
  bool operator==(const BltArea &) const = default;
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t x = 0;
  uint64_t y = 0;
};
struct GopBlt : BltArea {
  bool operator==(const GopBlt &) const = default;
  static constexpr const char *kName = "gop.blt";
};
struct LogoBlt : BltArea {
  bool operator==(const LogoBlt &) const = default;
  static constexpr const char *kName = "logo.blt";
};
struct GopBltRejected {
  bool operator==(const GopBltRejected &) const = default;
  static constexpr const char *kName = "gop.blt_rejected";
  std::string_view why;
};

// ---- embedded controller ----
struct EcCommand {
  bool operator==(const EcCommand &) const = default;
  static constexpr const char *kName = "ec.cmd";
  uint16_t port = 0; // the interface's command port
  uint8_t command = 0;
};
struct EcRegister {
  bool operator==(const EcRegister &) const = default;
  uint8_t bank = 0;
  uint8_t reg = 0;
  uint8_t value = 0;
};
struct EcRead : EcRegister {
  bool operator==(const EcRead &) const = default;
  static constexpr const char *kName = "ec.read";
};
struct EcWrite : EcRegister {
  bool operator==(const EcWrite &) const = default;
  static constexpr const char *kName = "ec.write";
};
struct EcSmbus {
  bool operator==(const EcSmbus &) const = default;
  static constexpr const char *kName = "ec.smbus";
  uint8_t address = 0;
  uint8_t command = 0;
  uint8_t status = 0;
};

// ---- management controller ----
struct MgmtBadChecksum {
  bool operator==(const MgmtBadChecksum &) const = default;
  static constexpr const char *kName = "mgmt.bad_checksum";
};
struct MgmtMalformed {
  bool operator==(const MgmtMalformed &) const = default;
  static constexpr const char *kName = "mgmt.malformed";
  enum class Frame { Notice, Request } frame = Frame::Notice;
};
struct MgmtNotice {
  bool operator==(const MgmtNotice &) const = default;
  static constexpr const char *kName = "mgmt.notice";
  uint32_t tag = 0;
  uint64_t length = 0;
};
struct MgmtDrop {
  bool operator==(const MgmtDrop &) const = default;
  static constexpr const char *kName = "mgmt.drop";
  uint32_t code = 0;
};
struct MgmtSilent {
  bool operator==(const MgmtSilent &) const = default;
  static constexpr const char *kName = "mgmt.silent";
  uint32_t code = 0;
};
struct MgmtRequest {
  bool operator==(const MgmtRequest &) const = default;
  static constexpr const char *kName = "mgmt.request";
  uint32_t code = 0;
  uint16_t status = 0;
  uint64_t dueNs = 0; // when the answer reaches the wire
};

// ---- Super I/O ----
struct SioEnterConfig {
  bool operator==(const SioEnterConfig &) const = default;
  static constexpr const char *kName = "sio.enter_config";
};
struct SioExitConfig {
  bool operator==(const SioExitConfig &) const = default;
  static constexpr const char *kName = "sio.exit_config";
};
struct SioRegister {
  bool operator==(const SioRegister &) const = default;
  bool global = false; // a global register: no logical device applies
  uint8_t ldn = 0;
  uint8_t reg = 0;
  uint8_t value = 0;
};
struct SioRead : SioRegister {
  bool operator==(const SioRead &) const = default;
  static constexpr const char *kName = "sio.read";
};
struct SioWrite : SioRegister {
  bool operator==(const SioWrite &) const = default;
  static constexpr const char *kName = "sio.write";
};
struct SioOutsideConfig {
  bool operator==(const SioOutsideConfig &) const = default;
  static constexpr const char *kName = "sio.outside_config";
  std::string_view what; // the access made outside configuration mode
  uint8_t value = 0;
};
struct SioPin {
  bool operator==(const SioPin &) const = default;
  static constexpr const char *kName = "sio.pin";
  uint8_t pin = 0; // decimal code: group in the tens, bit in the units
  bool output = false;
  bool level = false;
};

// ---- chipset ----
struct ChipsetDecode {
  bool operator==(const ChipsetDecode &) const = default;
  static constexpr const char *kName = "chipset.decode";
  uint16_t reg = 0;
  uint32_t value = 0;
  unsigned size = 0;
};
struct ChipsetMirror {
  bool operator==(const ChipsetMirror &) const = default;
  static constexpr const char *kName = "chipset.mirror";
  uint16_t offset = 0;
  uint32_t value = 0;
  unsigned size = 0;
};
struct ChipsetRefused {
  bool operator==(const ChipsetRefused &) const = default;
  static constexpr const char *kName = "chipset.refused";
  enum class Target { Bridge, Mirror } target = Target::Bridge;
  uint16_t reg = 0; // bridge register or mirror offset
  uint32_t value = 0;
  unsigned size = 0;
};
struct ChipsetLock {
  bool operator==(const ChipsetLock &) const = default;
  static constexpr const char *kName = "chipset.lock";
  uint16_t offset = 0;
  uint32_t value = 0; // the lock register after the write
};

// ---- PCH GPIO and the sideband bridge ----
struct GpioOutput {
  bool operator==(const GpioOutput &) const = default;
  static constexpr const char *kName = "gpio.output";
  unsigned group = 0;
  unsigned pad = 0;
  bool driven = false;
  bool level = false;
};
struct GpioRegisterChange {
  bool operator==(const GpioRegisterChange &) const = default;
  std::string_view reg; // register name
  unsigned group = 0;
  unsigned pad = 0; // first pad the register covers
  uint32_t before = 0;
  uint32_t after = 0;
};
struct GpioPadConfig : GpioRegisterChange {
  bool operator==(const GpioPadConfig &) const = default;
  static constexpr const char *kName = "gpio.pad_cfg";
  unsigned word = 0; // DW0, DW1, ...
};
struct GpioLock : GpioRegisterChange {
  bool operator==(const GpioLock &) const = default;
  static constexpr const char *kName = "gpio.lock";
};
struct GpioRegister : GpioRegisterChange {
  bool operator==(const GpioRegister &) const = default;
  static constexpr const char *kName = "gpio.reg";
};
struct GpioRefused {
  bool operator==(const GpioRefused &) const = default;
  static constexpr const char *kName = "gpio.refused";
  uint8_t port = 0;
  uint16_t offset = 0;
  // Empty: a lock message to a register that is not a lock register.
  std::string_view why;
};
struct SbBridgeRefused {
  bool operator==(const SbBridgeRefused &) const = default;
  static constexpr const char *kName = "sbbridge.refused"; // a start while busy
};
struct SbBridgeStart {
  bool operator==(const SbBridgeStart &) const = default;
  static constexpr const char *kName = "sbbridge.start";
  uint8_t opcode = 0;
  uint8_t port = 0;
  uint16_t offset = 0;
  uint32_t data = 0;
};
struct SbBridgeDone {
  bool operator==(const SbBridgeDone &) const = default;
  static constexpr const char *kName = "sbbridge.done";
  uint8_t port = 0;
  uint16_t offset = 0;
  uint8_t response = 0;
};

// ---- reset control ----
struct ResetRequest {
  bool operator==(const ResetRequest &) const = default;
  static constexpr const char *kName = "reset.request";
  uint8_t value = 0; // written to port 0xCF9
};

// ---- Ethernet controller ----
struct NicPowerOn {
  bool operator==(const NicPowerOn &) const = default;
  static constexpr const char *kName = "nic.power_on";
};
struct NicLink {
  bool operator==(const NicLink &) const = default;
  static constexpr const char *kName = "nic.link";
  bool up = false;
};
struct NicReset {
  bool operator==(const NicReset &) const = default;
  static constexpr const char *kName = "nic.reset";
  std::optional<uint64_t> doneAtNs; // unset: never completes
};
struct NicResetDone {
  bool operator==(const NicResetDone &) const = default;
  static constexpr const char *kName = "nic.reset_done";
};
struct NicEnable {
  bool operator==(const NicEnable &) const = default;
  static constexpr const char *kName = "nic.enable";
  bool rx = false;
  bool tx = false;
};
struct NicOobRunning {
  bool operator==(const NicOobRunning &) const = default;
  static constexpr const char *kName = "nic.oob_running";
};
struct NicOobHalt {
  bool operator==(const NicOobHalt &) const = default;
  static constexpr const char *kName = "nic.oob_halt";
  bool wasRunning = false;
};
struct NicOobRequest {
  bool operator==(const NicOobRequest &) const = default;
  static constexpr const char *kName = "nic.oob_request";
  uint8_t command = 0;
  bool firmwareRunning = false;
};
struct NicOobAnswer {
  bool operator==(const NicOobAnswer &) const = default;
  static constexpr const char *kName = "nic.oob_answer";
  uint8_t command = 0;
};
struct NicOobBoot {
  bool operator==(const NicOobBoot &) const = default;
  static constexpr const char *kName = "nic.oob_boot";
  bool completes = false;
};
struct NicDmaFault {
  bool operator==(const NicDmaFault &) const = default;
  static constexpr const char *kName = "nic.dma_fault";
  bool write = false;
  uint64_t address = 0;
  uint64_t length = 0;
};
struct NicDoorbellIgnored {
  bool operator==(const NicDoorbellIgnored &) const = default;
  static constexpr const char *kName = "nic.doorbell_ignored";
  enum class Why { TransmitterOff, InReset, BusMasteringOff } why = Why::TransmitterOff;
};
struct NicTxDesc {
  bool operator==(const NicTxDesc &) const = default;
  static constexpr const char *kName = "nic.tx_desc";
  uint32_t index = 0;
  uint32_t length = 0;
};
struct NicTxDrop {
  bool operator==(const NicTxDrop &) const = default;
  static constexpr const char *kName = "nic.tx_drop";
  // Unset: the link was down; set: the chain starting there was malformed.
  std::optional<uint32_t> malformedChainAt;
};
struct NicChecksumFault {
  bool operator==(const NicChecksumFault &) const = default;
  static constexpr const char *kName = "nic.checksum_fault";
  uint32_t descriptor = 0;
};
struct NicTxFrame {
  bool operator==(const NicTxFrame &) const = default;
  static constexpr const char *kName = "nic.tx_frame";
  uint32_t descriptor = 0;
  uint64_t length = 0;
};
struct NicRxDrop {
  bool operator==(const NicRxDrop &) const = default;
  static constexpr const char *kName = "nic.rx_drop";
  enum class Why { LinkDown, ReceiverOff, QueueFull } why = Why::LinkDown;
};
struct NicRxStalled {
  bool operator==(const NicRxStalled &) const = default;
  static constexpr const char *kName = "nic.rx_queued"; // frames wait for a free descriptor
  uint32_t index = 0;
};
struct NicRxFrame {
  bool operator==(const NicRxFrame &) const = default;
  static constexpr const char *kName = "nic.rx_frame";
  uint32_t index = 0;
  uint32_t length = 0;
  bool error = false;
};

} // namespace sim::ev

namespace sim {

// One trace event of any kind; std::monostate in an access entry.
using TraceEvent = std::variant<
    std::monostate, ev::MachineStop, ev::PeiInstallPpi, ev::PeiNotifyPpi, ev::PeiCreateHob,
    ev::PeiEndOfPei, ev::DxeInstall, ev::DxeUninstall, ev::DxeReinstall, ev::DxeRegisterNotify,
    ev::DxeConfigTable, ev::DxeUnload, ev::DxeSetVariable, ev::DxeSignalGroup,
    ev::DxeExitBootServices, ev::SmbiosRead, ev::PciListRefresh, ev::SetupLogoTrigger,
    ev::SetupPullTrigger, ev::SetupPushTrigger, ev::SetupGetBuffer, ev::DisplayMode, ev::GopBlt,
    ev::LogoBlt, ev::GopBltRejected, ev::EcCommand, ev::EcRead, ev::EcWrite, ev::EcSmbus,
    ev::MgmtBadChecksum, ev::MgmtMalformed, ev::MgmtNotice, ev::MgmtDrop, ev::MgmtSilent,
    ev::MgmtRequest, ev::SioEnterConfig, ev::SioExitConfig, ev::SioRead, ev::SioWrite,
    ev::SioOutsideConfig, ev::SioPin, ev::ChipsetDecode, ev::ChipsetMirror, ev::ChipsetRefused,
    ev::ChipsetLock, ev::GpioOutput, ev::GpioPadConfig, ev::GpioLock, ev::GpioRegister,
    ev::GpioRefused, ev::SbBridgeRefused, ev::SbBridgeStart, ev::SbBridgeDone, ev::ResetRequest,
    ev::NicPowerOn, ev::NicLink, ev::NicReset, ev::NicResetDone, ev::NicEnable, ev::NicOobRunning,
    ev::NicOobHalt, ev::NicOobRequest, ev::NicOobAnswer, ev::NicOobBoot, ev::NicDmaFault,
    ev::NicDoorbellIgnored, ev::NicTxDesc, ev::NicTxDrop, ev::NicChecksumFault, ev::NicTxFrame,
    ev::NicRxDrop, ev::NicRxStalled, ev::NicRxFrame>;

// Position of an event type in TraceEvent, for matching by type.
template <class T, class Variant = TraceEvent> struct TraceEventIndex;
template <class T, class... Types> struct TraceEventIndex<T, std::variant<Types...>> {
  static constexpr size_t Find() {
    constexpr bool same[] = {std::is_same_v<T, Types>...};
    for (size_t i = 0; i < sizeof...(Types); ++i) {
      if (same[i]) {
        return i;
      }
    }
    return sizeof...(Types);
  }
  static constexpr size_t value = Find();
  static_assert(value < sizeof...(Types), "not a trace event type");
};

// The event's name ("ec.cmd"); "" for std::monostate.
const char *TraceEventName(const TraceEvent &event);
// The event's fields as the trace dump shows them ("bank=0 reg=0xFF value=0x02").
std::string FormatTraceEvent(const TraceEvent &event);
// A GUID in registry form, as the trace shows it.
std::string TraceGuidText(const EFI_GUID &guid);

} // namespace sim
