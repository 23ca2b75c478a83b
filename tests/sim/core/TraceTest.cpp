// Trace: device attribution of accesses, typed events and their text, the
// observers, and the ordered-sequence query that tests of other subsystems
// rely on.
#include <gtest/gtest.h>

#include <Hw.h>

#include "Machine.h"
#include "Pci.h"
#include "PmTimer.h"

namespace {

namespace ev = sim::ev;
using sim::TraceEntry;
using sim::TraceMatch;

class Port : public sim::BusTarget {
public:
  uint64_t Read(uint64_t, unsigned) override { return 0x5A; }
  void Write(uint64_t, unsigned, uint64_t) override {}
};

class TraceTest : public ::testing::Test {
protected:
  void SetUp() override {
    machine.bus().MapIo(0x2E, 2, &sio, "sio");
    machine.bus().MapIo(0x62, 1, &ec, "ec");
  }
  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::Trace &trace = machine.trace();
  Port sio;
  Port ec;
};

TEST_F(TraceTest, AccessesCarryTheClaimingDeviceAndTime) {
  IoWrite8(0x2E, 0x87);
  IoRead8(0x62);
  IoRead8(0x80);
  ASSERT_EQ(trace.Entries().size(), 3u);
  const TraceEntry &w = trace.Entries()[0];
  EXPECT_EQ(w.kind, TraceEntry::IoWrite);
  EXPECT_EQ(w.device, "sio");
  EXPECT_EQ(w.address, 0x2Eu);
  EXPECT_EQ(w.value, 0x87u);
  EXPECT_EQ(w.timeNs, machine.clock().NowNs() - 2 * sim::cost::Ns(sim::AccessKind::LpcPort));
  EXPECT_EQ(trace.Entries()[1].device, "ec");
  EXPECT_EQ(trace.Entries()[1].value, 0x5Au);
  EXPECT_EQ(trace.Entries()[2].device, ""); // unclaimed
  EXPECT_EQ(trace.Entries()[2].value, 0xFFu);
}

TEST_F(TraceTest, ConfigurationAccessIsAttributedToThePciFunction) {
  sim::PciConfigSpace lpc;
  lpc.SetIds(0x8086, 0x0680);
  machine.bus().Pci().Attach(0, 31, 0, &lpc, "lpc");
  MmioRead16(sim::EcamAddress(0, 31, 0, 2));
  MmioRead16(sim::EcamAddress(0, 2, 0, 2));
  ASSERT_EQ(trace.Entries().size(), 2u);
  EXPECT_EQ(trace.Entries()[0].device, "lpc");
  EXPECT_EQ(trace.Entries()[1].device, "pci");
}

TEST_F(TraceTest, SequenceIsFoundInOrderWithOtherEntriesBetween) {
  IoWrite8(0x2E, 0x87);
  IoWrite8(0x2E, 0x87);
  IoRead8(0x62);
  IoWrite8(0x2E, 0x07);
  IoWrite8(0x2F, 0x0F);
  trace.Emit("sio", ev::SioEnterConfig{});
  const auto result =
      trace.FindSequence({TraceMatch::IoWr(0x2E, 0x87), TraceMatch::IoWr(0x2E, 0x87),
                          TraceMatch::IoWr(0x2F, 0x0F), TraceMatch::Ev("sio", "sio.enter_config")});
  EXPECT_TRUE(result) << result.explanation;
  EXPECT_EQ(result.positions, (std::vector<size_t>{0, 1, 4, 5}));
}

TEST_F(TraceTest, SequenceInTheWrongOrderIsNotFoundAndTheMissingStepIsNamed) {
  IoWrite8(0x2F, 0x0F);
  IoWrite8(0x2E, 0x07);
  const auto result =
      trace.FindSequence({TraceMatch::IoWr(0x2E, 0x07), TraceMatch::IoWr(0x2F, 0x0F)});
  EXPECT_FALSE(result);
  EXPECT_EQ(result.matchedSteps, 1u);
  EXPECT_NE(result.explanation.find("step 1"), std::string::npos) << result.explanation;
  EXPECT_NE(result.explanation.find("0x2f"), std::string::npos) << result.explanation;
}

TEST_F(TraceTest, MaskedValueMatchesOnlyTheSelectedBits) {
  IoWrite8(0x2F, 0x8C);
  EXPECT_EQ(trace.Count(TraceMatch::IoWr(0x2F).Val(0x80, 0x80)), 1u);
  EXPECT_EQ(trace.Count(TraceMatch::IoWr(0x2F).Val(0x00, 0x80)), 0u);
}

TEST_F(TraceTest, FilterAndEventQueriesSelectByDeviceNameAndType) {
  IoWrite8(0x2E, 0x55);
  IoRead8(0x62);
  trace.Emit("ec", ev::EcCommand{0x66, 0x80});
  trace.Emit("sio", ev::SioExitConfig{});
  trace.Emit("ec", ev::EcRead{{1, 0xF8, 0xEC}});
  trace.Emit("ec", ev::EcWrite{{1, 0xF8, 0xEC}});
  EXPECT_EQ(trace.Filter("ec").size(), 4u);
  ASSERT_EQ(trace.Events("ec.cmd").size(), 1u);
  ASSERT_NE(trace.Events("ec.cmd")[0].As<ev::EcCommand>(), nullptr);
  EXPECT_EQ(trace.Events("ec.cmd")[0].As<ev::EcCommand>()->command, 0x80);
  EXPECT_EQ(trace.Events("ec.cmd")[0].As<ev::EcRead>(), nullptr);

  // Same fields, other type: a read never matches a write.
  EXPECT_EQ(trace.Count(TraceMatch::Is(ev::EcRead{{1, 0xF8, 0xEC}})), 1u);
  EXPECT_EQ(trace.Count(TraceMatch::Is(ev::EcRead{{1, 0xF8, 0xED}})), 0u);
  EXPECT_EQ(trace.Count(TraceMatch::Is(ev::EcRead{{1, 0xF8, 0xEC}}).Dev("sio")), 0u);
  const auto bankOne = [](const ev::EcRegister &r) { return r.bank == 1; };
  EXPECT_EQ(trace.Count(TraceMatch::Of<ev::EcWrite>().Where(bankOne, "bank 1")), 1u);
  EXPECT_EQ(trace.Count(TraceMatch::Of<ev::EcRead>().Where(bankOne, "bank 1").Dev("ec")), 1u);
  EXPECT_EQ(trace.Count(TraceMatch::Of<ev::EcSmbus>()), 0u);

  // A failed typed step names the type and the fields it wanted.
  const auto missing = trace.FindSequence(
      {TraceMatch::Is(ev::EcCommand{0x66, 0x80}), TraceMatch::Is(ev::EcCommand{0x66, 0x81})});
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.explanation.find("ec.cmd (port=0x66 cmd=0x81)"), std::string::npos)
      << missing.explanation;
  EXPECT_NE(missing.explanation.find("ec.cmd (port=0x66 cmd=0x80)"), std::string::npos)
      << "the last matched step is shown as the trace prints it: " << missing.explanation;
}

