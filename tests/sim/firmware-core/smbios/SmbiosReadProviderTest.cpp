// SMBIOS_READ_PROTOCOL as the simulator serves it: the ninth member called
// without an interface pointer, a pool copy the caller frees, the handle in
// the fourth slot, refusals that allocate nothing, a swapped table served
// from the next call, and the firmware-core members trapping by name.
#include "DefaultTable.h"
#include "SmbiosReadProvider.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/VariableStore.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace sim::smbios;

class SmbiosReadProviderTest : public ::testing::Test {
protected:
  SmbiosReadProviderTest() : scope_(machine_) {
    machine_.SetWatchdog(1'000'000'000);
    dxe_ = std::make_unique<sim::Dxe>(machine_, variables_);
    ParseResult parsed = ParseSmbiosImage(DefaultBoardImage());
    EXPECT_TRUE(parsed) << parsed.error;
    provider_ = std::make_unique<SmbiosReadProvider>(*parsed.table);
    EXPECT_EQ(provider_->Install(*dxe_), EFI_SUCCESS);
  }

  // The protocol as firmware finds it.
  SMBIOS_READ_PROTOCOL *Locate() {
    void *interface = nullptr;
    EXPECT_EQ(dxe_->BootServices()->LocateProtocol(&gSmbiosReadProtocolGuid, nullptr, &interface),
              EFI_SUCCESS);
    return static_cast<SMBIOS_READ_PROTOCOL *>(interface);
  }

  sim::RunOutcome Run(std::function<void()> body) {
    return sim::FirmwareRunner::Run(machine_, std::move(body));
  }

  sim::Machine machine_;
  sim::MachineScope scope_;
  sim::VariableStore variables_;
  std::unique_ptr<sim::Dxe> dxe_;
  std::unique_ptr<SmbiosReadProvider> provider_;
};

TEST_F(SmbiosReadProviderTest, ReadStructureCopiesIntoPoolTheCallerFrees) {
  uint64_t pool = dxe_->PoolAllocationsInUse();
  VOID *structure = nullptr;
  UINT64 reserved = 0;
  EFI_STATUS status = EFI_NOT_STARTED;
  std::vector<uint8_t> copy;
  uint64_t poolWhileHeld = 0;
  sim::RunOutcome outcome = Run([&] {
    status = Locate()->ReadStructure(17, 3, &structure, &reserved);
    const uint8_t *bytes = static_cast<const uint8_t *>(structure);
    copy.assign(bytes, bytes + provider_->table().Find(17, 3)->bytes.size());
    poolWhileHeld = dxe_->PoolAllocationsInUse();
    dxe_->BootServices()->FreePool(structure);
  });
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(copy, provider_->table().Find(17, 3)->bytes);
  EXPECT_EQ(copy[4 + 0x10 - 4], 1); // device locator is string 1
  EXPECT_EQ(reserved, 0x1102u);     // the structure's handle
  EXPECT_EQ(poolWhileHeld, pool + 1);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool);
}

TEST_F(SmbiosReadProviderTest, RefusalsAllocateNothingAndAreLogged) {
  uint64_t pool = dxe_->PoolAllocationsInUse();
  std::vector<EFI_STATUS> statuses;
  VOID *structure = nullptr;
  UINT64 reserved = 0x5555;
  sim::RunOutcome outcome = Run([&] {
    SMBIOS_READ_PROTOCOL *smbios = Locate();
    statuses.push_back(smbios->ReadStructure(17, 5, &structure, &reserved)); // only four
    statuses.push_back(smbios->ReadStructure(17, 0, &structure, &reserved)); // from 1
    statuses.push_back(smbios->ReadStructure(3, 1, &structure, &reserved));  // no type 3
    statuses.push_back(smbios->ReadStructure(0, 1, nullptr, &reserved));
  });
  ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  EXPECT_EQ(statuses, (std::vector<EFI_STATUS>{EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_NOT_FOUND,
                                               EFI_INVALID_PARAMETER}));
  EXPECT_EQ(structure, nullptr);
  EXPECT_EQ(reserved, 0x5555u);
  EXPECT_EQ(dxe_->PoolAllocationsInUse(), pool);
  ASSERT_EQ(provider_->Reads().size(), 4u);
  EXPECT_EQ(provider_->Reads()[0].type, 17);
  EXPECT_EQ(provider_->Reads()[0].instance, 5);
  EXPECT_EQ(provider_->Reads()[0].status, EFI_NOT_FOUND);
}

TEST_F(SmbiosReadProviderTest, ReadsAreTraced) {
  machine_.trace().Enable(true);
  VOID *structure = nullptr;
  UINT64 reserved = 0;
  ASSERT_EQ(Run([&] {
              Locate()->ReadStructure(4, 1, &structure, &reserved);
              dxe_->BootServices()->FreePool(structure);
            }).kind,
            sim::RunOutcome::Completed);
  std::vector<sim::TraceEntry> events = machine_.trace().Filter("smbios");
  ASSERT_EQ(events.size(), 1u);
  const auto *read = events[0].As<sim::ev::SmbiosRead>();
  ASSERT_NE(read, nullptr) << sim::FormatTraceEntry(events[0]);
  EXPECT_EQ(read->type, 4);
  EXPECT_EQ(read->instance, 1);
  EXPECT_TRUE(read->delivered);
}

TEST_F(SmbiosReadProviderTest, SwappedTableIsServedFromTheNextCall) {
  Table empty = *ParseSmbiosImage(std::vector<uint8_t>{127, 4, 0, 0, 0, 0}).table;
  provider_->SetTable(empty);
  VOID *structure = nullptr;
  UINT64 reserved = 0;
  EFI_STATUS status = EFI_SUCCESS;
  ASSERT_EQ(Run([&] { status = Locate()->ReadStructure(0, 1, &structure, &reserved); }).kind,
            sim::RunOutcome::Completed);
  EXPECT_EQ(status, EFI_NOT_FOUND);
}

TEST_F(SmbiosReadProviderTest, FirmwareCoreMembersTrapByName) {
  sim::RunOutcome outcome = Run([&] {
    auto member = reinterpret_cast<VOID(EFIAPI *)()>(Locate()->CoreMembers[6]);
    member();
  });
  EXPECT_EQ(outcome.kind, sim::RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("SMBIOS_READ_PROTOCOL.CoreMembers[6]"), std::string::npos)
      << outcome.detail;
}

} // namespace
