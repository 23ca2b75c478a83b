// EcPei start-up on the PEI emulation: the device manager's walk over a
// device table, the EC device's probe and PPI installation, and the entry
// point with the chipset's decode in front of the EC.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <Register/EcLpcDecode.h>
#include <Register/EcRegisters.h>

#include "../ModelMisuse.h"
#include "Chipset.h"
#include "DeviceManager.h"
#include "Ec.h"
#include "EcAccess.h"
#include "EcDevice.h"
#include "EcPei.h"
#include "FirmwareTest.h"
#include "LpcDecode.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/GuidText.h"
#include "sim/uefi/VariableStore.h"

namespace {

using sim::Chipset;
using sim::Ec;
using sim::TraceMatch;

// ---- Test devices: they log what the manager does with them ----

std::vector<std::string> gLog;

struct ConstructorCall {
  EFI_PEI_FILE_HANDLE *fileHandle;
  UINT32 reserved;
  const EFI_PEI_SERVICES **peiServices;
};
std::vector<ConstructorCall> gCalls;

class TestDevice final : public EcPeiDevice {
public:
  EFI_STATUS Initialize() override {
    gLog.push_back(std::string("init ") + Name);
    return InitializeResult;
  }
  EFI_STATUS Start() override {
    gLog.push_back(std::string("start ") + Name);
    StartFileHandle = FileHandle;
    StartPeiServices = PeiServices;
    return EFI_DEVICE_ERROR; // ignored by the manager
  }
  char Name;
  EFI_STATUS InitializeResult;
  EFI_PEI_FILE_HANDLE *StartFileHandle;
  const EFI_PEI_SERVICES **StartPeiServices;
};

EFI_STATUS MakeDevice(char name, EFI_STATUS initializeResult, EcPeiDevice **NewDevice,
                      EFI_PEI_FILE_HANDLE *FileHandle, UINT32 Reserved,
                      const EFI_PEI_SERVICES **PeiServices) {
  gCalls.push_back({FileHandle, Reserved, PeiServices});
  gLog.push_back(std::string("create ") + name);
  TestDevice *device = NewPeiObject<TestDevice>(PeiServices);
  device->Name = name;
  device->InitializeResult = initializeResult;
  *NewDevice = device;
  return EFI_SUCCESS;
}

EFI_STATUS CreateA(EcPeiDevice **d, EFI_PEI_FILE_HANDLE *f, UINT32 r, const EFI_PEI_SERVICES **p) {
  return MakeDevice('A', EFI_SUCCESS, d, f, r, p);
}
EFI_STATUS CreateB(EcPeiDevice **d, EFI_PEI_FILE_HANDLE *f, UINT32 r, const EFI_PEI_SERVICES **p) {
  return MakeDevice('B', EFI_SUCCESS, d, f, r, p);
}
EFI_STATUS CreateFailingInit(EcPeiDevice **d, EFI_PEI_FILE_HANDLE *f, UINT32 r,
                             const EFI_PEI_SERVICES **p) {
  return MakeDevice('F', EFI_NOT_READY, d, f, r, p);
}
EFI_STATUS CreateUnsupported(EcPeiDevice **d, EFI_PEI_FILE_HANDLE *, UINT32,
                             const EFI_PEI_SERVICES **) {
  gLog.push_back("create U");
  *d = nullptr;
  return EFI_UNSUPPORTED;
}
EFI_STATUS CreateNothing(EcPeiDevice **d, EFI_PEI_FILE_HANDLE *, UINT32,
                         const EFI_PEI_SERVICES **) {
  gLog.push_back("create N");
  *d = nullptr;
  return EFI_SUCCESS; // a constructor that claims success without a device
}

// PEI services whose AllocatePool fails from the N-th call on (counting from
// 1); everything else is the emulation's.
const EFI_PEI_SERVICES **gRealServices;
int gAllocations;
int gFailFrom;

EFI_STATUS EFIAPI FailingAllocatePool(const EFI_PEI_SERVICES **, UINTN Size, VOID **Buffer) {
  if (++gAllocations >= gFailFrom) {
    return EFI_OUT_OF_RESOURCES;
  }
  return (*gRealServices)->AllocatePool(gRealServices, Size, Buffer);
}

// Records what the EC looked like when EC_ACCESS_PPI was installed.
Ec *gEc;
size_t gC0WritesAtInstall;
EFI_STATUS EFIAPI OnEcAccessInstalled(EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  gC0WritesAtInstall = gEc->WriteCount(0, kEcStartRegister);
  return EFI_SUCCESS;
}
const EFI_PEI_NOTIFY_DESCRIPTOR kEcAccessNotify = {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
                                                       EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
                                                   &gEcAccessPpiGuid, OnEcAccessInstalled};

class PeiTest : public FirmwareTest {
protected:
  PeiTest() {
    mPchSeries = kPchSeriesUnknown;
    gLog.clear();
    gCalls.clear();
  }

