// The agent's NIC_IO_PROTOCOL instance against a controller on the simulated
// bus: what the HOB installation records, the window checks of the data
// members, configuration access, DMA pages, the location, Stall in virtual
// time, and the re-bind from an enumerated controller's PCI I/O.
#include "AgentTestSupport.h"

#include "NicIo.h"

#include <Protocol/NicIo.h>

#include "AccessCost.h"
#include "Pci.h"
#include "PciIoDevice.h"

namespace {

using namespace agent_test;
using sim::PciConfigSpace;
using sim::TraceMatch;

// Plain registers: bytes that read back what was written, with counters.
class RegisterBlock final : public sim::BusTarget {
public:
  explicit RegisterBlock(size_t size) : bytes(size, 0) {}
  uint64_t Read(uint64_t offset, unsigned size) override {
    reads++;
    uint64_t value = 0;
    for (unsigned i = 0; i < size; i++) {
      value |= uint64_t{bytes[offset + i]} << (8 * i);
    }
    return value;
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    writes++;
    for (unsigned i = 0; i < size; i++) {
      bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
  }
  void Put32(size_t at, uint32_t v) { Write(at, 4, v), writes--; }
  std::vector<uint8_t> bytes;
  uint64_t reads = 0;
  uint64_t writes = 0;
};

constexpr uint8_t kBus = 2;
constexpr uint16_t kIoBase = 0xE000;
constexpr uint64_t kIoLength = 0x100;
constexpr uint64_t kMemBase = 0xFE000000;
constexpr uint64_t kMemLength = 0x1000;
constexpr uint64_t kMem4Base = 0xFE010000;
constexpr uint64_t kMem4Length = 0x4000;

UINTN Bits(EFI_PCI_IO_PROTOCOL_WIDTH w) { return static_cast<UINTN>(w); }

class NicIoTest : public AgentTest {
protected:
  NicIoTest() {
    nic.SetIds(0x10EC, 0x8168);
    nic.SetSubsystem(0x10EC, 0x3A7C);
    nic.SetBar(0, PciConfigSpace::BarKind::Io, kIoLength, kIoBase);
    nic.SetBar(2, PciConfigSpace::BarKind::Mem64, kMemLength, kMemBase);
    nic.SetBar(4, PciConfigSpace::BarKind::Mem64, kMem4Length, kMem4Base);
    machine.bus().Pci().Attach(kBus, 0, 0, &nic, "nic");
    machine.bus().MapIo(kIoBase, kIoLength, &io, "nic.io");
    machine.bus().MapMmio(kMemBase, kMemLength, &mem, "nic.mem");
  }

  std::vector<HobEntry> Entries(uint8_t bus = kBus) const {
    return {{3, bus, 0, 0, kIoBase, kIoLength, 0x10},
            {3, bus, 0, 0, kMemBase, kMemLength, 0x18, 4},
            {3, bus, 0, 0, kMem4Base, kMem4Length, 0x20, 4}};
  }

  // Installs from a HOB of `entries`; with `withLink` a stand-in for
  // NicLinkDxe installs a link from its notification on NIC_IO_PROTOCOL.
  BOOLEAN Install(const std::vector<HobEntry> &entries, bool withLink = true) {
    HobListBuilder hobs(machine);
    hobs.Build(entries);
    BOOLEAN present = FALSE;
    RunToEnd([&] {
      if (withLink) {
        EFI_EVENT event;
        ASSERT_EQ(
            mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &OnNicIo, this, &event),
            EFI_SUCCESS);
        VOID *registration;
        ASSERT_EQ(mBootServices->RegisterProtocolNotify(&gNicIoProtocolGuid, event, &registration),
                  EFI_SUCCESS);
      }
      present = InstallNicIo(hobs.Data());
    });
    return present;
  }

  static VOID EFIAPI OnNicIo(EFI_EVENT, VOID *context) {
    auto *self = static_cast<NicIoTest *>(context);
    self->nicIoNotifications++;
    if (self->linkHandle == nullptr) {
      EXPECT_EQ(mBootServices->InstallProtocolInterface(&self->linkHandle, &gMgmtLinkProtocolGuid,
                                                        EFI_NATIVE_INTERFACE,
                                                        self->link.Protocol()),
                EFI_SUCCESS);
    }
  }

