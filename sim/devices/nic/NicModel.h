// The board's PCI Ethernet controller (vendor 0x10EC, device 0x8168) at
// register level: a PCI function whose I/O BAR (and first memory BAR) expose
// the register file, with the command register's self-clearing reset, the
// write-one-to-clear interrupt status, the link bit, the chip-version bits of
// the transmit configuration, the indirect windows (extended registers, OCP,
// internal MAC registers, GPHY) and the PHY access register with completion
// bits, a paged PHY, and OOB firmware that answers requests after a delay or
// never. Frames move by DMA through descriptor rings in guest memory; the
// transmit path inserts IPv4 and UDP checksums as each descriptor asks and
// hands the frame to the link peer; frames from the peer land in receive
// descriptors the driver gave back, or wait in a queue until one is free.
//
// Work that depends on virtual time (reset completion, window completion,
// firmware answers, frames arriving from the wire) is done lazily whenever a
// register is accessed, or when Poll() is called, so it is seen by a driver
// that polls. Values the driver programs (ring addresses, descriptors) are
// untrusted: DMA outside the allowed memory is refused and counted, and one
// doorbell processes at most one ring's worth of descriptors.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Bus.h"
#include "LinkPeer.h"
#include "NicRegisters.h"
#include "Pci.h"

namespace sim {

class Machine;

class NicModel final : public PciConfigSpace, public LinkEndpoint {
public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  struct Config {
    uint16_t ioBase = 0xE000;
    uint64_t mmioBase = 0xF7D00000; // BAR 2: the register file
    uint64_t auxBase = 0xF7D04000;  // BAR 4: the vector table
    uint16_t subsystemVendor = 0x10EC;
    uint16_t subsystemId = 0x3A7C;
    uint8_t revision = 0x15;
    // I/O, memory decoding and bus mastering as the earlier phases left them.
    uint16_t command = 0x0007;
    std::array<uint8_t, 6> stationAddress = {0x00, 0xE0, 0x4C, 0x68, 0x00, 0x01};
    unsigned chipVersion = 61;
    bool linkUp = true;
    bool oobFirmware = true;
    bool padShortFrames = true; // frames below 60 bytes go out zero-padded
  };

  // Register timing, and the windows whose completion bit can be delayed.
  enum class Window { Extended, Ocp, Gphy, PhyAccess };
  static constexpr uint64_t kDefaultResetDelayNs = 20'000;
  static constexpr uint64_t kDefaultExtendedDelayNs = 500;
  static constexpr uint64_t kDefaultOcpDelayNs = 1'000;
  static constexpr uint64_t kDefaultPhyDelayNs = 10'000;
  static constexpr uint64_t kDefaultOobResponseNs = 1'000'000;
  static constexpr size_t kRxQueueLimit = 64;

  struct RxOptions {
    bool error = false; // write the frame but mark the descriptor errored
    // Report this in the length field instead of frame + FCS (the bytes
    // written are still bounded by the buffer).
    bool overrideLength = false;
    uint32_t lengthField = 0;
  };

  struct TxRecord {
    uint64_t timeNs;
    uint32_t firstDescriptor;   // ring index of the frame's first descriptor
    uint32_t length;            // bytes the descriptors gave (before padding)
    uint32_t controlWord;       // word 1 of the first descriptor
    std::vector<uint8_t> frame; // as it went on the wire
  };
  struct RxRecord {
    uint64_t timeNs;
    uint32_t descriptor;
    uint32_t lengthField; // as written to the descriptor
    bool error;
  };
  struct OobRequest {
    uint64_t timeNs;
    uint8_t command; // contents of OOB register 0x180 when the doorbell rang
    bool answered;   // the firmware acted on it (so far)
  };

  NicModel(Machine &machine, Config config);
  explicit NicModel(Machine &machine);
  ~NicModel() override;
  NicModel(const NicModel &) = delete;
  NicModel &operator=(const NicModel &) = delete;

