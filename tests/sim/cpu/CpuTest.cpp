// The emulated CPU on a bare machine: hand-assembled code reaches the bus at
// the same cost as host code, traps and host functions take their arguments
// by the right convention and may call back into guest code, and faults end
// the run with a name, a place and the instruction bytes.
#include "Cpu.h"

#include "sim/core/AccessCost.h"
#include "sim/core/Bus.h"
#include "sim/core/FirmwareRunner.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"
#include "sim/uefi/Trap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace sim::cpu {
namespace {

class Probe : public BusTarget {
public:
  uint64_t Read(uint64_t offset, unsigned size) override {
    reads.push_back({offset, size});
    return 0xA5A5A500u + offset;
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    writes.push_back({offset, value});
    (void)size;
  }
  std::vector<std::pair<uint64_t, uint64_t>> reads;
  std::vector<std::pair<uint64_t, uint64_t>> writes;
};

class CpuTest : public ::testing::TestWithParam<Arch> {
protected:
  // Code copied into a page of guest RAM.
  uint64_t Code(std::vector<uint8_t> bytes) {
    // 32-bit code must lie below 4 GiB; 64-bit code goes wherever pages come from.
    const bool ia32 = GetParam() == Arch::Ia32;
    uint64_t page = ia32 ? 0xFFFFFFFF : 0;
    EXPECT_TRUE(machine.memory().AllocatePages(
        ia32 ? GuestMemory::AllocKind::MaxAddress : GuestMemory::AllocKind::AnyPages, 3, 1, page));
    std::memcpy(machine.memory().HostPointer(page), bytes.data(), bytes.size());
    return page;
  }
  static void Imm(std::vector<uint8_t> &code, uint64_t value, unsigned bytes) {
    for (unsigned k = 0; k < bytes; k++) {
      code.push_back(static_cast<uint8_t>(value >> (8 * k)));
    }
  }
  // The CPU is owned out here: a fault abandons the run's frames, and
  // anything they own is never freed.
  RunOutcome Run(const std::function<void(Cpu &)> &body) {
    std::unique_ptr<Cpu> cpu;
    return FirmwareRunner::Run(machine, [&] {
      cpu = std::make_unique<Cpu>(machine, GetParam());
      body(*cpu);
    });
  }