  EFI_STATUS MemRead(UINTN width, UINT8 bar, UINT64 offset, UINTN count, void *buffer) {
    EFI_STATUS status = EFI_ABORTED;
    RunToEnd([&] {
      status = mNicIo.PciIo.Mem.Read(&mNicIo.PciIo, (EFI_PCI_IO_PROTOCOL_WIDTH)width, bar, offset,
                                     count, buffer);
    });
    return status;
  }

  PciConfigSpace nic;
  RegisterBlock io{kIoLength};
  RegisterBlock mem{kMemLength};
  FakeLink link;
  EFI_HANDLE linkHandle = nullptr;
  int nicIoNotifications = 0;
};

TEST_F(NicIoTest, HobEntriesOfTheBoardNicGiveLocationWindowsAndStall) {
  ASSERT_TRUE(Install(Entries()));
  EXPECT_EQ(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid), &mNicIo);
  EXPECT_EQ(nicIoNotifications, 1);
  EXPECT_EQ(mNicIo.BusNumber, kBus);
  EXPECT_EQ(mNicIo.DeviceNumber, 0);
  EXPECT_EQ(mNicIo.FunctionNumber, 0);
  const NIC_IO_BAR expect[] = {{3, 0, kIoBase, kIoLength, {}},
                               {0, 0, 0, 0, {}},
                               {4, 0, kMemBase, kMemLength, {}},
                               {0, 0, 0, 0, {}},
                               {4, 0, kMem4Base, kMem4Length, {}},
                               {0, 0, 0, 0, {}},
                               {0, 0, 0, 0, {}}};
  for (int i = 0; i < 7; i++) {
    EXPECT_EQ(mNicIo.BarTable[i].BarKind, expect[i].BarKind) << "BAR " << i;
    EXPECT_EQ(mNicIo.BarTable[i].BarBase, expect[i].BarBase) << "BAR " << i;
    EXPECT_EQ(mNicIo.BarTable[i].BarLength, expect[i].BarLength) << "BAR " << i;
  }
  // NicLinkDxe reads the delay routine at its fixed offset.
  const auto *raw = reinterpret_cast<const uint8_t *>(&mNicIo);
  NIC_IO_STALL stall;
  std::memcpy(&stall, raw + 1072, sizeof(stall));
  EXPECT_EQ(stall, &Stall);
  EXPECT_EQ(mNicIo.PciIo.RomSize, 0u);
  EXPECT_EQ(mNicIo.PciIo.RomImage, nullptr);
}

TEST_F(NicIoTest, OtherSubsystemMeansNoControllerAndNothingInstalled) {
  nic.SetSubsystem(0x10EC, 0x1234);
  EXPECT_FALSE(Install(Entries()));
  EXPECT_EQ(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid), nullptr);
  EXPECT_EQ(nicIoNotifications, 0);
}

TEST_F(NicIoTest, MissingLinkClearsTheMarkButKeepsTheInstance) {
  EXPECT_FALSE(Install(Entries(), /*withLink=*/false));
  EXPECT_EQ(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid), &mNicIo);
}

TEST_F(NicIoTest, SecondControllerWithTheSameIdentityAddsNoWindows) {
  PciConfigSpace twin;
  twin.SetIds(0x10EC, 0x8168);
  twin.SetSubsystem(0x10EC, 0x3A7C);
  machine.bus().Pci().Attach(5, 0, 0, &twin, "twin");
  std::vector<HobEntry> entries = {{3, kBus, 0, 0, kIoBase, kIoLength, 0x10},
                                   {3, 5, 0, 0, 0xFD000000, 0x1000, 0x18, 4}};
  ASSERT_TRUE(Install(entries));
  EXPECT_EQ(mNicIo.BusNumber, kBus);
  EXPECT_EQ(mNicIo.BarTable[2].BarKind, kNicIoBarKindNone);
}

