// The descriptor rings as the controller model sees them: the end-of-ring
// wrap, errored and oversized receive descriptors, received lengths, and the
// completed-buffer queue's full condition, and a DMA area the controller
// cannot reach.
#include "LinkFixture.h"

#include "Frames.h"
#include "Rings.h"

#include <sys/mman.h>

namespace link_test {
namespace {

constexpr uint32_t kItem = 0x02030000;

using TransmitRingTest = LinkFixture;

TEST_F(TransmitRingTest, DescriptorTwoHundredFiftyFiveEndsTheRingAndTheNextFrameUsesZero) {
  LoadAndOpen();
  for (unsigned i = 0; i < 257; i++) {
    ASSERT_EQ(Send({uint8_t(i), uint8_t(i >> 8)}), EFI_SUCCESS) << "notice " << i;
  }
  const auto &log = nic_.TxLog();
  ASSERT_EQ(log.size(), 257u);
  EXPECT_EQ(log[255].firstDescriptor, 255u);
  EXPECT_EQ(log[256].firstDescriptor, 0u) << "the end-of-ring bit sent the controller back";
  EXPECT_EQ(log[256].frame[52], 0x00);
  EXPECT_EQ(log[256].frame[53], 0x01);

  const volatile uint32_t *last =
      reinterpret_cast<const volatile uint32_t *>(nic_.TxRingAddress() + 255 * 16);
  EXPECT_EQ(last[0] & 0x7FFF0000u, 0x70000000u) << "end of ring, first and last segment";
  EXPECT_EQ(last[0] & 0xFFFF, 54u);
  EXPECT_EQ(last[1], 0xA0880000u) << "UDP and IPv4 checksum insertion from offset 34";
  EXPECT_EQ(nic_.DmaFaults(), 0u);
}

using ReceiveRingTest = LinkFixture;

// Three frames land together: two errored ones ahead of the answer. One
// receive poll must skip both and return the answer.
TEST_F(ReceiveRingTest, ErroredDescriptorsAreSkippedInOneReceiveStep) {
  LoadAndOpen();
  peer_.SetItem(kItem, {0x01});
  ASSERT_EQ(Transact(ItemRequest(kItem), 500), EFI_SUCCESS);
  peer_.SetItem(kItem, {0x02});
  peer_.SetTrafficBeforeAnswer(2, sim::MgmtController::Traffic::StaleAnswer);
  nic_.ErrorNextRxFrames(2);
  ASSERT_EQ(Transact(ItemRequest(kItem), 1), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x02})) << "not the stale answer";
  size_t errored = 0;
  for (const auto &rx : nic_.RxLog()) {
    errored += rx.error ? 1 : 0;
  }
  EXPECT_EQ(errored, 2u);
}

TEST_F(ReceiveRingTest, StaleAnswersThatArriveIntactAreTakenWhenNotErrored) {
  LoadAndOpen();
  peer_.SetItem(kItem, {0x01});
  ASSERT_EQ(Transact(ItemRequest(kItem), 500), EFI_SUCCESS);
  peer_.SetItem(kItem, {0x02});
  peer_.SetTrafficBeforeAnswer(1, sim::MgmtController::Traffic::StaleAnswer);
  ASSERT_EQ(Transact(ItemRequest(kItem), 1), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x01}))
      << "control case: the first frame to port 50000 is the answer";
}

class ReceiveLengthTest : public LinkFixture {
protected:
  // An answer frame whose IPv4 total length claims `claimed` answer bytes
  // while `carried` bytes follow the UDP header.
  std::vector<uint8_t> AnswerClaiming(size_t claimed, size_t carried) {
    std::vector<uint8_t> frame = peer_.AnswerFrame(0, std::vector<uint8_t>(carried - 2, 0x3C));
    uint16_t total = static_cast<uint16_t>(claimed + 28);
    frame[16] = uint8_t(total >> 8);
    frame[17] = uint8_t(total);
    return frame;
  }

  EFI_STATUS ReceiveOnly(std::vector<uint8_t> frame, sim::NicModel::RxOptions options) {
    peer_.SetSilent(true);
    // Arrives after the drain, while Transact polls.
    nic_.InjectFrame(std::move(frame), options, 5 * kMs);
    return Transact(ItemRequest(kItem), 20, 1500);
  }
};

TEST_F(ReceiveLengthTest, FrameCheckSequenceIsNotPartOfTheFrame) {
  LoadAndOpen();
  // 64 bytes on the wire (length field 68): 22 answer bytes fit, 24 do not.
  EXPECT_EQ(ReceiveOnly(AnswerClaiming(22, 22), {}), EFI_SUCCESS);
  EXPECT_EQ(answer_.size(), 22u);
  EXPECT_EQ(ReceiveOnly(AnswerClaiming(24, 22), {}), EFI_BUFFER_TOO_SMALL)
      << "two of the claimed bytes would be the frame check sequence";
  EXPECT_EQ(answerLength_, 24);
  EXPECT_EQ(answer_, std::vector<uint8_t>(1500, 0xEE)) << "nothing copied";
}

