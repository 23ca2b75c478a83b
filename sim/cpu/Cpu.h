// An emulated x86 processor (Unicorn) that runs EFI images on the simulated
// board: 32-bit protected mode with flat segments for IA32 PEI code, 64-bit
// long mode for x86-64 DXE code. Guest RAM is the simulator's own RAM, mapped
// into the emulator at the same addresses (shared, not copied), so a pointer
// means the same to the image, the emulation and the device models. Port
// I/O, MMIO, RDMSR and PAUSE go to the machine's bus, which charges the same
// virtual time as for host builds; an image boot and a host boot make the
// same accesses at the same virtual times.
//
// The host reaches image code through Call(); image code reaches the host
// through traps: guest addresses whose execution as a call target runs a host
// handler and returns to the caller. On x86-64, a call to the address of one
// of the simulator's own EFIAPI functions (every service table and protocol
// the emulation builds holds such addresses) is such a trap by itself. Calls
// nest: a trap handler may call image code again.
//
// A fault in image code (invalid opcode, access to unmapped memory, stack
// overflow, SSE in IA32 code, a jump to 0, an exception) ends the machine's
// run with a Fault naming the module, the image offset and the instruction
// bytes. Use a Cpu inside a FirmwareRunner run.
#pragma once

#include "PeImage.h"

#include "sim/core/FirmwareCall.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct uc_struct;
struct uc_context;

namespace sim {
class Machine;
}

namespace sim::cpu {

struct LoadedImage {
  std::string name;
  Arch arch = Arch::X64;
  uint64_t base = 0;
  uint64_t size = 0;
  uint64_t entry = 0;
};

struct CpuStats {
  uint64_t instructions = 0; // only while counting (CountInstructions)
  uint64_t ioAccesses = 0;
  uint64_t mmioAccesses = 0;
  uint64_t msrReads = 0;
  uint64_t pauses = 0;
  uint64_t traps = 0; // host handlers and host functions called by image code
  uint64_t calls = 0; // image code called by the host
  uint64_t Accesses() const { return ioAccesses + mmioAccesses + msrReads; }
};

class Cpu final : public ForeignCode {
public:
  // Bytes of the emulated stack; a guard page below it is never mapped.
  static constexpr uint64_t kStackBytes = 256 * 1024;
  // Traps and the return gate live in this window at the top of 4 GiB,
  // which nothing on the board decodes.
  static constexpr uint64_t kTrapBase = 0xFFFF0000;
  static constexpr uint64_t kTrapWindow = 0x10000;
  static constexpr uint64_t kTrapStride = 16;

  Cpu(Machine &machine, Arch arch);
  ~Cpu();
  Cpu(const Cpu &) = delete;
  Cpu &operator=(const Cpu &) = delete;

  Arch arch() const { return arch_; }
  Machine &machine() const { return machine_; }

  // Loads a relocated copy of `image` into guest memory outside the page
  // allocator (so the memory firmware allocates is where a host boot has it)
  // and registers its RDMSR and PAUSE sites. Throws ImageError when the
  // image's machine is not this CPU's.
  const LoadedImage &Load(const std::string &name, const PeImage &image);
  const std::vector<std::unique_ptr<LoadedImage>> &Images() const { return images_; }
  // The image holding `address`, or nullptr.
  const LoadedImage *ImageAt(uint64_t address) const;
  // "Module+0x1A2" for an address inside an image, else the address.
  std::string Describe(uint64_t address) const;

  // Calls image code with the EFIAPI convention: x86-64 Microsoft (four
  // arguments in registers, the rest on the stack above 32 bytes of home
  // space); IA32 cdecl (each argument one 32-bit stack slot, the caller
  // pops). Returns RAX (EAX on IA32).
  uint64_t Call(uint64_t function, std::initializer_list<uint64_t> args);
  uint64_t Call(uint64_t function, std::span<const uint64_t> args);
  // IA32: pushes `words` (the first lowest) and calls; the result is
  // EDX:EAX and how many argument bytes the callee popped.
  struct RawResult {
    uint64_t edxEax = 0;
    uint32_t popped = 0;
  };
  RawResult CallRaw32(uint64_t function, std::span<const uint32_t> words);

