// Embedded-controller model: ACPI-style host interfaces (a data port and a
// command/status port each) in front of one EC with banked 8-bit registers.
//
// Each interface runs the ACPI handshake on its own: a byte written by the
// host sets the input-buffer-full flag until the EC takes it (after the
// response delay, in virtual time); a byte for the host sets the
// output-buffer-full flag until the host reads the data port. Commands: 0x80
// read (address follows), 0x81 write (address and value follow), 0xA1 string
// query (the configured bytes follow one by one). Register 0xFF of every bank
// selects the bank. Registers 0x00..0x04 of the SMBus bank are the ACPI SMBus
// host controller: writing the protocol register runs the transfer at once
// and leaves the settable completion status in the status register.
//
// Faults: absent (status and data read 0xFF), stuck busy (status bits forced
// on), stops answering after N bytes (later input is never taken and no
// further byte is put out), mute reads (0x80 takes its address but answers
// nothing). Trace events: ec.cmd, ec.read, ec.write, ec.smbus.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Machine.h"

namespace sim {

class Ec {
public:
  struct RegisterWrite {
    uint8_t bank;
    uint8_t reg;
    uint8_t value;
    uint64_t timeNs;
  };
  struct SmbusTransfer {
    uint8_t protocol;
    uint8_t address;
    uint8_t command;
    uint8_t data;
    uint8_t status; // what the status register took
    uint64_t timeNs;
  };

  static constexpr uint8_t kStatusOutputFull = 0x01;
  static constexpr uint8_t kStatusInputFull = 0x02;
  static constexpr uint8_t kStatusCommand = 0x08; // last input byte was a command
  static constexpr uint8_t kSmbusDoneOk = 0x80;
  static constexpr uint64_t kAnswerForever = ~uint64_t{0};

  explicit Ec(Machine &machine, std::string name = "ec");
  // The device name its trace events carry.
  const std::string &name() const { return name_; }
  ~Ec();
  Ec(const Ec &) = delete;
  Ec &operator=(const Ec &) = delete;

  // Maps one host interface (e.g. 0x62/0x66). An EC may have several.
  void AttachInterface(uint16_t dataPort, uint16_t commandPort);
  // Status reads seen on the interface whose command port this is.
  uint64_t StatusReads(uint16_t commandPort) const;
  // Commands and data bytes the interface took.
  uint64_t BytesTaken(uint16_t commandPort) const;

  // Register file.
  uint8_t Register(uint8_t bank, uint8_t reg) const;
  void SetRegister(uint8_t bank, uint8_t reg, uint8_t value);
  void SetReadOnly(uint8_t bank, uint8_t reg, bool readOnly);
  uint8_t SelectedBank() const { return selectedBank_; }
  void SelectBank(uint8_t bank) { selectedBank_ = bank; }
  const std::vector<RegisterWrite> &Writes() const { return writes_; }
  size_t WriteCount(uint8_t bank, uint8_t reg) const;
  uint64_t ReadOnlyWrites() const { return readOnlyWrites_; }

  // Answer to command 0xA1, byte for byte (include a zero byte to end it).
  void SetString(std::vector<uint8_t> bytes) { string_ = std::move(bytes); }

  // SMBus host controller.
  void SetSmbusBank(uint8_t bank) { smbusBank_ = bank; }
  // Status register value after every transfer (done bit | code, or 0 for a
  // transfer that never finishes).
  void SetSmbusCompletion(uint8_t status) { smbusCompletion_ = status; }
  // The next transfers take these values in order, then SetSmbusCompletion's.
  void QueueSmbusCompletions(std::vector<uint8_t> statuses);
  const std::vector<SmbusTransfer> &SmbusTransfers() const { return smbusTransfers_; }

  // Timing and faults.
  void SetResponseDelayNs(uint64_t ns) { delayNs_ = ns; }
  void SetPresent(bool present) { present_ = present; }
  void StopAnsweringAfter(uint64_t bytes) { budget_ = bytes; }
  void SetStuckBusy(uint8_t statusBits) { stuckBits_ = statusBits; }
  void SetMuteReads(bool mute) { muteReads_ = mute; }
  // Ports for which the gate answers false behave as absent (a chipset that
  // does not forward the cycle).
  void SetDecodeGate(std::function<bool(uint16_t port)> gate) { gate_ = std::move(gate); }

  uint64_t UnknownCommands() const { return unknownCommands_; }
  uint64_t StrayBytes() const { return strayBytes_; } // data while no command wanted one
  uint64_t Overruns() const { return overruns_; }     // host wrote while input was full
  uint64_t EmptyReads() const { return emptyReads_; } // data port read with nothing in it

private:
  enum class Phase { Idle, ReadAddress, WriteAddress, WriteData };
  struct Interface {
    uint16_t dataPort = 0;
    uint16_t commandPort = 0;
    bool inputFull = false;
    bool inputIsCommand = false;
    uint8_t input = 0;
    uint64_t inputReadyNs = 0;
    bool outputFull = false;
    uint8_t output = 0;
    std::deque<uint8_t> pending;
    uint64_t outputReadyNs = 0;
    Phase phase = Phase::Idle;
    uint8_t address = 0;
    uint64_t statusReads = 0;
    uint64_t bytesTaken = 0;
  };
  class Port;

  bool Reachable(uint16_t port) const;
  bool Spend(); // one byte of the answer budget; false once it is gone
  void Service(Interface &itf);
  void Take(Interface &itf, uint8_t byte, bool isCommand);
  void Put(Interface &itf, uint8_t byte);
  uint8_t ReadStatus(Interface &itf);
  uint8_t ReadData(Interface &itf);
  void WriteInput(Interface &itf, uint8_t byte, bool isCommand);
  uint8_t ReadRegister(uint8_t reg) const;
  void WriteRegister(uint8_t reg, uint8_t value);
  void RunSmbus();
  Interface *FindByCommandPort(uint16_t commandPort) const;

  Machine &machine_;
  std::string name_;
  std::vector<std::unique_ptr<Interface>> interfaces_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::array<std::array<uint8_t, 256>, 256> banks_{};
  std::array<std::array<bool, 256>, 256> readOnly_{};
  uint8_t selectedBank_ = 0;
  std::vector<RegisterWrite> writes_;
  std::vector<uint8_t> string_;
  uint8_t smbusBank_ = 0;
  uint8_t smbusCompletion_ = kSmbusDoneOk;
  std::deque<uint8_t> smbusQueue_;
  std::vector<SmbusTransfer> smbusTransfers_;
  uint64_t delayNs_ = 0;
  bool present_ = true;
  uint64_t budget_ = kAnswerForever;
  uint8_t stuckBits_ = 0;
  bool muteReads_ = false;
  std::function<bool(uint16_t)> gate_;
  uint64_t readOnlyWrites_ = 0;
  uint64_t unknownCommands_ = 0;
  uint64_t strayBytes_ = 0;
  uint64_t overruns_ = 0;
  uint64_t emptyReads_ = 0;
};

} // namespace sim
