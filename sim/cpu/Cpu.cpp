// The Unicorn back end: memory layout, hooks to the bus, traps, calls in both
// directions and the naming of faults.
#include "Cpu.h"

#include "HostFunctions.h"

#include "sim/core/AccessCost.h"
#include "sim/core/Bus.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"
#include "sim/core/Sanitizers.h"

#include <unicorn/unicorn.h>

#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace sim::cpu {
namespace {

constexpr uint64_t kPage = 4096;
// Board addresses from here to the trap window are the MMIO hole: every
// access goes to the bus, which answers all ones where nothing decodes.
constexpr uint64_t kMmioHoleBase = 0xC0000000;
constexpr uint64_t kReturnGate = Cpu::kTrapBase; // trap 0: where calls return to
constexpr uint64_t kScratchBytes = 64 * 1024;
constexpr uint32_t kBootServicesCode = 3; // EfiBootServicesCode
constexpr unsigned kHostCallStackArgs = 12; // stack slots copied for an x86-64 host call
constexpr size_t kMaxCallArgs = 16;         // of a simulator call into IA32 code
// Room left below the interrupted code's stack pointer by a nested call.
constexpr uint64_t kNestGap = 256;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

void Check(uc_err err, const char *what) {
  if (err != UC_ERR_OK) {
    std::fprintf(stderr, "mgmt-sim: emulated CPU: %s: %s\n", what, uc_strerror(err));
    std::abort();
  }
}

int PcReg(Arch arch) { return arch == Arch::X64 ? UC_X86_REG_RIP : UC_X86_REG_EIP; }
int SpReg(Arch arch) { return arch == Arch::X64 ? UC_X86_REG_RSP : UC_X86_REG_ESP; }
int AxReg(Arch arch) { return arch == Arch::X64 ? UC_X86_REG_RAX : UC_X86_REG_EAX; }

// SSE opcodes after 0F (with or without a 66/F2/F3 prefix): what IA32 PEI
// code must not contain, since nothing has enabled SSE that early.
bool IsSseOpcode(const uint8_t *bytes, size_t count) {
  size_t k = 0;
  while (k < count && (bytes[k] == 0x66 || bytes[k] == 0xF2 || bytes[k] == 0xF3)) {
    k++;
  }
  if (k + 1 >= count || bytes[k] != 0x0F) {
    return false;
  }
  const uint8_t op = bytes[k + 1];
  return (op >= 0x10 && op <= 0x17) || (op >= 0x28 && op <= 0x2F) || (op >= 0x50 && op <= 0x7F) ||
         (op >= 0xC2 && op <= 0xC6) || op >= 0xD0;
}

// Host builds call firmware through EFIAPI function pointers. When such a
// pointer leads into an x86-64 image, the host CPU faults on fetching from
// guest RAM (mapped without execute rights); the handler below turns the
// fault into a call of the trampoline with the same registers and stack, as
// if the trampoline had been called, and the trampoline runs the image code
// on the emulated CPU that owns it. This lets host modules and images of the
// same phase call one another's protocols.
thread_local uint64_t gForeignTarget = 0;
struct sigaction gPreviousSegv;

extern "C" uint64_t __attribute__((ms_abi))
ForeignCodeTrampoline(uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4,
                      uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8, uint64_t a9,
                      uint64_t a10, uint64_t a11) {
  const uint64_t target = gForeignTarget;
  const uint64_t args[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11};
  return ForeignCodeAt(target)->CallForeign(target, args);
}

void OnSegv(int signal, siginfo_t *info, void *context) {
  auto *uc = static_cast<ucontext_t *>(context);
  const auto rip = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
  if (reinterpret_cast<uint64_t>(info->si_addr) == rip && ForeignCodeAt(rip) != nullptr) {
    gForeignTarget = rip;
    uc->uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(&ForeignCodeTrampoline);
    return;
  }
  // Not a call into an image: the fault is what it is.
  sigaction(signal, &gPreviousSegv, nullptr);
}

void InstallForeignCallHandler() {
  static bool installed = false;
  if (installed) {
    return;
  }
  installed = true;
  struct sigaction action {};
  action.sa_sigaction = &OnSegv;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &gPreviousSegv);
}

} // namespace

