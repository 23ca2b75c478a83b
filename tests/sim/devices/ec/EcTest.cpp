// EC model: the handshake flags over virtual time, commands and banks, the
// string answer, the SMBus host controller and the fault hooks, driven through
// the bus like a host would.
#include <gtest/gtest.h>

#include <Register/EcRegisters.h>

#include "Ec.h"
#include "Machine.h"

namespace {

using sim::Ec;

class EcModelTest : public ::testing::Test {
protected:
  EcModelTest() { ec.AttachInterface(0x62, 0x66); }

  uint8_t Status() { return static_cast<uint8_t>(machine.bus().IoRead(0x66, 1)); }
  uint8_t Data() { return static_cast<uint8_t>(machine.bus().IoRead(0x62, 1)); }
  void Command(uint8_t value) { machine.bus().IoWrite(0x66, 1, value); }
  void Send(uint8_t value) { machine.bus().IoWrite(0x62, 1, value); }
  void Wait(uint64_t ns) { machine.clock().AdvanceNs(ns); }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  Ec ec{machine};
};

TEST_F(EcModelTest, ReadCommandAnswersWithOutputFull) {
  ec.SetRegister(0, 0x30, 0x9A);
  EXPECT_EQ(Status() & 0x03, 0);
  Command(kEcCommandRead);
  EXPECT_EQ(Status() & Ec::kStatusCommand, Ec::kStatusCommand);
  Send(0x30);
  EXPECT_EQ(Status() & 0x03, Ec::kStatusOutputFull);
  EXPECT_EQ(Data(), 0x9A);
  EXPECT_EQ(Status() & Ec::kStatusOutputFull, 0) << "reading the data port empties it";
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::EcCommand>()), 1u);
  ASSERT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::EcRead>()), 1u);
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Is(sim::ev::EcRead{{0, 0x30, 0x9A}})), 1u);
}