  // ---- Wire ----
  void AttachPeer(LinkPeer *peer) { peer_ = peer; }
  void SetTap(LinkTap *tap) { tap_ = tap; }
  void SendToBoard(std::vector<uint8_t> frame, uint64_t delayNs) override;
  // A frame from the wire with receive faults, arriving after `delayNs`.
  void InjectFrame(std::vector<uint8_t> frame, RxOptions options, uint64_t delayNs = 0);
  // The next `count` frames received are written with the error bit set.
  void ErrorNextRxFrames(unsigned count) { errorNext_ = count; }

  // ---- Test controls ----
  void SetLink(bool up);
  bool LinkUp() const { return linkUp_; }
  // Reads return all ones (registers and configuration space) and writes
  // vanish, as for a function that does not answer.
  void SetAbsent(bool absent) { absent_ = absent; }
  bool SetChipVersion(unsigned version); // false: no part reports this version
  void SetVersionBits(uint32_t bits);    // raw bits of register 0x40 (bit 31, 30..26, 23..20)
  unsigned ChipVersion() const { return version_; }
  void SetResetDelay(uint64_t ns) { resetDelayNs_ = ns; }
  void SetCompletionDelay(Window window, uint64_t ns);
  // Engine idle indications (0x40 bit 11, 0xD3 bits 1, 4, 5) never come.
  void SetEngineIdleStuck(bool stuck) { idleStuck_ = stuck; }
  void SetStationAddress(const std::array<uint8_t, 6> &address);
  // Extra memory the device may reach by DMA besides guest memory (e.g. a
  // module image's data, where a driver keeps its static frame buffer).
  void AllowDma(uint64_t base, uint64_t length);
  // The writable data of this executable (where module statics live).
  void AllowExecutableDataDma();
  // Power-on state of the registers (a platform reset); configuration that
  // is not register state (version, link, firmware, address) stays.
  void PowerOnReset();
  // Does the time-dependent work that is due.
  void Poll();

  // ---- OOB firmware ----
  void SetOobFirmware(bool running);
  bool OobFirmwareRunning() const { return oobRunning_; }
  // Delay before the firmware acts on a request or finishes booting; kNever =
  // it never does.
  void SetOobResponseDelay(uint64_t ns) { oobDelayNs_ = ns; }
  // OOB registers 0x34/0x35 stay non-zero.
  void SetOobBusyStuck(bool stuck) { oobBusyStuck_ = stuck; }
  const std::vector<OobRequest> &OobRequests() const { return oobRequests_; }
  uint32_t OobRegister(uint16_t address) const; // dword at address & ~3, as the driver reads it
  void SetOobRegister(uint16_t address, uint32_t value);

  // ---- State, for tests (no side effects, no virtual time) ----
  uint8_t Reg8(uint8_t offset) const { return regs_[offset]; }
  uint16_t Reg16(uint8_t offset) const;
  uint32_t Reg32(uint8_t offset) const;
  uint8_t CommandRegister() const;
  uint16_t InterruptStatus() const { return Reg16(nic::reg::kInterruptStatus); }
  uint16_t InternalRegister(uint16_t address) const;
  void SetInternalRegister(uint16_t address, uint16_t value);
  uint32_t ExtendedRegister(uint16_t address) const; // type 0, dword at address & ~3
  uint16_t PhyRegister(uint16_t ocpAddress) const;   // PHY OCP address (standard r: 0xA400 + 2r)
  uint16_t PhyPage() const { return phyPage_; }
  uint64_t TxRingAddress() const;
  uint64_t RxRingAddress() const;
  uint32_t TxIndex() const { return txIndex_; }
  uint32_t RxIndex() const { return rxIndex_; }
  size_t RxQueued() const { return rxQueue_.size(); }
  size_t FramesInFlight() const { return wire_.size(); }
  uint64_t BarBase(unsigned index) const { return BarAddress(index); }
  static uint64_t BarSize(unsigned index);

  const std::vector<TxRecord> &TxLog() const { return txLog_; }
  const std::vector<RxRecord> &RxLog() const { return rxLog_; }
  void ClearLogs();