  EFI_STATUS Start(const DEVICE_TABLE_ENTRY *table, const EFI_PEI_SERVICES **services = nullptr) {
    return Run<EFI_STATUS>([&] {
      return EcPeiStart(&fileHandle, services != nullptr ? services : pei.PeiServices(), table);
    });
  }

  // Services whose pool runs dry at the failFrom-th allocation.
  const EFI_PEI_SERVICES **PoolFailingFrom(int failFrom) {
    gRealServices = pei.PeiServices();
    gAllocations = 0;
    gFailFrom = failFrom;
    failingTable = **pei.PeiServices();
    failingTable.AllocatePool = FailingAllocatePool;
    failingSlot = &failingTable;
    return &failingSlot;
  }

  bool PpiInstalled() { return pei.FindPpi(gEcAccessPpiGuid) != nullptr; }

  sim::VariableStore variables;
  sim::Pei pei{machine, variables};
  Chipset chipset{machine};
  EFI_PEI_FILE_HANDLE fileHandle = reinterpret_cast<EFI_PEI_FILE_HANDLE>(0x1234);
  EFI_PEI_SERVICES failingTable{};
  const EFI_PEI_SERVICES *failingSlot = nullptr;
};

// ---- EcPeiDevice manager ----

class DeviceManagerTest : public PeiTest {};

TEST_F(DeviceManagerTest, TableEndingAtOnceCreatesAndStartsNothing) {
  const DEVICE_TABLE_ENTRY table[] = {{kDeviceEntryEnd, CreateA}};
  EXPECT_EQ(Start(table), EFI_SUCCESS);
  EXPECT_TRUE(gLog.empty());
  EXPECT_EQ(IoWrites(kEcProgressCodePort), 0u);
  // The decode set-up ran before the devices.
  EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  EXPECT_EQ(chipset.IoDecodeEnables(), kLpcDecodeEcPorts);
}

TEST_F(DeviceManagerTest, DisabledEntryIsSkippedWithoutItsConstructor) {
  const DEVICE_TABLE_ENTRY table[] = {
      {kDeviceEntrySkip, CreateA}, {0x01, CreateB}, {kDeviceEntryEnd, nullptr}};
  EXPECT_EQ(Start(table), EFI_SUCCESS);
  EXPECT_EQ(gLog, (std::vector<std::string>{"create B", "init B", "start B"}));
}

TEST_F(DeviceManagerTest, AllDevicesAreCreatedInTableOrderBeforeAnyStarts) {
  const DEVICE_TABLE_ENTRY table[] = {{0x01, CreateA}, {0x7E, CreateB}, {kDeviceEntryEnd, nullptr}};
  EXPECT_EQ(Start(table), EFI_SUCCESS);
  EXPECT_EQ(gLog, (std::vector<std::string>{"create A", "init A", "create B", "init B", "start A",
                                            "start B"}));
}

TEST_F(DeviceManagerTest, ConstructorsGetTheManagersContextAndDevicesTheOwners) {
  const DEVICE_TABLE_ENTRY table[] = {{0x01, CreateA}, {kDeviceEntryEnd, nullptr}};
  EcDeviceManager manager{};
  manager.FileHandle = &fileHandle;
  manager.PeiServices = pei.PeiServices();
  manager.Owner = &manager;
  manager.DeviceTable = table;
  EXPECT_EQ(Run<EFI_STATUS>([&] { return manager.CreateDevices(); }), EFI_SUCCESS);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].fileHandle, &fileHandle);
  EXPECT_EQ(gCalls[0].reserved, 0u);
  EXPECT_EQ(gCalls[0].peiServices, pei.PeiServices());
  ASSERT_EQ(manager.DeviceCount, 1);
  auto *device = static_cast<TestDevice *>(manager.Devices[0]);
  EXPECT_EQ(device->FileHandle, &fileHandle);
  EXPECT_EQ(device->PeiServices, pei.PeiServices());
  EXPECT_EQ(device->Context, 0u);
}

