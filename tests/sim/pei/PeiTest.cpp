// PEI services through the table PEI modules receive: the PPI database and
// its notifications, the HOB list, PEI pool and pages, the variable and stall
// PPIs, and the slots that trap.
#include "sim/core/FirmwareRunner.h"
#include "sim/core/GuestMemory.h"
#include "sim/core/Machine.h"
#include "sim/pei/Pei.h"
#include "sim/uefi/VariableStore.h"
#include "PmTimer.h"

#include <Hw.h>
#include <Ppi/EndOfPeiPhase.h>
#include <Ppi/ReadOnlyVariable2.h>
#include <Ppi/Stall.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::test {
namespace {

EFI_GUID gAlpha = {0xA1FA0001, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}};
EFI_GUID gBeta = {0xBE7A0002, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}};
EFI_GUID gEndOfPei = EFI_PEI_END_OF_PEI_PHASE_PPI_GUID;
EFI_GUID gVariablePpi = EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID;
EFI_GUID gStallPpi = EFI_PEI_STALL_PPI_GUID;
EFI_GUID gSetupGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

int gAlphaOne, gAlphaTwo, gBetaOne;

constexpr UINTN kPpi = EFI_PEI_PPI_DESCRIPTOR_PPI;
constexpr UINTN kLast = EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
constexpr UINTN kCallback = EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK;

// What notify functions saw, in order: "<which>:<ppi interface>".
std::vector<std::pair<std::string, void *>> gSeen;

