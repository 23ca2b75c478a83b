// Task priority levels, events, event groups, images, the service-table
// headers and the slots that trap.
#include "DxeFixture.h"

#include "sim/uefi/Crc32.h"

#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Protocol/LoadedImage.h>

namespace sim::test {
namespace {

EFI_GUID gReadyToBoot = EFI_EVENT_GROUP_READY_TO_BOOT;
EFI_GUID gHobList = HOB_LIST_GUID;
EFI_GUID gLoadedImage = EFI_LOADED_IMAGE_PROTOCOL_GUID;

struct Tagged {
  Log *log;
  const char *name;
};

// Logs the tag and the TPL the notify function runs at.
void EFIAPI LogNotify(EFI_EVENT, void *context) {
  auto *tagged = static_cast<Tagged *>(context);
  EFI_TPL tpl = gBS->RaiseTPL(TPL_HIGH_LEVEL);
  gBS->RestoreTPL(tpl);
  tagged->log->Add(std::string(tagged->name) + "@" + std::to_string(tpl));
}

using TplTest = DxeFixture;

TEST_F(TplTest, RestoreDispatchesHigherTplFirstThenInSignalOrder) {
  Log log;
  Tagged a{&log, "a"}, b{&log, "b"}, c{&log, "c"}, d{&log, "d"};
  RunOk([&] {
    EFI_EVENT ea = MakeNotifyEvent(TPL_CALLBACK, LogNotify, &a);
    EFI_EVENT eb = MakeNotifyEvent(TPL_NOTIFY, LogNotify, &b);
    EFI_EVENT ec = MakeNotifyEvent(TPL_CALLBACK, LogNotify, &c);
    EFI_EVENT ed = MakeNotifyEvent(TPL_NOTIFY, LogNotify, &d);
    EFI_TPL old = bs_->RaiseTPL(TPL_HIGH_LEVEL);
    EXPECT_EQ(old, static_cast<EFI_TPL>(TPL_APPLICATION));
    for (EFI_EVENT e : {ea, eb, ec, ed, ea}) {
      ASSERT_EQ(bs_->SignalEvent(e), EFI_SUCCESS);
    }
    log.Add("signalled");
    bs_->RestoreTPL(TPL_CALLBACK);
    log.Add("at callback");
    bs_->RestoreTPL(old);
  });
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"signalled", "b@16", "d@16", "at callback", "a@8", "c@8"}));
  EXPECT_EQ(dxe_->CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
}

TEST_F(TplTest, SignalBelowTheEventTplRunsAtOnceAndAtItWaits) {
  Log log;
  Tagged a{&log, "a"};
  RunOk([&] {
    EFI_EVENT ea = MakeNotifyEvent(TPL_CALLBACK, LogNotify, &a);
    ASSERT_EQ(bs_->SignalEvent(ea), EFI_SUCCESS);
    log.Add("returned");
    EFI_TPL old = bs_->RaiseTPL(TPL_CALLBACK);
    ASSERT_EQ(bs_->SignalEvent(ea), EFI_SUCCESS);
    log.Add("still at callback");
    bs_->RestoreTPL(old);
  });
  EXPECT_EQ(log.lines, (std::vector<std::string>{"a@8", "returned", "still at callback", "a@8"}));
}

TEST_F(TplTest, EventClosedWhilePendingNeverRunsAndMayCloseItself) {
  Log log;
  Tagged a{&log, "a"};
  RunOk([&] {
    EFI_EVENT ea = MakeNotifyEvent(TPL_CALLBACK, LogNotify, &a);
    EFI_TPL old = bs_->RaiseTPL(TPL_NOTIFY);
    ASSERT_EQ(bs_->SignalEvent(ea), EFI_SUCCESS);
    ASSERT_EQ(bs_->CloseEvent(ea), EFI_SUCCESS);
    bs_->RestoreTPL(old);
    EXPECT_EQ(bs_->SignalEvent(ea), EFI_INVALID_PARAMETER);

    EFI_EVENT self = MakeNotifyEvent(
        TPL_CALLBACK,
        [](EFI_EVENT event, void *context) EFIAPI {
          static_cast<Log *>(context)->Add("self");
          EXPECT_EQ(gBS->CloseEvent(event), EFI_SUCCESS);
        },
        &log);
    ASSERT_EQ(bs_->SignalEvent(self), EFI_SUCCESS);
    EXPECT_EQ(bs_->SignalEvent(self), EFI_INVALID_PARAMETER);
  });
  EXPECT_EQ(log.lines, (std::vector<std::string>{"self"}));
}

