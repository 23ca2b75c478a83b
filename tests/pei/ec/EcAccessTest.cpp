// EC_ACCESS_PPI operations against the EC model: results for a missing or
// stuck EC, the interface table, string queries, banked access and the SMBus
// write-byte with its restart rule.
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include <Register/EcRegisters.h>

#include "../ModelMisuse.h"
#include "AccessCost.h"
#include "Ec.h"
#include "EcAccess.h"
#include "FirmwareTest.h"

namespace {

using sim::Ec;
using sim::TraceMatch;

constexpr uint32_t kBoard = kEcBoardInterface;
constexpr uint64_t kDelayWritesPerRetry = 2 * kEcDelayRounds;

// ---- No EC behind the ports ----

class NoEcTest : public FirmwareTest {};

// Every handshake operation, as it fails at its first wait.
using Operation = std::function<EC_STATUS()>;
struct NamedOperation {
  const char *name;
  Operation call;
};

UINT8 gOut = 0x5A;

const NamedOperation kHandshakeOperations[] = {
    {"ReadRegister", [] { return ReadRegister(kBoard, 0x10, &gOut); }},
    {"WriteRegister", [] { return WriteRegister(kBoard, 0x10, 0x01); }},
    {"SendCommand", [] { return SendCommand(kBoard, 0x80); }},
    {"SendData", [] { return SendData(kBoard, 0x10); }},
    {"ReadBankRegister", [] { return ReadBankRegister(kBoard, 1, 0x10, &gOut); }},
    {"WriteBankRegister", [] { return WriteBankRegister(kBoard, 1, 0x10, 0x01); }},
};

class NoEcOperationTest : public NoEcTest, public ::testing::WithParamInterface<NamedOperation> {};

TEST_P(NoEcOperationTest, ReturnsMinusOneAfter1024StatusReads) {
  gOut = 0x5A;
  const EC_STATUS status = Run<EC_STATUS>(GetParam().call);
  EXPECT_EQ(status, 0xFFFFFFFFu);
  EXPECT_EQ(IoReads(0x66), kEcStatusReads);
  EXPECT_EQ(IoWrites(0x66), 0u);
  EXPECT_EQ(IoWrites(0x62), 0u);
  EXPECT_EQ(gOut, 0x5A) << "out value written although nothing arrived";
  // One delay between consecutive reads, each 0x55 then 0xAA on port 0xEB.
  EXPECT_EQ(IoWrites(0xEB), (kEcStatusReads - 1) * kDelayWritesPerRetry);
  EXPECT_EQ(machine.trace().Count(TraceMatch::IoWr(0xEB, 0x55)),
            machine.trace().Count(TraceMatch::IoWr(0xEB, 0xAA)));
  EXPECT_TRUE(machine.trace().FindSequence({TraceMatch::IoRd(0x66), TraceMatch::IoWr(0xEB, 0x55),
                                            TraceMatch::IoWr(0xEB, 0xAA), TraceMatch::IoRd(0x66)}));
}

INSTANTIATE_TEST_SUITE_P(Operations, NoEcOperationTest, ::testing::ValuesIn(kHandshakeOperations),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(NoEcTest, ReadStringReturnsNotReadyAndLeavesBufferUntouched) {
  std::array<UINT8, kEcStringSize> buffer;
  buffer.fill(0xA5);
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadString(kBoard, buffer.data()); }), 0x80000006u);
  for (UINT8 byte : buffer) {
    EXPECT_EQ(byte, 0xA5);
  }
  EXPECT_EQ(IoReads(0x66), kEcStatusReads);
}

TEST_F(NoEcTest, AbsentModelReadsLikeNoDevice) {
  Ec ec(machine);
  ec.AttachInterface(0x62, 0x66);
  ec.SetPresent(false);
  EXPECT_EQ(Run<EC_STATUS>([] { return SendCommand(kBoard, 0x80); }), kEcStatusTimeout);
  EXPECT_EQ(ec.BytesTaken(0x66), 0u);
}

// ---- Interface table ----

struct InterfacePorts {
  uint32_t interface;
  uint16_t data;
  uint16_t command;
};

