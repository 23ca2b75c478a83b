// The NIC_IO_PROTOCOL test provider: windows and their bounds, configuration
// space, DMA pages below 4 GiB, location, and the delay at offset 1072.
#include <gtest/gtest.h>

#include <cstddef>

#include "NicIoProvider.h"
#include "NicRig.h"

namespace {

using nictest::NicRig;
using sim::NicIoProvider;

class NicIoProviderTest : public ::testing::Test {
protected:
  NicRig rig;
  NicIoProvider provider{rig.machine, NicIoProvider::Location{1, 0, 0}, rig.nic};
  NIC_IO_PROTOCOL *nicIo = provider.Protocol();
  EFI_PCI_IO_PROTOCOL *io = &nicIo->PciIo;
};

TEST_F(NicIoProviderTest, StallAtOffset1072WaitsInVirtualTime) {
  auto *raw = reinterpret_cast<uint8_t *>(nicIo);
  NIC_IO_STALL stall = *reinterpret_cast<NIC_IO_STALL *>(raw + 1072);
  ASSERT_EQ(stall, nicIo->Stall);
  const uint64_t start = rig.machine.clock().NowNs();
  EXPECT_EQ(stall(1000), 1000u);
  const uint64_t waited = rig.machine.clock().NowNs() - start;
  EXPECT_GE(waited, 999'000u);
  EXPECT_LT(waited, 1'002'000u);
  // Across a wrap of the 24-bit counter (4.69 s): start just before it.
  rig.machine.clock().AdvanceNs(4'680'000'000 - rig.machine.clock().NowNs());
  const uint64_t again = rig.machine.clock().NowNs();
  nicIo->Stall(50'000);
  EXPECT_NEAR(static_cast<double>(rig.machine.clock().NowNs() - again), 50e6, 20e3);
}

TEST_F(NicIoProviderTest, IoAndMemoryReachTheSameRegisters) {
  UINT32 viaIo = 0, viaMem = 0;
  ASSERT_EQ(io->Io.Read(io, EfiPciIoWidthUint32, 0, 0x40, 1, &viaIo), EFI_SUCCESS);
  ASSERT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 2, 0x40, 1, &viaMem), EFI_SUCCESS);
  EXPECT_EQ(viaIo, viaMem);
  EXPECT_EQ(sim::nic::ChipVersionOf(viaIo), 61u);
  UINT8 command = sim::nic::kCommandReset;
  ASSERT_EQ(io->Io.Write(io, EfiPciIoWidthUint8, 0, 0x37, 1, &command), EFI_SUCCESS);
  EXPECT_EQ(rig.nic.CommandRegister(), sim::nic::kCommandReset);
  // Width 3 on I/O reads two dwords; writing one is refused.
  UINT64 mac = 0;
  ASSERT_EQ(io->Io.Read(io, EfiPciIoWidthUint64, 0, 0, 1, &mac), EFI_SUCCESS);
  EXPECT_EQ(mac & 0xFFFFFFFFFFFFull, 0x0100684CE000ull);
  EXPECT_EQ(io->Io.Write(io, EfiPciIoWidthUint64, 0, 0, 1, &mac), EFI_INVALID_PARAMETER);
}

TEST_F(NicIoProviderTest, AccessesMustEndInsideAWindowOfTheRightKind) {
  const UINT64 length = nicIo->BarTable[2].BarLength;
  UINT32 value = 0;
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 2, length - 4, 1, &value), EFI_SUCCESS);
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 2, length - 3, 1, &value), EFI_UNSUPPORTED);
  UINT32 fifo[16] = {};
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthFifoUint32, 2, length - 4, 16, fifo), EFI_SUCCESS);
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 2, length - 4, 2, fifo), EFI_UNSUPPORTED);
  EXPECT_EQ(io->Io.Read(io, EfiPciIoWidthUint32, 2, 0, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 0, 0, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(io->Mem.Read(io, EfiPciIoWidthUint32, 6, 0, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(io->Io.Read(io, EfiPciIoWidthMaximum, 0, 0, 1, &value), EFI_INVALID_PARAMETER);
  EXPECT_EQ(io->Io.Read(io, EfiPciIoWidthUint32, 0, 0, 1, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(io->PollMem(io, EfiPciIoWidthUint32, 0, 0, 0, 0, 0, nullptr), EFI_UNSUPPORTED);
}

TEST_F(NicIoProviderTest, ConfigurationSpaceOfTheFunction) {
  UINT32 id = 0;
  ASSERT_EQ(io->Pci.Read(io, EfiPciIoWidthUint32, 0, 1, &id), EFI_SUCCESS);
  EXPECT_EQ(id, 0x816810ECu);
  UINT8 header[256] = {};
  ASSERT_EQ(io->Pci.Read(io, EfiPciIoWidthUint32, 0, 64, header), EFI_SUCCESS);
  EXPECT_EQ(header[0x2E] | header[0x2F] << 8, 0x3A7C);
  EXPECT_EQ(io->Pci.Read(io, EfiPciIoWidthUint32, 0xFFC, 1, &id), EFI_SUCCESS);
  EXPECT_EQ(io->Pci.Read(io, EfiPciIoWidthUint32, 0xFFD, 1, &id), EFI_UNSUPPORTED);
  UINT8 latency = 0x40;
  ASSERT_EQ(io->Pci.Write(io, EfiPciIoWidthUint8, 0x0D, 1, &latency), EFI_SUCCESS);
  EXPECT_EQ(rig.nic.Get8(0x0D), 0x40);
}

TEST_F(NicIoProviderTest, BuffersComeFromPagesBelow4GiBAndGoBackWhole) {
  VOID *buffer = nullptr;
  EXPECT_EQ(io->AllocateBuffer(io, AllocateAnyPages, EfiLoaderData, 4, &buffer, 0),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(io->AllocateBuffer(io, AllocateAnyPages, EfiBootServicesData, 4, nullptr, 0),
            EFI_INVALID_PARAMETER);
  ASSERT_EQ(io->AllocateBuffer(io, AllocateAnyPages, EfiBootServicesData, 99, &buffer, 0),
            EFI_SUCCESS);
  const auto address = reinterpret_cast<uint64_t>(buffer);
  EXPECT_LT(address + 99 * 4096, 0x100000000ull);
  EXPECT_EQ(address % 4096, 0u);
  EXPECT_EQ(provider.PagesOutstanding(), 99u);
  EXPECT_EQ(io->FreeBuffer(io, 4, buffer), EFI_INVALID_PARAMETER) << "wrong page count";
  EXPECT_EQ(io->FreeBuffer(io, 99, buffer), EFI_SUCCESS);
  EXPECT_EQ(provider.PagesOutstanding(), 0u);
  EXPECT_EQ(io->FreeBuffer(io, 99, buffer), EFI_INVALID_PARAMETER) << "double free";
  provider.SetAllocateFault([](UINTN pages) { return pages == 99 ? EFI_OUT_OF_RESOURCES : 0; });
  EXPECT_EQ(io->AllocateBuffer(io, AllocateAnyPages, EfiBootServicesData, 99, &buffer, 0),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(io->AllocateBuffer(io, AllocateAnyPages, EfiBootServicesData, 4, &buffer, 0),
            EFI_SUCCESS);
}

TEST_F(NicIoProviderTest, LocationIsTheFunctionsAndNullPointersAreRefused) {
  UINTN segment = 9, bus = 9, device = 9, function = 9;
  ASSERT_EQ(io->GetLocation(io, &segment, &bus, &device, &function), EFI_SUCCESS);
  EXPECT_EQ(segment, 0u);
  EXPECT_EQ(bus, 1u);
  EXPECT_EQ(device, 0u);
  EXPECT_EQ(function, 0u);
  EXPECT_EQ(io->GetLocation(io, &segment, nullptr, &device, &function), EFI_INVALID_PARAMETER);
  EXPECT_EQ(nicIo->BarTable[0].BarKind, kNicIoBarKindIo);
  EXPECT_EQ(nicIo->BarTable[0].BarBase, nictest::kIoBase);
}

} // namespace