TEST_F(TplTest, RaisingToALowerTplEndsTheRunWithAFault) {
  RunOutcome outcome = Run([&] {
    bs_->RaiseTPL(TPL_NOTIFY);
    bs_->RaiseTPL(TPL_CALLBACK);
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("RaiseTPL"), std::string::npos) << outcome.detail;
}

TEST_F(TplTest, CreateEventRefusesBadArguments) {
  EFI_EVENT event = nullptr;
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, LogNotify, nullptr, &event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, LogNotify, nullptr,
                             &event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEventEx(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, LogNotify, nullptr,
                               &gReadyToBoot, &event),
            EFI_INVALID_PARAMETER);
  // Only the defined types: every bit below is known, the combination is not.
  const uint32_t undefined[] = {EVT_RUNTIME, EVT_RUNTIME | EVT_NOTIFY_SIGNAL,
                                EVT_TIMER | EVT_SIGNAL_EXIT_BOOT_SERVICES, 0x400};
  for (uint32_t type : undefined) {
    EXPECT_EQ(bs_->CreateEvent(type, TPL_CALLBACK, LogNotify, nullptr, &event),
              EFI_INVALID_PARAMETER)
        << std::hex << type;
  }
  EXPECT_EQ(bs_->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, nullptr,
                             &event),
            EFI_SUCCESS);
  EXPECT_EQ(bs_->CreateEvent(0, 0, nullptr, nullptr, &event), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(event), EFI_NOT_READY);
  ASSERT_EQ(bs_->SignalEvent(event), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(event), EFI_SUCCESS);
  EXPECT_EQ(bs_->CheckEvent(event), EFI_NOT_READY) << "CheckEvent clears the signal";
}

// UEFI's TPL restrictions: the event services below TPL_HIGH_LEVEL, the
// variable services at TPL_CALLBACK or below; a breach ends the run naming
// the service.
TEST_F(TplTest, ServicesCalledAboveTheirTplEndTheRunNamingThemselves) {
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs_->CreateEvent(0, 0, nullptr, nullptr, &event), EFI_SUCCESS);
  std::u16string text = u"Setup";
  CHAR16 *name = reinterpret_cast<CHAR16 *>(text.data());
  EFI_GUID vendor = TestGuid(30);
  UINTN size = 0;
  UINT64 a, b, c;
  struct Case {
    EFI_TPL tpl;
    std::function<void()> call;
    const char *detail;
  };
  const std::vector<Case> cases = {
      {TPL_HIGH_LEVEL, [&] { bs_->CreateEvent(0, 0, nullptr, nullptr, &event); },
       "BootServices.CreateEvent called at TPL 31, not below TPL_HIGH_LEVEL"},
      {TPL_HIGH_LEVEL, [&] { bs_->CreateEventEx(0, 0, nullptr, nullptr, &gReadyToBoot, &event); },
       "BootServices.CreateEventEx called at TPL 31, not below TPL_HIGH_LEVEL"},
      {TPL_HIGH_LEVEL, [&] { bs_->CheckEvent(event); },
       "BootServices.CheckEvent called at TPL 31, not below TPL_HIGH_LEVEL"},
      {TPL_HIGH_LEVEL, [&] { bs_->CloseEvent(event); },
       "BootServices.CloseEvent called at TPL 31, not below TPL_HIGH_LEVEL"},
      {TPL_NOTIFY, [&] { rt_->GetVariable(name, &vendor, nullptr, &size, nullptr); },
       "RuntimeServices.GetVariable called at TPL 16, above TPL_CALLBACK"},
      {TPL_NOTIFY, [&] { rt_->SetVariable(name, &vendor, 0, 0, nullptr); },
       "RuntimeServices.SetVariable called at TPL 16, above TPL_CALLBACK"},
      {TPL_NOTIFY, [&] { rt_->GetNextVariableName(&size, name, &vendor); },
       "RuntimeServices.GetNextVariableName called at TPL 16, above TPL_CALLBACK"},
      {TPL_NOTIFY, [&] { rt_->QueryVariableInfo(0, &a, &b, &c); },
       "RuntimeServices.QueryVariableInfo called at TPL 16, above TPL_CALLBACK"},
  };
  for (const Case &c : cases) {
    RunOutcome outcome = Run([&] {
      bs_->RaiseTPL(c.tpl);
      c.call();
    });
    EXPECT_EQ(outcome.kind, RunOutcome::Fault);
    EXPECT_EQ(outcome.detail, c.detail);
    NewBoot(); // the abandoned run left the TPL raised
    ASSERT_EQ(bs_->CreateEvent(0, 0, nullptr, nullptr, &event), EFI_SUCCESS);
  }
  // Just below the limits they work.
  RunOk([&] {
    bs_->RaiseTPL(TPL_CALLBACK);
    EXPECT_EQ(rt_->GetVariable(name, &vendor, nullptr, &size, nullptr), EFI_NOT_FOUND);
    bs_->RaiseTPL(TPL_NOTIFY);
    EXPECT_EQ(bs_->CheckEvent(event), EFI_NOT_READY);
    EXPECT_EQ(bs_->CloseEvent(event), EFI_SUCCESS);
    bs_->RestoreTPL(TPL_APPLICATION);
  });
}