  Machine machine;
};

TEST_P(CpuTest, PortAndMmioAccessesReachTheBusAtTheHostCost) {
  Probe probe;
  machine.bus().MapIo(0x80, 1, &probe, "probe", AccessKind::LpcPort);
  machine.bus().MapMmio(0xFED00000, 0x100, &probe, "probe-mmio", AccessKind::Device);
  const uint64_t code = Code({
      0x66, 0xBA, 0x80, 0x00,             // mov dx, 0x80
      0xB0, 0x5A,                         // mov al, 0x5A
      0xEE,                               // out dx, al
      0xEC,                               // in al, dx
      0xB8, 0x10, 0x00, 0xD0, 0xFE,       // mov eax, 0xFED00010
      0xC7, 0x00, 0x78, 0x56, 0x34, 0x12, // mov dword [eax], 0x12345678
      0x8B, 0x00,                         // mov eax, [eax]
      0xC3});
  uint64_t result = 0;
  const uint64_t before = machine.clock().NowNs();
  RunOutcome outcome = Run([&](Cpu &cpu) {
    result = cpu.Call(code, {});
    EXPECT_EQ(cpu.Stats().ioAccesses, 2u);
    EXPECT_EQ(cpu.Stats().mmioAccesses, 2u);
  });
  ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(result, 0xA5A5A510u);
  ASSERT_EQ(probe.writes.size(), 2u);
  EXPECT_EQ(probe.writes[0], (std::pair<uint64_t, uint64_t>{0, 0x5A}));
  EXPECT_EQ(probe.writes[1], (std::pair<uint64_t, uint64_t>{0x10, 0x12345678}));
  ASSERT_EQ(probe.reads.size(), 2u);
  EXPECT_EQ(probe.reads[1], (std::pair<uint64_t, uint64_t>{0x10, 4}));
  EXPECT_EQ(machine.clock().NowNs() - before,
            2 * cost::Ns(AccessKind::LpcPort) + 2 * cost::Ns(AccessKind::Device));
}

// The inner code returns its first argument plus one.
std::vector<uint8_t> AddOne(Arch arch) {
  if (arch == Arch::X64) {
    return {0x48, 0x8D, 0x41, 0x01, 0xC3}; // lea rax, [rcx+1]; ret
  }
  return {0x8B, 0x44, 0x24, 0x04, 0x40, 0xC3}; // mov eax, [esp+4]; inc eax; ret
}

Cpu *gCpu = nullptr;
uint64_t gInner = 0;

uint64_t __attribute__((ms_abi)) HostSix(uint64_t a, uint64_t b, uint64_t c, uint64_t d,
                                         uint64_t e, uint64_t f) {
  return gCpu->Call(gInner, {a + 10 * b + 100 * c + 1000 * d + 10000 * e + 100000 * f});
}

TEST_P(CpuTest, CallsOutOfGuestCodeTakeSixArgumentsAndMayCallBackIn) {
  const Arch arch = GetParam();
  gInner = Code(AddOne(arch));
  uint64_t result = 0;
  RunOutcome outcome = Run([&](Cpu &cpu) {
    gCpu = &cpu;
    std::vector<uint8_t> code;
    if (arch == Arch::X64) {
      // The simulator's own function, called like any EFIAPI service.
      // rbx is callee-saved: it must survive the host function and the
      // nested call it makes.
      code = {0x53,                                                 // push rbx
              0xBB, 0x77, 0x00, 0x00, 0x00,                         // mov ebx, 0x77
              0x48, 0x83, 0xEC, 0x30,                               // sub rsp, 0x30
              0x48, 0xC7, 0x44, 0x24, 0x20, 0x05, 0x00, 0x00, 0x00, // [rsp+0x20] = 5
              0x48, 0xC7, 0x44, 0x24, 0x28, 0x06, 0x00, 0x00, 0x00, // [rsp+0x28] = 6
              0xB9, 0x01, 0x00, 0x00, 0x00,                         // mov ecx, 1
              0xBA, 0x02, 0x00, 0x00, 0x00,                         // mov edx, 2
              0x41, 0xB8, 0x03, 0x00, 0x00, 0x00,                   // mov r8d, 3
              0x41, 0xB9, 0x04, 0x00, 0x00, 0x00,                   // mov r9d, 4
              0x48, 0xB8};                                          // mov rax, imm64
      Imm(code, reinterpret_cast<uint64_t>(&HostSix), 8);
      code.insert(code.end(), {0xFF, 0xD0,             // call rax
                               0x48, 0x83, 0xC4, 0x30, // add rsp, 0x30
                               0x48, 0x01, 0xD8,       // add rax, rbx (kept across the call)
                               0x5B, 0xC3});           // pop rbx; ret
    } else {
      const uint64_t trap = cpu.AddTrap("Six", [](Cpu &c) {
        uint64_t sum = 0;
        for (unsigned k = 0, scale = 1; k < 6; k++, scale *= 10) {
          sum += c.Arg(k) * scale;
        }
        return c.Call(gInner, {sum});
      });
      code = {0x53, 0xBB, 0x77, 0x00, 0x00, 0x00}; // push ebx; mov ebx, 0x77
      for (int k = 6; k >= 1; k--) {
        code.insert(code.end(), {0x6A, static_cast<uint8_t>(k)}); // push k
      }
      code.push_back(0xB8); // mov eax, trap
      Imm(code, trap, 4);
      code.insert(code.end(), {0xFF, 0xD0,             // call eax
                               0x83, 0xC4, 0x18,       // add esp, 24
                               0x01, 0xD8,             // add eax, ebx
                               0x5B, 0xC3});           // pop ebx; ret
    }
    result = cpu.Call(Code(code), {});
  });
  ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(result, 654321u + 1 + 0x77);
}

void __attribute__((ms_abi)) TrappedSlot() { StopOnUnemulatedSlot("BootServices.Example"); }

TEST(CpuX64Test, TrappedServiceSlotNamesTheImageCodeThatCalledIt) {
  Machine machine;
  uint64_t page = 0;
  ASSERT_TRUE(machine.memory().AllocatePages(GuestMemory::AllocKind::AnyPages, 3, 1, page));
  std::vector<uint8_t> code = {0x48, 0x83, 0xEC, 0x28, 0x48, 0xB8}; // sub rsp, 40; mov rax, imm64
  for (unsigned k = 0; k < 8; k++) {
    code.push_back(static_cast<uint8_t>(reinterpret_cast<uint64_t>(&TrappedSlot) >> (8 * k)));
  }
  code.insert(code.end(), {0xFF, 0xD0, 0x48, 0x83, 0xC4, 0x28, 0xC3}); // call rax; ...; ret
  std::memcpy(machine.memory().HostPointer(page), code.data(), code.size());
  std::unique_ptr<Cpu> cpu;
  RunOutcome outcome = FirmwareRunner::Run(machine, [&] {
    cpu = std::make_unique<Cpu>(machine, Arch::X64);
    (void)cpu->Call(page, {});
  });
  ASSERT_EQ(outcome.kind, RunOutcome::Fault);
  char caller[64];
  std::snprintf(caller, sizeof caller, "returning to 0x%llX",
                static_cast<unsigned long long>(page + 16));
  EXPECT_NE(outcome.detail.find("BootServices.Example is not emulated"), std::string::npos)
      << outcome.detail;
  EXPECT_NE(outcome.detail.find(std::string("called by X64 image code ") + caller),
            std::string::npos)
      << outcome.detail;
  EXPECT_NE(outcome.detail.find("instruction bytes before it: "), std::string::npos)
      << outcome.detail;
}

struct FaultCase {
  const char *name;
  std::vector<uint8_t> code;
  const char *detail;
  bool ia32Only;
};

TEST_P(CpuTest, FaultsEndTheRunWithTheirNameAndInstructionBytes) {
  const std::vector<FaultCase> cases = {
      {"ud2", {0x90, 0x0F, 0x0B}, "invalid opcode at 0x", false},
      {"jump to 0", {0x31, 0xC0, 0xFF, 0xE0}, "jump to 0x0 at 0x0, called from 0x", false},
      // Below guest RAM in both layouts (the board's and the sanitizers').
      {"wild read", {0xB8, 0x00, 0x00, 0x00, 0x30, 0x8B, 0x00, 0xC3},
       "read of unmapped memory at 0x30000000", false},
      {"endless recursion", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, "stack overflow", false},
      {"movaps", {0x0F, 0x28, 0xC1, 0xC3}, "SSE instruction in IA32 code", true},
      {"divide by zero", {0x31, 0xC9, 0xF7, 0xF1, 0xC3}, "exception: divide error", false},
  };
  for (const FaultCase &c : cases) {
    if (c.ia32Only && GetParam() != Arch::Ia32) {
      continue;
    }
    SCOPED_TRACE(c.name);
    const uint64_t code = Code(c.code);
    RunOutcome outcome = Run([&](Cpu &cpu) {
      cpu.HookInstructionSites(code, c.code.size());
      (void)cpu.Call(code, {});
      ADD_FAILURE() << "the call returned";
    });
    ASSERT_EQ(outcome.kind, RunOutcome::Fault);
    EXPECT_NE(outcome.detail.find(c.detail), std::string::npos) << outcome.detail;
    EXPECT_NE(outcome.detail.find("instruction bytes: "), std::string::npos) << outcome.detail;
  }
  // The bytes named are the faulting instruction's.
  const uint64_t code = Code({0x90, 0x0F, 0x0B});
  RunOutcome outcome = Run([&](Cpu &cpu) { (void)cpu.Call(code, {}); });
  char where[64];
  std::snprintf(where, sizeof where, "at 0x%llX", static_cast<unsigned long long>(code + 1));
  EXPECT_NE(outcome.detail.find(std::string(where) + ", called from"), std::string::npos)
      << outcome.detail;
  EXPECT_NE(outcome.detail.find("instruction bytes: 0F 0B"), std::string::npos) << outcome.detail;
}

INSTANTIATE_TEST_SUITE_P(BothModes, CpuTest, ::testing::Values(Arch::Ia32, Arch::X64),
                         [](const auto &info) { return std::string(ArchName(info.param)); });

} // namespace
} // namespace sim::cpu