TEST_F(NicIoTest, GetLocationBeforeAnyMatchReportsUnknown) {
  nic.SetIds(0x10EC, 0x8136);
  EXPECT_FALSE(Install(Entries()));
  UINTN segment = 9, bus = 0, device = 0, function = 0;
  EXPECT_EQ(mNicIo.PciIo.GetLocation(&mNicIo.PciIo, &segment, &bus, &device, &function),
            EFI_SUCCESS);
  EXPECT_EQ(segment, 0u);
  EXPECT_EQ(bus, 0xFFu);
  EXPECT_EQ(device, 0xFFu);
  EXPECT_EQ(function, 0xFFu);
  EXPECT_EQ(mNicIo.PciIo.GetLocation(&mNicIo.PciIo, &segment, nullptr, &device, &function),
            EFI_INVALID_PARAMETER);
}

TEST_F(NicIoTest, MemoryWindowChecks) {
  ASSERT_TRUE(Install(Entries()));
  mem.Put32(kMemLength - 4, 0xCAFEF00D);
  uint32_t value = 0;
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, kMemLength - 4, 1, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 0xCAFEF00Du);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, kMemLength - 3, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, kMemLength, 0, &value), EFI_SUCCESS);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, ~0ull - 1, 1, &value), EFI_UNSUPPORTED);

  // FIFO: one element of window is enough for any count.
  uint32_t fifo[16] = {};
  const uint64_t readsBefore = mem.reads;
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthFifoUint32), 2, kMemLength - 4, 16, fifo), EFI_SUCCESS);
  EXPECT_EQ(mem.reads - readsBefore, 16u);
  EXPECT_EQ(fifo[15], 0xCAFEF00Du);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, kMemLength - 4, 16, fifo), EFI_UNSUPPORTED);

  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 0, 0, 1, &value), EFI_UNSUPPORTED) << "I/O BAR";
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 1, 0, 1, &value), EFI_UNSUPPORTED) << "no window";
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 6, 0, 1, &value), EFI_UNSUPPORTED) << "ROM";
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 0xFE, 0, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(MemRead(12, 2, 0, 1, &value), EFI_INVALID_PARAMETER);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, 0, 1, nullptr), EFI_INVALID_PARAMETER);
  // BAR index 0xFF: the offset is the address itself.
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 0xFF, kMemBase + kMemLength - 4, 1, &value),
            EFI_SUCCESS);
  EXPECT_EQ(value, 0xCAFEF00Du);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 0xFF, ~0ull - 1, 1, &value), EFI_INVALID_PARAMETER)
      << "wraps past the top of the address space";
}

TEST_F(NicIoTest, WidthClassesStepAddressAndBuffer) {
  ASSERT_TRUE(Install(Entries()));
  uint16_t fill = 0xBEEF;
  uint32_t fifo[3] = {1, 2, 3};
  uint64_t wide = 0x1122334455667788ull;
  RunToEnd([&] {
    auto *p = &mNicIo.PciIo;
    EXPECT_EQ(p->Mem.Write(p, EfiPciIoWidthFillUint16, 2, 0x100, 4, &fill), EFI_SUCCESS);
    EXPECT_EQ(p->Mem.Write(p, EfiPciIoWidthFifoUint32, 2, 0x200, 3, fifo), EFI_SUCCESS);
    EXPECT_EQ(p->Mem.Write(p, EfiPciIoWidthUint64, 2, 0x300, 1, &wide), EFI_SUCCESS);
  });
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(mem.Read(0x100 + 2 * i, 2), 0xBEEFu) << i;
  }
  EXPECT_EQ(mem.Read(0x200, 4), 3u) << "FIFO writes land on one register, the last wins";
  EXPECT_EQ(mem.Read(0x204, 4), 0u);
  EXPECT_EQ(mem.Read(0x300, 8), wide);
}