using EventGroupTest = DxeFixture;

TEST_F(EventGroupTest, SignallingOneMemberOrTheGroupRunsEveryMemberOnce) {
  Log log;
  Tagged a{&log, "a"}, b{&log, "b"}, c{&log, "c"}, loner{&log, "loner"};
  RunOk([&] {
    EFI_EVENT ea = nullptr, eb = nullptr, ec = nullptr;
    ASSERT_EQ(
        bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &a, &gReadyToBoot, &ea),
        EFI_SUCCESS);
    ASSERT_EQ(
        bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &b, &gReadyToBoot, &eb),
        EFI_SUCCESS);
    ASSERT_EQ(
        bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &c, &gReadyToBoot, &ec),
        EFI_SUCCESS);
    MakeNotifyEvent(TPL_CALLBACK, LogNotify, &loner);
    ASSERT_EQ(bs_->CloseEvent(ec), EFI_SUCCESS);
    ASSERT_EQ(bs_->SignalEvent(eb), EFI_SUCCESS);
    log.Add("|");
    dxe_->SignalEventGroup(gReadyToBoot);
  });
  EXPECT_EQ(log.lines, (std::vector<std::string>{"a@8", "b@8", "|", "a@8", "b@8"}));
}

TEST_F(EventGroupTest, InstallingAConfigurationTableSignalsItsWholeGroup) {
  Log log;
  Tagged a{&log, "hob list"}, b{&log, "second"};
  static int hobList;
  RunOk([&] {
    EFI_EVENT event = nullptr;
    ASSERT_EQ(bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &a, &gHobList, &event),
              EFI_SUCCESS);
    ASSERT_EQ(bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &b, &gHobList, &event),
              EFI_SUCCESS);
    dxe_->AddConfigurationTable(gHobList, &hobList);
  });
  EXPECT_EQ(log.lines, (std::vector<std::string>{"hob list@8", "second@8"}));
  EFI_SYSTEM_TABLE *st = dxe_->SystemTable();
  ASSERT_EQ(st->NumberOfTableEntries, 1u);
  EXPECT_TRUE(CompareGuid(&st->ConfigurationTable[0].VendorGuid, &gHobList));
  EXPECT_EQ(st->ConfigurationTable[0].VendorTable, &hobList);
  EXPECT_EQ(bs_->InstallConfigurationTable(&gHobList, nullptr), EFI_SUCCESS);
  EXPECT_EQ(st->NumberOfTableEntries, 0u);
  EXPECT_EQ(bs_->InstallConfigurationTable(&gHobList, nullptr), EFI_NOT_FOUND);
}

using DxeTablesTest = DxeFixture;

uint32_t HeaderCrc(const EFI_TABLE_HEADER *header) {
  std::vector<uint8_t> copy(reinterpret_cast<const uint8_t *>(header),
                            reinterpret_cast<const uint8_t *>(header) + header->HeaderSize);
  reinterpret_cast<EFI_TABLE_HEADER *>(copy.data())->CRC32 = 0;
  return Crc32(copy.data(), copy.size());
}

