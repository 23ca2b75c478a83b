// The IA32 runtime of the firmware images (64-bit division helpers and the
// memory functions) run as IA32 code on the emulated CPU against the build
// machine's native results. The helpers are called by their own convention
// (operands pushed, callee pops 16 bytes, result in EDX:EAX), checked on the
// stack, rather than by any compiler's idea of it.
#include "Cpu.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>

namespace sim::cpu {
namespace {

typedef unsigned long long U64;
struct DivideCase {
  U64 Dividend;
  U64 Divisor;
  U64 Quotient;
  U64 Remainder;
};
#include "DivideVectors.h"

enum Helper { AullDiv, AullRem, AllDiv, AllRem, MemCpy, MemSet, MemMove, MemCmp, HelperCount };

class RuntimeHelpersTest : public ::testing::Test {
protected:
  // Loads the image and fills `helpers` before running `body`. The CPU is
  // owned out here: a fault abandons the run's frames.
  RunOutcome Run(const std::function<void(Cpu &)> &body) {
    std::unique_ptr<Cpu> cpu;
    return FirmwareRunner::Run(machine, [&] {
      cpu = std::make_unique<Cpu>(machine, Arch::Ia32);
      const LoadedImage &image =
          cpu->Load("RuntimeTable", PeImage::FromFile(MGMT_RUNTIME_TABLE_IMAGE));
      auto *table = static_cast<uint32_t *>(cpu->Scratch(HelperCount * 4));
      ASSERT_EQ(cpu->Call(image.entry, {reinterpret_cast<uint64_t>(table), 0}), HelperCount);
      for (int k = 0; k < HelperCount; k++) {
        helpers[k] = table[k];
      }
      body(*cpu);
    });
  }
  uint64_t Divide(Cpu &cpu, Helper helper, U64 dividend, U64 divisor) {
    const uint32_t words[] = {static_cast<uint32_t>(dividend), static_cast<uint32_t>(dividend >> 32),
                              static_cast<uint32_t>(divisor), static_cast<uint32_t>(divisor >> 32)};
    Cpu::RawResult result = cpu.CallRaw32(helpers[helper], words);
    EXPECT_EQ(result.popped, 16u) << "the callee pops its operands";
    return result.edxEax;
  }
  uint8_t *Buffer(size_t pages) {
    uint64_t address = 0xFFFFFFFF; // 32-bit code reaches only below 4 GiB
    EXPECT_TRUE(
        machine.memory().AllocatePages(GuestMemory::AllocKind::MaxAddress, 4, pages, address));
    return machine.memory().HostPointer(address);
  }

  Machine machine;
  uint64_t helpers[HelperCount] = {};
};

TEST_F(RuntimeHelpersTest, DivisionHelpersMatchNativeDivision) {
  size_t checked = 0;
  RunOutcome outcome = Run([&](Cpu &cpu) {
    for (const DivideCase &c : kUnsignedCases) {
      ASSERT_EQ(Divide(cpu, AullDiv, c.Dividend, c.Divisor), c.Quotient)
          << std::hex << c.Dividend << " / " << c.Divisor;
      ASSERT_EQ(Divide(cpu, AullRem, c.Dividend, c.Divisor), c.Remainder)
          << std::hex << c.Dividend << " % " << c.Divisor;
      checked += 2;
    }
    for (const DivideCase &c : kSignedCases) {
      ASSERT_EQ(Divide(cpu, AllDiv, c.Dividend, c.Divisor), c.Quotient)
          << std::hex << c.Dividend << " / " << c.Divisor;
      ASSERT_EQ(Divide(cpu, AllRem, c.Dividend, c.Divisor), c.Remainder)
          << std::hex << c.Dividend << " % " << c.Divisor;
      checked += 2;
    }
  });
  ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
  EXPECT_GT(checked, 1000u);
}

TEST_F(RuntimeHelpersTest, DivisionByZeroFaultsInTheHelperAsTheHardwareWould) {
  RunOutcome outcome = Run([&](Cpu &cpu) { (void)Divide(cpu, AullDiv, 5, 0); });
  ASSERT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("invalid opcode in RuntimeTable at image offset 0x"),
            std::string::npos)
      << outcome.detail;
  EXPECT_NE(outcome.detail.find("instruction bytes: 0F 0B"), std::string::npos) << outcome.detail;
}

TEST_F(RuntimeHelpersTest, MemoryFunctionsMatchNativeOnesForEveryOverlap) {
  std::mt19937 random(12);
  RunOutcome outcome = Run([&](Cpu &cpu) {
    uint8_t *guest = Buffer(2);
    std::vector<uint8_t> native(8192);
    auto fill = [&] {
      for (size_t k = 0; k < native.size(); k++) {
        native[k] = static_cast<uint8_t>(random());
      }
      std::memcpy(guest, native.data(), native.size());
    };
    const uint64_t base = reinterpret_cast<uint64_t>(guest);
    for (int round = 0; round < 200; round++) {
      fill();
      const size_t count = round < 10 ? round : random() % 600;
      const size_t from = random() % 1000;
      // Destinations below, on and above the source, overlapping or not.
      const size_t to = round % 3 == 0 ? from + random() % 20 : random() % 2000;
      ASSERT_EQ(cpu.Call(helpers[MemMove], {base + to, base + from, count}), base + to);
      std::memmove(&native[to], &native[from], count);
      ASSERT_EQ(std::memcmp(guest, native.data(), native.size()), 0) << "memmove round " << round;
      if (to >= from + count || from >= to + count) {
        ASSERT_EQ(cpu.Call(helpers[MemCpy], {base + to + 4000, base + from, count}),
                  base + to + 4000);
        std::memcpy(&native[to + 4000], &native[from], count);
      }
      const int value = static_cast<int>(random() % 256) - 128;
      ASSERT_EQ(cpu.Call(helpers[MemSet], {base + from, static_cast<uint32_t>(value), count}),
                base + from);
      std::memset(&native[from], value, count);
      ASSERT_EQ(std::memcmp(guest, native.data(), native.size()), 0) << "round " << round;
      // memcmp: only the sign is defined.
      guest[from + count] ^= static_cast<uint8_t>(round & 1 ? 0x80 : 0x01);
      native[from + count] = guest[from + count];
      const int expected = std::memcmp(&native[from], &native[to], count + 1);
      const auto got = static_cast<int32_t>(cpu.Call(helpers[MemCmp], {base + from, base + to,
                                                                         count + 1}));
      ASSERT_EQ((got > 0) - (got < 0), (expected > 0) - (expected < 0)) << "memcmp round " << round;
    }
  });
  ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
}

} // namespace
} // namespace sim::cpu
