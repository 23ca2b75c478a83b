// Handshake state machine, register banks and SMBus host controller of the
// EC model.
#include "Ec.h"

#include <algorithm>
#include <cstdio>

#include <Register/EcRegisters.h>

namespace sim {

// Bus glue: one target per port, so the model knows which port an access hit.
class Ec::Port final : public BusTarget {
public:
  Port(Ec &ec, Interface &itf, bool command) : ec_(ec), itf_(itf), command_(command) {}

  uint64_t Read(uint64_t offset, unsigned size) override {
    (void)offset;
    const uint16_t port = command_ ? itf_.commandPort : itf_.dataPort;
    if (!ec_.Reachable(port)) {
      return Bus::OnesOf(size);
    }
    const uint8_t value = command_ ? ec_.ReadStatus(itf_) : ec_.ReadData(itf_);
    // Wider reads see the byte in the low lane and nothing decoded above it.
    return (Bus::OnesOf(size) & ~uint64_t{0xFF}) | value;
  }

  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    (void)offset;
    (void)size;
    const uint16_t port = command_ ? itf_.commandPort : itf_.dataPort;
    if (ec_.Reachable(port)) {
      ec_.WriteInput(itf_, static_cast<uint8_t>(value), command_);
    }
  }

private:
  Ec &ec_;
  Interface &itf_;
  bool command_;
};

Ec::Ec(Machine &machine, std::string name) : machine_(machine), name_(std::move(name)) {
  banks_[kEcSignatureBank][kEcSignatureRegister] = kEcSignature;
  readOnly_[kEcSignatureBank][kEcSignatureRegister] = true;
}

Ec::~Ec() {
  for (auto &port : ports_) {
    machine_.bus().Unmap(port.get());
  }
}

void Ec::AttachInterface(uint16_t dataPort, uint16_t commandPort) {
  auto itf = std::make_unique<Interface>();
  itf->dataPort = dataPort;
  itf->commandPort = commandPort;
  auto data = std::make_unique<Port>(*this, *itf, false);
  auto command = std::make_unique<Port>(*this, *itf, true);
  machine_.bus().MapIo(dataPort, 1, data.get(), name_);
  machine_.bus().MapIo(commandPort, 1, command.get(), name_);
  ports_.push_back(std::move(data));
  ports_.push_back(std::move(command));
  interfaces_.push_back(std::move(itf));
}

Ec::Interface *Ec::FindByCommandPort(uint16_t commandPort) const {
  for (const auto &itf : interfaces_) {
    if (itf->commandPort == commandPort) {
      return itf.get();
    }
  }
  return nullptr;
}

uint64_t Ec::StatusReads(uint16_t commandPort) const {
  const Interface *itf = FindByCommandPort(commandPort);
  return itf != nullptr ? itf->statusReads : 0;
}

uint64_t Ec::BytesTaken(uint16_t commandPort) const {
  const Interface *itf = FindByCommandPort(commandPort);
  return itf != nullptr ? itf->bytesTaken : 0;
}

uint8_t Ec::Register(uint8_t bank, uint8_t reg) const {
  return reg == kEcBankSelect ? selectedBank_ : banks_[bank][reg];
}

void Ec::SetRegister(uint8_t bank, uint8_t reg, uint8_t value) { banks_[bank][reg] = value; }

void Ec::SetReadOnly(uint8_t bank, uint8_t reg, bool readOnly) { readOnly_[bank][reg] = readOnly; }

size_t Ec::WriteCount(uint8_t bank, uint8_t reg) const {
  return static_cast<size_t>(
      std::count_if(writes_.begin(), writes_.end(), [&](const RegisterWrite &write) {
        return write.bank == bank && write.reg == reg;
      }));
}

void Ec::QueueSmbusCompletions(std::vector<uint8_t> statuses) {
  smbusQueue_.insert(smbusQueue_.end(), statuses.begin(), statuses.end());
}

bool Ec::Reachable(uint16_t port) const { return present_ && (!gate_ || gate_(port)); }

bool Ec::Spend() {
  if (budget_ == kAnswerForever) {
    return true;
  }
  if (budget_ == 0) {
    return false;
  }
  --budget_;
  return true;
}

// Lets the EC catch up with virtual time: take a waiting input byte, put out
// the next answer byte.
void Ec::Service(Interface &itf) {
  const uint64_t now = machine_.clock().NowNs();
  if (itf.inputFull && now >= itf.inputReadyNs && Spend()) {
    itf.inputFull = false;
    ++itf.bytesTaken;
    Take(itf, itf.input, itf.inputIsCommand);
  }
  if (!itf.outputFull && !itf.pending.empty() && now >= itf.outputReadyNs && Spend()) {
    itf.outputFull = true;
    itf.output = itf.pending.front();
    itf.pending.pop_front();
  }
}

