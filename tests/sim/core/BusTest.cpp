// Bus decoding: unclaimed accesses, overlapping maps, offsets handed to
// targets, access costs, MSRs, and PCI configuration through the ECAM window.
#include <gtest/gtest.h>

#include <Hw.h>

#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "AccessCost.h"
#include "Machine.h"
#include "Pci.h"

namespace {

using sim::Bus;
using sim::EcamAddress;
using sim::PciConfigSpace;

// A register file that remembers what it was given.
class Registers : public sim::BusTarget {
public:
  uint64_t Read(uint64_t offset, unsigned size) override {
    lastReadSize = size;
    return values[offset];
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    lastWriteSize = size;
    values[offset] = value;
  }
  std::map<uint64_t, uint64_t> values;
  unsigned lastReadSize = 0;
  unsigned lastWriteSize = 0;
};

class BusTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::MachineScope scope{machine};
  Bus &bus = machine.bus();
};

class UnclaimedMmioTest : public BusTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(UnclaimedMmioTest, ReadReturnsAllOnesOfTheWidth) {
  const unsigned size = GetParam();
  EXPECT_EQ(bus.MmioRead(0xFED00000, size), Bus::OnesOf(size));
  EXPECT_EQ(bus.UnclaimedReads(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Widths, UnclaimedMmioTest, ::testing::Values(1u, 2u, 4u, 8u));

TEST_F(BusTest, UnclaimedAccessesThroughHwReadAllOnes) {
  EXPECT_EQ(MmioRead8(0xFED40000), 0xFFu);
  EXPECT_EQ(MmioRead16(0xFED40000), 0xFFFFu);
  EXPECT_EQ(MmioRead32(0xFED40000), 0xFFFFFFFFu);
  EXPECT_EQ(MmioRead64(0xFED40000), ~UINT64{0});
  EXPECT_EQ(IoRead8(0x2E), 0xFFu);
  EXPECT_EQ(IoRead16(0x2E), 0xFFFFu);
  EXPECT_EQ(IoRead32(0x2E), 0xFFFFFFFFu);
}

TEST_F(BusTest, UnclaimedWritesAreDroppedAndCounted) {
  IoWrite8(0x80, 0x12);
  MmioWrite32(0xFED40000, 1);
  EXPECT_EQ(bus.UnclaimedWrites(), 2u);
  EXPECT_EQ(IoRead8(0x80), 0xFFu);
}

TEST_F(BusTest, OverlappingMappingIsRefusedAndAdjacentOneAccepted) {
  Registers a, b;
  bus.MapIo(0x60, 8, &a, "a");
  EXPECT_THROW(bus.MapIo(0x67, 2, &b, "b"), sim::BusConflict);
  EXPECT_THROW(bus.MapIo(0x5F, 2, &b, "b"), sim::BusConflict);
  EXPECT_NO_THROW(bus.MapIo(0x68, 2, &b, "b"));
  EXPECT_THROW(bus.MapMmio(sim::kEcamBase + 0x1000, 0x1000, &b, "b"), sim::BusConflict);
  EXPECT_THROW(bus.MapIo(0xFFFF, 2, &b, "b"), sim::BusConflict);
}

TEST_F(BusTest, TargetSeesOffsetFromItsBaseAndTheWidth) {
  Registers regs;
  bus.MapMmio(0xD0000000, 0x1000, &regs, "regs");
  MmioWrite16(0xD0000010, 0xBEEF);
  EXPECT_EQ(regs.values[0x10], 0xBEEFu);
  EXPECT_EQ(regs.lastWriteSize, 2u);
  regs.values[0x20] = 0x1122334455667788;
  EXPECT_EQ(MmioRead32(0xD0000020), 0x55667788u); // wider value cut to the access
}

TEST_F(BusTest, AccessStraddlingTheEndOfAMappingIsUnclaimed) {
  Registers regs;
  bus.MapIo(0x62, 1, &regs, "ec-data");
  EXPECT_EQ(IoRead16(0x62), 0xFFFFu);
  EXPECT_EQ(bus.UnclaimedReads(), 1u);
}

TEST_F(BusTest, UnmappedTargetNoLongerDecodes) {
  Registers regs;
  bus.MapIo(0x2E, 2, &regs, "sio");
  regs.values[0] = 0x55;
  EXPECT_EQ(IoRead8(0x2E), 0x55u);
  bus.Unmap(&regs);
  EXPECT_EQ(IoRead8(0x2E), 0xFFu);
}

// The bus serves the mapping it hit last without a search: that shortcut
// must never claim a neighbour's address nor outlive its mapping.
TEST_F(BusTest, MappingHitLastNeverServesAnotherAddressNorOutlivesItself) {
  Registers a, b, c;
  bus.MapIo(0x60, 4, &a, "a");
  bus.MapIo(0x64, 4, &b, "b");
  a.values[3] = 0x11;
  b.values[0] = 0x22;
  EXPECT_EQ(IoRead8(0x63), 0x11u);
  EXPECT_EQ(IoRead8(0x64), 0x22u) << "the next port is b's";
  EXPECT_EQ(IoRead8(0x63), 0x11u);
  EXPECT_EQ(IoRead16(0x63), 0xFFFFu) << "straddles a and b";
  EXPECT_EQ(IoRead8(0x5F), 0xFFu) << "below a";
  bus.UnmapIo(0x60);
  EXPECT_EQ(IoRead8(0x63), 0xFFu);
  bus.MapIo(0x60, 4, &c, "c");
  c.values[3] = 0x33;
  EXPECT_EQ(IoRead8(0x63), 0x33u);
  IoWrite8(0x61, 0x44);
  EXPECT_EQ(c.values[1], 0x44u);
  EXPECT_EQ(a.values.count(1), 0u);
}

TEST_F(BusTest, AccessesAreCountedPerDeviceWithUnmappedAndUnclaimedOnes) {
  Registers a, fb;
  bus.MapIo(0x60, 4, &a, "a");
  IoRead8(0x60);
  IoWrite8(0x61, 1);
  bus.MapMmio(0xD0000000, 0x1000, &fb, "fb");
  MmioRead32(0xD0000000);
  bus.Unmap(&fb); // a BAR moves
  bus.MapMmio(0xC0000000, 0x1000, &fb, "fb");
  MmioWrite32(0xC0000000, 1);
  IoRead8(0x80);
  MmioRead8(0xFED40000);
  MmioRead32(EcamAddress(0, 0, 0));
  const std::map<std::string, uint64_t> expected = {
      {"io:", 1}, {"io:a", 2}, {"mmio:", 1}, {"mmio:fb", 2}, {"mmio:pci", 1}};
  EXPECT_EQ(bus.AccessesByDevice(), expected);
  EXPECT_EQ(bus.Accesses(), 7u);
}

// Each access costs what its path costs: the kind its mapping was given, an
// LPC cycle for an unclaimed port, a device round trip for unclaimed memory.
TEST_F(BusTest, EveryAccessCostsTheVirtualTimeOfItsPath) {
  using sim::AccessKind;
  using sim::cost::Ns;
  Registers lpc, pch, device;
  bus.MapIo(0x2E, 2, &lpc, "sio");
  bus.MapIo(0x1808, 4, &pch, "pm", AccessKind::PchRegister);
  bus.MapMmio(0xF7D00000, 0x1000, &device, "nic");
  uint64_t ramAddress = 0;
  ASSERT_TRUE(
      machine.memory().AllocatePages(sim::GuestMemory::AllocKind::AnyPages, 1, 1, ramAddress));
  const struct {
    std::function<void()> access;
    uint64_t ns;
  } cases[] = {
      {[] { IoRead8(0x2E); }, Ns(AccessKind::LpcPort)},
      {[] { IoWrite8(0x2F, 1); }, Ns(AccessKind::LpcPort)},
      {[] { IoRead32(0x1808); }, Ns(AccessKind::PchRegister)},
      {[] { MmioRead32(0xF7D00010); }, Ns(AccessKind::Device)},
      {[] { MmioWrite32(0xF7D00010, 0); }, Ns(AccessKind::Device)},
      {[] { MmioRead16(0xE00F8002); }, Ns(AccessKind::PciConfig)},
      {[&] { MmioRead32(ramAddress); }, Ns(AccessKind::Memory)},
      {[] { IoWrite8(0x80, 0); }, Ns(AccessKind::LpcPort)},
      {[] { MmioRead32(0xFED40000); }, Ns(AccessKind::Device)},
      {[] { ReadMsr(0x198); }, sim::cost::kMsrNs},
      {[] { CpuPause(); }, sim::cost::kCpuPauseNs},
  };
  bus.SetMsr(0x198, 0);
  const uint64_t accessesBefore = bus.Accesses();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const uint64_t t0 = machine.clock().NowNs();
    cases[i].access();
    EXPECT_EQ(machine.clock().NowNs() - t0, cases[i].ns) << "case " << i;
  }
  // Every case but the pause is a bus access.
  EXPECT_EQ(bus.Accesses() - accessesBefore, std::size(cases) - 1);
}

// A register that notes the virtual time of each read and, like some device
// models, may add a trace event while it serves one.
class TimedRegister : public sim::BusTarget {
public:
  explicit TimedRegister(sim::Machine &machine) : machine_(machine) {}
  uint64_t Read(uint64_t offset, unsigned size) override {
    (void)offset;
    (void)size;
    readsAtNs.push_back(machine_.clock().NowNs());
    if (eventOnRead)
      machine_.trace().Emit("ec", sim::ev::EcRead{});
    return value;
  }
  void Write(uint64_t offset, unsigned size, uint64_t v) override {
    (void)offset;
    (void)size;
    (void)v;
  }
  std::vector<uint64_t> readsAtNs;
  bool eventOnRead = false;
  uint64_t value = 0x1122334455667788;

private:
  sim::Machine &machine_;
};

// Reads of a quiet mapping hit last are served by a shortcut; an alarm due
// on such a read must still run after the access's cost is charged and
// before the device sees it, exactly once, whichever way the read comes.
TEST_F(BusTest, AlarmDueOnAReadRunsBeforeTheDeviceOnEveryPath) {
  TimedRegister reg(machine);
  bus.MapIo(0x1808, 4, &reg, "timer", sim::AccessKind::PchRegister);
  bus.SetQuiet(&reg, true);
  const uint64_t cost = sim::cost::Ns(sim::AccessKind::PchRegister);
  sim::Clock &clock = machine.clock();
  int fired = 0;
  size_t readsWhenFired = 0;
  uint64_t firedAtNs = 0;
  auto arm = [&](uint64_t atNs) {
    clock.SetAlarm(atNs, [&] {
      ++fired;
      readsWhenFired = reg.readsAtNs.size();
      firedAtNs = clock.NowNs();
    });
  };
  const std::function<uint64_t()> reads[] = {
      [] { return uint64_t{IoRead32(0x1808)}; },
      [] { return uint64_t{IoRead8(0x1808)}; },
      [&] { return bus.IoRead(0x1808, 4); },
  };
  for (size_t i = 0; i < std::size(reads); ++i) {
    SCOPED_TRACE(i);
    (void)reads[i](); // the mapping is now the one hit last
    fired = 0;
    const uint64_t t0 = clock.NowNs();
    arm(t0 + cost + 1); // one nanosecond short: not due
    (void)reads[i]();
    EXPECT_EQ(fired, 0);
    arm(clock.NowNs() + cost); // due exactly at the end of the read
    const size_t before = reg.readsAtNs.size();
    (void)reads[i]();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(readsWhenFired, before) << "the device was read before the alarm ran";
    EXPECT_EQ(firedAtNs, t0 + 2 * cost);
    EXPECT_EQ(reg.readsAtNs.back(), t0 + 2 * cost);
    EXPECT_EQ(clock.AlarmNs(), sim::Clock::kNever);
    arm(clock.NowNs()); // set for a time already reached: due on the next read
    (void)reads[i]();
    EXPECT_EQ(fired, 2);
  }
  // Near the end of time the clock saturates and still meets the alarm.
  clock.AdvanceNs(sim::Clock::kNever - 100 - clock.NowNs());
  arm(sim::Clock::kNever - 50);
  (void)IoRead32(0x1808);
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(clock.NowNs(), sim::Clock::kNever);
  EXPECT_EQ(reg.readsAtNs.back(), sim::Clock::kNever);
  (void)IoRead32(0x1808);
  EXPECT_EQ(clock.NowNs(), sim::Clock::kNever) << "time never wraps";
}

// A read whose entry the trace would refuse skips the entry; one it keeps
// is recorded after the device's read (which may add an event first), cut
// to the access's width. Every refused entry is counted once.
TEST_F(BusTest, TraceKeepsAccessesUntilFullThenCountsEachRefusedOne) {
  TimedRegister reg(machine);
  reg.eventOnRead = true;
  bus.MapIo(0x62, 1, &reg, "ec");
  sim::Trace &trace = machine.trace();
  trace.Clear();
  trace.SetLimit(3);
  // The limit holds accesses only; events go on being kept.
  EXPECT_EQ(IoRead8(0x62), 0x88u);       // event, access: 2 entries
  EXPECT_EQ(IoRead8(0x62), 0x88u);       // event fills the trace; access refused
  EXPECT_EQ(bus.IoRead(0x62, 1), 0x88u); // access refused up front; event
  ASSERT_EQ(trace.Entries().size(), 4u);
  EXPECT_EQ(trace.Entries()[0].kind, sim::TraceEntry::Event);
  EXPECT_EQ(trace.Entries()[1].kind, sim::TraceEntry::IoRead);
  EXPECT_EQ(trace.Entries()[1].value, 0x88u);
  EXPECT_EQ(trace.Entries()[1].device, "ec");
  EXPECT_EQ(trace.Entries()[2].kind, sim::TraceEntry::Event);
  EXPECT_EQ(trace.Entries()[3].kind, sim::TraceEntry::Event);
  EXPECT_EQ(trace.Dropped(), 2u);
  EXPECT_EQ(reg.readsAtNs.size(), 3u);
  trace.Enable(false);
  EXPECT_EQ(IoRead8(0x62), 0x88u);
  EXPECT_EQ(trace.Dropped(), 2u) << "a trace that is off drops nothing";
  EXPECT_EQ(bus.Accesses(), 4u);
}

TEST_F(BusTest, MmioToGuestRamReadsAndWritesTheMemory) {
  uint64_t address = 0;
  ASSERT_TRUE(machine.memory().AllocatePages(sim::GuestMemory::AllocKind::AnyPages, 4, 1, address));
  MmioWrite32(address + 8, 0xCAFEF00D);
  EXPECT_EQ(*reinterpret_cast<volatile uint32_t *>(address + 8), 0xCAFEF00Du);
  EXPECT_EQ(MmioRead8(address + 11), 0xCAu);
}

TEST_F(BusTest, ModelledMsrReadsItsValue) {
  bus.SetMsr(0x198, 0x2400);
  EXPECT_EQ(ReadMsr(0x198), 0x2400u);
}

// ECAM ------------------------------------------------------------------

class EcamTest : public BusTest {
protected:
  void SetUp() override {
    lpc.SetIds(0x8086, 0xA305);
    nic.SetIds(0x10EC, 0x8168);
    nic.SetSubsystem(0x1849, 0x8168);
    nic.SetBar(0, PciConfigSpace::BarKind::Io, 0x100, 0xE000);
    nic.SetBar(2, PciConfigSpace::BarKind::Mem64, 0x1000, 0xDF200000);
    bus.Pci().Attach(0, 31, 0, &lpc, "lpc");
    bus.Pci().Attach(3, 0, 0, &nic, "nic");
  }
  PciConfigSpace lpc;
  PciConfigSpace nic;
};

TEST_F(EcamTest, ReadsRouteToTheAddressedFunction) {
  EXPECT_EQ(MmioRead16(0xE00F8002), 0xA305u); // 0:31.0 device id
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0)), 0x816810ECu);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0, 0x2C)), 0x81681849u);
  EXPECT_EQ(MmioRead64(EcamAddress(3, 0, 0, 0x18)), 0xDF200004ull);
}