struct Cpu::Hooks {
  static uint32_t In(uc_engine *, uint32_t port, int size, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    cpu.stats_.ioAccesses++;
    return static_cast<uint32_t>(
        cpu.machine_.bus().IoRead(static_cast<uint16_t>(port), static_cast<unsigned>(size)));
  }
  static void Out(uc_engine *, uint32_t port, int size, uint32_t value, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    cpu.stats_.ioAccesses++;
    cpu.machine_.bus().IoWrite(static_cast<uint16_t>(port), static_cast<unsigned>(size), value);
  }
  static uint64_t MmioRead(uc_engine *, uint64_t offset, unsigned size, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    cpu.stats_.mmioAccesses++;
    return cpu.machine_.bus().MmioRead(kMmioHoleBase + offset, size);
  }
  static void MmioWrite(uc_engine *, uint64_t offset, unsigned size, uint64_t value, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    cpu.stats_.mmioAccesses++;
    cpu.machine_.bus().MmioWrite(kMmioHoleBase + offset, size, value);
  }
  // RDMSR cannot be hooked as an instruction; each site found in an image
  // is a code hook that answers from the board's model and steps over it.
  static void Rdmsr(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    uint8_t bytes[2];
    if (uc_mem_read(uc, address, bytes, 2) != UC_ERR_OK || bytes[0] != 0x0F || bytes[1] != 0x32) {
      return; // the pair 0F 32 was inside another instruction
    }
    cpu.stats_.msrReads++;
    const uint32_t index = static_cast<uint32_t>(cpu.ReadReg(UC_X86_REG_ECX));
    const uint64_t value = cpu.machine_.bus().ReadMsr(index);
    cpu.WriteReg(UC_X86_REG_EAX, value & 0xFFFFFFFF);
    cpu.WriteReg(UC_X86_REG_EDX, value >> 32);
    cpu.WriteReg(PcReg(cpu.arch_), address + 2);
  }
  static void Pause(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    uint8_t bytes[2];
    if (uc_mem_read(uc, address, bytes, 2) != UC_ERR_OK || bytes[0] != 0xF3 || bytes[1] != 0x90) {
      return;
    }
    cpu.stats_.pauses++;
    cpu.machine_.bus().CpuPause();
  }
  // Unicorn executes SSE whatever CR0 and CR4 say; IA32 PEI code must not
  // contain it, since nothing has enabled SSE that early on a board.
  static void Sse(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    uint8_t bytes[8] = {};
    (void)uc_mem_read(uc, address, bytes, sizeof bytes);
    if (IsSseOpcode(bytes, sizeof bytes)) {
      cpu.pendingFault_ = "SSE instruction in IA32 code (not enabled in PEI)";
      cpu.pendingPc_ = address;
      uc_emu_stop(uc);
    }
  }
  static void TrapCode(uc_engine *, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    const uint64_t index = (address - kTrapBase) / kTrapStride;
    if (index == 0 || (address - kTrapBase) % kTrapStride != 0 || index > cpu.traps_.size()) {
      cpu.pendingFault_ = "jump into the trap window at " + Hex(address);
      cpu.pendingPc_ = address;
      uc_emu_stop(cpu.uc_);
      return;
    }
    Trap &trap = cpu.traps_[index - 1];
    cpu.Return(trap.handler(cpu.EnterTrap()));
  }
  static void HostCode(uc_engine *, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    if (!HostFunctions::Get().IsFunction(address)) {
      cpu.pendingFault_ = "jump into simulator code at " + Hex(address) +
                          ", which is not the start of a function";
      cpu.pendingPc_ = address;
      uc_emu_stop(cpu.uc_);
      return;
    }
    // One of the simulator's EFIAPI functions: the same Microsoft convention
    // on both sides, so the arguments pass through as they are. Extra ones
    // are harmless to a callee that takes fewer (the caller owns the stack).
    Cpu &self = cpu.EnterTrap();
    uint64_t a[4 + kHostCallStackArgs];
    for (unsigned k = 0; k < 4 + kHostCallStackArgs; k++) {
      a[k] = self.Arg(k);
    }
    cpu.Return(CallHostFunction(address, a));
  }
  // The function's real type is known only to the image that called it.
  MGMT_NO_SANITIZE_FUNCTION_TYPE static uint64_t
  CallHostFunction(uint64_t address, const uint64_t (&a)[4 + kHostCallStackArgs]) {
    using HostFn = uint64_t(__attribute__((ms_abi)) *)(
        uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
        uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
    auto fn = reinterpret_cast<HostFn>(address);
    return fn(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12],
              a[13], a[14], a[15]);
  }
  static bool Unmapped(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t,
                       void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    const GuestMemory::Region stacks = cpu.machine_.memory().StackArea();
    if (address >= stacks.base && address - stacks.base < stacks.size) {
      // The stack area: fiber stacks and the blocks of loaded images are
      // mapped when first touched; their guard pages never are.
      cpu.MapStackBlockOnDemand(address);
      for (const auto &[start, bytes] : cpu.mappedBlocks_) {
        if (address >= start && address - start < bytes) {
          return true;
        }
      }
    }
    if (!cpu.machine_.memory().Contains(address) && cpu.MapHostPage(address)) {
      return true;
    }
    const uint64_t pc = cpu.ReadReg(PcReg(cpu.arch_));
    if (address >= cpu.stackBottom_ - kPage && address < cpu.stackBottom_) {
      cpu.pendingFault_ = "stack overflow (access at " + Hex(address) + ", below the " +
                          std::to_string(kStackBytes / 1024) + " KiB stack)";
    } else if (type == UC_MEM_FETCH_UNMAPPED && address < kPage) {
      cpu.pendingFault_ = "jump to " + Hex(address);
    } else {
      const char *kind = type == UC_MEM_FETCH_UNMAPPED ? "execution of"
                         : type == UC_MEM_WRITE_UNMAPPED ? "write to"
                                                         : "read of";
      cpu.pendingFault_ = std::string(kind) + " unmapped memory at " + Hex(address);
    }
    cpu.pendingPc_ = type == UC_MEM_FETCH_UNMAPPED ? address : pc;
    return false;
  }
  static bool Invalid(uc_engine *, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    const uint64_t pc = cpu.ReadReg(PcReg(cpu.arch_));
    uint8_t bytes[8] = {};
    (void)uc_mem_read(cpu.uc_, pc, bytes, sizeof bytes);
    cpu.pendingFault_ = cpu.arch_ == Arch::Ia32 && IsSseOpcode(bytes, sizeof bytes)
                            ? "SSE instruction in IA32 code (not enabled in PEI)"
                            : "invalid opcode";
    cpu.pendingPc_ = pc;
    return false;
  }
  static void Interrupt(uc_engine *, uint32_t number, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    static const char *const kNames[] = {"divide error", "debug", "NMI", "breakpoint",
                                         "overflow", "bound range", "invalid opcode",
                                         "device not available (x87/SSE)", "double fault"};
    const uint64_t pc = cpu.ReadReg(PcReg(cpu.arch_));
    cpu.pendingFault_ = number < sizeof kNames / sizeof kNames[0]
                            ? std::string("exception: ") + kNames[number]
                            : "exception or interrupt " + std::to_string(number);
    // A software interrupt has already stepped over its instruction.
    cpu.pendingPc_ = pc;
    if (number == 3 || number == 4 || number >= 32) {
      uint8_t before[2] = {};
      (void)uc_mem_read(cpu.uc_, pc - 2, before, 2);
      cpu.pendingPc_ = before[0] == 0xCD ? pc - 2 : pc - 1;
    }
    uc_emu_stop(cpu.uc_);
  }
  static void Block(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    Cpu &cpu = *static_cast<Cpu *>(user);
    // The translated block knows its instruction count; ask once per block.
    auto it = cpu.blockCounts_.find(address);
    if (it == cpu.blockCounts_.end()) {
      uc_tb tb{};
      if (uc_ctl_request_cache(uc, address, &tb) != UC_ERR_OK) {
        return;
      }
      it = cpu.blockCounts_.emplace(address, tb.icount).first;
    }
    cpu.stats_.instructions += it->second;
  }
};