TEST_F(ReceiveLengthTest, LengthFieldBeyondTheLargestFrameIsCutTo1514) {
  LoadAndOpen();
  sim::NicModel::RxOptions longField{.overrideLength = true, .lengthField = 2000};
  EXPECT_EQ(ReceiveOnly(AnswerClaiming(1472, 1472), longField), EFI_SUCCESS);
  EXPECT_EQ(answer_.size(), 1472u);
  // A claim past 1514 - 42 bytes reaches beyond what the cut frame holds,
  // into bytes that never arrived.
  EXPECT_EQ(ReceiveOnly(AnswerClaiming(1480, 1472), longField), EFI_BUFFER_TOO_SMALL);
}

TEST_F(ReceiveLengthTest, LengthFieldShorterThanTheCheckSequenceIsAnEmptyFrame) {
  LoadAndOpen();
  // The buffer holds a complete answer, but the descriptor says 2 bytes:
  // nothing of it may be taken.
  sim::NicModel::RxOptions tiny{.overrideLength = true, .lengthField = 2};
  EXPECT_EQ(ReceiveOnly(AnswerClaiming(4, 4), tiny), EFI_DEVICE_ERROR);
}

using CompletedQueueTest = LinkFixture;

// The queue holds 511 entries at most; the reclaim step must stop rather than
// step the producer onto the consumer (which would make it look empty).
TEST_F(CompletedQueueTest, ReclaimStopsWhenTheQueueIsFull) {
  LoadAndOpen();
  ASSERT_EQ(Send({1}), EFI_SUCCESS);
  NIC_ADAPTER &a = Context()->Adapter;
  a.CompletedProducer = 100;
  a.CompletedConsumer = 101; // 511 waiting
  a.CompletedQueue[100] = 0x1234;
  uint16_t reclaimed = a.ReclaimIndex;
  RunOk([&] {
    NIC_TX_REQUEST request = {reinterpret_cast<uint64_t>(mFrameBuffer), 60, 0};
    ASSERT_EQ(NicTransmit(Context(), &request), NicHwOk);
  });
  nic_.Poll();
  ASSERT_EQ(nic_.TxLog().size(), 2u) << "the controller finished the descriptor";
  RunOk([&] { NicReclaim(Context()); });
  EXPECT_EQ(a.CompletedProducer, 100);
  EXPECT_EQ(a.CompletedQueue[100], 0x1234u);
  EXPECT_EQ(a.ReclaimIndex, reclaimed) << "the finished descriptor waits for room";

  a.CompletedConsumer = 0; // room again
  RunOk([&] { NicReclaim(Context()); });
  EXPECT_EQ(a.CompletedProducer, 101);
  EXPECT_EQ(a.CompletedQueue[100], reinterpret_cast<uint64_t>(mFrameBuffer));
  EXPECT_EQ(a.ReclaimIndex, (reclaimed + 1) % 256);
}

// A NIC I/O instance that hands out the DMA area above 4 GiB (host memory
// the device cannot address). Bring-up refuses the area, so the opening
// fails without starting the engines, and nothing may be queued on rings
// that were never placed.
class UnusableDmaAreaTest : public LinkFixture {
protected:
  static constexpr UINTN kDmaPages = 99;
  static inline EFI_PCI_IO_PROTOCOL_ALLOCATE_BUFFER original_ = nullptr;
  static inline void *high_ = nullptr;

  static EFI_STATUS EFIAPI AllocateHigh(EFI_PCI_IO_PROTOCOL *This, EFI_ALLOCATE_TYPE Type,
                                        EFI_MEMORY_TYPE MemoryType, UINTN Pages, VOID **Host,
                                        UINT64 Attributes) {
    if (Pages == kDmaPages) {
      *Host = high_;
      return EFI_SUCCESS;
    }
    return original_(This, Type, MemoryType, Pages, Host, Attributes);
  }

  void SetUp() override {
    high_ = mmap(nullptr, kDmaPages * EFI_PAGE_SIZE, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(high_, MAP_FAILED);
    ASSERT_GE(reinterpret_cast<uint64_t>(high_), 0x100000000ull) << "needs memory above 4 GiB";
    original_ = provider_->Protocol()->PciIo.AllocateBuffer;
    provider_->Protocol()->PciIo.AllocateBuffer = AllocateHigh;
  }
  void TearDown() override {
    provider_->Protocol()->PciIo.AllocateBuffer = original_;
    munmap(high_, kDmaPages * EFI_PAGE_SIZE);
  }
};

TEST_F(UnusableDmaAreaTest, OpeningFailsLaysNoRingAndStartsNothing) {
  Load();
  ASSERT_EQ(Context()->Adapter.DmaHostAddress, reinterpret_cast<uint64_t>(high_));
  EXPECT_EQ(Open(1, kTag), EFI_DEVICE_ERROR);
  EXPECT_EQ(Context()->Opened, 0);
  EXPECT_EQ(nic_.CommandRegister() & 0x0C, 0) << "engines without rings would DMA to 0";
  EXPECT_FALSE(NicRingsLocated(Context()));
  EXPECT_EQ(nic_.TxRingAddress(), 0u) << "no ring address was programmed";
  EXPECT_EQ(Send({1, 2, 3}), EFI_NOT_READY);
  EXPECT_EQ(Transact(ItemRequest(kItem), 5), EFI_NOT_READY);
  EXPECT_TRUE(SentFrames().empty());
  EXPECT_EQ(nic_.DmaFaults(), 0u);
}

} // namespace
} // namespace link_test