// What the trace dump and `mgmt-sim -v` print for each kind of event; the
// texts are the ones readers and stored outputs know.
struct EventText {
  sim::TraceEvent event;
  const char *name;
  const char *text;
};

class TraceEventTextTest : public ::testing::TestWithParam<EventText> {};

TEST_P(TraceEventTextTest, FieldsFormatToTheKnownText) {
  EXPECT_STREQ(sim::TraceEventName(GetParam().event), GetParam().name);
  EXPECT_EQ(sim::FormatTraceEvent(GetParam().event), GetParam().text);
}

constexpr EFI_GUID kGuid = {0x1341D592, 0xD87F, 0x4616, {0x99, 0x45, 0xBD, 0x36, 0xAC, 0xDC, 0xB0, 0x61}};

INSTANTIATE_TEST_SUITE_P(
    EveryShape, TraceEventTextTest,
    ::testing::Values(
        EventText{ev::MachineStop{"reset", "0x06 written to port 0xCF9"}, "machine.stop",
                  "reset: 0x06 written to port 0xCF9"},
        EventText{ev::DxeInstall{kGuid, 12}, "dxe.install",
                  "1341D592-D87F-4616-9945-BD36ACDCB061 on handle 12"},
        EventText{ev::DxeUninstall{kGuid, 3}, "dxe.uninstall",
                  "1341D592-D87F-4616-9945-BD36ACDCB061 from handle 3"},
        EventText{ev::DxeConfigTable{kGuid, false}, "dxe.config_table",
                  "1341D592-D87F-4616-9945-BD36ACDCB061 removed"},
        EventText{ev::DxeUnload{std::nullopt, 0x8000000000000003ull}, "dxe.unload",
                  "an image (entry point returned 0x8000000000000003)"},
        EventText{ev::DxeSetVariable{std::nullopt, 4, 7, 0}, "dxe.set_variable",
                  "? size 4 attributes 0x7 status 0x0"},
        EventText{ev::SmbiosRead{17, 2, false, 0, 0}, "smbios.read",
                  "type 17 instance 2: not delivered"},
        EventText{ev::SmbiosRead{4, 1, true, 0x0400, 48}, "smbios.read",
                  "type 4 instance 1: handle 1024, 48 bytes"},
        EventText{ev::LogoBlt{{200, 100, 540, 310}}, "logo.blt", "200x100 at 540,310"},
        EventText{ev::EcCommand{0x66, 0x80}, "ec.cmd", "port=0x66 cmd=0x80"},
        EventText{ev::EcWrite{{0, 0xFF, 0x02}}, "ec.write", "bank=0 reg=0xFF value=0x02"},
        EventText{ev::MgmtRequest{0x02030000, 0, 1500000}, "mgmt.request",
                  "0x02030000 status=0 due=1500000"},
        EventText{ev::MgmtMalformed{ev::MgmtMalformed::Frame::Request}, "mgmt.malformed",
                  "request"},
        EventText{ev::SioWrite{{true, 0x07, 0x07, 0x0F}}, "sio.write",
                  "global reg=0x07 value=0x0F"},
        EventText{ev::SioRead{{false, 0x0F, 0xE1, 0x80}}, "sio.read",
                  "ldn=0x0F reg=0xE1 value=0x80"},
        EventText{ev::SioPin{47, true, false}, "sio.pin", "pin=47 output low"},
        EventText{ev::ChipsetRefused{ev::ChipsetRefused::Target::Mirror, 0x2770, 0xA01, 4},
                  "chipset.refused", "port=0x88 offset=0x2770 value=0xA01 size=0x4"},
        EventText{ev::ChipsetRefused{ev::ChipsetRefused::Target::Bridge, 0x84, 0xA01, 4},
                  "chipset.refused", "reg=0x84 value=0xA01 size=0x4"},
        EventText{ev::GpioPadConfig{{"PadConfig", 1, 7, 0x44000200, 0x44000201}, 0},
                  "gpio.pad_cfg", "PadConfig group 1 pad 7 dw0 0x44000200 -> 0x44000201"},
        EventText{ev::GpioLock{{"PadConfigLock", 0, 0, 0x0, 0x4}}, "gpio.lock",
                  "PadConfigLock group 0 pad 0 0x0 -> 0x4"},
        EventText{ev::GpioRefused{0x6E, 0x80, {}}, "gpio.refused",
                  "lock message to port 0x6E offset 0x80, not a lock register"},
        EventText{ev::GpioRefused{0x6E, 0x80, "pad locked"}, "gpio.refused",
                  "port 0x6E offset 0x80: pad locked"},
        EventText{ev::SbBridgeStart{0x07, 0x6E, 0x00A0, 0x1}, "sbbridge.start",
                  "opcode 0x07 port 0x6E offset 0x00A0 data 0x00000001"},
        EventText{ev::ResetRequest{0x06}, "reset.request", "0x06 written to port 0xCF9"},
        EventText{ev::NicReset{std::nullopt}, "nic.reset", "never completes"},
        EventText{ev::NicReset{2000}, "nic.reset", "done at 2000"},
        EventText{ev::NicEnable{true, false}, "nic.enable", "rx -"},
        EventText{ev::NicOobRequest{0x0C, false}, "nic.oob_request",
                  "0xC (firmware stopped)"},
        EventText{ev::NicDmaFault{true, 0x7F000000, 64}, "nic.dma_fault",
                  "write 0x7F000000 len=64"},
        EventText{ev::NicDoorbellIgnored{ev::NicDoorbellIgnored::Why::BusMasteringOff},
                  "nic.doorbell_ignored", "bus mastering off"},
        EventText{ev::NicTxDrop{std::nullopt}, "nic.tx_drop", "link down"},
        EventText{ev::NicTxDrop{5}, "nic.tx_drop", "malformed descriptor chain at 5"},
        EventText{ev::NicRxStalled{3}, "nic.rx_queued", "no free descriptor at 3"},
        EventText{ev::NicRxFrame{2, 60, true}, "nic.rx_frame", "index=2 len=60 error"},
        EventText{ev::NicResetDone{}, "nic.reset_done", ""}),
    [](const ::testing::TestParamInfo<EventText> &info) {
      std::string name = info.param.name;
      for (char &c : name) {
        c = c == '.' ? '_' : c;
      }
      return name + "_" + std::to_string(info.index);
    });

