// The PCI bus driver stand-in on one function: BARs found by sizing (I/O,
// 32- and 64-bit memory, one moved by enumeration), accesses confined to the
// windows, decoding switched through Attributes, BAR descriptors from pool,
// and a device path that LocateDevicePath resolves from a child's path.
#include "PciIoDevice.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/core/Pci.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <IndustryStandard/AcpiResources.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sim::PciConfigSpace;
using sim::PciIoDevice;
using Kind = PciIoDevice::Bar::Kind;

class Ram final : public sim::BusTarget {
public:
  uint64_t Read(uint64_t offset, unsigned size) override {
    uint64_t v = 0;
    std::memcpy(&v, bytes + offset, size);
    return v;
  }
  void Write(uint64_t offset, unsigned size, uint64_t value) override {
    std::memcpy(bytes + offset, &value, size);
  }
  uint8_t bytes[0x1000] = {};
};

class PciIoDeviceTest : public ::testing::Test {
protected:
  PciIoDeviceTest() {
    function.SetIds(0x1234, 0x5678);
    function.SetBar(0, PciConfigSpace::BarKind::Io, 0x40, 0xD000);
    function.SetBar(1, PciConfigSpace::BarKind::Mem32, 0x1000, 0xF0000000);
    function.SetBar(2, PciConfigSpace::BarKind::Mem64, 0x100000, 0x2'0000'0000);
    function.Set16(sim::pci::kCommand, sim::pci::kCommandIoSpace);
    machine.bus().Pci().Attach(1, 3, 0, &function, "fn");
    machine.bus().MapMmio(0xF0000000, 0x1000, &ram, "ram");
  }

  void RunOk(std::function<void()> body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, std::move(body));
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::VariableStore variables;
  sim::Dxe dxe{machine, variables};
  PciConfigSpace function;
  Ram ram;
};

TEST_F(PciIoDeviceTest, EnumerationSizesEveryKindOfBarAndMovesAssignedOnes) {
  const PciIoDevice::Bars bars = PciIoDevice::Enumerate(machine, {1, 3, 0}, {{2, 0x3'0000'0000}});
  EXPECT_EQ(bars[0].kind, Kind::Io);
  EXPECT_EQ(bars[0].base, 0xD000u);
  EXPECT_EQ(bars[0].length, 0x40u);
  EXPECT_EQ(bars[1].kind, Kind::Mem32);
  EXPECT_EQ(bars[1].length, 0x1000u);
  EXPECT_EQ(bars[2].kind, Kind::Mem64);
  EXPECT_EQ(bars[2].base, 0x3'0000'0000u);
  EXPECT_EQ(bars[2].length, 0x100000u);
  EXPECT_EQ(bars[3].kind, Kind::None) << "upper half of BAR 2";
  EXPECT_EQ(bars[4].kind, Kind::None);
  EXPECT_EQ(function.BarAddress(2), 0x3'0000'0000u);
  EXPECT_EQ(function.BarAddress(1), 0xF0000000u) << "sized and restored";
  EXPECT_TRUE(function.IoDecode()) << "decoding restored";
  EXPECT_EQ(PciIoDevice::Enumerate(machine, {1, 4, 0})[0].kind, Kind::None) << "absent";
}