Cpu::Cpu(Machine &machine, Arch arch) : machine_(machine), arch_(arch) {
  Check(uc_open(UC_ARCH_X86, arch == Arch::X64 ? UC_MODE_64 : UC_MODE_32, &uc_), "uc_open");
  MapGuestMemory();

  // The trap window: every slot holds INT3, so a slot entered other than by
  // its code hook still stops with a named exception.
  Check(uc_mem_map(uc_, kTrapBase, kTrapWindow, UC_PROT_READ | UC_PROT_EXEC), "trap window");
  std::vector<uint8_t> fill(kTrapWindow, 0xCC);
  Check(uc_mem_write(uc_, kTrapBase, fill.data(), fill.size()), "trap window");
  uc_hook hook;
  Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&Hooks::TrapCode), this,
                    kTrapBase + kTrapStride, kTrapBase + kTrapWindow - 1),
        "trap hook");

  if (arch_ == Arch::X64) {
    // The simulator's own code: calls into it are calls of its functions.
    const HostFunctions &host = HostFunctions::Get();
    hostTextBegin_ = host.TextBegin() & ~(kPage - 1);
    hostTextEnd_ = (host.TextEnd() + kPage - 1) & ~(kPage - 1);
    Check(uc_mem_map(uc_, hostTextBegin_, hostTextEnd_ - hostTextBegin_,
                     UC_PROT_READ | UC_PROT_EXEC),
          "host code window");
    Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&Hooks::HostCode), this,
                      hostTextBegin_, hostTextEnd_ - 1),
          "host code hook");
  }

  Check(uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::In), this, 1, 0,
                    UC_X86_INS_IN),
        "IN hook");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void *>(&Hooks::Out), this, 1, 0,
                    UC_X86_INS_OUT),
        "OUT hook");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(&Hooks::Unmapped),
                    this, 1, 0),
        "unmapped hook");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(&Hooks::Invalid),
                    this, 1, 0),
        "invalid-instruction hook");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(&Hooks::Interrupt), this, 1,
                    0),
        "interrupt hook");

  if (arch_ == Arch::X64) {
    RegisterForeignCode(this);
    InstallForeignCallHandler();
  }
  machine_.SetFaultContext(this, [this] { return DescribeTrapCaller(); });
  void *stack = machine_.memory().AllocateStack(kStackBytes);
  blocks_.push_back(stack);
  stackBottom_ = reinterpret_cast<uint64_t>(stack);
  stackTop_ = stackBottom_ + kStackBytes;
  MapStackBlockOnDemand(stackBottom_);
}