void Ec::Put(Interface &itf, uint8_t byte) {
  if (itf.pending.empty() && !itf.outputFull) {
    itf.outputReadyNs = machine_.clock().NowNs();
  }
  itf.pending.push_back(byte);
}

void Ec::Take(Interface &itf, uint8_t byte, bool isCommand) {
  if (isCommand) {
    // A new command ends whatever the previous one was doing.
    itf.pending.clear();
    itf.outputFull = false;
    machine_.trace().Emit(name_, ev::EcCommand{itf.commandPort, byte});
    switch (byte) {
    case kEcCommandRead:
      itf.phase = Phase::ReadAddress;
      break;
    case kEcCommandWrite:
      itf.phase = Phase::WriteAddress;
      break;
    case kEcCommandReadString:
      itf.phase = Phase::Idle;
      for (uint8_t b : string_) {
        Put(itf, b);
      }
      break;
    default:
      itf.phase = Phase::Idle;
      ++unknownCommands_;
      break;
    }
    return;
  }
  switch (itf.phase) {
  case Phase::ReadAddress: {
    const uint8_t value = ReadRegister(byte);
    machine_.trace().Emit(name_, ev::EcRead{{selectedBank_, byte, value}});
    if (!muteReads_) {
      Put(itf, value);
    }
    itf.phase = Phase::Idle;
    break;
  }
  case Phase::WriteAddress:
    itf.address = byte;
    itf.phase = Phase::WriteData;
    break;
  case Phase::WriteData:
    WriteRegister(itf.address, byte);
    itf.phase = Phase::Idle;
    break;
  case Phase::Idle:
    ++strayBytes_;
    break;
  }
}

uint8_t Ec::ReadStatus(Interface &itf) {
  Service(itf);
  ++itf.statusReads;
  uint8_t status = stuckBits_;
  if (itf.outputFull) {
    status |= kStatusOutputFull;
  }
  if (itf.inputFull) {
    status |= kStatusInputFull;
  }
  if (itf.inputIsCommand) {
    status |= kStatusCommand;
  }
  return status;
}

uint8_t Ec::ReadData(Interface &itf) {
  Service(itf);
  if (!itf.outputFull) {
    ++emptyReads_;
    return itf.output;
  }
  itf.outputFull = false;
  // The next byte of a longer answer follows after the response delay.
  itf.outputReadyNs = machine_.clock().NowNs() + delayNs_;
  return itf.output;
}

void Ec::WriteInput(Interface &itf, uint8_t byte, bool isCommand) {
  Service(itf);
  if (itf.inputFull) {
    ++overruns_;
  }
  itf.inputFull = true;
  itf.input = byte;
  itf.inputIsCommand = isCommand;
  itf.inputReadyNs = machine_.clock().NowNs() + delayNs_;
  // With no delay the EC takes the byte at once.
  Service(itf);
}

uint8_t Ec::ReadRegister(uint8_t reg) const { return Register(selectedBank_, reg); }

void Ec::WriteRegister(uint8_t reg, uint8_t value) {
  const uint8_t bank = selectedBank_;
  writes_.push_back(RegisterWrite{bank, reg, value, machine_.clock().NowNs()});
  machine_.trace().Emit(name_, ev::EcWrite{{bank, reg, value}});
  if (reg == kEcBankSelect) {
    selectedBank_ = value;
    return;
  }
  if (readOnly_[bank][reg]) {
    ++readOnlyWrites_;
    return;
  }
  banks_[bank][reg] = value;
  if (bank == smbusBank_ && reg == kEcSmbusProtocol && value != 0) {
    RunSmbus();
  }
}

void Ec::RunSmbus() {
  auto &regs = banks_[smbusBank_];
  uint8_t status = smbusCompletion_;
  if (!smbusQueue_.empty()) {
    status = smbusQueue_.front();
    smbusQueue_.pop_front();
  }
  smbusTransfers_.push_back(SmbusTransfer{regs[kEcSmbusProtocol], regs[kEcSmbusAddress],
                                          regs[kEcSmbusCommand], regs[kEcSmbusData0], status,
                                          machine_.clock().NowNs()});
  machine_.trace().Emit(name_, ev::EcSmbus{regs[kEcSmbusAddress], regs[kEcSmbusCommand], status});
  regs[kEcSmbusStatus] = status;
  // The protocol register reads zero again once the controller took the job.
  regs[kEcSmbusProtocol] = 0;
}

} // namespace sim
