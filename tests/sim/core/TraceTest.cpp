// Trace: device attribution of accesses and the ordered-sequence query that
// tests of other subsystems rely on.
#include <gtest/gtest.h>

#include <Hw.h>

#include "Machine.h"
#include "Pci.h"
#include "PmTimer.h"

namespace {

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
  trace.Event("sio", "sio.enter_config");
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

TEST_F(TraceTest, FilterAndEventQueriesSelectByDeviceAndName) {
  IoWrite8(0x2E, 0x55);
  IoRead8(0x62);
  trace.Event("ec", "ec.cmd", "0x80");
  trace.Event("sio", "sio.exit_config");
  EXPECT_EQ(trace.Filter("ec").size(), 2u);
  ASSERT_EQ(trace.Events("ec.cmd").size(), 1u);
  EXPECT_EQ(trace.Events("ec.cmd")[0].detail, "0x80");
}

TEST_F(TraceTest, QuietTargetsAndDisabledTraceRecordNothing) {
  sim::PmTimer timer(machine.clock(), machine.bus());
  IoRead32(sim::PmTimer::kPort);
  EXPECT_TRUE(trace.Entries().empty());
  trace.Enable(false);
  IoRead8(0x62);
  trace.Event("ec", "ec.cmd");
  EXPECT_TRUE(trace.Entries().empty());
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
  trace.Event("nic", "nic.reset_done");
  EXPECT_EQ(trace.Events("nic.reset_done").size(), 1u);
  EXPECT_EQ(trace.Dropped(), 3u);
}

} // namespace