Cpu::~Cpu() {
  machine_.ClearFaultContext(this);
  UnregisterForeignCode(this);
  for (uc_context *context : savedContexts_) {
    uc_context_free(context);
  }
  uc_close(uc_);
  for (void *block : blocks_) {
    machine_.memory().FreeStack(block);
  }
}

void Cpu::MapGuestMemory() {
  GuestMemory &memory = machine_.memory();
  // The page allocator's ranges, shared with the host: the same bytes at the
  // same addresses. The stack area is mapped block by block; 32-bit code
  // cannot reach the region above 4 GiB.
  for (const GuestMemory::Region &area : memory.PageAreas()) {
    if (arch_ == Arch::Ia32 && area.base >= GuestMemory::k4GiB) {
      continue;
    }
    Check(uc_mem_map_ptr(uc_, area.base, area.size, UC_PROT_ALL, memory.HostPointer(area.base)),
          "guest RAM");
  }
  if (memory.layout().low.End() > kMmioHoleBase) {
    std::fprintf(stderr, "mgmt-sim: emulated CPU: guest RAM reaches into the MMIO hole\n");
    std::abort();
  }
  Check(uc_mmio_map(uc_, kMmioHoleBase, kTrapBase - kMmioHoleBase, &Hooks::MmioRead, this,
                    &Hooks::MmioWrite, this),
        "MMIO hole");
}

