// The controller model's descriptor rings: what goes on the wire (checksums
// judged by an independent computation), ownership and end-of-ring handling,
// untrusted addresses, and reception with its length field, frame check
// sequence, errors and queueing.
#include <gtest/gtest.h>

#include "MgmtController.h"
#include "NicRig.h"

namespace {

using namespace sim::nic;
using nictest::NicRig;
using sim::NicModel;

class Capture final : public sim::LinkPeer {
public:
  void OnFrame(const std::vector<uint8_t> &frame) override { frames.push_back(frame); }
  std::vector<std::vector<uint8_t>> frames;
};

class NicDmaTest : public ::testing::Test {
protected:
  NicDmaTest() {
    rig.nic.AttachPeer(&peer);
    rig.Start();
  }
  NicRig rig;
  Capture peer;
};

TEST_F(NicDmaTest, TransmitInsertsChecksumsTheDescriptorAsksFor) {
  for (size_t n : {4u, 5u, 300u, 1472u}) { // odd and even payloads
    std::vector<uint8_t> payload(n);
    for (size_t i = 0; i < n; ++i) {
      payload[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    const std::vector<uint8_t> sent = nictest::BoardRequest(payload);
    peer.frames.clear();
    rig.Queue(sent);
    ASSERT_EQ(peer.frames.size(), 1u);
    const std::vector<uint8_t> &wire = peer.frames[0];
    EXPECT_TRUE(nictest::ReferenceIpv4Ok(wire)) << n;
    EXPECT_TRUE(nictest::ReferenceUdpOk(wire)) << n;
    // Nothing but the two checksum fields changed.
    std::vector<uint8_t> masked(wire.begin(), wire.begin() + static_cast<ptrdiff_t>(sent.size()));
    masked[24] = masked[25] = masked[40] = masked[41] = 0;
    EXPECT_EQ(masked, sent);
  }
  EXPECT_EQ(rig.nic.ChecksumFaults(), 0u);
}

TEST_F(NicDmaTest, TransmitWithoutInsertionBitsLeavesChecksumsAlone) {
  rig.Queue(nictest::BoardRequest({1, 2, 3, 4}), 0);
  ASSERT_EQ(peer.frames.size(), 1u);
  EXPECT_EQ(peer.frames[0][24] | peer.frames[0][25] | peer.frames[0][40] | peer.frames[0][41], 0);
  // Only the IPv4 bit: the UDP field stays zero.
  rig.Queue(nictest::BoardRequest({1, 2, 3, 4}), kTxInsertIpv4);
  EXPECT_TRUE(nictest::ReferenceIpv4Ok(peer.frames[1]));
  EXPECT_EQ(peer.frames[1][40] | peer.frames[1][41], 0);
}

TEST_F(NicDmaTest, ShortFramesArePaddedAndTheDescriptorIsGivenBack) {
  const uint32_t d = rig.Queue(nictest::BoardRequest({}));
  ASSERT_EQ(peer.frames.size(), 1u);
  EXPECT_EQ(peer.frames[0].size(), 60u);
  ASSERT_EQ(rig.nic.TxLog().size(), 1u);
  EXPECT_EQ(rig.nic.TxLog()[0].length, 48u);
  EXPECT_EQ(rig.nic.TxLog()[0].controlWord, nictest::kTxControl);
  const uint32_t word0 = rig.Desc(rig.TxRing(), d)[0];
  EXPECT_EQ(word0 & kDescOwn, 0u);
  EXPECT_EQ(word0 & 0xFFFF, 48u) << "length and segment bits are kept";
  EXPECT_EQ(rig.In16(reg::kInterruptStatus) & kIsrTxOk, kIsrTxOk);
}

TEST_F(NicDmaTest, RingWrapsAtTheEndOfRingDescriptor) {
  for (uint32_t i = 0; i < nictest::kRingSize + 2; ++i) {
    rig.Queue(nictest::BoardRequest({static_cast<uint8_t>(i)}));
  }
  const auto &log = rig.nic.TxLog();
  ASSERT_EQ(log.size(), nictest::kRingSize + 2);
  EXPECT_EQ(log[255].firstDescriptor, 255u);
  EXPECT_EQ(log[256].firstDescriptor, 0u);
  EXPECT_EQ(log[257].firstDescriptor, 1u);
  EXPECT_EQ(log[256].frame[48], 0x00) << "payload of the 257th frame";
  EXPECT_EQ(rig.nic.TxIndex(), 2u);
}

TEST_F(NicDmaTest, OnlyDescriptorsOwnedByTheControllerAreSent) {
  rig.Doorbell(); // nothing owned
  EXPECT_TRUE(peer.frames.empty());
  // Two frames prepared, the first not yet handed over: nothing moves past it.
  rig.Queue(nictest::BoardRequest({1}), nictest::kTxControl, false);
  rig.Queue(nictest::BoardRequest({2}), nictest::kTxControl, false);
  rig.Desc(rig.TxRing(), 0)[0] &= ~kDescOwn;
  rig.Doorbell();
  EXPECT_TRUE(peer.frames.empty());
  rig.Desc(rig.TxRing(), 0)[0] |= kDescOwn;
  rig.Doorbell();
  ASSERT_EQ(peer.frames.size(), 2u);
  EXPECT_EQ(peer.frames[0][48], 1);
  EXPECT_EQ(peer.frames[1][48], 2);
}

TEST_F(NicDmaTest, DoorbellIsIgnoredWhileTheTransmitterIsOff) {
  rig.Out8(reg::kCommand, 0);
  rig.Queue(nictest::BoardRequest({1}));
  EXPECT_TRUE(peer.frames.empty());
  EXPECT_EQ(rig.nic.IgnoredDoorbells(), 1u);
  EXPECT_NE(rig.Desc(rig.TxRing(), 0)[0] & kDescOwn, 0u);
}

TEST_F(NicDmaTest, Versions62And63RingTheirOwnDoorbell) {
  ASSERT_TRUE(rig.nic.SetChipVersion(62));
  rig.Queue(nictest::BoardRequest({1}), nictest::kTxControl, false);
  rig.Out8(reg::kTxPoll, kTxPollNormal);
  EXPECT_TRUE(peer.frames.empty()) << "0x38 is not the doorbell on this version";
  rig.Out8(reg::kTxPollAlt, kTxPollAltNormal);
  EXPECT_EQ(peer.frames.size(), 1u);
  ASSERT_TRUE(rig.nic.SetChipVersion(61));
  rig.Out8(reg::kTxPollAlt, kTxPollAltNormal);
  EXPECT_EQ(rig.nic.UnknownWrites(), 1u);
}

TEST_F(NicDmaTest, AddressesOutsideDmaMemoryAreRefused) {
  // A buffer address the driver got wrong: nothing sent, descriptor kept.
  rig.Queue(nictest::BoardRequest({1}), nictest::kTxControl, false);
  rig.Desc(rig.TxRing(), 0)[2] = 0x00001000;
  rig.Doorbell();
  EXPECT_TRUE(peer.frames.empty());
  EXPECT_EQ(rig.nic.DmaFaults(), 1u);
  EXPECT_NE(rig.Desc(rig.TxRing(), 0)[0] & kDescOwn, 0u);
  EXPECT_EQ(rig.In16(reg::kInterruptStatus) & kIsrSystemError, kIsrSystemError);
  // A ring address above 4 GiB.
  rig.Out32(reg::kTxRingHigh, 1);
  rig.Doorbell();
  EXPECT_EQ(rig.nic.DmaFaults(), 2u);
  // Freed guest memory is not a DMA target either.
  rig.Out32(reg::kTxRingHigh, 0);
  uint64_t page = 0xFFFFFFFF;
  ASSERT_TRUE(
      rig.machine.memory().AllocatePages(sim::GuestMemory::AllocKind::MaxAddress, 4, 1, page));
  ASSERT_TRUE(rig.machine.memory().FreePages(page, 1));
  rig.Desc(rig.TxRing(), 0)[2] = static_cast<uint32_t>(page);
  rig.Doorbell();
  EXPECT_EQ(rig.nic.DmaFaults(), 3u);
  EXPECT_TRUE(peer.frames.empty());
}

// Where a module keeps its static frame buffer: the executable's own data.
uint8_t gStaticFrame[64];

TEST_F(NicDmaTest, StaticDataOfTheExecutableIsReachableOnlyOnceAllowed) {
  const std::vector<uint8_t> frame = nictest::BoardRequest({5});
  std::memcpy(gStaticFrame, frame.data(), frame.size());
  uint32_t *d = rig.Desc(rig.TxRing(), 0);
  d[1] = nictest::kTxControl;
  d[2] = static_cast<uint32_t>(reinterpret_cast<uint64_t>(gStaticFrame));
  d[3] = 0;
  d[0] = kDescOwn | kDescFirst | kDescLast | static_cast<uint32_t>(frame.size());
  rig.Doorbell();
  EXPECT_TRUE(peer.frames.empty());
  EXPECT_EQ(rig.nic.DmaFaults(), 1u);
  rig.nic.AllowExecutableDataDma();
  rig.Doorbell();
  ASSERT_EQ(peer.frames.size(), 1u);
  EXPECT_EQ(peer.frames[0][48], 5);
}

TEST_F(NicDmaTest, OneDoorbellDoesAtMostOneRingOfWork) {
  // A ring without an end-of-ring mark whose descriptors are all owned: the
  // controller wraps at its ring limit and stops there.
  const uint32_t count = kMaxRingDescriptors;
  uint64_t ring = 0xFFFFFFFF;
  ASSERT_TRUE(rig.machine.memory().AllocatePages(sim::GuestMemory::AllocKind::MaxAddress, 4,
                                                 count * kDescriptorSize / 4096, ring));
  const std::vector<uint8_t> frame = nictest::BoardRequest({9});
  std::memcpy(reinterpret_cast<void *>(rig.TxBuffer(0)), frame.data(), frame.size());
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t *d = reinterpret_cast<uint32_t *>(ring + uint64_t{i} * kDescriptorSize);
    d[1] = 0;
    d[2] = static_cast<uint32_t>(rig.TxBuffer(0));
    d[3] = 0;
    d[0] = kDescOwn | kDescFirst | kDescLast | static_cast<uint32_t>(frame.size());
  }
  rig.Out32(reg::kTxRingLow, static_cast<uint32_t>(ring));
  rig.Doorbell();
  EXPECT_EQ(peer.frames.size(), count);
  EXPECT_EQ(rig.nic.TxIndex(), 0u);
}

TEST_F(NicDmaTest, LinkDownSendsNothing) {
  rig.nic.SetLink(false);
  rig.Queue(nictest::BoardRequest({1}));
  EXPECT_TRUE(peer.frames.empty());
  EXPECT_TRUE(rig.nic.TxLog().empty());
  EXPECT_EQ(rig.nic.TxDropped(), 1u);
}

TEST_F(NicDmaTest, ReceivedFrameCarriesItsFrameCheckSequenceInTheLength) {
  const std::vector<uint8_t> frame = nictest::BoardRequest({1, 2, 3, 4, 5, 6, 7, 8});
  rig.nic.SendToBoard(frame, 200'000);
  rig.Wait(190); // the register reads cost time too (half a microsecond each)
  EXPECT_FALSE(rig.Receive().has_value()) << "arrives only after its delay";
  rig.Wait(10);
  const auto r = rig.Receive();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->lengthField, frame.size() + 4);
  EXPECT_FALSE(r->error);
  EXPECT_EQ(r->frame, frame);
  const auto *fcs = reinterpret_cast<const uint8_t *>(rig.RxBuffer(0) + frame.size());
  const uint32_t got = fcs[0] | fcs[1] << 8 | fcs[2] << 16 | static_cast<uint32_t>(fcs[3]) << 24;
  EXPECT_EQ(got, nictest::ReferenceCrc32(frame.data(), frame.size()));
  EXPECT_EQ(rig.In16(reg::kInterruptStatus) & kIsrRxOk, kIsrRxOk);
}

TEST_F(NicDmaTest, ReceiveRingWrapsAndKeepsTheEndOfRingBit) {
  for (uint32_t i = 0; i < nictest::kRingSize + 1; ++i) {
    rig.nic.SendToBoard(nictest::BoardRequest({static_cast<uint8_t>(i)}), 0);
    const auto r = rig.Receive();
    ASSERT_TRUE(r.has_value()) << i;
    EXPECT_EQ(r->descriptor, i % nictest::kRingSize);
    if (i == nictest::kRingSize - 1) {
      EXPECT_NE(rig.Desc(rig.RxRing(), i)[0] & kDescEndOfRing, 0u);
    }
  }
  EXPECT_EQ(rig.nic.RxIndex(), 1u);
}

TEST_F(NicDmaTest, FramesWaitForAFreeDescriptorAndAreNotLost) {
  for (uint32_t i = 0; i < nictest::kRingSize; ++i) {
    rig.Desc(rig.RxRing(), i)[0] &= ~kDescOwn;
  }
  rig.nic.SendToBoard(nictest::BoardRequest({7}), 0);
  rig.nic.SendToBoard(nictest::BoardRequest({8}), 0);
  rig.Wait(1);
  EXPECT_EQ(rig.nic.RxQueued(), 2u);
  EXPECT_EQ(rig.In16(reg::kInterruptStatus) & kIsrRxNoDescriptor, kIsrRxNoDescriptor);
  EXPECT_EQ(rig.machine.trace().Count(sim::TraceMatch::Of<sim::ev::NicRxStalled>()), 1u);
  rig.GiveBack(0);
  rig.Wait(1);
  EXPECT_EQ(rig.nic.RxQueued(), 1u);
  rig.GiveBack(1);
  rig.Wait(1);
  EXPECT_EQ(rig.nic.RxQueued(), 0u);
  const auto *first = reinterpret_cast<const uint8_t *>(rig.RxBuffer(0));
  const auto *second = reinterpret_cast<const uint8_t *>(rig.RxBuffer(1));
  EXPECT_EQ(first[48], 7);
  EXPECT_EQ(second[48], 8);
}

TEST_F(NicDmaTest, ErroredAndOversizedFramesAreMarked) {
  rig.nic.ErrorNextRxFrames(1);
  rig.nic.SendToBoard(nictest::BoardRequest({1}), 0);
  rig.nic.SendToBoard(nictest::BoardRequest({2}), 0);
  auto r = rig.Receive();
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->error);
  r = rig.Receive();
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->error);
  // A length field the driver must cut, with the bytes still bounded by the buffer.
  NicModel::RxOptions options;
  options.overrideLength = true;
  options.lengthField = 2000;
  rig.nic.InjectFrame(std::vector<uint8_t>(1600, 0xAB), options);
  r = rig.Receive();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->lengthField, 2000u);
  EXPECT_TRUE(r->error) << "1604 bytes do not fit a 1536-byte buffer";
  const auto *next = reinterpret_cast<const uint8_t *>(rig.RxBuffer(3));
  EXPECT_EQ(next[0], 0) << "nothing written past the buffer";
}