TEST_F(NicIoTest, PortWindowChecksAndEightByteReads) {
  ASSERT_TRUE(Install(Entries()));
  io.Put32(0x10, 0x11111111);
  io.Put32(0x14, 0x22222222);
  uint64_t value = 0;
  uint8_t byte = 0;
  RunToEnd([&] {
    auto *p = &mNicIo.PciIo;
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint64, 0, 0x10, 1, &value), EFI_SUCCESS);
    EXPECT_EQ(p->Io.Write(p, EfiPciIoWidthUint64, 0, 0x10, 1, &value), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint32, 2, 0, 1, &value), EFI_UNSUPPORTED) << "memory";
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint8, 0, kIoLength - 1, 1, &byte), EFI_SUCCESS);
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint16, 0, kIoLength - 1, 1, &byte), EFI_UNSUPPORTED);
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint8, 0, 0, 1, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint32, 0xFF, 0x10000, 1, &value), EFI_INVALID_PARAMETER)
        << "no port above 0xFFFF";
  });
  EXPECT_EQ(value, 0x2222222211111111ull);
}

TEST_F(NicIoTest, ConfigurationAccessStaysInsideTheFunctionsFourKiB) {
  ASSERT_TRUE(Install(Entries()));
  nic.Set32(0xFFC, 0x5A5A5A5A);
  uint32_t value = 0;
  uint64_t wide = 0;
  uint16_t command = sim::pci::kCommandMemorySpace | sim::pci::kCommandBusMaster;
  RunToEnd([&] {
    auto *p = &mNicIo.PciIo;
    EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint32, 0xFFC, 1, &value), EFI_SUCCESS);
    EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint32, 0xFFD, 1, &value), EFI_UNSUPPORTED);
    EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint32, 0, 1, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->Pci.Read(p, (EFI_PCI_IO_PROTOCOL_WIDTH)12, 0, 1, &value), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint64, 0x28, 1, &wide), EFI_SUCCESS);
    EXPECT_EQ(p->Pci.Write(p, EfiPciIoWidthUint16, 0x04, 1, &command), EFI_SUCCESS);
  });
  EXPECT_EQ(value, 0x5A5A5A5Au);
  EXPECT_EQ(wide >> 32, uint64_t{kBoardNicSubsystemId}) << "two DWORDs: 0x28, then 0x2C";
  EXPECT_TRUE(nic.MemoryDecode());
  EXPECT_TRUE(nic.BusMaster());
}

TEST_F(NicIoTest, DataMembersTouchTheIdentityRegisterFirstEvenWhenRefused) {
  ASSERT_TRUE(Install(Entries()));
  machine.trace().Clear();
  uint32_t value;
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, kMemLength, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, 0, 1, &value), EFI_SUCCESS);
  const uint64_t identity = sim::EcamAddress(kBus, 0, 0, 0);
  EXPECT_EQ(machine.trace().Count(TraceMatch::MmioRd(identity)), 2u);
  EXPECT_TRUE(machine.trace()
                  .FindSequence({TraceMatch::MmioRd(identity), TraceMatch::MmioRd(identity),
                                 TraceMatch::MmioRd(kMemBase)})
                  .found);
}