void Cpu::MapStackBlockOnDemand(uint64_t address) {
  for (const auto &[start, bytes] : mappedBlocks_) {
    if (address >= start && address - start < bytes) {
      return;
    }
  }
  uint64_t start = 0;
  uint64_t bytes = 0;
  if (!machine_.memory().StackBlockAt(address, start, bytes)) {
    return;
  }
  if (uc_mem_map_ptr(uc_, start, bytes, UC_PROT_ALL, machine_.memory().HostPointer(start)) ==
      UC_ERR_OK) {
    mappedBlocks_.emplace_back(start, bytes);
  }
}

bool Cpu::MapHostPage(uint64_t address) {
  // The simulator's own memory (its static data and heap, where some
  // stand-ins of the firmware core keep records they hand to firmware):
  // host builds read it natively, so images may too. Only readable and
  // writable private mappings qualify; the page is shared, not copied.
  const uint64_t page = address & ~(kPage - 1);
  if (page < kPage || (page >= kMmioHoleBase && page < (uint64_t{1} << 32)) ||
      (arch_ == Arch::Ia32 && page >= (uint64_t{1} << 32))) {
    return false;
  }
  FILE *maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) {
    return false;
  }
  bool usable = false;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long long begin = 0;
    unsigned long long end = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%llx-%llx %7s", &begin, &end, perms) == 3 && page >= begin &&
        page < end) {
      usable = perms[0] == 'r' && perms[1] == 'w' && perms[3] == 'p';
      break;
    }
  }
  std::fclose(maps);
  return usable && uc_mem_map_ptr(uc_, page, kPage, UC_PROT_READ | UC_PROT_WRITE,
                                  reinterpret_cast<void *>(page)) == UC_ERR_OK;
}

uint64_t Cpu::ReadReg(int reg) const {
  uint64_t value = 0;
  uc_reg_read(uc_, reg, &value);
  return arch_ == Arch::Ia32 ? value & 0xFFFFFFFF : value;
}

void Cpu::WriteReg(int reg, uint64_t value) { uc_reg_write(uc_, reg, &value); }

const LoadedImage &Cpu::Load(const std::string &name, const PeImage &image) {
  if (image.arch() != arch_) {
    throw ImageError(name + " is an " + ArchName(image.arch()) + " image; this CPU runs " +
                     ArchName(arch_) + " code");
  }
  void *block = machine_.memory().AllocateStack(image.SizeOfImage());
  blocks_.push_back(block);
  // Where a firmware core loads an image: boot-services code pages.
  machine_.memory().SetStackBlockType(block, kBootServicesCode);
  const uint64_t base = reinterpret_cast<uint64_t>(block);
  image.LoadInto(static_cast<uint8_t *>(block), base);
  MapStackBlockOnDemand(base);
  auto loaded = std::make_unique<LoadedImage>();
  loaded->name = name;
  loaded->arch = arch_;
  loaded->base = base;
  loaded->size = image.SizeOfImage();
  loaded->entry = base + image.EntryRva();
  images_.push_back(std::move(loaded));
  ScanSites(*images_.back(), image);
  return *images_.back();
}