TEST_F(PciIoDeviceTest, AccessesStayInsideTheirWindowsAndConfigSpace) {
  PciIoDevice device(dxe, {1, 3, 0});
  EFI_PCI_IO_PROTOCOL *p = device.Protocol();
  uint32_t value = 0x11223344;
  EXPECT_EQ(p->Mem.Write(p, EfiPciIoWidthUint32, 1, 0xFFC, 1, &value), EFI_SUCCESS);
  EXPECT_EQ(ram.Read(0xFFC, 4), 0x11223344u);
  EXPECT_EQ(p->Mem.Read(p, EfiPciIoWidthUint32, 1, 0xFFD, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(p->Mem.Read(p, EfiPciIoWidthUint32, 0, 0, 1, &value), EFI_UNSUPPORTED) << "I/O BAR";
  EXPECT_EQ(p->Io.Read(p, EfiPciIoWidthUint32, 1, 0, 1, &value), EFI_UNSUPPORTED) << "memory";
  EXPECT_EQ(p->Mem.Read(p, EfiPciIoWidthUint32, 6, 0, 1, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint32, 0, 1, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 0x56781234u);
  EXPECT_EQ(p->Pci.Read(p, EfiPciIoWidthUint32, 0xFFD, 1, &value), EFI_UNSUPPORTED);
  UINTN segment, bus, dev, fn;
  EXPECT_EQ(p->GetLocation(p, &segment, &bus, &dev, &fn), EFI_SUCCESS);
  EXPECT_EQ(bus * 100 + dev * 10 + fn, 130u);
}

TEST_F(PciIoDeviceTest, AttributesDriveTheCommandRegister) {
  PciIoDevice device(dxe, {1, 3, 0});
  EFI_PCI_IO_PROTOCOL *p = device.Protocol();
  UINT64 current = 0;
  EXPECT_EQ(p->Attributes(p, EfiPciIoAttributeOperationGet, 0, &current), EFI_SUCCESS);
  EXPECT_EQ(current, uint64_t{EFI_PCI_IO_ATTRIBUTE_IO});
  EXPECT_EQ(p->Attributes(p, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE, nullptr),
            EFI_SUCCESS);
  EXPECT_TRUE(function.MemoryDecode());
  EXPECT_TRUE(function.BusMaster());
  EXPECT_EQ(p->Attributes(p, EfiPciIoAttributeOperationDisable, EFI_PCI_IO_ATTRIBUTE_IO, nullptr),
            EFI_SUCCESS);
  EXPECT_FALSE(function.IoDecode());
  EXPECT_EQ(
      p->Attributes(p, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_VGA_IO, nullptr),
      EFI_UNSUPPORTED);
}

TEST_F(PciIoDeviceTest, BarDescriptorsComeFromPoolAndDescribeTheWindow) {
  PciIoDevice device(dxe, {1, 3, 0});
  EFI_PCI_IO_PROTOCOL *p = device.Protocol();
  RunOk([&] {
    void *resources = nullptr;
    ASSERT_EQ(p->GetBarAttributes(p, 2, nullptr, &resources), EFI_SUCCESS);
    EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR d;
    std::memcpy(&d, resources, sizeof(d));
    EXPECT_EQ(d.Desc, ACPI_ADDRESS_SPACE_DESCRIPTOR);
    EXPECT_EQ(d.ResType, ACPI_ADDRESS_SPACE_TYPE_MEM);
    EXPECT_EQ(uint64_t{d.AddrSpaceGranularity}, 64u);
    EXPECT_EQ(uint64_t{d.AddrRangeMin}, 0x2'0000'0000u);
    EXPECT_EQ(uint64_t{d.AddrLen}, 0x100000u);
    EXPECT_EQ(static_cast<uint8_t *>(resources)[sizeof(d)], ACPI_END_TAG_DESCRIPTOR);
    EXPECT_EQ(dxe.FreePool(resources), EFI_SUCCESS);
    ASSERT_EQ(p->GetBarAttributes(p, 0, nullptr, &resources), EFI_SUCCESS);
    std::memcpy(&d, resources, sizeof(d));
    EXPECT_EQ(d.ResType, ACPI_ADDRESS_SPACE_TYPE_IO);
    EXPECT_EQ(dxe.FreePool(resources), EFI_SUCCESS);
    EXPECT_EQ(p->GetBarAttributes(p, 3, nullptr, &resources), EFI_UNSUPPORTED);
  });
  EXPECT_EQ(dxe.PoolAllocationsInUse(), 0u);
}

TEST_F(PciIoDeviceTest, DevicePathLeadsFromAChildBackToTheFunction) {
  PciIoDevice device(dxe, {1, 3, 0}, {}, sim::PciDevicePath({{0x1C, 0}, {3, 0}}));
  RunOk([&] { ASSERT_EQ(device.Install(), EFI_SUCCESS); });
  const std::vector<uint8_t> child =
      sim::DevicePathBuilder(device.DevicePath()).AcpiAdr(0x80010100).Build();
  auto *remaining =
      reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<uint8_t *>(child.data()));
  EFI_HANDLE found = nullptr;
  RunOk([&] {
    EXPECT_EQ(dxe.LocateDevicePath(&gEfiPciIoProtocolGuid, &remaining, &found), EFI_SUCCESS);
  });
  EXPECT_EQ(found, device.Handle());
  EXPECT_EQ(dxe.InterfaceOn(found, gEfiPciIoProtocolGuid), device.Protocol());
  EXPECT_EQ(sim::DevicePathSize(device.DevicePath()), 12u + 6 + 6 + 4);
}

} // namespace