EFI_STATUS EFIAPI SeeAlpha(EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *ppi) {
  gSeen.emplace_back("alpha", ppi);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI SeeBeta(EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *ppi) {
  gSeen.emplace_back("beta", ppi);
  return EFI_SUCCESS;
}

class PeiTest : public ::testing::Test {
protected:
  PeiTest() : scope_(machine_) {
    gSeen.clear();
    pei_ = std::make_unique<Pei>(machine_, variables_, BOOT_ON_S3_RESUME);
    ps_ = pei_->PeiServices();
  }

  RunOutcome Run(std::function<void()> body) {
    return FirmwareRunner::Run(machine_, std::move(body));
  }
  void RunOk(std::function<void()> body) {
    RunOutcome outcome = Run(std::move(body));
    ASSERT_EQ(outcome.kind, RunOutcome::Completed) << outcome.detail;
  }
  const EFI_PEI_SERVICES &Services() const { return **ps_; }

  Machine machine_;
  MachineScope scope_;
  VariableStore variables_;
  std::unique_ptr<Pei> pei_;
  const EFI_PEI_SERVICES **ps_ = nullptr;
};

using PpiDatabaseTest = PeiTest;

TEST_F(PpiDatabaseTest, CallbackRunsAtOnceForAnInstalledPpiAndLaterOnEachInstallation) {
  static EFI_PEI_PPI_DESCRIPTOR alphaOne = {kPpi | kLast, &gAlpha, &gAlphaOne};
  static EFI_PEI_PPI_DESCRIPTOR alphaTwoAndBeta[] = {{kPpi, &gAlpha, &gAlphaTwo},
                                                     {kPpi | kLast, &gBeta, &gBetaOne}};
  static EFI_PEI_NOTIFY_DESCRIPTOR notifies[] = {{kCallback, &gAlpha, SeeAlpha},
                                                 {kCallback | kLast, &gBeta, SeeBeta}};
  RunOk([&] {
    ASSERT_EQ(Services().InstallPpi(ps_, &alphaOne), EFI_SUCCESS);
    ASSERT_EQ(Services().NotifyPpi(ps_, notifies), EFI_SUCCESS);
    ASSERT_EQ(gSeen.size(), 1u) << "only alpha is there yet";
    gSeen.emplace_back("|", nullptr);
    ASSERT_EQ(Services().InstallPpi(ps_, alphaTwoAndBeta), EFI_SUCCESS);
  });
  EXPECT_EQ(
      gSeen,
      (std::vector<std::pair<std::string, void *>>{
          {"alpha", &gAlphaOne}, {"|", nullptr}, {"alpha", &gAlphaTwo}, {"beta", &gBetaOne}}));
}

TEST_F(PpiDatabaseTest, LocateFindsEachInstanceAndItsDescriptor) {
  static EFI_PEI_PPI_DESCRIPTOR list[] = {{kPpi, &gAlpha, &gAlphaOne},
                                          {kPpi | kLast, &gAlpha, &gAlphaTwo}};
  ASSERT_EQ(Services().InstallPpi(ps_, list), EFI_SUCCESS);
  EFI_PEI_PPI_DESCRIPTOR *descriptor = nullptr;
  void *ppi = nullptr;
  ASSERT_EQ(Services().LocatePpi(ps_, &gAlpha, 1, &descriptor, &ppi), EFI_SUCCESS);
  EXPECT_EQ(ppi, &gAlphaTwo);
  EXPECT_EQ(descriptor, &list[1]);
  EXPECT_EQ(Services().LocatePpi(ps_, &gAlpha, 2, nullptr, &ppi), EFI_NOT_FOUND);
  EXPECT_EQ(Services().LocatePpi(ps_, &gBeta, 0, nullptr, &ppi), EFI_NOT_FOUND);

  // A list with a descriptor that is not a PPI goes in not at all.
  static EFI_PEI_PPI_DESCRIPTOR bad[] = {{kPpi, &gBeta, &gBetaOne},
                                         {kCallback | kLast, &gBeta, &gBetaOne}};
  EXPECT_EQ(Services().InstallPpi(ps_, bad), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Services().LocatePpi(ps_, &gBeta, 0, nullptr, &ppi), EFI_NOT_FOUND);
}

TEST_F(PpiDatabaseTest, ReinstallReplacesTheDescriptorAndNotifies) {
  static EFI_PEI_PPI_DESCRIPTOR oldOne = {kPpi | kLast, &gAlpha, &gAlphaOne};
  static EFI_PEI_PPI_DESCRIPTOR newOne = {kPpi | kLast, &gAlpha, &gAlphaTwo};
  static EFI_PEI_NOTIFY_DESCRIPTOR notify = {kCallback | kLast, &gAlpha, SeeAlpha};
  RunOk([&] {
    ASSERT_EQ(Services().InstallPpi(ps_, &oldOne), EFI_SUCCESS);
    ASSERT_EQ(Services().NotifyPpi(ps_, &notify), EFI_SUCCESS);
    ASSERT_EQ(Services().ReInstallPpi(ps_, &oldOne, &newOne), EFI_SUCCESS);
    EXPECT_EQ(Services().ReInstallPpi(ps_, &oldOne, &newOne), EFI_NOT_FOUND);
  });
  EXPECT_EQ(pei_->FindPpi(gAlpha), &gAlphaTwo);
  EXPECT_EQ(pei_->FindPpi(gAlpha, 1), nullptr);
  ASSERT_EQ(gSeen.size(), 2u);
  EXPECT_EQ(gSeen[1].second, &gAlphaTwo);
}

// A dispatch notification waits for the module that installed its PPI to
// return; a callback registered with it for the same PPI runs at once.
TEST_F(PpiDatabaseTest, DispatchNotifyRunsAfterTheInstallingModuleReturns) {
  static EFI_PEI_NOTIFY_DESCRIPTOR notifies[] = {
      {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH, &gAlpha, SeeAlpha},
      {kCallback | kLast, &gAlpha, SeeBeta}}; // logs as "beta"
  static EFI_PEI_PPI_DESCRIPTOR alpha = {kPpi | kLast, &gAlpha, &gAlphaOne};
  RunOk([&] {
    ASSERT_EQ(Services().NotifyPpi(ps_, notifies), EFI_SUCCESS);
    const EFI_STATUS status = pei_->RunModule(
        [](EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **ps) EFIAPI -> EFI_STATUS {
          EFI_STATUS installed = (*ps)->InstallPpi(ps, &alpha);
          gSeen.emplace_back("module returns", nullptr);
          return installed;
        },
        nullptr);
    EXPECT_EQ(status, EFI_SUCCESS);
    pei_->SignalEndOfPei();
  });
  EXPECT_EQ(gSeen, (std::vector<std::pair<std::string, void *>>{
                       {"beta", &gAlphaOne}, {"module returns", nullptr}, {"alpha", &gAlphaOne}}))
      << "the dispatch notify runs once, after the module";
}

// The end-of-PEI registration a module makes: callback and terminate flags
// together (0x80000020); the notify builds a HOB. The PEI foundation installs
// the end-of-PEI PPI after dispatching has ended, so a dispatch notification
// on it never runs; a descriptor with both bits is a callback and runs once.
TEST_F(PpiDatabaseTest, EndOfPeiRunsItsCallbacksOnlyAndOnlyWhenPeiEnds) {
  static EFI_PEI_NOTIFY_DESCRIPTOR endOfPei[] = {
      {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH, &gEndOfPei,
       [](EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) EFIAPI -> EFI_STATUS {
         gSeen.emplace_back("dispatch", nullptr);
         return EFI_SUCCESS;
       }},
      {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES, &gEndOfPei,
       [](EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) EFIAPI -> EFI_STATUS {
         gSeen.emplace_back("both bits", nullptr);
         return EFI_SUCCESS;
       }},
      {0x80000020, &gEndOfPei,
       [](EFI_PEI_SERVICES **ps, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) EFIAPI -> EFI_STATUS {
         void *hob = nullptr;
         EFI_STATUS status = (*ps)->CreateHob(const_cast<const EFI_PEI_SERVICES **>(ps),
                                              EFI_HOB_TYPE_GUID_EXTENSION, 28, &hob);
         gSeen.emplace_back("end of pei", hob);
         return status;
       }}};
  EFI_STATUS entryStatus = EFI_NOT_STARTED;
  RunOk([&] {
    entryStatus =
        pei_->RunModule([](EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **ps)
                            EFIAPI -> EFI_STATUS { return (*ps)->NotifyPpi(ps, endOfPei); },
                        nullptr);
    EXPECT_TRUE(gSeen.empty());
    pei_->SignalEndOfPei();
  });
  EXPECT_EQ(entryStatus, EFI_SUCCESS);
  ASSERT_EQ(gSeen.size(), 2u);
  EXPECT_EQ(gSeen[0].first, "both bits");
  EXPECT_EQ(gSeen[1].first, "end of pei");
  EXPECT_NE(gSeen[1].second, nullptr);
  EXPECT_EQ(GetNextHobOfType(EFI_HOB_TYPE_GUID_EXTENSION, pei_->HobList()), gSeen[1].second);
}

TEST_F(PpiDatabaseTest, TheUintnBelowTheIdtHoldsThePointerModulesReceive) {
  const EFI_PEI_SERVICES **received = nullptr;
  RunOk([&] {
    pei_->RunModule(
        [](EFI_PEI_FILE_HANDLE handle, const EFI_PEI_SERVICES **ps) EFIAPI -> EFI_STATUS {
          *static_cast<const EFI_PEI_SERVICES ***>(const_cast<void *>(handle)) = ps;
          return EFI_SUCCESS;
        },
        &received);
  });
  IDT_REGISTER idtr{};
  ReadIdtr(&idtr);
  const UINTN slot = *reinterpret_cast<const UINTN *>(idtr.Base - sizeof(UINTN));
  // The slot holds the pointer itself, not the table: one dereference gives
  // what PEIMs receive, two give the table.
  EXPECT_EQ(reinterpret_cast<const EFI_PEI_SERVICES **>(slot), received);
  EXPECT_EQ(received, ps_);
  EXPECT_NE(slot, reinterpret_cast<UINTN>(*ps_));
  EXPECT_EQ((**received).Hdr.Signature, PEI_SERVICES_SIGNATURE);
  EXPECT_TRUE(machine_.memory().Contains(slot));
  EXPECT_TRUE(machine_.memory().Contains(idtr.Base));
}

TEST_F(PpiDatabaseTest, UnemulatedSlotEndsTheRunNamingItself) {
  RunOutcome outcome = Run([&] {
    EFI_PEI_FV_HANDLE volume = nullptr;
    Services().FfsFindNextVolume(ps_, 0, &volume);
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_EQ(outcome.detail, "PeiServices.FfsFindNextVolume is not emulated");

  RunOutcome reset = Run([&] { Services().ResetSystem(ps_); });
  EXPECT_EQ(reset.kind, RunOutcome::Reset);
  RunOutcome off =
      Run([&] { Services().ResetSystem2(EfiResetShutdown, EFI_SUCCESS, 0, nullptr); });
  EXPECT_EQ(off.kind, RunOutcome::PowerOff);
}

using HobListTest = PeiTest;

TEST_F(HobListTest, PhitComesFirstAndCreatedHobsGoBeforeTheEnd) {
  auto *phit = static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(pei_->HobList());
  EXPECT_EQ(phit->Header.HobType, EFI_HOB_TYPE_HANDOFF);
  EXPECT_EQ(phit->Header.HobLength, sizeof *phit);
  EXPECT_EQ(phit->Version, static_cast<UINT32>(EFI_HOB_HANDOFF_TABLE_VERSION));
  EXPECT_EQ(phit->EfiMemoryTop - phit->EfiMemoryBottom, Pei::kDefaultMemoryBytes);

  void *first = nullptr, *second = nullptr;
  ASSERT_EQ(Services().CreateHob(ps_, EFI_HOB_TYPE_GUID_EXTENSION, 28, &first), EFI_SUCCESS);
  ASSERT_EQ(Services().CreateHob(ps_, EFI_HOB_TYPE_GUID_EXTENSION, 1056, &second), EFI_SUCCESS);
  EXPECT_EQ(GetHobLength(first), 32) << "lengths are rounded to 8 bytes";
  EXPECT_EQ(second, static_cast<uint8_t *>(first) + 32);
  for (size_t i = sizeof(EFI_HOB_GENERIC_HEADER); i < 32; i++) {
    EXPECT_EQ(static_cast<uint8_t *>(first)[i], GuestMemory::kPowerOnFill)
        << "only the header is set; the body holds what memory held";
  }
  // PEI memory, and so the HOB list DXE gets, lies below 4 GiB.
  EXPECT_LE(phit->EfiMemoryTop, GuestMemory::k4GiB);

  std::vector<UINT16> types;
  const void *hob = pei_->HobList();
  for (; !IsEndOfHobList(hob); hob = GetNextHob(hob)) {
    EXPECT_EQ(reinterpret_cast<uint64_t>(hob) % 8, 0u);
    types.push_back(GetHobType(hob));
  }
  EXPECT_EQ(types, (std::vector<UINT16>{EFI_HOB_TYPE_HANDOFF, EFI_HOB_TYPE_GUID_EXTENSION,
                                        EFI_HOB_TYPE_GUID_EXTENSION}));
  EXPECT_EQ(GetHobType(hob), EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(phit->EfiEndOfHobList, reinterpret_cast<uint64_t>(hob));
  EXPECT_EQ(phit->EfiFreeMemoryBottom, reinterpret_cast<uint64_t>(hob) + 8);

  void *list = nullptr;
  ASSERT_EQ(Services().GetHobList(ps_, &list), EFI_SUCCESS);
  EXPECT_EQ(list, phit);
  EXPECT_EQ(Services().CreateHob(ps_, EFI_HOB_TYPE_END_OF_HOB_LIST, 8, &list),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Services().CreateHob(ps_, EFI_HOB_TYPE_GUID_EXTENSION, 0xFFFF, &list),
            EFI_INVALID_PARAMETER);
}

TEST_F(HobListTest, FullMemoryRefusesHobsAndKeepsTheListWhole) {
  void *hob = nullptr;
  EFI_STATUS status = EFI_SUCCESS;
  int created = 0;
  while ((status = Services().CreateHob(ps_, EFI_HOB_TYPE_GUID_EXTENSION, 0xF000, &hob)) ==
         EFI_SUCCESS) {
    created++;
  }
  EXPECT_EQ(status, EFI_OUT_OF_RESOURCES);
  // PHIT and end-of-list HOB take the first 64 bytes.
  EXPECT_EQ(created, static_cast<int>((Pei::kDefaultMemoryBytes - 64) / 0xF000));
  int walked = 0;
  for (const void *h = GetNextHob(pei_->HobList()); !IsEndOfHobList(h); h = GetNextHob(h)) {
    walked++;
  }
  EXPECT_EQ(walked, created);
  EXPECT_LT(pei_->HobFreeBytes(), 0xF000u);
}

TEST_F(HobListTest, PoolAndPagesAreRecordedInTheHobList) {
  void *pool = nullptr;
  ASSERT_EQ(Services().AllocatePool(ps_, 13, &pool), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uint64_t>(pool) % 8, 0u);
  const auto *poolHob = static_cast<const uint8_t *>(pool) - sizeof(EFI_HOB_GENERIC_HEADER);
  EXPECT_EQ(GetHobType(poolHob), EFI_HOB_TYPE_MEMORY_POOL);
  EXPECT_EQ(GetHobLength(poolHob), 24);
  EXPECT_EQ(static_cast<uint8_t *>(pool)[12], GuestMemory::kPowerOnFill) << "pool is not cleared";
  Services().SetMem(pool, 13, 0xC3);
  EXPECT_EQ(static_cast<uint8_t *>(pool)[12], 0xC3);
  EXPECT_EQ(Services().AllocatePool(ps_, 0x10000, &pool), EFI_OUT_OF_RESOURCES);

  EFI_PHYSICAL_ADDRESS pages = 0;
  ASSERT_EQ(Services().AllocatePages(ps_, EfiBootServicesData, 2, &pages), EFI_SUCCESS);
  auto *phit = static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(pei_->HobList());
  EXPECT_EQ(pages, phit->EfiMemoryTop - 2 * GuestMemory::kPageSize);
  EXPECT_EQ(phit->EfiFreeMemoryTop, pages);
  auto *allocation = static_cast<EFI_HOB_MEMORY_ALLOCATION *>(
      GetNextHobOfType(EFI_HOB_TYPE_MEMORY_ALLOCATION, pei_->HobList()));
  ASSERT_NE(allocation, nullptr);
  EXPECT_EQ(allocation->AllocDescriptor.MemoryBaseAddress, pages);
  EXPECT_EQ(allocation->AllocDescriptor.MemoryLength, 2 * GuestMemory::kPageSize);
  EXPECT_EQ(*reinterpret_cast<const uint64_t *>(pages), 0x5A5A5A5A5A5A5A5Aull);
}

TEST_F(HobListTest, BootModeIsThePhits) {
  EFI_BOOT_MODE mode = 0;
  ASSERT_EQ(Services().GetBootMode(ps_, &mode), EFI_SUCCESS);
  EXPECT_EQ(mode, static_cast<EFI_BOOT_MODE>(BOOT_ON_S3_RESUME));
  ASSERT_EQ(Services().SetBootMode(ps_, BOOT_WITH_DEFAULT_SETTINGS), EFI_SUCCESS);
  EXPECT_EQ(static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(pei_->HobList())->BootMode,
            static_cast<EFI_BOOT_MODE>(BOOT_WITH_DEFAULT_SETTINGS));
}

using PlatformPpiTest = PeiTest;

TEST_F(PlatformPpiTest, ReadOnlyVariablePpiReadsTheStore) {
  std::vector<uint8_t> setup(2638, 0);
  setup[1987] = 0x01;
  ASSERT_EQ(variables_.Seed("Setup", gSetupGuid,
                            EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, setup),
            EFI_SUCCESS);
  EFI_PEI_READ_ONLY_VARIABLE2_PPI *ppi = nullptr;
  ASSERT_EQ(Services().LocatePpi(ps_, &gVariablePpi, 0, nullptr, (void **)&ppi), EFI_SUCCESS);
  std::u16string name = u"Setup";
  const auto *wide = reinterpret_cast<const CHAR16 *>(name.c_str());

  std::vector<uint8_t> buffer(2638);
  UINTN size = 100;
  UINT32 attributes = 0;
  EXPECT_EQ(ppi->GetVariable(ppi, wide, &gSetupGuid, &attributes, &size, buffer.data()),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2638u);
  EXPECT_EQ(attributes, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  size = buffer.size();
  ASSERT_EQ(ppi->GetVariable(ppi, wide, &gSetupGuid, nullptr, &size, buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(buffer[1987], 0x01);
  EXPECT_EQ(ppi->GetVariable(ppi, wide, &gAlpha, nullptr, &size, buffer.data()), EFI_NOT_FOUND);

  CHAR16 next[16] = {0};
  EFI_GUID guid{};
  size = sizeof next;
  ASSERT_EQ(ppi->NextVariableName(ppi, &size, next, &guid), EFI_SUCCESS);
  EXPECT_TRUE(CompareGuid(&guid, &gSetupGuid));
  EXPECT_EQ(ppi->NextVariableName(ppi, &size, next, &guid), EFI_NOT_FOUND);
}

TEST_F(PlatformPpiTest, StallPollsThePmTimerForTheWholeDelay) {
  PmTimer timer(machine_.clock(), machine_.bus());
  EFI_PEI_STALL_PPI *stall = nullptr;
  ASSERT_EQ(Services().LocatePpi(ps_, &gStallPpi, 0, nullptr, (void **)&stall), EFI_SUCCESS);
  const uint64_t before = machine_.clock().NowNs();
  RunOk([&] { ASSERT_EQ(stall->Stall(ps_, stall, 100000), EFI_SUCCESS); });
  const uint64_t waited = machine_.clock().NowNs() - before;
  EXPECT_GE(waited, 100000000u);
  EXPECT_LT(waited, 100002000u) << "the poll ends within a tick and a timer read or two of the "
                                   "deadline";
}

TEST_F(PlatformPpiTest, StallWithoutAPmTimerIsAFault) {
  EFI_PEI_STALL_PPI *stall = nullptr;
  ASSERT_EQ(Services().LocatePpi(ps_, &gStallPpi, 0, nullptr, (void **)&stall), EFI_SUCCESS);
  RunOutcome outcome = Run([&] { stall->Stall(ps_, stall, 10); });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("0x1808"), std::string::npos) << outcome.detail;
}

} // namespace
} // namespace sim::test