void Cpu::ScanSites(const LoadedImage &image, const PeImage &pe) {
  for (const PeSection &section : pe.Sections()) {
    if (section.Executable()) {
      HookInstructionSites(image.base + section.virtualAddress,
                           std::max(section.virtualSize, section.rawSize));
    }
  }
}

void Cpu::HookInstructionSites(uint64_t begin, uint64_t bytes) {
  // Byte patterns, not decoded instructions: a match inside another
  // instruction only costs a hook that never fires, since a code hook runs
  // only where an instruction starts; each hook checks the bytes again.
  const auto *code = reinterpret_cast<const uint8_t *>(begin);
  for (uint64_t at = 0; at + 1 < bytes; at++) {
    void *callback = nullptr;
    if (code[at] == 0x0F && code[at + 1] == 0x32) {
      callback = reinterpret_cast<void *>(&Hooks::Rdmsr);
    } else if (code[at] == 0xF3 && code[at + 1] == 0x90) {
      callback = reinterpret_cast<void *>(&Hooks::Pause);
    } else if (arch_ == Arch::Ia32 && IsSseOpcode(code + at, std::min<uint64_t>(8, bytes - at))) {
      callback = reinterpret_cast<void *>(&Hooks::Sse);
    }
    if (callback != nullptr) {
      uc_hook hook;
      Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, callback, this, begin + at, begin + at),
            "instruction-site hook");
    }
  }
}

const LoadedImage *Cpu::ImageAt(uint64_t address) const {
  for (const auto &image : images_) {
    if (address >= image->base && address - image->base < image->size) {
      return image.get();
    }
  }
  return nullptr;
}

std::string Cpu::Describe(uint64_t address) const {
  if (const LoadedImage *image = ImageAt(address)) {
    return image->name + "+" + Hex(address - image->base);
  }
  return Hex(address);
}

void *Cpu::Scratch(size_t bytes) {
  bytes = (bytes + 15) & ~size_t{15};
  if (scratch_ == nullptr || scratchSize_ - scratchUsed_ < bytes) {
    const size_t size = std::max<size_t>(bytes, kScratchBytes);
    scratch_ = static_cast<uint8_t *>(machine_.memory().AllocateStack(size));
    blocks_.push_back(scratch_);
    std::memset(scratch_, 0, size);
    MapStackBlockOnDemand(reinterpret_cast<uint64_t>(scratch_));
    scratchUsed_ = 0;
    scratchSize_ = size;
  }
  void *piece = scratch_ + scratchUsed_;
  scratchUsed_ += bytes;
  return piece;
}

void Cpu::SetIdtr(uint64_t base, uint16_t limit) {
  uc_x86_mmr idtr{0, base, limit, 0};
  uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr);
}

void Cpu::CountInstructions(bool on) {
  if (on == counting_) {
    return;
  }
  counting_ = on;
  if (on) {
    uc_hook hook;
    Check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(&Hooks::Block), this, 1,
                      0),
          "block hook");
    countHook_ = hook;
  } else {
    uc_hook_del(uc_, countHook_);
  }
}

uint64_t Cpu::AddTrap(std::string name, TrapHandler handler) {
  if ((traps_.size() + 2) * kTrapStride > kTrapWindow) {
    std::fprintf(stderr, "mgmt-sim: emulated CPU: too many traps\n");
    std::abort();
  }
  traps_.push_back(Trap{std::move(name), std::move(handler)});
  return kTrapBase + traps_.size() * kTrapStride;
}

Cpu &Cpu::EnterTrap() {
  stats_.traps++;
  trapStack_ = ReadReg(SpReg(arch_));
  const unsigned width = arch_ == Arch::X64 ? 8 : 4;
  trapCaller_ = 0;
  (void)uc_mem_read(uc_, trapStack_, &trapCaller_, width);
  trapCallers_.push_back(trapCaller_);
  return *this;
}