TEST_F(NicDmaTest, FramesArrivingWhileTheReceiverIsOffAreDropped) {
  rig.Out8(reg::kCommand, kCommandTxEnable);
  rig.nic.SendToBoard(nictest::BoardRequest({1}), 0);
  rig.Wait(1);
  rig.Out8(reg::kCommand, kCommandTxEnable | kCommandRxEnable);
  EXPECT_FALSE(rig.Receive().has_value());
  EXPECT_EQ(rig.nic.RxDropped(), 1u);
}

TEST_F(NicDmaTest, RequestTravelsToTheControllerModelAndTheAnswerComesBack) {
  sim::MgmtController controller(rig.machine);
  rig.nic.AttachPeer(&controller);
  controller.Attach(&rig.nic);
  controller.SetItem(0x02030000, {0x82});
  rig.Queue(nictest::ReadRequest(0x02030000));
  ASSERT_EQ(controller.Requests().size(), 1u);
  rig.Wait(150);
  EXPECT_FALSE(rig.Receive().has_value());
  rig.Wait(100);
  const auto r = rig.Receive();
  ASSERT_TRUE(r.has_value());
  const std::vector<uint8_t> &answer = r->frame;
  EXPECT_EQ(answer[36] << 8 | answer[37], 50000);
  EXPECT_EQ((answer[16] << 8 | answer[17]) - 28, 3);
  EXPECT_EQ(answer[42], 0x00);
  EXPECT_EQ(answer[43], 0x00);
  EXPECT_EQ(answer[44], 0x82);
  EXPECT_TRUE(nictest::ReferenceIpv4Ok(answer));
  EXPECT_TRUE(nictest::ReferenceUdpOk(answer));
}

} // namespace
