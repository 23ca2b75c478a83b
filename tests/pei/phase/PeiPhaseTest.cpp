// The whole PEI phase on the simulated board: the four PEI modules' host
// images dispatched in start order (MgmtDevicePei, SioGpioPei, EcPei,
// SioSetupPei, so SioGpioPei's notification is in place before EcPei
// installs the PPI), then the end of PEI, against the chipset, GPIO communities,
// Super I/O chip, EC, PM timer and the device-list stand-in. Checked on the
// devices (pins and pads over virtual time, EC registers) and in the HOB
// list; once with the EC fitted and once without it.
#include <gtest/gtest.h>

#include <Guid/EcFlagHob.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <Pi/PiHob.h>
#include <Ppi/EcAccess.h>
#include <Register/EcRegisters.h>
#include <sim/loader/ModuleImage.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Chipset.h"
#include "Ec.h"
#include "FirmwareRunner.h"
#include "Machine.h"
#include "PchGpioModel.h"
#include "PciDeviceListStandIn.h"
#include "PmTimer.h"
#include "SuperIo.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/VariableStore.h"

MGMT_SIM_MODULE_IMAGE(MgmtDevicePei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(SioGpioPei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(EcPei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(SioSetupPei, EFI_PEIM_ENTRY_POINT2)

namespace {

using sim::PchGpioModel;

constexpr uint64_t kMs = 1'000'000;
constexpr uint8_t kPulsedSioPins[] = {71, 50, 54, 26, 35};
constexpr uint8_t kOptionPin = 47;
constexpr uint8_t kSetupOption = 0x05;
constexpr uint8_t kSioOptionRegisterBefore = 0x3C;
constexpr uint8_t kEcBootBitsBefore = 0xFF;
// The management device's pads in series H: group 2 pads 21 (drive) and 20
// (sense), group 4 pad 3 (reset pulse).
constexpr unsigned kPadGroup = 2;
constexpr unsigned kDrivePad = 21;
constexpr unsigned kSensePad = 20;
constexpr unsigned kPulseGroup = 4;
constexpr unsigned kPulsePad = 3;

class PeiPhaseTest : public ::testing::Test {
protected:
  PeiPhaseTest() {
    ec.AttachInterface(0x62, 0x66);
    ec.SetDecodeGate([this](uint16_t port) { return chipset.DecodesIo(port); });
    ec.SetRegister(kEcSignatureBank, kEcSignatureRegister, kEcSignature);
    ec.SetRegister(kEcBankDefault, kEcStartRegister, 0x5A);
    ec.SetRegister(kEcBankDefault, kEcBootBitsRegister, kEcBootBitsBefore);
    ec.SetRegister(kEcFlagBank, kEcFlagRegister, kEcFlagSetValue);
    sio.SetGlobalRegister(0x1B, kSioOptionRegisterBefore);
    gpio.SetInputLevel(kPadGroup, kSensePad, false); // the management device is fitted

    std::vector<uint8_t> setup(kSetupVariableSize, 0);
    setup[SetupOffset::SioEcOption] = kSetupOption;
    setup[SetupOffset::MgmtFirstStartMark] = kMgmtFirstStartDriveHigh;
    EXPECT_EQ(variables.Seed("Setup", gSetupVariableGuid, 7, setup), EFI_SUCCESS);
  }

  // Dispatches the four modules from freshly loaded images, then ends PEI.
  void RunPhase() {
    sim::ModuleImage *images[] = {&MgmtDevicePeiImage(), &SioGpioPeiImage(), &EcPeiImage(),
                                  &SioSetupPeiImage()};
    for (sim::ModuleImage *image : images) {
      ASSERT_TRUE(image->Present()) << image->Name();
      image->Load();
    }
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, [&] {
      ASSERT_EQ(list.Install(pei), EFI_SUCCESS); // an earlier PEI component's work
      for (sim::ModuleImage *image : images) {
        statuses.push_back(pei.RunModule(
            image->EntryPoint<std::remove_pointer_t<EFI_PEIM_ENTRY_POINT2>>(), nullptr));
      }
      pei.SignalEndOfPei();
    });
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  const void *FindHob(const EFI_GUID &guid) const { return GetNextGuidHob(&guid, pei.HobList()); }
  size_t CountHobs(const EFI_GUID &guid) const {
    size_t count = 0;
    for (const void *hob = FindHob(guid); hob != nullptr;
         hob = GetNextGuidHob(&guid, GetNextHob(hob))) {
      ++count;
    }
    return count;
  }
  // Position of the EC write to bank/reg in the EC's write log.
  std::ptrdiff_t EcWriteIndex(uint8_t bank, uint8_t reg) const {
    const auto &writes = ec.Writes();
    const auto it =
        std::find_if(writes.begin(), writes.end(), [&](const sim::Ec::RegisterWrite &w) {
          return w.bank == bank && w.reg == reg;
        });
    return it == writes.end() ? -1 : it - writes.begin();
  }

  // What holds with or without the EC.
  void ExpectBoardSideDone() {
    for (const uint8_t pin : kPulsedSioPins) {
      SCOPED_TRACE(static_cast<int>(pin));
      const auto pulses = sio.LowIntervals(pin);
      ASSERT_EQ(pulses.size(), 1u);
      EXPECT_GE(pulses[0].LengthNs(), 10 * kMs);
      EXPECT_LT(pulses[0].LengthNs(), 11 * kMs);
      EXPECT_FALSE(sio.Pin(pin).output);
    }
    EXPECT_EQ(sio.GlobalRegister(0x1B), kSioOptionRegisterBefore | 0x80);
    EXPECT_FALSE(sio.Pin(kOptionPin).output);
    EXPECT_FALSE(sio.InConfigMode());

    EXPECT_TRUE(gpio.Driven(kPadGroup, kDrivePad));
    EXPECT_TRUE(gpio.OutputLevel(kPadGroup, kDrivePad));
    const auto reset = gpio.LowIntervals(kPulseGroup, kPulsePad);
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_GE(reset[0].LengthNs(), 100 * kMs);
    EXPECT_LT(reset[0].LengthNs(), 101 * kMs);
    // MgmtDevicePei ran first: its pulse was over before the Super I/O's began.
    EXPECT_LT(reset[0].endNs, sio.LowIntervals(kPulsedSioPins[0])[0].startNs);

    ASSERT_EQ(CountHobs(gGpioUnlockHobGuid), 1u);
    const auto *unlock = static_cast<const EFI_HOB_GUID_TYPE *>(FindHob(gGpioUnlockHobGuid));
    EXPECT_EQ(unlock->Header.HobLength, 24 + 18 * 8);
    const auto *entries = reinterpret_cast<const GPIO_UNLOCK_HOB_ENTRY *>(unlock + 1);
    for (unsigned i = 0; i < 18; ++i) {
      SCOPED_TRACE(i);
      const uint32_t expected = i == 2 ? 1u << kDrivePad : i == 4 ? 1u << kPulsePad : 0u;
      EXPECT_EQ(entries[i].PadConfigUnlocked, expected);
      EXPECT_EQ(entries[i].OutputUnlocked, 0u);
    }

    ASSERT_EQ(CountHobs(gMgmtDeviceHobGuid), 1u);
    const auto *device = static_cast<const MGMT_DEVICE_HOB *>(FindHob(gMgmtDeviceHobGuid));
    EXPECT_EQ(device->Header.Header.HobLength, sizeof(MGMT_DEVICE_HOB));
    EXPECT_EQ(device->Data.Enabled, 1);
    ASSERT_EQ(device->Data.EntryCount, 3);
    EXPECT_EQ(device->Data.Entries[0].Kind, kMgmtDeviceKindBridge);
    EXPECT_EQ(device->Data.Entries[0].Device, 0x1C);
    EXPECT_EQ(device->Data.Entries[1].Kind, kMgmtDeviceKindFunction);
    EXPECT_EQ(device->Data.Entries[1].Bus, 2);
    EXPECT_EQ(device->Data.Entries[1].BarOffset, kMgmtDeviceBar0Offset);
    EXPECT_EQ(device->Data.Entries[1].Base, 0xE000u);
    EXPECT_EQ(device->Data.Entries[2].BarOffset, kMgmtDeviceBar2Offset);
    EXPECT_EQ(device->Data.Entries[2].BarType, kMgmtDeviceBarType64);
    EXPECT_EQ(device->Data.Entries[2].Base, 0xDF000000u);
    EXPECT_EQ(device->Data.Entries[2].Length, 0x1000u);
    EXPECT_EQ(list.RefreshCalls(), 1u);
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::PmTimer timer{machine.clock(), machine.bus()};
  sim::Chipset chipset{machine, sim::Chipset::kDeviceIdH};
  PchGpioModel gpio{machine, chipset.sideband(), chipset.Series()};
  sim::SuperIo sio{machine};
  sim::Ec ec{machine};
  sim::VariableStore variables;
  sim::Pei pei{machine, variables};
  sim::PciDeviceListStandIn list{sim::DeviceBehindBridge(
      {0, 0x1C, 0}, {2, 0, 0}, {{0x10, 0xE000, 0x100, false}, {0x18, 0xDF000000, 0x1000, true}})};
  std::vector<EFI_STATUS> statuses;
};

TEST_F(PeiPhaseTest, WithTheEcEveryModuleDoesItsPart) {
  RunPhase();
  EXPECT_EQ(statuses, (std::vector<EFI_STATUS>(4, EFI_SUCCESS)));
  ExpectBoardSideDone();

  EXPECT_NE(pei.FindPpi(gEcAccessPpiGuid), nullptr);
  EXPECT_TRUE(chipset.DecodesIo(0x62) && chipset.DecodesIo(0x66) && chipset.DecodesIo(0xA00));
  EXPECT_EQ(ec.Register(kEcBankDefault, kEcBootBitsRegister),
            kEcBootBitsBefore & ~kEcBootBitsClear);
  EXPECT_EQ(ec.Register(kEcBankDefault, kEcStartRegister), 0);
  EXPECT_EQ(ec.Register(kEcOptionBank, kEcOptionRegister), kSetupOption);
  EXPECT_EQ(ec.SelectedBank(), kEcBankDefault);
  // SioGpioPei's notification ran inside EcPei's installation of the PPI,
  // before EcPei went on to clear 0xC0, and before SioSetupPei ran.
  const auto bootBits = EcWriteIndex(kEcBankDefault, kEcBootBitsRegister);
  ASSERT_GE(bootBits, 0);
  EXPECT_LT(bootBits, EcWriteIndex(kEcBankDefault, kEcStartRegister));
  EXPECT_LT(EcWriteIndex(kEcBankDefault, kEcStartRegister),
            EcWriteIndex(kEcOptionBank, kEcOptionRegister));

  ASSERT_EQ(CountHobs(gEcFlagHobGuid), 1u);
  EXPECT_EQ(static_cast<const EC_FLAG_HOB *>(FindHob(gEcFlagHobGuid))->Flag, 1);
}

TEST_F(PeiPhaseTest, WithoutTheEcTheRestStillHappens) {
  ec.SetPresent(false);
  RunPhase();
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], EFI_SUCCESS);
  EXPECT_EQ(statuses[1], EFI_SUCCESS);
  EXPECT_EQ(statuses[2], EFI_SUCCESS);
  EXPECT_EQ(statuses[3], EFI_NOT_FOUND); // SioSetupPei finds no EC_ACCESS_PPI
  ExpectBoardSideDone();

  EXPECT_EQ(pei.FindPpi(gEcAccessPpiGuid), nullptr);
  EXPECT_TRUE(ec.Writes().empty());
  EXPECT_EQ(ec.Register(kEcBankDefault, kEcBootBitsRegister), kEcBootBitsBefore);
  EXPECT_EQ(CountHobs(gEcFlagHobGuid), 0u);
}

} // namespace