std::string Cpu::DescribeTrapCaller() const {
  if (trapCallers_.empty() || faulting_) {
    return {};
  }
  // The call instruction ends where the caller continues; its bytes are the
  // ones just before (an indirect call through a table slot is 2 to 6).
  const uint64_t back = trapCallers_.back();
  std::string where;
  if (const LoadedImage *image = ImageAt(back)) {
    where = image->name + " at image offset " + Hex(back - image->base);
  } else {
    where = Hex(back);
  }
  return std::string("called by ") + ArchName(arch_) + " image code returning to " + where +
         " (instruction bytes before it: " + InstructionBytes(back - 6, 6) + ")";
}

uint64_t Cpu::Arg(unsigned index) const {
  uint64_t value = 0;
  if (arch_ == Arch::X64) {
    static const int kRegs[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
    if (index < 4) {
      return ReadReg(kRegs[index]);
    }
    // Return address, 32 bytes of home space, then the fifth argument.
    (void)uc_mem_read(uc_, trapStack_ + 8 + 32 + 8 * (index - 4), &value, 8);
    return value;
  }
  (void)uc_mem_read(uc_, trapStack_ + 4 + 4 * index, &value, 4);
  return value;
}

void Cpu::Return(uint64_t value) {
  trapCallers_.pop_back();
  // The handler may have run nested calls: the interrupted call's stack
  // pointer and return address are the ones read on entry.
  const unsigned width = arch_ == Arch::X64 ? 8 : 4;
  WriteReg(AxReg(arch_), arch_ == Arch::X64 ? value : value & 0xFFFFFFFF);
  if (arch_ == Arch::Ia32) {
    WriteReg(UC_X86_REG_EDX, value >> 32);
  }
  WriteReg(SpReg(arch_), trapStack_ + width);
  WriteReg(PcReg(arch_), trapCaller_);
}

uint64_t Cpu::StackPointerForCall() const {
  if (depth_ == 0) {
    return stackTop_;
  }
  return (ReadReg(SpReg(arch_)) - kNestGap) & ~uint64_t{15};
}

uint64_t Cpu::Call(uint64_t function, std::initializer_list<uint64_t> args) {
  return Call(function, std::span<const uint64_t>(args.begin(), args.size()));
}

uint64_t Cpu::Call(uint64_t function, std::span<const uint64_t> args) {
  uint64_t sp = StackPointerForCall();
  if (arch_ == Arch::X64) {
    // Home space for four, then the rest; the stack is 16-byte aligned at
    // the call, so the callee sees RSP = 8 mod 16.
    const size_t slots = std::max<size_t>(4, args.size());
    sp -= slots * 8;
    sp &= ~uint64_t{15};
    for (size_t k = 4; k < args.size(); k++) {
      uint64_t value = args[k];
      uc_mem_write(uc_, sp + 8 * k, &value, 8);
    }
    static const int kRegs[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
    for (size_t k = 0; k < 4; k++) {
      WriteReg(kRegs[k], k < args.size() ? args[k] : 0);
    }
    sp -= 8;
    uint64_t gate = kReturnGate;
    uc_mem_write(uc_, sp, &gate, 8);
    return RunAt(function, sp);
  }
  // On this frame's stack, not the heap: a fault never comes back here.
  uint32_t words[kMaxCallArgs];
  if (args.size() > kMaxCallArgs) {
    Fault("a call into IA32 code with more than 16 arguments", function);
  }
  for (size_t k = 0; k < args.size(); k++) {
    words[k] = static_cast<uint32_t>(args[k]);
  }
  return CallRaw32(function, std::span<const uint32_t>(words, args.size())).edxEax & 0xFFFFFFFF;
}

Cpu::RawResult Cpu::CallRaw32(uint64_t function, std::span<const uint32_t> words) {
  uint64_t sp = StackPointerForCall();
  sp -= words.size() * 4;
  sp &= ~uint64_t{15};
  for (size_t k = 0; k < words.size(); k++) {
    uc_mem_write(uc_, sp + 4 * k, &words[k], 4);
  }
  const uint64_t argsAt = sp;
  sp -= 4;
  uint32_t gate = static_cast<uint32_t>(kReturnGate);
  uc_mem_write(uc_, sp, &gate, 4);
  RawResult result;
  const uint64_t eax = RunAt(function, sp);
  result.edxEax = (lastEdx_ << 32) | (eax & 0xFFFFFFFF);
  result.popped = static_cast<uint32_t>(lastStackPointer_ - argsAt);
  return result;
}

uint64_t Cpu::RunAt(uint64_t function, uint64_t stackPointer) {
  // A nested call keeps the interrupted code's registers for it.
  uc_context *saved = nullptr;
  if (depth_ > 0) {
    if (savedContexts_.size() < depth_) {
      savedContexts_.push_back(nullptr);
      Check(uc_context_alloc(uc_, &savedContexts_.back()), "context");
    }
    saved = savedContexts_[depth_ - 1];
    Check(uc_context_save(uc_, saved), "context save");
  }
  const uint64_t savedCaller = trapCaller_;
  const uint64_t savedTrapStack = trapStack_;
  stats_.calls++;
  if (arch_ == Arch::X64 && depth_ == 0) {
    SetIdtr(machine_.IdtrBase(), machine_.IdtrLimit());
  }
  WriteReg(SpReg(arch_), stackPointer);
  if (arch_ == Arch::X64) {
    WriteReg(UC_X86_REG_RBP, 0);
  }
  depth_++;
  pendingFault_.clear();
  const uc_err err = uc_emu_start(uc_, function, kReturnGate, 0, 0);
  depth_--;
  const uint64_t pc = ReadReg(PcReg(arch_));
  if (!pendingFault_.empty()) {
    Fault(pendingFault_, pendingPc_);
  }
  if (err != UC_ERR_OK) {
    Fault(uc_strerror(err), pc);
  }
  if (pc != kReturnGate) {
    Fault("emulation stopped before the call returned", pc);
  }
  const uint64_t result = ReadReg(AxReg(arch_));
  lastStackPointer_ = ReadReg(SpReg(arch_));
  lastEdx_ = ReadReg(UC_X86_REG_EDX);
  if (saved != nullptr) {
    Check(uc_context_restore(uc_, saved), "context restore");
  }
  trapCaller_ = savedCaller;
  trapStack_ = savedTrapStack;
  return result;
}

std::string Cpu::InstructionBytes(uint64_t pc, size_t count) const {
  uint8_t bytes[16];
  std::string text;
  for (size_t k = 0; k < count && k < sizeof bytes; k++) {
    if (uc_mem_read(uc_, pc + k, &bytes[k], 1) != UC_ERR_OK) {
      break;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, k == 0 ? "%02X" : " %02X", bytes[k]);
    text += hex;
  }
  return text.empty() ? "unreadable" : text;
}

void Cpu::Fault(std::string_view what, uint64_t pc) {
  faulting_ = true; // the detail names the place itself
  // Stop leaves this frame for good: the text is built in the one string
  // Stop takes over, and nothing else here owns memory when it is called.
  std::string detail = ArchName(arch_) + std::string(" image code: ");
  detail += what;
  if (const LoadedImage *image = ImageAt(pc)) {
    detail += " in " + image->name + " at image offset " + Hex(pc - image->base);
  } else {
    // Outside every image (a jump to 0): name the code that got there.
    uint64_t caller = 0;
    (void)uc_mem_read(uc_, ReadReg(SpReg(arch_)), &caller, arch_ == Arch::X64 ? 8 : 4);
    detail += " at " + Hex(pc) + ", called from " + Describe(caller);
  }
  detail += " (instruction bytes: " + InstructionBytes(pc) + ")";
  machine_.Stop(StopReason::Fault, std::move(detail));
  std::abort(); // Stop returns only outside a firmware run
}

} // namespace sim::cpu