TEST_F(EcamTest, AbsentFunctionReadsAllOnesAtEveryWidth) {
  EXPECT_EQ(MmioRead8(EcamAddress(3, 0, 1)), 0xFFu);
  EXPECT_EQ(MmioRead16(EcamAddress(0, 31, 1, 2)), 0xFFFFu);
  EXPECT_EQ(MmioRead32(EcamAddress(4, 0, 0)), 0xFFFFFFFFu);
  EXPECT_EQ(MmioRead64(EcamAddress(255, 31, 7, 0xFF8)), ~UINT64{0});
  EXPECT_EQ(bus.Pci().AbsentReads(), 4u);
}

TEST_F(EcamTest, WriteToAbsentFunctionChangesNothing) {
  MmioWrite32(EcamAddress(3, 1, 0, 0x04), 0x7);
  EXPECT_EQ(bus.Pci().AbsentWrites(), 1u);
  EXPECT_EQ(nic.Get16(sim::pci::kCommand), 0u);
  EXPECT_EQ(lpc.Get16(sim::pci::kCommand), 0u);
}

TEST_F(EcamTest, DetachedFunctionReadsAllOnesUntilAttachedAgain) {
  PciConfigSpace fn1;
  fn1.SetIds(0x10EC, 0x0001);
  bus.Pci().Attach(3, 0, 1, &fn1);
  bus.Pci().Detach(3, 0, 0);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0)), 0xFFFFFFFFu);
  bus.Pci().Attach(3, 0, 0, &nic, "nic");
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0)), 0x816810ECu);
  bus.Pci().Detach(&nic);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0)), 0xFFFFFFFFu);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 1)), 0x000110ECu) << "the next function stays";
}