  // ---- Fault counters (tests assert they stay 0 for a correct driver) ----
  uint64_t UnknownWrites() const { return unknownWrites_; }
  uint64_t ReadOnlyWrites() const { return readOnlyWrites_; }
  uint64_t LockedWrites() const { return lockedWrites_; }
  uint64_t WritesDuringReset() const { return writesDuringReset_; }
  uint64_t DmaFaults() const { return dmaFaults_; }
  uint64_t IgnoredDoorbells() const { return ignoredDoorbells_; }
  uint64_t TxDropped() const { return txDropped_; } // link down, malformed descriptor chain
  // Checksum insertion asked for on a frame whose headers do not hold it.
  uint64_t ChecksumFaults() const { return checksumFaults_; }
  uint64_t RxDropped() const { return rxDropped_; } // link down, receiver off, queue full
  uint64_t MapConflicts() const { return mapConflicts_; }

  // ---- PciFunction ----
  uint32_t ConfigRead(uint16_t reg, unsigned size) override;
  void ConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

private:
  // Bus glue: the three BAR windows.
  class RegisterWindow final : public BusTarget {
  public:
    explicit RegisterWindow(NicModel &nic) : nic_(nic) {}
    uint64_t Read(uint64_t offset, unsigned size) override;
    void Write(uint64_t offset, unsigned size, uint64_t value) override;

  private:
    NicModel &nic_;
  };
  class AuxWindow final : public BusTarget {
  public:
    explicit AuxWindow(NicModel &nic) : nic_(nic) {}
    uint64_t Read(uint64_t offset, unsigned size) override;
    void Write(uint64_t offset, unsigned size, uint64_t value) override;

  private:
    NicModel &nic_;
  };

  // A command register whose bit 31 flips when the operation completes.
  struct Completion {
    uint32_t issued = 0; // what reads show until done
    uint32_t done = 0;   // what reads show once done
    uint64_t doneAtNs = 0;
    uint32_t Value(uint64_t nowNs) const { return nowNs >= doneAtNs ? done : issued; }
  };

  enum class ByteKind : uint8_t { Unknown, Plain, Locked, Special };
  struct Frame {
    std::vector<uint8_t> bytes;
    RxOptions options;
  };

  void InitConfigSpace();
  void InitRegisters();
  void Remap();
  void OnConfigWrite(uint16_t reg, unsigned size, uint32_t value) override;

  // Register file: one access at the register file offset.
  uint64_t RegRead(uint32_t offset, unsigned size);
  void RegWrite(uint32_t offset, unsigned size, uint64_t value);
  uint32_t SpecialRead(uint8_t base);
  void SpecialWrite(uint8_t base, uint32_t value, uint32_t byteMask);
  static uint8_t SpecialBase(uint8_t offset, unsigned &width);
  ByteKind KindOf(uint8_t offset) const;

  void WriteCommand(uint8_t value);
  void WriteInterruptStatus(uint16_t value);
  void WriteTxConfig(uint32_t value, uint32_t byteMask);
  void WriteEngineStatus(uint8_t value);
  void IssueExtended(uint32_t command);
  void IssueOcp(uint32_t command);
  void WriteOcpData(uint32_t value);
  void IssueGphy(uint32_t command);
  void IssuePhyAccess(uint32_t command, Completion &target);
  uint64_t DueAt(uint64_t delayNs) const;

  // Indirect register spaces.
  uint32_t OobRead(uint16_t address);
  void OobWrite(uint16_t address, uint32_t data, uint32_t byteEnables);
  uint32_t OobComputed(uint16_t dword, uint32_t &mask) const;
  uint32_t ExtRead(uint32_t type, uint16_t address);
  void ExtWrite(uint32_t type, uint16_t address, uint32_t data, uint32_t byteEnables);
  uint16_t InternalRead(uint16_t address);
  void InternalWrite(uint16_t address, uint16_t value);
  uint16_t PhyRead(uint16_t ocpAddress) const;
  void PhyWrite(uint16_t ocpAddress, uint16_t value);
  uint16_t PhyPagedAddress(unsigned reg) const;

  // OOB firmware.
  void RingOobDoorbell();
  void AnswerOob(size_t request);
  void BootOob();
  bool OobBusy() const;
  bool StatusInOobReg10() const { return version_ >= 54 && version_ <= 56; }
  bool LockAroundOobWrites() const;

