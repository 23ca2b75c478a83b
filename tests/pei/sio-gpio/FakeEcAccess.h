// A working stand-in for EC_ACCESS_PPI for the Super I/O modules' tests: an
// EC with banked registers (register 0xFF selects the bank) answering on the
// board's interface only, with fault hooks for an EC that stops answering.
// The PPI's operations take no instance pointer, so one fake at a time is
// current.
#pragma once

#include <Pi/PiPeiCis.h>
#include <Ppi/EcAccess.h>
#include <Register/EcRegisters.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace sio_test {

class FakeEc {
public:
  struct Call {
    enum Op { Read, Write, Other } op;
    uint32_t interface;
    uint8_t reg;
    uint8_t value;
  };

  FakeEc() {
    if (current_ != nullptr) {
      throw std::logic_error("one FakeEc at a time");
    }
    current_ = this;
  }
  ~FakeEc() { current_ = nullptr; }
  FakeEc(const FakeEc &) = delete;
  FakeEc &operator=(const FakeEc &) = delete;

  uint8_t Reg(uint8_t bank, uint8_t reg) const { return banks_[bank][reg]; }
  void SetReg(uint8_t bank, uint8_t reg, uint8_t value) { banks_[bank][reg] = value; }
  uint8_t SelectedBank() const { return bank_; }
  void SelectBank(uint8_t bank) { bank_ = bank; }

  // Fault hooks: an EC that answers nothing, or whose register reads time out.
  void SetAnswering(bool answering) { answering_ = answering; }
  void SetReadsFail(bool fail) { readsFail_ = fail; }

  const std::vector<Call> &Calls() const { return calls_; }
  uint64_t OtherCalls() const { return otherCalls_; }

  const EFI_PEI_PPI_DESCRIPTOR *Descriptor() const { return &descriptor_; }

private:
  static FakeEc &Current() {
    if (current_ == nullptr) {
      throw std::logic_error("EC_ACCESS_PPI called with no FakeEc alive");
    }
    return *current_;
  }
  bool Answers(uint32_t interface) const { return answering_ && interface == kEcBoardInterface; }

  static EC_STATUS EFIAPI ReadRegister(UINT32 Interface, UINT8 Register, UINT8 *Value) {
    FakeEc &ec = Current();
    ec.calls_.push_back({Call::Read, Interface, Register, 0});
    if (!ec.Answers(Interface) || ec.readsFail_) {
      return kEcStatusTimeout;
    }
    *Value = Register == kEcBankSelect ? ec.bank_ : ec.banks_[ec.bank_][Register];
    ec.calls_.back().value = *Value;
    return kEcStatusSuccess;
  }
  static EC_STATUS EFIAPI WriteRegister(UINT32 Interface, UINT8 Register, UINT8 Value) {
    FakeEc &ec = Current();
    ec.calls_.push_back({Call::Write, Interface, Register, Value});
    if (!ec.Answers(Interface)) {
      return kEcStatusTimeout;
    }
    if (Register == kEcBankSelect) {
      ec.bank_ = Value;
    } else {
      ec.banks_[ec.bank_][Register] = Value;
    }
    return kEcStatusSuccess;
  }
  // The Super I/O modules have no business with the other six operations.
  static EC_STATUS EFIAPI SendByte(UINT32, UINT8) { return Other(); }
  static EC_STATUS EFIAPI ReadString(UINT32, UINT8 *) { return Other(); }
  static EC_STATUS EFIAPI SmbusWriteByte(UINT32, UINT8, UINT8, UINT8) { return Other(); }
  static EC_STATUS EFIAPI ReadBank(UINT32, UINT8, UINT8, UINT8 *) { return Other(); }
  static EC_STATUS EFIAPI WriteBank(UINT32, UINT8, UINT8, UINT8) { return Other(); }
  static EC_STATUS Other() {
    FakeEc &ec = Current();
    ++ec.otherCalls_;
    ec.calls_.push_back({Call::Other, 0, 0, 0});
    return kEcStatusTimeout;
  }

  static inline FakeEc *current_ = nullptr;

  std::array<std::array<uint8_t, 256>, 256> banks_{};
  uint8_t bank_ = kEcBankDefault;
  bool answering_ = true;
  bool readsFail_ = false;
  std::vector<Call> calls_;
  uint64_t otherCalls_ = 0;

  EC_ACCESS_PPI ppi_ = {ReadRegister, WriteRegister,  SendByte, SendByte,
                        ReadString,   SmbusWriteByte, ReadBank, WriteBank};
  EFI_PEI_PPI_DESCRIPTOR descriptor_ = {
      EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &gEcAccessPpiGuid, &ppi_};
};

} // namespace sio_test