TEST_F(EcamTest, IdentityIsReadOnlyAndCommandIsWritable) {
  MmioWrite32(EcamAddress(3, 0, 0), 0x12345678);
  MmioWrite16(EcamAddress(3, 0, 0, 0x04), 0xFFFF);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0)), 0x816810ECu);
  EXPECT_EQ(MmioRead16(EcamAddress(3, 0, 0, 0x04)), 0x0547u);
  EXPECT_TRUE(nic.MemoryDecode());
  EXPECT_TRUE(nic.BusMaster());
}

TEST_F(EcamTest, BarSizingByWritingAllOnes) {
  MmioWrite32(EcamAddress(3, 0, 0, 0x10), 0xFFFFFFFF);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0, 0x10)), 0xFFFFFF01u); // 256 bytes of I/O
  MmioWrite32(EcamAddress(3, 0, 0, 0x18), 0xFFFFFFFF);
  EXPECT_EQ(MmioRead32(EcamAddress(3, 0, 0, 0x18)), 0xFFFFF004u); // 4 KiB, 64-bit
  MmioWrite32(EcamAddress(3, 0, 0, 0x18), 0xDF300000);
  EXPECT_EQ(nic.BarAddress(2), 0xDF300000u);
  EXPECT_EQ(nic.BarAddress(0), 0xFFFFFF00u);
}

TEST_F(EcamTest, StatusErrorBitsClearWhenWrittenWithOne) {
  nic.Set16(sim::pci::kStatus, 0x2010); // master abort + capabilities list
  MmioWrite16(EcamAddress(3, 0, 0, 0x06), 0x2000);
  EXPECT_EQ(MmioRead16(EcamAddress(3, 0, 0, 0x06)), 0x0010u);
}

} // namespace