TEST_F(NicIoTest, AllocateBufferGivesBootOrRuntimeDataPagesBelow4GiBAndFreeBufferTakesThemBack) {
  ASSERT_TRUE(Install(Entries()));
  void *pages = nullptr;
  RunToEnd([&] {
    auto *p = &mNicIo.PciIo;
    EXPECT_EQ(p->AllocateBuffer(p, AllocateAnyPages, EfiLoaderData, 1, &pages, 0),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->AllocateBuffer(p, AllocateAnyPages, EfiBootServicesData, 1, nullptr, 0),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->AllocateBuffer(p, AllocateAnyPages, EfiRuntimeServicesData, 3, &pages, 0),
              EFI_SUCCESS);
  });
  const uint64_t address = reinterpret_cast<uintptr_t>(pages);
  EXPECT_LE(address + 3 * 4096 - 1, 0xFFFFFFFFull);
  uint32_t type = 0;
  ASSERT_TRUE(machine.memory().TypeAt(address, type));
  EXPECT_EQ(type, static_cast<uint32_t>(EfiRuntimeServicesData));
  EXPECT_EQ(dxe->PagesInUse(), 3u);
  RunToEnd([&] {
    auto *p = &mNicIo.PciIo;
    EXPECT_EQ(p->FreeBuffer(p, 3, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->FreeBuffer(p, 0, pages), EFI_INVALID_PARAMETER);
    EXPECT_EQ(p->FreeBuffer(p, 3, pages), EFI_SUCCESS);
    EXPECT_EQ(p->FreeBuffer(p, 3, pages), EFI_NOT_FOUND) << "already given back";
  });
  EXPECT_EQ(dxe->PagesInUse(), 0u);
}

TEST_F(NicIoTest, StallWaitsItsCountInVirtualTime) {
  for (UINTN us : {UINTN{1}, UINTN{10}, UINTN{1000}, UINTN{1200000}}) {
    const uint64_t start = machine.clock().NowNs();
    UINTN returned = 0;
    RunToEnd([&] { returned = Stall(us); });
    const uint64_t elapsed = machine.clock().NowNs() - start;
    EXPECT_EQ(returned, us);
    // One PM-timer tick is 279 ns. The loop reads the timer once before it
    // and once per poll (with a pause), and counts in chunks of 2^22 ticks,
    // each of which may end up to a tick and a poll late.
    const uint64_t poll = 2 * sim::cost::Ns(sim::AccessKind::PchRegister) + sim::cost::kCpuPauseNs;
    const uint64_t chunks = 1 + ((us * 3579545 / 1000000) >> 22);
    EXPECT_GE(elapsed + 300, us * 1000) << us << " us";
    EXPECT_LE(elapsed, us * 1000 + chunks * (300 + poll)) << us << " us";
  }
}

TEST_F(NicIoTest, RebindTakesTheEnumeratedLocationAndWindowsAndReinstalls) {
  ASSERT_TRUE(Install(Entries()));
  // Enumeration finds the controller at 2:0.0 but moves BAR 2.
  machine.bus().Unmap(&mem);
  std::unique_ptr<sim::PciIoDevice> pciIo;
  RunToEnd([&] {
    pciIo = std::make_unique<sim::PciIoDevice>(*dxe, sim::PciIoDevice::Location{kBus, 0, 0},
                                               std::map<unsigned, uint64_t>{{2, 0xFE400000}});
    ASSERT_EQ(pciIo->Install(), EFI_SUCCESS);
  });
  const uint64_t poolBefore = dxe->PoolAllocationsInUse();
  EFI_STATUS status = EFI_ABORTED;
  RunToEnd([&] { status = RebindNicIo(pciIo->Protocol()); });
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(nicIoNotifications, 2) << "the reinstall tells NicLinkDxe again";
  EXPECT_EQ(dxe->InterfaceOn(imageHandle, gNicIoProtocolGuid), &mNicIo);
  EXPECT_EQ(mNicIo.BusNumber, kBus);
  EXPECT_EQ(mNicIo.BarTable[0].BarKind, kNicIoBarKindIo);
  EXPECT_EQ(mNicIo.BarTable[0].BarBase, kIoBase);
  EXPECT_EQ(mNicIo.BarTable[0].BarLength, kIoLength);
  EXPECT_EQ(mNicIo.BarTable[2].BarKind, kNicIoBarKindMemory);
  EXPECT_EQ(mNicIo.BarTable[2].BarBase, 0xFE400000u);
  EXPECT_EQ(mNicIo.BarTable[2].BarLength, kMemLength);
  EXPECT_EQ(mNicIo.BarTable[3].BarKind, kNicIoBarKindNone) << "upper half of BAR 2";
  EXPECT_EQ(mNicIo.BarTable[4].BarBase, kMem4Base);
  EXPECT_EQ(dxe->PoolAllocationsInUse(), poolBefore) << "BAR descriptors freed";
  // The moved window is the one now used.
  machine.bus().MapMmio(0xFE400000, kMemLength, &mem, "nic.mem");
  mem.Put32(0x10, 0x600D);
  uint32_t value = 0;
  EXPECT_EQ(MemRead(Bits(EfiPciIoWidthUint32), 2, 0x10, 1, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 0x600Du);
}

} // namespace