class InterfaceTableTest : public FirmwareTest,
                           public ::testing::WithParamInterface<InterfacePorts> {
protected:
  InterfaceTableTest() {
    // Three ECs that answer register 0x10 with their own mark.
    for (auto [data, command, mark] : {std::tuple{0x62, 0x66, 0x11}, std::tuple{0x6A, 0x6E, 0x22},
                                       std::tuple{0x68, 0x6C, 0x33}}) {
      auto ec = std::make_unique<Ec>(machine, "ec" + std::to_string(data));
      ec->AttachInterface(static_cast<uint16_t>(data), static_cast<uint16_t>(command));
      ec->SetRegister(0, 0x10, static_cast<uint8_t>(mark));
      ecs.push_back(std::move(ec));
    }
  }
  std::vector<std::unique_ptr<Ec>> ecs;
};

TEST_P(InterfaceTableTest, ReachesItsPortPair) {
  const InterfacePorts ports = GetParam();
  UINT8 value = 0;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadRegister(ports.interface, 0x10, &value); }),
            kEcStatusSuccess);
  const uint8_t expected = ports.data == 0x62 ? 0x11 : ports.data == 0x6A ? 0x22 : 0x33;
  EXPECT_EQ(value, expected);
  for (const auto &ec : ecs) {
    const bool mine = ec->BytesTaken(ports.command) != 0;
    EXPECT_EQ(ec->BytesTaken(0x66) + ec->BytesTaken(0x6E) + ec->BytesTaken(0x6C), mine ? 2u : 0u);
  }
  EXPECT_EQ(IoReads(ports.data), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, InterfaceTableTest,
    ::testing::Values(InterfacePorts{0, 0x62, 0x66}, InterfacePorts{1, 0x62, 0x66},
                      InterfacePorts{2, 0x6A, 0x6E}, InterfacePorts{3, 0x62, 0x66},
                      InterfacePorts{4, 0x62, 0x66}, InterfacePorts{5, 0x68, 0x6C}));

TEST_F(FirmwareTest, InterfaceOutsideTheTableTouchesNoPort) {
  UINT8 value = 0x5A;
  UINT8 buffer[kEcStringSize] = {};
  Run([&] {
    EXPECT_EQ(ReadRegister(6, 0x10, &value), kEcStatusTimeout);
    EXPECT_EQ(WriteRegister(0xFFFFFFFF, 0x10, 1), kEcStatusTimeout);
    EXPECT_EQ(SendCommand(6, 0x80), kEcStatusTimeout);
    EXPECT_EQ(SendData(6, 0), kEcStatusTimeout);
    EXPECT_EQ(ReadString(6, buffer), kEcStatusNotReady);
    EXPECT_EQ(SmbusWriteByte(6, 0xA0, 1, 2), kEcStatusTimeout);
    EXPECT_EQ(ReadBankRegister(0x100, 1, 0x10, &value), kEcStatusTimeout);
    EXPECT_EQ(WriteBankRegister(6, 1, 0x10, 1), kEcStatusTimeout);
    EXPECT_EQ(ReadRegister(kBoard, 0x10, nullptr), kEcStatusTimeout);
    EXPECT_EQ(ReadString(kBoard, nullptr), kEcStatusNotReady);
  });
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(PortAccesses(), 0u);
}

// ---- A present EC ----

class EcTest : public FirmwareTest {
protected:
  void TearDown() override {
    ExpectNoEcMisuse(ec); // the faults these tests inject are not misuse
  }
  EcTest() { ec.AttachInterface(0x62, 0x66); }
  Ec ec{machine};
};

TEST_F(EcTest, WriteRegisterSendsCommandAddressValue) {
  EXPECT_EQ(Run<EC_STATUS>([] { return WriteRegister(kBoard, 0xC0, 0x42); }), kEcStatusSuccess);
  EXPECT_EQ(ec.Register(0, 0xC0), 0x42);
  EXPECT_TRUE(machine.trace().FindSequence(
      {TraceMatch::IoWr(0x66, 0x81), TraceMatch::IoWr(0x62, 0xC0), TraceMatch::IoWr(0x62, 0x42)}));
}

TEST_F(EcTest, ReadRegisterReadsTheSelectedBank) {
  ec.SetRegister(3, 0x20, 0x9C);
  ec.SelectBank(3);
  UINT8 value = 0;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadRegister(kBoard, 0x20, &value); }), kEcStatusSuccess);
  EXPECT_EQ(value, 0x9C);
  EXPECT_EQ(ec.SelectedBank(), 3);
}