TEST_F(DeviceManagerTest, UnsupportedOrMissingDeviceIsSkipped) {
  const DEVICE_TABLE_ENTRY table[] = {{0x01, CreateUnsupported},
                                      {0x01, CreateNothing},
                                      {0x01, CreateA},
                                      {kDeviceEntryEnd, nullptr}};
  EXPECT_EQ(Start(table), EFI_SUCCESS);
  EXPECT_EQ(gLog,
            (std::vector<std::string>{"create U", "create N", "create A", "init A", "start A"}));
}

TEST_F(DeviceManagerTest, FailedInitializeKeepsTheDeviceAndIsTheResult) {
  const DEVICE_TABLE_ENTRY table[] = {{0x01, CreateFailingInit}, {kDeviceEntryEnd, nullptr}};
  EcDeviceManager manager{};
  manager.PeiServices = pei.PeiServices();
  manager.Owner = &manager;
  manager.DeviceTable = table;
  EXPECT_EQ(Run<EFI_STATUS>([&] { return manager.CreateDevices(); }), EFI_NOT_READY);
  EXPECT_EQ(manager.DeviceCount, 1);
  Run([&] { manager.StartDevices(); });
  EXPECT_EQ(gLog.back(), "start F");
}

TEST_F(DeviceManagerTest, ResultIsTheLastStatusOrSuccessWhenNothingWasCalled) {
  EcDeviceManager manager{};
  manager.PeiServices = pei.PeiServices();
  manager.Owner = &manager;
  const DEVICE_TABLE_ENTRY none[] = {{kDeviceEntrySkip, CreateA}, {kDeviceEntryEnd, nullptr}};
  manager.DeviceTable = none;
  EXPECT_EQ(Run<EFI_STATUS>([&] { return manager.CreateDevices(); }), EFI_SUCCESS);
  const DEVICE_TABLE_ENTRY unsupported[] = {{0x01, CreateUnsupported}, {kDeviceEntryEnd, nullptr}};
  manager.DeviceTable = unsupported;
  EXPECT_EQ(Run<EFI_STATUS>([&] { return manager.CreateDevices(); }), EFI_UNSUPPORTED);
}

TEST_F(DeviceManagerTest, MoreThanTenEnabledStopsAtTen) {
  std::vector<DEVICE_TABLE_ENTRY> table(12, DEVICE_TABLE_ENTRY{0x01, CreateA});
  table.push_back({kDeviceEntryEnd, nullptr});
  EXPECT_EQ(Start(table.data()), EFI_SUCCESS);
  size_t created = 0, started = 0;
  for (const std::string &entry : gLog) {
    created += entry == "create A";
    started += entry == "start A";
  }
  EXPECT_EQ(created, kEcDeviceSlots) << "constructor called with no slot left";
  EXPECT_EQ(started, kEcDeviceSlots);
}

TEST_F(DeviceManagerTest, OnlyTheEndEntrysEnabledByteIsRead) {
  // The table's last byte is the end marker, right before an unmapped page.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto *area = static_cast<uint8_t *>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  const DEVICE_TABLE_ENTRY entry = {0x01, CreateA};
  uint8_t *table = area + page - sizeof(entry) - 1;
  std::memcpy(table, &entry, sizeof(entry));
  table[sizeof(entry)] = kDeviceEntryEnd;
  EXPECT_EQ(Start(reinterpret_cast<const DEVICE_TABLE_ENTRY *>(table)), EFI_SUCCESS);
  EXPECT_EQ(gLog, (std::vector<std::string>{"create A", "init A", "start A"}));
  munmap(area, 2 * page);
}