// Observers see every event as it is emitted, also when the trace keeps
// nothing; with neither, an emitter is told nobody listens.
class Collector : public sim::TraceObserver {
public:
  void OnEvent(const TraceEntry &entry) override { seen.push_back(entry); }
  std::vector<TraceEntry> seen;
};

TEST_F(TraceTest, ObserversSeeEventsWhetherOrNotTheTraceKeepsThem) {
  Collector first, second;
  trace.AddObserver(&first);
  trace.AddObserver(&first); // once is enough
  trace.AddObserver(&second);
  machine.clock().AdvanceNs(500);
  IoRead8(0x62); // accesses are the trace's alone
  trace.Emit("nic", ev::NicLink{true});
  trace.Enable(false);
  EXPECT_TRUE(trace.Listening());
  trace.Emit("nic", ev::NicLink{false});
  trace.RemoveObserver(&second);
  trace.Emit("nic", ev::NicResetDone{});

  ASSERT_EQ(first.seen.size(), 3u);
  EXPECT_EQ(first.seen[0].device, "nic");
  EXPECT_EQ(first.seen[0].kind, TraceEntry::Event);
  EXPECT_GE(first.seen[0].timeNs, 500u);
  EXPECT_TRUE(first.seen[0].As<ev::NicLink>()->up);
  EXPECT_FALSE(first.seen[1].As<ev::NicLink>()->up);
  EXPECT_NE(first.seen[2].As<ev::NicResetDone>(), nullptr);
  EXPECT_EQ(second.seen.size(), 2u);
  EXPECT_EQ(trace.Events("nic.link").size(), 1u) << "kept only while enabled";

  trace.RemoveObserver(&first);
  EXPECT_FALSE(trace.Listening());
}