// What the read bound of a handshake lasts: each status read is an LPC cycle,
// and so is every byte of the port-0xEB delay between two reads.
constexpr uint64_t kReadBoundNs =
    kEcStatusReads * (1 + 2 * kEcDelayRounds) * sim::cost::Ns(sim::AccessKind::LpcPort);

TEST_F(EcTest, SlowEcWithinTheReadBoundIsWaitedFor) {
  ec.SetResponseDelayNs(kReadBoundNs / 2);
  ec.SetRegister(0, 0x30, 0x77);
  UINT8 value = 0;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadRegister(kBoard, 0x30, &value); }), kEcStatusSuccess);
  EXPECT_EQ(value, 0x77);
}

TEST_F(EcTest, EcSlowerThanTheReadBoundTimesOut) {
  ec.SetResponseDelayNs(3 * kReadBoundNs);
  const uint64_t start = machine.clock().NowNs();
  EXPECT_EQ(Run<EC_STATUS>([] { return SendCommand(kBoard, 0x80); }), kEcStatusTimeout);
  EXPECT_EQ(ec.StatusReads(0x66), 1 + kEcStatusReads)
      << "ready once, then the wait after the command";
  EXPECT_LT(machine.clock().NowNs() - start, 3 * kReadBoundNs);
}

TEST_F(EcTest, EitherBusyBitHoldsBackInput) {
  for (uint8_t bits : {uint8_t{0x02}, uint8_t{0x04}}) {
    ec.SetStuckBusy(bits);
    EXPECT_EQ(Run<EC_STATUS>([] { return WriteRegister(kBoard, 0x10, 1); }), kEcStatusTimeout)
        << "busy bits " << int(bits);
  }
  EXPECT_EQ(ec.BytesTaken(0x66), 0u);
  EXPECT_EQ(IoWrites(0x66) + IoWrites(0x62), 0u);
}

// ---- ReadString ----

class ReadStringTest : public EcTest {
protected:
  EC_STATUS Query() {
    buffer.fill(0xA5);
    return Run<EC_STATUS>([&] { return ReadString(kBoard, buffer.data()); });
  }
  size_t Untouched() const {
    size_t count = 0;
    for (UINT8 byte : buffer) {
      count += byte == 0xA5;
    }
    return count;
  }
  // Room past the 16 bytes to catch a write beyond them.
  std::array<UINT8, kEcStringSize + 4> buffer{};
};

TEST_F(ReadStringTest, StopsAfterTheZeroByteItStores) {
  ec.SetString({0x41, 0x42, 0x00, 0x43});
  EXPECT_EQ(Query(), kEcStatusSuccess);
  EXPECT_EQ(buffer[0], 0x41);
  EXPECT_EQ(buffer[1], 0x42);
  EXPECT_EQ(buffer[2], 0x00);
  EXPECT_EQ(Untouched(), buffer.size() - 3);
  EXPECT_EQ(IoReads(0x62), 3u);
}

TEST_F(ReadStringTest, SixteenBytesWithoutTerminator) {
  std::vector<uint8_t> text(20);
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<uint8_t>('a' + i);
  }
  ec.SetString(text);
  EXPECT_EQ(Query(), kEcStatusSuccess);
  EXPECT_EQ(std::memcmp(buffer.data(), text.data(), kEcStringSize), 0);
  EXPECT_EQ(Untouched(), 4u) << "written past 16 bytes";
  EXPECT_EQ(IoReads(0x62), kEcStringSize);
}

TEST_F(ReadStringTest, EcStoppingAfterFiveBytesLeavesFiveAndSucceeds) {
  ec.SetString({1, 2, 3, 4, 5, 6, 7, 8, 0});
  ec.StopAnsweringAfter(1 + 5); // the command, then five bytes
  EXPECT_EQ(Query(), kEcStatusSuccess);
  EXPECT_EQ(std::memcmp(buffer.data(), "\1\2\3\4\5", 5), 0);
  EXPECT_EQ(Untouched(), buffer.size() - 5);
}