TEST_F(EcModelTest, InputStaysFullForTheResponseDelay) {
  ec.SetResponseDelayNs(50'000);
  Command(kEcCommandWrite);
  EXPECT_EQ(Status() & Ec::kStatusInputFull, Ec::kStatusInputFull);
  Wait(40'000);
  EXPECT_EQ(Status() & Ec::kStatusInputFull, Ec::kStatusInputFull);
  Wait(10'000);
  EXPECT_EQ(Status() & Ec::kStatusInputFull, 0);
  EXPECT_EQ(ec.BytesTaken(0x66), 1u);
}

TEST_F(EcModelTest, WriteCommandStoresIntoTheSelectedBank) {
  Command(kEcCommandWrite);
  Send(kEcBankSelect);
  Send(2);
  EXPECT_EQ(ec.SelectedBank(), 2);
  Command(kEcCommandWrite);
  Send(0x4F);
  Send(0x02);
  EXPECT_EQ(ec.Register(2, 0x4F), 0x02);
  EXPECT_EQ(ec.Register(0, 0x4F), 0x00);
  EXPECT_EQ(ec.Register(5, kEcBankSelect), 2) << "0xFF reads back the bank in every bank";
  EXPECT_EQ(ec.WriteCount(2, 0x4F), 1u);
}

TEST_F(EcModelTest, SignatureIsReadOnly) {
  EXPECT_EQ(ec.Register(kEcSignatureBank, kEcSignatureRegister), kEcSignature);
  ec.SelectBank(1);
  Command(kEcCommandWrite);
  Send(kEcSignatureRegister);
  Send(0x00);
  EXPECT_EQ(ec.Register(kEcSignatureBank, kEcSignatureRegister), kEcSignature);
  EXPECT_EQ(ec.ReadOnlyWrites(), 1u);
}

TEST_F(EcModelTest, StringBytesFollowOneAfterAnotherAfterTheDelay) {
  ec.SetResponseDelayNs(10'000);
  ec.SetString({'O', 'K', 0});
  Command(kEcCommandReadString);
  Wait(10'000);
  EXPECT_EQ(Status() & Ec::kStatusOutputFull, Ec::kStatusOutputFull);
  EXPECT_EQ(Data(), 'O');
  EXPECT_EQ(Status() & Ec::kStatusOutputFull, 0) << "next byte only after the delay";
  Wait(10'000);
  EXPECT_EQ(Data(), 'K');
  Wait(10'000);
  EXPECT_EQ(Data(), 0);
  Wait(10'000);
  EXPECT_EQ(Status() & Ec::kStatusOutputFull, 0);
}

TEST_F(EcModelTest, NewCommandDropsAnUnreadAnswer) {
  ec.SetString({'A', 'B', 'C'});
  Command(kEcCommandReadString);
  EXPECT_EQ(Data(), 'A');
  Command(kEcCommandRead);
  EXPECT_EQ(Status() & Ec::kStatusOutputFull, 0);
  Send(0x10);
  EXPECT_EQ(Data(), 0x00) << "register 0x10, not the rest of the string";
}

TEST_F(EcModelTest, MisuseIsCounted) {
  Command(0x42);
  Send(0x01);
  ec.SetResponseDelayNs(1'000'000);
  Command(kEcCommandRead);
  Send(0x10); // while the command is still in the input buffer
  EXPECT_EQ(Data(), 0x00);
  EXPECT_EQ(ec.UnknownCommands(), 1u);
  EXPECT_EQ(ec.StrayBytes(), 1u);
  EXPECT_EQ(ec.Overruns(), 1u);
  EXPECT_EQ(ec.EmptyReads(), 1u);
}

TEST_F(EcModelTest, SmbusTransferRunsInTheSmbusBankOnly) {
  ec.SetSmbusBank(3);
  ec.SelectBank(0);
  Command(kEcCommandWrite);
  Send(kEcSmbusProtocol);
  Send(kEcSmbusProtocolWriteByte);
  EXPECT_TRUE(ec.SmbusTransfers().empty());
  ec.SelectBank(3);
  ec.SetRegister(3, kEcSmbusAddress, 0xA0);
  ec.SetRegister(3, kEcSmbusCommand, 0x11);
  ec.SetRegister(3, kEcSmbusData0, 0x22);
  ec.QueueSmbusCompletions({0x9A});
  for (int i = 0; i < 2; ++i) {
    Command(kEcCommandWrite);
    Send(kEcSmbusProtocol);
    Send(kEcSmbusProtocolWriteByte);
  }
  ASSERT_EQ(ec.SmbusTransfers().size(), 2u);
  EXPECT_EQ(ec.SmbusTransfers()[0].status, 0x9A);
  EXPECT_EQ(ec.SmbusTransfers()[1].status, Ec::kSmbusDoneOk);
  EXPECT_EQ(ec.SmbusTransfers()[1].address, 0xA0);
  EXPECT_EQ(ec.Register(3, kEcSmbusStatus), Ec::kSmbusDoneOk);
  EXPECT_EQ(ec.Register(3, kEcSmbusProtocol), 0) << "protocol register clears when taken";
  EXPECT_EQ(machine.trace().Count(sim::TraceMatch::Of<sim::ev::EcSmbus>()), 2u);
}

TEST_F(EcModelTest, AbsentEcReadsAllOnes) {
  ec.SetPresent(false);
  EXPECT_EQ(Status(), 0xFF);
  EXPECT_EQ(Data(), 0xFF);
  Command(kEcCommandRead);
  EXPECT_EQ(ec.BytesTaken(0x66), 0u);
}

TEST_F(EcModelTest, ClosedDecodeHidesThePorts) {
  bool open = false;
  ec.SetDecodeGate([&](uint16_t port) { return open && port != 0; });
  EXPECT_EQ(Status(), 0xFF);
  Command(kEcCommandRead);
  EXPECT_EQ(ec.BytesTaken(0x66), 0u);
  open = true;
  EXPECT_EQ(Status() & 0x03, 0);
}

TEST_F(EcModelTest, StuckBusyForcesStatusBits) {
  ec.SetStuckBusy(0x04);
  EXPECT_EQ(Status() & 0x06, 0x04);
  EXPECT_EQ(ec.StatusReads(0x66), 1u);
}

TEST_F(EcModelTest, StoppingAfterNBytesKeepsInputFullForever) {
  ec.StopAnsweringAfter(2);
  Command(kEcCommandRead);
  Send(0x10); // two bytes taken; the answer is never put out
  EXPECT_EQ(Status() & 0x01, 0);
  Command(kEcCommandWrite);
  Wait(1'000'000'000);
  EXPECT_EQ(Status() & Ec::kStatusInputFull, Ec::kStatusInputFull);
  EXPECT_EQ(ec.BytesTaken(0x66), 2u);
}

TEST_F(EcModelTest, MuteReadsTakeTheAddressAndAnswerNothing) {
  ec.SetMuteReads(true);
  Command(kEcCommandRead);
  Send(0x10);
  EXPECT_EQ(Status() & 0x03, 0);
  EXPECT_EQ(ec.BytesTaken(0x66), 2u);
}

TEST_F(EcModelTest, InterfacesKeepTheirOwnHandshake) {
  ec.AttachInterface(0x68, 0x6C);
  ec.SetRegister(0, 0x20, 0x55);
  Command(kEcCommandRead);
  machine.bus().IoWrite(0x6C, 1, kEcCommandWrite);
  Send(0x20);
  EXPECT_EQ(Status() & 0x01, 0x01);
  EXPECT_EQ(machine.bus().IoRead(0x6C, 1) & 0x01, 0u);
  EXPECT_EQ(ec.BytesTaken(0x6C), 1u);
  EXPECT_EQ(Data(), 0x55);
}

} // namespace