TEST_F(DxeTablesTest, HeadersAreValidAndNoSlotIsEmpty) {
  EFI_SYSTEM_TABLE *st = dxe_->SystemTable();
  EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(bs_->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(rt_->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
  EXPECT_EQ(bs_->Hdr.HeaderSize, sizeof(EFI_BOOT_SERVICES));
  EXPECT_EQ(st->Hdr.CRC32, HeaderCrc(&st->Hdr));
  EXPECT_EQ(bs_->Hdr.CRC32, HeaderCrc(&bs_->Hdr));
  EXPECT_EQ(rt_->Hdr.CRC32, HeaderCrc(&rt_->Hdr));
  auto slots = [](const void *table, size_t size) {
    const auto *p = reinterpret_cast<void *const *>(static_cast<const uint8_t *>(table) +
                                                    sizeof(EFI_TABLE_HEADER));
    return std::vector<void *>(p, p + (size - sizeof(EFI_TABLE_HEADER)) / sizeof(void *));
  };
  for (void *slot : slots(bs_, sizeof *bs_)) {
    EXPECT_NE(slot, nullptr);
  }
  for (void *slot : slots(rt_, sizeof *rt_)) {
    EXPECT_NE(slot, nullptr);
  }
  // In guest memory, like everything firmware is handed.
  EXPECT_TRUE(machine_.memory().Contains(reinterpret_cast<uint64_t>(st), sizeof *st));
}

TEST_F(DxeTablesTest, ExitBootServicesRunsItsGroupThenEveryBootServiceIsGone) {
  Log log;
  Tagged byType{&log, "type"}, byGroup{&log, "group"}, other{&log, "ready"};
  EFI_GUID exitGroup = EFI_EVENT_GROUP_EXIT_BOOT_SERVICES;
  RunOk([&] {
    EFI_EVENT event = nullptr;
    ASSERT_EQ(bs_->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY, LogNotify, &byType,
                               &event),
              EFI_SUCCESS);
    ASSERT_EQ(
        bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &byGroup, &exitGroup, &event),
        EFI_SUCCESS);
    ASSERT_EQ(
        bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, LogNotify, &other, &gReadyToBoot, &event),
        EFI_SUCCESS);
    dxe_->ExitBootServices();
  });
  // The notify functions still had boot services; the higher TPL first.
  EXPECT_EQ(log.lines, (std::vector<std::string>{"type@16", "group@8"}));
  EXPECT_TRUE(dxe_->BootServicesExited());
  EXPECT_TRUE(machine_.memory().BootServicesExited());
  EFI_SYSTEM_TABLE *st = dxe_->SystemTable();
  EXPECT_EQ(st->BootServices, nullptr);
  EXPECT_EQ(st->ConOut, nullptr);
  EXPECT_EQ(st->Hdr.CRC32, HeaderCrc(&st->Hdr));
  EXPECT_EQ(st->RuntimeServices, rt_) << "runtime services stay";

  // A module that kept the table's address: every slot names the fault.
  RunOutcome pool = Run([&] {
    void *buffer = nullptr;
    bs_->AllocatePool(EfiBootServicesData, 16, &buffer);
    ADD_FAILURE() << "AllocatePool returned";
  });
  EXPECT_EQ(pool.kind, RunOutcome::Fault);
  EXPECT_EQ(pool.detail, "BootServices.AllocatePool called after ExitBootServices");
  RunOutcome locate = Run([&] {
    void *interface = nullptr;
    bs_->LocateProtocol(&gReadyToBoot, nullptr, &interface);
  });
  EXPECT_EQ(locate.detail, "BootServices.LocateProtocol called after ExitBootServices");
  RunOutcome copy = Run([&] {
    uint8_t a = 0, b = 1;
    bs_->CopyMem(&a, &b, 1);
  });
  EXPECT_EQ(copy.detail, "BootServices.CopyMem called after ExitBootServices");
  EXPECT_NE(bs_->Hdr.Signature, 0u) << "the table itself is still readable";
}

TEST_F(DxeTablesTest, UnemulatedSlotsEndTheRunNamingThemselves) {
  RunOutcome load = Run([&] {
    EFI_HANDLE image = nullptr;
    bs_->LoadImage(FALSE, nullptr, nullptr, nullptr, 0, &image);
    ADD_FAILURE() << "LoadImage returned";
  });
  EXPECT_EQ(load.kind, RunOutcome::Fault);
  EXPECT_EQ(load.detail, "BootServices.LoadImage is not emulated");

  RunOutcome time = Run([&] {
    EFI_TIME now;
    rt_->GetTime(&now, nullptr);
  });
  EXPECT_EQ(time.kind, RunOutcome::Fault);
  EXPECT_EQ(time.detail, "RuntimeServices.GetTime is not emulated");
}