TEST_F(TraceTest, QuietTargetsAndDisabledTraceRecordNothing) {
  sim::PmTimer timer(machine.clock(), machine.bus());
  IoRead32(sim::PmTimer::kPort);
  EXPECT_TRUE(trace.Entries().empty());
  trace.Enable(false);
  IoRead8(0x62);
  trace.Emit("ec", ev::EcCommand{0x66, 0x80});
  EXPECT_TRUE(trace.Entries().empty());
  EXPECT_FALSE(trace.Listening());
}

TEST_F(TraceTest, EntriesPastTheLimitAreDroppedAndCounted) {
  trace.SetLimit(2);
  for (int i = 0; i < 5; ++i)
    IoRead8(0x62);
  EXPECT_EQ(trace.Entries().size(), 2u);
  EXPECT_EQ(trace.Dropped(), 3u);
  const auto result =
      trace.FindSequence({TraceMatch::IoRd(0x62), TraceMatch::IoRd(0x62), TraceMatch::IoRd(0x62)});
  EXPECT_NE(result.explanation.find("dropped"), std::string::npos) << result.explanation;
  // Events still go in: what a step did is read from them.
  trace.Emit("nic", ev::NicResetDone{});
  EXPECT_EQ(trace.Events("nic.reset_done").size(), 1u);
  EXPECT_EQ(trace.Dropped(), 3u);
}

} // namespace