  // DMA engines.
  bool DmaAllowed(uint64_t address, uint64_t length) const;
  bool DmaRead(uint64_t address, void *out, uint64_t length);
  bool DmaWrite(uint64_t address, const void *in, uint64_t length);
  void TransmitDoorbell();
  void Transmit(std::vector<uint8_t> frame, uint32_t firstDescriptor, uint32_t control);
  void ArriveFromWire(Frame frame, uint64_t atNs);
  void SetInterrupt(uint16_t bits);
  void DrainRxQueue();
  void ResetEngines();
  Trace &EventTrace();
  template <class E> void Emit(E event) { EventTrace().Emit("nic", std::move(event)); }

  Machine &machine_;
  Config config_;
  RegisterWindow ioWindow_{*this};
  RegisterWindow mmioWindow_{*this};
  AuxWindow auxWindow_{*this};
  LinkPeer *peer_ = nullptr;
  LinkTap *tap_ = nullptr;

  std::array<uint8_t, nic::kRegisterFileSize> regs_{};
  std::array<ByteKind, nic::kRegisterFileSize> kinds_{};
  std::vector<uint8_t> aux_;
  std::array<uint8_t, nic::kExtRegisterSpace> extMac_{};
  std::array<uint8_t, nic::kExtRegisterSpace> extVector_{};
  std::map<uint16_t, uint32_t> oob_;      // dword address -> stored value
  std::map<uint16_t, uint16_t> internal_; // even address -> value
  std::map<uint16_t, uint16_t> phy_;      // PHY OCP address -> value
  uint16_t phyPage_ = 0;

  unsigned version_ = 0;
  uint32_t versionBits_ = 0;
  bool linkUp_ = true;
  bool absent_ = false;
  bool idleStuck_ = false;

  // Command register and reset.
  uint8_t enables_ = 0;
  uint64_t resetDoneAtNs_ = 0;
  bool resetPending_ = false;
  uint64_t resetDelayNs_ = kDefaultResetDelayNs;

  // Windows.
  uint64_t extDelayNs_ = kDefaultExtendedDelayNs;
  uint64_t ocpDelayNs_ = kDefaultOcpDelayNs;
  uint64_t gphyDelayNs_ = kDefaultPhyDelayNs;
  uint64_t phyAccessDelayNs_ = kDefaultPhyDelayNs;
  Completion ext_;
  Completion ocp_;
  Completion gphy_;
  Completion phyAccess_;      // I/O 0x60
  Completion ocpPhyAccess_;   // OCP 0x60
  uint32_t ocpLatch_ = 0;     // last value written to 0xB0
  uint32_t ocpReadback_ = 0;  // what 0xB0 reads
  bool oobResetHigh_ = false; // internal 0xE0C4 bit 0

  // OOB firmware.
  bool oobRunning_ = true;
  bool oobBooting_ = false;
  uint64_t oobBootAtNs_ = 0;
  uint64_t oobDelayNs_ = kDefaultOobResponseNs;
  bool oobBusyStuck_ = false;
  struct PendingOob {
    size_t request;
    uint64_t atNs;
  };
  std::vector<PendingOob> oobPending_;
  std::vector<OobRequest> oobRequests_;

  // Rings.
  uint32_t txIndex_ = 0;
  uint32_t rxIndex_ = 0;
  std::multimap<uint64_t, Frame> wire_; // frames on their way to the board, by arrival time
  std::deque<Frame> rxQueue_;           // arrived, waiting for a descriptor
  unsigned errorNext_ = 0;
  bool rxStalled_ = false; // a frame waits for a descriptor (reported once)
  std::vector<std::pair<uint64_t, uint64_t>> dmaRanges_; // extra [base, base + length)

  std::vector<TxRecord> txLog_;
  std::vector<RxRecord> rxLog_;

  uint64_t unknownWrites_ = 0;
  uint64_t readOnlyWrites_ = 0;
  uint64_t lockedWrites_ = 0;
  uint64_t writesDuringReset_ = 0;
  uint64_t dmaFaults_ = 0;
  uint64_t ignoredDoorbells_ = 0;
  uint64_t txDropped_ = 0;
  uint64_t checksumFaults_ = 0;
  uint64_t rxDropped_ = 0;
  uint64_t mapConflicts_ = 0;
  bool polling_ = false;
};

} // namespace sim