  // A trap: when image code calls the returned address, `handler` runs and
  // its result goes to RAX/EAX (on IA32 also EDX for a 64-bit result), then
  // the call returns. Inside the handler, Arg(n) reads the n-th argument.
  using TrapHandler = std::function<uint64_t(Cpu &)>;
  uint64_t AddTrap(std::string name, TrapHandler handler);
  uint64_t Arg(unsigned index) const;
  // The return address of the call being trapped.
  uint64_t Caller() const { return trapCaller_; }

  // Guest memory for tables the CPU's users build (IA32 service tables):
  // 16-byte aligned, zeroed, outside the page allocator, freed with the Cpu.
  void *Scratch(size_t bytes);

  // Hooks the RDMSR, PAUSE and (IA32) SSE instructions found in code that
  // was not loaded as an image (Load does this for an image's code).
  void HookInstructionSites(uint64_t begin, uint64_t bytes);

  // IDTR as image code sees it (SIDT).
  void SetIdtr(uint64_t base, uint16_t limit);

  // ForeignCode: the simulator's calls through pointers into x86-64 images
  // (entry points, notify functions) run here.
  bool Owns(uint64_t address) const override { return ImageAt(address) != nullptr; }
  uint64_t CallForeign(uint64_t address, std::span<const uint64_t> args) override {
    return Call(address, args);
  }

  void CountInstructions(bool on);
  const CpuStats &Stats() const { return stats_; }

  // Called by the hooks (public for the C callbacks only).
  struct Hooks;

private:
  void MapGuestMemory();
  void MapStackBlockOnDemand(uint64_t address);
  bool MapHostPage(uint64_t address);
  uint64_t RunAt(uint64_t function, uint64_t stackPointer);
  [[noreturn]] void Fault(std::string_view what, uint64_t pc);
  std::string InstructionBytes(uint64_t pc, size_t count = 8) const;
  std::string DescribeTrapCaller() const;
  void ScanSites(const LoadedImage &image, const PeImage &pe);
  uint64_t ReadReg(int reg) const;
  void WriteReg(int reg, uint64_t value);
  uint64_t StackPointerForCall() const;
  // Trap entry and exit: the call's stack pointer and return address are
  // kept so that nested calls made by the handler cannot lose them.
  Cpu &EnterTrap();
  void Return(uint64_t value);

  Machine &machine_;
  Arch arch_;
  uc_struct *uc_ = nullptr;
  std::vector<std::unique_ptr<LoadedImage>> images_;
  std::vector<void *> blocks_; // images, stack and scratch, from the stack area
  std::vector<std::pair<uint64_t, uint64_t>> mappedBlocks_;
  uint64_t stackBottom_ = 0;
  uint64_t stackTop_ = 0;
  uint8_t *scratch_ = nullptr;
  size_t scratchUsed_ = 0;
  size_t scratchSize_ = 0;
  struct Trap {
    std::string name;
    TrapHandler handler;
  };
  std::vector<Trap> traps_;
  std::vector<uint64_t> pauseSites_;
  unsigned depth_ = 0;
  // Register contexts of interrupted calls, one per nesting depth, kept
  // for reuse: a fault abandons the frame that would free one.
  std::vector<::uc_context *> savedContexts_;
  uint64_t trapCaller_ = 0;
  uint64_t trapStack_ = 0;
  std::vector<uint64_t> trapCallers_; // return addresses of the traps running
  uint64_t lastStackPointer_ = 0;     // after the latest call returned
  uint64_t lastEdx_ = 0;
  bool counting_ = false;
  bool faulting_ = false;
  size_t countHook_ = 0;
  std::unordered_map<uint64_t, uint16_t> blockCounts_;
  // What a hook saw before the emulator stopped.
  std::string pendingFault_;
  uint64_t pendingPc_ = 0;
  CpuStats stats_;
  uint64_t hostTextBegin_ = 0;
  uint64_t hostTextEnd_ = 0;
};

} // namespace sim::cpu