TEST_F(ReadStringTest, NoAnswerAtAllIsNotAnError) {
  ec.SetString({});
  EXPECT_EQ(Query(), kEcStatusSuccess);
  EXPECT_EQ(Untouched(), buffer.size());
}

TEST_F(ReadStringTest, CommandNotTakenIsNotReady) {
  ec.SetStuckBusy(0x02);
  EXPECT_EQ(Query(), kEcStatusNotReady);
  EXPECT_EQ(Untouched(), buffer.size());
}

// ---- Banked access ----

class BankTest : public EcTest {};

TEST_F(BankTest, ReadSelectsBankReadsAndReturnsToBankZero) {
  ec.SetRegister(2, 0x4F, 0x02);
  UINT8 value = 0;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadBankRegister(kBoard, 2, 0x4F, &value); }),
            kEcStatusSuccess);
  EXPECT_EQ(value, 0x02);
  EXPECT_EQ(ec.SelectedBank(), 0);
  EXPECT_TRUE(machine.trace().FindSequence(
      {TraceMatch::Is(sim::ev::EcWrite{{0, 0xFF, 0x02}}),
       TraceMatch::Is(sim::ev::EcRead{{2, 0x4F, 0x02}}),
       TraceMatch::Is(sim::ev::EcWrite{{2, 0xFF, 0x00}})}));
}

TEST_F(BankTest, WriteSelectsBankWritesAndReturnsToBankZero) {
  EXPECT_EQ(Run<EC_STATUS>([] { return WriteBankRegister(kBoard, 1, 0x90, 0x05); }),
            kEcStatusSuccess);
  EXPECT_EQ(ec.Register(1, 0x90), 0x05);
  EXPECT_EQ(ec.Register(0, 0x90), 0x00);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

TEST_F(BankTest, ReadWhoseByteNeverArrivesStillReturnsToBankZero) {
  ec.SetMuteReads(true);
  UINT8 value = 0x5A;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadBankRegister(kBoard, 2, 0x4F, &value); }),
            kEcStatusTimeout);
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(ec.SelectedBank(), 0);
  EXPECT_EQ(ec.WriteCount(2, kEcBankSelect), 1u);
}

TEST_F(BankTest, ReadCommandFailingAfterBankSelectLeavesTheBank) {
  ec.StopAnsweringAfter(3); // 0x81 0xFF bank, then nothing
  UINT8 value = 0x5A;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadBankRegister(kBoard, 2, 0x4F, &value); }),
            kEcStatusTimeout);
  EXPECT_EQ(ec.SelectedBank(), 2);
  EXPECT_EQ(value, 0x5A);
}

TEST_F(BankTest, ReadWithFailedReturnToBankZeroFailsButKeepsTheValue) {
  ec.SetRegister(2, 0x4F, 0x07);
  ec.StopAnsweringAfter(3 + 2 + 1); // bank select, read command, the byte
  UINT8 value = 0;
  EXPECT_EQ(Run<EC_STATUS>([&] { return ReadBankRegister(kBoard, 2, 0x4F, &value); }),
            kEcStatusTimeout);
  EXPECT_EQ(value, 0x07);
  EXPECT_EQ(ec.SelectedBank(), 2);
}

TEST_F(BankTest, WriteCommandTimingOutAfterBankSelectLeavesTheBank) {
  ec.StopAnsweringAfter(3);
  EXPECT_EQ(Run<EC_STATUS>([] { return WriteBankRegister(kBoard, 1, 0x90, 0x05); }),
            kEcStatusTimeout);
  EXPECT_EQ(ec.SelectedBank(), 1);
  EXPECT_EQ(ec.Register(1, 0x90), 0x00);
  // The 0x81 was written and never taken: the operation stopped right there.
  EXPECT_EQ(IoWrites(0x66), 2u);
  EXPECT_EQ(IoWrites(0x62), 2u);
}

TEST_F(BankTest, BankSelectFailingEndsAtOnce) {
  ec.StopAnsweringAfter(1); // takes 0x81, nothing after
  EXPECT_EQ(Run<EC_STATUS>([] { return WriteBankRegister(kBoard, 1, 0x90, 0x05); }),
            kEcStatusTimeout);
  EXPECT_EQ(IoWrites(0x66), 1u);
  EXPECT_EQ(IoWrites(0x62), 1u) << "only the bank select's register byte";
}