TEST_F(DxeTablesTest, ResetSystemEndsTheRunAsAResetOrAPowerOff) {
  RunOutcome outcome = Run([&] {
    rt_->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr);
    ADD_FAILURE() << "ResetSystem returned";
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Reset);
  EXPECT_EQ(outcome.resetValue, 0x06u);
  // A shutdown is no reset: the board goes off and nothing boots after it.
  RunOutcome off = Run([&] { rt_->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr); });
  EXPECT_EQ(off.kind, RunOutcome::PowerOff);
  EXPECT_EQ(off.detail, "RuntimeServices.ResetSystem (shutdown, status 0x0)");
}

TEST_F(DxeTablesTest, StallAdvancesVirtualTimeByExactlyTheRequest) {
  const uint64_t before = machine_.clock().NowNs();
  ASSERT_EQ(bs_->Stall(1500), EFI_SUCCESS);
  EXPECT_EQ(machine_.clock().NowNs() - before, 1500000u);
}

TEST_F(DxeTablesTest, StallOfTheLargestCountEndsWithTheWatchdogAndTimeGoesOn) {
  machine_.SetWatchdog(5000000);
  machine_.clock().AdvanceNs(1000000); // the boot has been running a while
  const uint64_t before = machine_.clock().NowNs();
  RunOutcome outcome = Run([&] {
    bs_->Stall(~UINTN{0});
    ADD_FAILURE() << "Stall returned";
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Watchdog);
  EXPECT_GT(machine_.clock().NowNs(), before) << "virtual time must not wrap around";
}

TEST_F(DxeTablesTest, ImageHandleCarriesItsFilePathAndNotifiesListeners) {
  struct {
    MEDIA_FW_VOL_FILEPATH_DEVICE_PATH file;
    EFI_DEVICE_PATH_PROTOCOL end;
  } path{};
  path.file.Header.Type = MEDIA_DEVICE_PATH;
  path.file.Header.SubType = MEDIA_PIWG_FW_FILE_DP;
  SetDevicePathNodeLength(&path.file.Header, sizeof path.file);
  path.file.FvFileName = TestGuid(9);
  SetDevicePathEndNode(&path.end);

  int loads = 0;
  EFI_HANDLE image = nullptr;
  EFI_STATUS entryStatus = EFI_SUCCESS;
  RunOk([&] {
    EFI_EVENT event = MakeCountingEvent(&loads);
    void *registration = nullptr;
    ASSERT_EQ(bs_->RegisterProtocolNotify(&gLoadedImage, event, &registration), EFI_SUCCESS);
    Dxe::ImageInfo info;
    info.filePath = &path.file.Header;
    image = dxe_->NewImageHandle(info);
    entryStatus = dxe_->RunEntryPoint(
        [](EFI_HANDLE handle, EFI_SYSTEM_TABLE *st) EFIAPI -> EFI_STATUS {
          EFI_LOADED_IMAGE_PROTOCOL *loaded = nullptr;
          EFI_STATUS status =
              st->BootServices->HandleProtocol(handle, &gLoadedImage, (void **)&loaded);
          if (EFI_ERROR(status)) {
            return status;
          }
          EFI_GUID expected = TestGuid(9);
          return CompareGuid(reinterpret_cast<EFI_GUID *>(
                                 reinterpret_cast<uint8_t *>(loaded->FilePath) + 4),
                             &expected)
                     ? EFI_SUCCESS
                     : EFI_NOT_FOUND;
        },
        image);
  });
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(entryStatus, EFI_SUCCESS);
}

TEST_F(DxeTablesTest, EntryPointLeavingTheTplRaisedIsAFault) {
  RunOutcome outcome = Run([&] {
    dxe_->RunEntryPoint(
        [](EFI_HANDLE, EFI_SYSTEM_TABLE *st) EFIAPI -> EFI_STATUS {
          st->BootServices->RaiseTPL(TPL_CALLBACK);
          return EFI_SUCCESS;
        },
        dxe_->NewImageHandle());
  });
  EXPECT_EQ(outcome.kind, RunOutcome::Fault);
  EXPECT_NE(outcome.detail.find("returned at TPL 8"), std::string::npos) << outcome.detail;
}

} // namespace
} // namespace sim::test