TEST_F(DeviceManagerTest, ManagerWithoutPoolEndsWithOutOfResources) {
  Ec ec(machine);
  ec.AttachInterface(0x62, 0x66);
  EXPECT_EQ(Start(mDeviceTable, PoolFailingFrom(1)), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(IoWrites(kEcProgressCodePort), 0u) << "a device was started";
  EXPECT_FALSE(PpiInstalled());
  EXPECT_EQ(ec.Writes().size(), 0u);
}

TEST_F(DeviceManagerTest, EcDeviceWithoutPoolIsSkipped) {
  Ec ec(machine);
  ec.AttachInterface(0x62, 0x66);
  EXPECT_EQ(Start(mDeviceTable, PoolFailingFrom(2)), EFI_SUCCESS);
  EXPECT_EQ(IoWrites(kEcProgressCodePort), 0u);
  EXPECT_FALSE(PpiInstalled());
}

// ---- EC device ----

class EcDeviceTest : public PeiTest {
protected:
  void TearDown() override {
    ExpectNoEcMisuse(ec); // the faults these tests inject are not misuse
  }
  EcDeviceTest() {
    ec.AttachInterface(0x62, 0x66);
    ec.SetRegister(0, kEcStartRegister, 0x5A);
    gEc = &ec;
    gC0WritesAtInstall = ~size_t{0};
  }
  void SetSignature(uint8_t signature) {
    ec.SetReadOnly(kEcSignatureBank, kEcSignatureRegister, false);
    ec.SetRegister(kEcSignatureBank, kEcSignatureRegister, signature);
  }
  Ec ec{machine};
};

TEST_F(EcDeviceTest, PresentEcGetsThePpiThenRegisterC0Cleared) {
  ASSERT_EQ(pei.NotifyPpi(&kEcAccessNotify), EFI_SUCCESS);
  EXPECT_EQ(Start(mDeviceTable), EFI_SUCCESS);
  ASSERT_TRUE(PpiInstalled());
  EXPECT_EQ(gC0WritesAtInstall, 0u) << "0xC0 written before the installation";
  EXPECT_EQ(ec.Register(0, kEcStartRegister), 0x00);
  EXPECT_EQ(ec.SelectedBank(), 0);
  EXPECT_TRUE(machine.trace().FindSequence(
      {TraceMatch::IoWr(kEcProgressCodePort, kEcProgressCodeStart),
       TraceMatch::Is(sim::ev::EcWrite{{0, 0xFF, 0x01}}).Dev("ec"),
       TraceMatch::Is(sim::ev::EcRead{{1, 0xF8, 0xEC}}).Dev("ec"),
       TraceMatch::Is(sim::ev::EcWrite{{1, 0xFF, 0x00}}).Dev("ec"),
       TraceMatch::Is(sim::ev::PeiInstallPpi{gEcAccessPpiGuid}),
       TraceMatch::Is(sim::ev::EcWrite{{0, 0xFF, 0x00}}).Dev("ec"),
       TraceMatch::Is(sim::ev::EcWrite{{0, 0xC0, 0x00}}).Dev("ec")}));
}

TEST_F(EcDeviceTest, InstalledPpiIsTheConstantDescriptorAndWorks) {
  EXPECT_EQ(Start(mDeviceTable), EFI_SUCCESS);
  EFI_PEI_PPI_DESCRIPTOR *descriptor = nullptr;
  void *interface = nullptr;
  ASSERT_EQ(pei.LocatePpi(&gEcAccessPpiGuid, 0, &descriptor, &interface), EFI_SUCCESS);
  EXPECT_EQ(descriptor, &mEcAccessPpiDescriptor);
  EXPECT_EQ(descriptor->Flags, 0x80000010u);
  EXPECT_EQ(interface, &mEcAccessPpi);
  const auto *ppi = static_cast<const EC_ACCESS_PPI *>(interface);
  ec.SetRegister(1, 0x90, 0x05);
  UINT8 value = 0;
  EXPECT_EQ(
      Run<EC_STATUS>([&] { return ppi->ReadBankRegister(kEcBoardInterface, 1, 0x90, &value); }),
      kEcStatusSuccess);
  EXPECT_EQ(value, 0x05);
  EXPECT_EQ(Run<EC_STATUS>([&] { return ppi->WriteRegister(kEcBoardInterface, 0xD6, 0xF7); }),
            kEcStatusSuccess);
  EXPECT_EQ(ec.Register(0, 0xD6), 0xF7);
}

// The EC stops answering right after the host took its signature and comes
// back two operations later: the return to bank 0 and the bank-0 select
// before register 0xC0 both fail, with bank 1 still selected. The 0xC0
// write must not land in bank 1.
TEST_F(EcDeviceTest, FailedSelectOfBankZeroKeepsTheC0WriteOutOfBankOne) {
  ec.SetRegister(1, kEcStartRegister, 0x77);
  enum { Answering, SignatureOut, Deaf, Back } phase = Answering;
  size_t deafAccesses = 0;
  ec.SetDecodeGate([&](uint16_t port) {
    if (phase == Answering && ec.SelectedBank() == kEcSignatureBank &&
        machine.trace().Count(TraceMatch::Is(sim::ev::EcRead{{1, 0xF8, 0xEC}})) != 0) {
      phase = SignatureOut;
    }
    if (phase == SignatureOut && port == 0x62) {
      phase = Deaf; // the data read of the signature still gets through
      return true;
    }
    if (phase == Deaf && ++deafAccesses > 2 * kEcStatusReads) {
      phase = Back;
    }
    return phase != Deaf;
  });
  EXPECT_EQ(Start(mDeviceTable), EFI_SUCCESS);
  ASSERT_TRUE(PpiInstalled());
  EXPECT_EQ(deafAccesses, 2 * kEcStatusReads) << "both selects were tried";
  EXPECT_EQ(ec.WriteCount(1, kEcStartRegister), 0u);
  EXPECT_EQ(ec.Register(1, kEcStartRegister), 0x77);
}

TEST_F(EcDeviceTest, OtherSignatureInstallsNothingAndLeavesC0) {
  SetSignature(0xEB);
  EXPECT_EQ(Start(mDeviceTable), EFI_SUCCESS);
  EXPECT_FALSE(PpiInstalled());
  EXPECT_EQ(ec.WriteCount(0, kEcStartRegister), 0u);
  EXPECT_EQ(ec.Register(0, kEcStartRegister), 0x5A);
  EXPECT_EQ(machine.trace().Count(TraceMatch::IoWr(kEcProgressCodePort, kEcProgressCodeStart)), 1u);
  EXPECT_EQ(ec.SelectedBank(), 0);
}

TEST_F(EcDeviceTest, NoEcStillWritesTheProgressCodeAndSucceeds) {
  ec.SetPresent(false);
  EXPECT_EQ(Start(mDeviceTable), EFI_SUCCESS);
  EXPECT_FALSE(PpiInstalled());
  EXPECT_EQ(machine.trace().Count(TraceMatch::IoWr(kEcProgressCodePort, kEcProgressCodeStart)), 1u);
  // The bank-1 select and the return to bank 0, each giving up after its
  // first status-read bound; the signature is not read from a bank that
  // was never selected.
  EXPECT_EQ(IoReads(0x66), 2 * kEcStatusReads);
}

// ---- Entry point with the chipset's decode in front of the EC ----

class EntryPointTest : public EcDeviceTest {
protected:
  EntryPointTest() {
    ec.SetDecodeGate([this](uint16_t port) { return chipset.DecodesIo(port); });
  }
  EFI_STATUS RunEntry() {
    return Run<EFI_STATUS>([&] { return pei.RunModule(EcPeiEntryPoint, fileHandle); });
  }
};

TEST_F(EntryPointTest, OpensTheDecodeAndInstallsThePpi) {
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(chipset.GenericRange(0), kLpcEcWindowRange);
  EXPECT_EQ(chipset.IoDecodeEnables(), kLpcDecodeEcPorts);
  EXPECT_EQ(chipset.UnmirroredWrites(), 0u);
  EXPECT_TRUE(PpiInstalled());
  EXPECT_EQ(ec.Register(0, kEcStartRegister), 0x00);
}

TEST_F(EntryPointTest, LockedDecodeLeavesTheEcUnreachableAndStillSucceeds) {
  chipset.SetLocked(true);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(chipset.RefusedWrites(), 0u);
  EXPECT_EQ(chipset.GenericRange(0), 0u);
  EXPECT_FALSE(PpiInstalled());
  EXPECT_EQ(ec.StatusReads(0x66), 0u);
  EXPECT_EQ(machine.trace().Count(TraceMatch::IoWr(kEcProgressCodePort, kEcProgressCodeStart)), 1u);
}

TEST_F(EntryPointTest, ExistingEnablesAreKept) {
  chipset.SetIoDecodeEnables(0x0013);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(chipset.IoDecodeEnables(), 0x0813);
  EXPECT_TRUE(PpiInstalled());
}

} // namespace