// ---- SmbusWriteByte ----

class SmbusTest : public EcTest {
protected:
  EC_STATUS WriteByte() {
    return Run<EC_STATUS>([] { return SmbusWriteByte(kBoard, 0xA4, 0x3C, 0x5E); });
  }
  size_t StatusPolls() {
    return machine.trace().Count(TraceMatch::Of<sim::ev::EcRead>().Where(
        [](const sim::ev::EcRead &read) { return read.reg == 0x01; }, "register 0x01"));
  }
};

TEST_F(SmbusTest, SuccessWritesFiveRegistersInOrderAndPollsOnce) {
  EXPECT_EQ(WriteByte(), kEcStatusSuccess);
  ASSERT_EQ(ec.SmbusTransfers().size(), 1u);
  const Ec::SmbusTransfer &transfer = ec.SmbusTransfers()[0];
  EXPECT_EQ(transfer.protocol, 0x06);
  EXPECT_EQ(transfer.address, 0xA4) << "address must be written unchanged";
  EXPECT_EQ(transfer.command, 0x3C);
  EXPECT_EQ(transfer.data, 0x5E);
  ASSERT_EQ(ec.Writes().size(), 5u);
  const uint8_t order[][2] = {{0x01, 0x00}, {0x02, 0xA4}, {0x04, 0x5E}, {0x03, 0x3C}, {0x00, 0x06}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ec.Writes()[i].reg, order[i][0]) << i;
    EXPECT_EQ(ec.Writes()[i].value, order[i][1]) << i;
  }
  EXPECT_EQ(StatusPolls(), 1u);
}

// Only a transfer reported done without error is a success: a device error,
// a transfer that never completes and a bus busy after the last restart
// did not write the byte.
TEST_F(SmbusTest, DeviceErrorCodePolls1000TimesAndFails) {
  ec.SetSmbusCompletion(0x80 | 0x10);
  EXPECT_EQ(WriteByte(), kEcStatusTimeout);
  EXPECT_EQ(StatusPolls(), kEcSmbusPolls);
  EXPECT_EQ(ec.SmbusTransfers().size(), 1u);
}

TEST_F(SmbusTest, NeverDonePolls1000TimesAndFails) {
  ec.SetSmbusCompletion(0x1A); // a code without the done bit does not count
  EXPECT_EQ(WriteByte(), kEcStatusTimeout);
  EXPECT_EQ(StatusPolls(), kEcSmbusPolls);
  EXPECT_EQ(ec.SmbusTransfers().size(), 1u);
}

TEST_F(SmbusTest, BusBusyAndTimeOutRestartTheTransfer) {
  ec.QueueSmbusCompletions({0x80 | 0x1A, 0x80 | 0x18});
  EXPECT_EQ(WriteByte(), kEcStatusSuccess);
  ASSERT_EQ(ec.SmbusTransfers().size(), 3u);
  EXPECT_EQ(ec.Writes().size(), 15u) << "five register writes per attempt";
  for (const Ec::SmbusTransfer &transfer : ec.SmbusTransfers()) {
    EXPECT_EQ(transfer.address, 0xA4);
  }
  EXPECT_EQ(StatusPolls(), 3u) << "each attempt's poll count starts again";
}

TEST_F(SmbusTest, EcBusyForeverFailsAfterBoundedRestarts) {
  ec.SetSmbusCompletion(0x80 | 0x1A);
  EXPECT_EQ(WriteByte(), kEcStatusTimeout);
  EXPECT_EQ(ec.SmbusTransfers().size(), 1 + kEcSmbusRestarts);
}

TEST_F(SmbusTest, FailingStatusReadsCountAsPolls) {
  machine.trace().Enable(false); // a million status reads
  // ... with their delays, over a minute of LPC cycles: past the default
  // watchdog, which is not what this test is about.
  machine.SetWatchdog(10 * sim::Machine::kDefaultWatchdogNs);
  ec.SetMuteReads(true);
  ec.SetSmbusCompletion(0x80);
  EXPECT_EQ(WriteByte(), kEcStatusTimeout);
  // Five writes of three bytes, then command and register of every poll.
  EXPECT_EQ(ec.BytesTaken(0x66), 5 * 3 + kEcSmbusPolls * 2);
}

} // namespace
