// The boot sequence: each step runs on a firmware fiber between the step
// observers' start and end (StepNotes.h), which write what it did.
#include "BootRunner.h"

#include "StepNotes.h"

#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/MgmtFiles.h>
#include <MgmtLink/Commands.h>
#include <Pi/PiHob.h>
#include <Ppi/EcAccess.h>
#include <Protocol/DevicePath.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/NicIo.h>
#include <Uefi/UefiServices.h>

#include "SetupStandIns.h"
#include <sim/core/Machine.h>
#include <sim/loader/ModuleImage.h>
#include <sim/pei/Pei.h>
#include <sim/uefi/Dxe.h>

#if MGMT_BOARD_HAS_CPU
#include "ImageBoot.h"
#endif
#if MGMT_BOARD_HAS_NIC
#include "MgmtController.h"
#include "NicModel.h"
#endif
#if MGMT_BOARD_HAS_PCI_IO
#include "DevicePathBuilder.h"
#include "PciIoDevice.h"
#endif
#if MGMT_BOARD_HAS_DISPLAY
#include "DisplayDevice.h"
#endif
#if MGMT_BOARD_HAS_DISPLAY && MGMT_BOARD_HAS_PCI_IO
#include "GraphicsOutput.h"
#endif
#if MGMT_BOARD_HAS_SMBIOS
#include "SmbiosReadProvider.h"
#endif
#if MGMT_BOARD_HAS_PCI_DEVICE_LIST
#include "PciDeviceListStandIn.h"
#endif
#if MGMT_BOARD_HAS_FV
#include "BmpImage.h"
#include "FirmwareVolume.h"
#endif

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

MGMT_SIM_MODULE_IMAGE(SioGpioPei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(EcPei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(SioSetupPei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(MgmtDevicePei, EFI_PEIM_ENTRY_POINT2)
MGMT_SIM_MODULE_IMAGE(NicLinkDxe, EFI_IMAGE_ENTRY_POINT)
MGMT_SIM_MODULE_IMAGE(MgmtAgentDxe, EFI_IMAGE_ENTRY_POINT)
MGMT_SIM_MODULE_IMAGE(InventoryDxe, EFI_IMAGE_ENTRY_POINT)

namespace sim::board {

namespace {

uint8_t gFileHandles[8];

} // namespace

const char *EndingName(BootRecord::Ending ending) {
  switch (ending) {
  case BootRecord::Ending::ReadyToBoot:
    return "reached ready-to-boot";
  case BootRecord::Ending::S3Resume:
    return "resumed from S3";
  case BootRecord::Ending::Reset:
    return "reset";
  case BootRecord::Ending::Watchdog:
    return "hung (watchdog)";
  case BootRecord::Ending::Fault:
    return "fault";
  case BootRecord::Ending::PowerOff:
    return "powered off";
  }
  return "?";
}

std::string DescribeItem(uint32_t code) {
  switch (code & 0xFFFF0000u) {
  case kMgmtReadDisplayMode:
    return "display mode";
  case kMgmtWriteDisplayMode:
    return "display mode (write)";
  case kMgmtReadDisplayEnable:
    return "display-enable pair";
  case kMgmtWriteDisplayEnable:
    return "display-enable pair (write)";
  case kMgmtReadRequestWord:
    return "request word";
  case kMgmtWriteRequestWord:
    return "request word (acknowledge)";
  case kMgmtReadRangeOption:
    return "range option";
  case kMgmtWriteRangeOption:
    return "range option (write)";
  case kMgmtReadRange:
    return "address range";
  case kMgmtWriteRange:
    return "address range (write)";
  case kMgmtWriteTextItem:
    return "text item (write)";
  default:
    return "item";
  }
}

std::vector<BootRunner::ModuleInfo> BootRunner::Modules() {
  return {
      {"MgmtDevicePei", "PEI", MgmtDevicePeiImage().Present()},
      {"SioGpioPei", "PEI", SioGpioPeiImage().Present()},
      {"EcPei", "PEI", EcPeiImage().Present()},
      {"SioSetupPei", "PEI", SioSetupPeiImage().Present()},
      {"NicLinkDxe", "DXE", NicLinkDxeImage().Present()},
      {"MgmtAgentDxe", "DXE", MgmtAgentDxeImage().Present()},
      {"InventoryDxe", "DXE", InventoryDxeImage().Present()},
  };
}

RunRecord BootRunner::Run(unsigned maxBoots) {
  RunRecord run;
#if MGMT_BOARD_HAS_CPU
  if (images_ != nullptr) {
    run.imageModules = images_->Names();
    run.imageDirectory = images_->Directory();
  }
#endif
  for (unsigned number = 1; number <= maxBoots; ++number) {
    run.boots.push_back(Boot(number));
    const BootRecord &boot = run.boots.back();
    run.dmaAfterExitBootServices += boot.dmaAfterExitBootServices;
    if (boot.dmaAfterExitBootServices != 0) {
      // The OS's memory changed under it: what a booted system would not survive.
      run.failed = true;
      run.failure = "boot " + std::to_string(number) + ": " +
                    std::to_string(boot.dmaAfterExitBootServices) +
                    " DMA write(s) into the OS's memory after exit-boot-services (first: " +
                    boot.firstDmaAfterExit + ")";
    }
    if (boot.ending == BootRecord::Ending::ReadyToBoot) {
      run.reachedReadyToBoot = true;
      break;
    }
    if (boot.ending == BootRecord::Ending::S3Resume ||
        boot.ending == BootRecord::Ending::PowerOff) {
      break;
    }
    if (boot.ending == BootRecord::Ending::Watchdog || boot.ending == BootRecord::Ending::Fault) {
      run.failed = true;
      run.failure = "boot " + std::to_string(number) + ": " + boot.endStep + " " +
                    EndingName(boot.ending) + (boot.endDetail.empty() ? "" : ": ") + boot.endDetail;
      break;
    }
  }
  return run;
}

void BootRunner::WatchAfterExitBootServices(BootRecord &boot) {
  Machine &machine = board_.machine();
  if (osStart_) {
    osStart_(board_);
  }
  // The OS is starting; devices left running keep working in the meantime.
  constexpr uint64_t kSliceNs = 1'000'000;
  unsigned framesSent = 0;
  for (uint64_t watched = 0; watched < kOsWatchNs; watched += kSliceNs) {
    machine.clock().AdvanceNs(kSliceNs);
#if MGMT_BOARD_HAS_NIC
    if (board_.options().controllerSendsAfterExit && board_.controller() != nullptr) {
      board_.controller()->SendNonAnswerFrame();
      ++framesSent;
    }
    if (board_.nic() != nullptr) {
      board_.nic()->Poll();
    }
#endif
  }
  const GuestMemory &memory = machine.memory();
  boot.dmaAfterExitBootServices = memory.DmaWritesAfterExitBootServices();
  if (!memory.DmaIntrusions().empty()) {
    const GuestMemory::DmaIntrusion &first = memory.DmaIntrusions().front();
    boot.firstDmaAfterExit =
        first.device + " wrote " + std::to_string(first.length) + " bytes at " + Hex(first.address);
  }
  StepRecord &exit = boot.steps.back();
  exit.notes.push_back("boot services ended; in the next " +
                       std::to_string(kOsWatchNs / 1'000'000) + " ms devices wrote " +
                       std::to_string(boot.dmaAfterExitBootServices) +
                       " time(s) by DMA into the OS's memory" +
                       (boot.firstDmaAfterExit.empty() ? "" : " (first: " + boot.firstDmaAfterExit + ")") +
                       (framesSent == 0 ? "" : "; the controller sent " + std::to_string(framesSent) +
                                                   " frame(s) meanwhile"));
}

BootRecord BootRunner::Boot(unsigned number) {
  Machine &machine = board_.machine();
  board_.PowerOn();
  // Guest memory holds nothing across a platform reset; the models that
  // keep state across one keep it outside guest memory.
  machine.memory().Reset();

  BootRecord boot;
  boot.number = number;
  boot.bootMode = board_.options().bootMode;
  boot.startNs = machine.clock().NowNs();

  sim::Pei *peiPtr = nullptr;
  StepObservers observers(board_, [&]() -> const void * {
    return peiPtr != nullptr ? peiPtr->HobList() : nullptr;
  });
  bool ended = false;

  // Runs one step on a firmware fiber and records it; false once the boot
  // has ended (reset, watchdog, fault).
  auto step = [&](StepRecord record, const std::function<void(StepRecord &)> &body) {
    if (ended) {
      return false;
    }
    observers.StepStarts();
    record.startNs = machine.clock().NowNs();
    if (record.present) {
      record.ran = true;
      RunOutcome outcome = FirmwareRunner::Run(machine, [&] { body(record); },
                                               record.phase == "PEI"
                                                   ? FirmwareRunner::kPeiStackBytes
                                                   : FirmwareRunner::kDxeStackBytes);
      record.outcome = outcome.kind;
      record.outcomeDetail = outcome.detail;
      if (outcome.kind != RunOutcome::Completed) {
        ended = true;
        boot.endStep = record.name;
        boot.endDetail = outcome.detail;
        boot.resetValue = outcome.resetValue;
        boot.ending = outcome.kind == RunOutcome::Reset      ? BootRecord::Ending::Reset
                      : outcome.kind == RunOutcome::Watchdog ? BootRecord::Ending::Watchdog
                      : outcome.kind == RunOutcome::PowerOff ? BootRecord::Ending::PowerOff
                                                             : BootRecord::Ending::Fault;
      }
    }
    record.endNs = machine.clock().NowNs();
    observers.StepEnds(record);
    boot.steps.push_back(std::move(record));
    return !ended;
  };
  auto module = [](const char *name, const char *phase, bool present) {
    StepRecord record;
    record.name = name;
    record.phase = phase;
    record.isModule = true;
    record.present = present;
    return record;
  };
  auto core = [](const char *name, const char *phase, const char *actor = "") {
    StepRecord record;
    record.name = name;
    record.phase = phase;
    record.actor = actor;
    return record;
  };

  // ---- PEI ----
  sim::Pei pei(machine, board_.variables(), board_.options().bootMode);
  peiPtr = &pei;
#if MGMT_BOARD_HAS_CPU
  std::unique_ptr<cpu::ImageBoot> imageBoot;
  if (images_ != nullptr) {
    imageBoot = std::make_unique<cpu::ImageBoot>(machine, *images_);
  }
  auto asImage = [&](const std::string &name) { return imageBoot && imageBoot->Has(name); };
#endif
  auto runPei = [&](sim::ModuleImage &image, unsigned slot) {
    return [&, slot](StepRecord &record) {
#if MGMT_BOARD_HAS_CPU
      if (asImage(image.Name())) {
        record.status = imageBoot->RunPei(image.Name(), slot, pei);
        return;
      }
#endif
      image.Load();
      record.status =
          pei.RunModule(image.EntryPoint<std::remove_pointer_t<EFI_PEIM_ENTRY_POINT2>>(),
                        reinterpret_cast<EFI_PEI_FILE_HANDLE>(&gFileHandles[slot]));
    };
  };
#if MGMT_BOARD_HAS_PCI_DEVICE_LIST && MGMT_BOARD_HAS_NIC
  // The earlier PEI component that assigned the controller's resources.
  std::unique_ptr<PciDeviceListStandIn> deviceList;
  step(core("PCI resources", "PEI"), [&](StepRecord &record) {
    deviceList = std::make_unique<PciDeviceListStandIn>(DeviceBehindBridge(
        {kBridgeBus, kBridgeDevice, kBridgeFunction}, {kNicBus, kNicDevice, kNicFunction},
        {{kMgmtDeviceBar0Offset, kNicIoBase, NicModel::BarSize(0), false},
         {kMgmtDeviceBar2Offset, kNicMmioBase, NicModel::BarSize(2), true},
         {kMgmtDeviceBar4Offset, kNicAuxBase, NicModel::BarSize(4), true}}));
    (void)deviceList->Install(pei);
    record.notes.push_back("PCI_DEVICE_LIST_PPI installed (bridge 0:28.0, controller 1:0.0 with "
                           "3 BARs)");
  });
#endif
  // Start order: MgmtDevicePei, then SioGpioPei before EcPei so that its
  // notification fires when EcPei installs EC_ACCESS_PPI, then SioSetupPei.
  step(module("MgmtDevicePei", "PEI", MgmtDevicePeiImage().Present()),
       runPei(MgmtDevicePeiImage(), 3));
  step(module("SioGpioPei", "PEI", SioGpioPeiImage().Present()), runPei(SioGpioPeiImage(), 0));
  step(module("EcPei", "PEI", EcPeiImage().Present()), [&](StepRecord &record) {
    runPei(EcPeiImage(), 1)(record);
    bool installed = pei.FindPpi(gEcAccessPpiGuid) != nullptr;
#if MGMT_BOARD_HAS_CPU
    installed = installed || (imageBoot && imageBoot->PeiPpiInstalled(gEcAccessPpiGuid));
#endif
    record.notes.insert(record.notes.begin(),
                        installed
                            ? "EC found (signature 0xEC); EC_ACCESS_PPI installed"
                            : "no EC answered: EC_ACCESS_PPI not installed");
  });
  step(module("SioSetupPei", "PEI", SioSetupPeiImage().Present()), runPei(SioSetupPeiImage(), 2));
  step(core("end of PEI", "PEI", "MgmtDevicePei"), [&](StepRecord &) {
    pei.SignalEndOfPei();
#if MGMT_BOARD_HAS_CPU
    if (imageBoot) {
      imageBoot->SignalEndOfPei();
    }
#endif
  });
  if (!MgmtDevicePeiImage().Present()) {
    step(core("device HOB stand-in", "PEI"), [&](StepRecord &record) {
      // Without MgmtDevicePei the agent would find no HOB; the board hands
      // DXE what the device list holds for the controller and its bridge.
      record.notes.push_back("MgmtDevicePei is not in this build: the board builds "
                             "MGMT_DEVICE_HOB from its device list");
      MGMT_DEVICE_HOB *hob = nullptr;
      if (EFI_ERROR(pei.CreateHob(EFI_HOB_TYPE_GUID_EXTENSION, sizeof(MGMT_DEVICE_HOB),
                                  reinterpret_cast<void **>(&hob)))) {
        return;
      }
      std::memset(&hob->Data, 0, sizeof(hob->Data));
      hob->Header.Name = gMgmtDeviceHobGuid;
      hob->Data.Enabled = 1;
      auto add = [&](uint32_t kind, uint8_t bus, uint8_t dev, uint8_t bar, uint64_t base,
                     uint64_t length) {
        MGMT_DEVICE_HOB_ENTRY &e = hob->Data.Entries[hob->Data.EntryCount++];
        e.Kind = kind;
        e.Bus = bus;
        e.Device = dev;
        e.Function = 0;
        e.Base = base;
        e.Length = length;
        e.BarOffset = bar;
        e.BarType = bar == kMgmtDeviceBar0Offset ? 0 : kMgmtDeviceBarType64;
      };
      add(kMgmtDeviceKindBridge, kBridgeBus, kBridgeDevice, 0, 0, 0);
#if MGMT_BOARD_HAS_NIC
      add(kMgmtDeviceKindFunction, kNicBus, kNicDevice, kMgmtDeviceBar0Offset, kNicIoBase,
          NicModel::BarSize(0));
      add(kMgmtDeviceKindFunction, kNicBus, kNicDevice, kMgmtDeviceBar2Offset, kNicMmioBase,
          NicModel::BarSize(2));
      add(kMgmtDeviceKindFunction, kNicBus, kNicDevice, kMgmtDeviceBar4Offset, kNicAuxBase,
          NicModel::BarSize(4));
#endif
    });
  }
  boot.hobs = ReadHobs(pei.HobList());
  peiPtr = nullptr; // DXE steps do not add HOBs
  if (board_.options().bootMode == BOOT_ON_S3_RESUME && !ended) {
    // A resume goes back to the OS from PEI.
    boot.ending = BootRecord::Ending::S3Resume;
    boot.endStep = "end of PEI";
    boot.endNs = machine.clock().NowNs();
    return boot;
  }

  // ---- DXE ----
  sim::Dxe dxe(machine, board_.variables());
  dxe.AddConfigurationTable(gEfiHobListGuid, pei.HobList());
  std::unique_ptr<SetupBufferProvider> setupBuffer;
#if MGMT_BOARD_HAS_FV
  std::unique_ptr<FirmwareVolume> volume;
#endif
#if MGMT_BOARD_HAS_SMBIOS
  std::unique_ptr<smbios::SmbiosReadProvider> smbiosProvider;
#endif
  step(core("firmware core", "DXE"), [&](StepRecord &record) {
    setupBuffer = std::make_unique<SetupBufferProvider>(dxe);
    (void)setupBuffer->Install();
    record.notes.push_back("SETUP_BUFFER_PROTOCOL installed");
#if MGMT_BOARD_HAS_FV
    volume = std::make_unique<FirmwareVolume>(dxe);
    volume->AddRawFile(gLogoFileGuid, DefaultLogoBmp());
    (void)volume->Install();
    record.notes.push_back("firmware volume with the logo file installed");
#endif
#if MGMT_BOARD_HAS_SMBIOS
    smbiosProvider = std::make_unique<smbios::SmbiosReadProvider>(*board_.smbiosTable());
    (void)smbiosProvider->Install(dxe);
    record.notes.push_back("SMBIOS_READ_PROTOCOL installed (" +
                           std::to_string(board_.smbiosTable()->structures.size()) +
                           " structures)");
#endif
  });
  auto runDxe = [&](sim::ModuleImage &image) {
    return [&](StepRecord &record) {
#if MGMT_BOARD_HAS_CPU
      if (asImage(image.Name())) {
        record.status = imageBoot->RunDxe(image.Name(), dxe);
        return;
      }
#endif
      image.Load();
      EFI_HANDLE handle = dxe.NewImageHandle();
      record.status = dxe.RunEntryPoint(
          image.EntryPoint<std::remove_pointer_t<EFI_IMAGE_ENTRY_POINT>>(), handle);
    };
  };
  auto count = [&](const EFI_GUID &guid) {
    size_t n = 0;
    for (EFI_HANDLE handle : dxe.Handles()) {
      n += dxe.InterfaceOn(handle, guid) != nullptr;
    }
    return n;
  };
  step(module("NicLinkDxe", "DXE", NicLinkDxeImage().Present()), runDxe(NicLinkDxeImage()));
  step(module("MgmtAgentDxe", "DXE", MgmtAgentDxeImage().Present()), [&](StepRecord &record) {
    runDxe(MgmtAgentDxeImage())(record);
    if (count(gNicIoProtocolGuid) != 0) {
      record.notes.push_back("NIC_IO_PROTOCOL installed for the controller at 1:0.0");
    }
    size_t links = count(gMgmtLinkProtocolGuid);
    record.notes.push_back(links != 0 ? "NicLinkDxe's notification installed MGMT_LINK_PROTOCOL"
                                      : "management link not in use (no MGMT_LINK_PROTOCOL)");
  });
  step(module("InventoryDxe", "DXE", InventoryDxeImage().Present()), runDxe(InventoryDxeImage()));

#if MGMT_BOARD_HAS_PCI_IO
  std::vector<std::unique_ptr<PciIoDevice>> pciDevices;
  step(core("PCI enumeration", "DXE", "MgmtAgentDxe"), [&](StepRecord &record) {
    auto nicIo = std::make_unique<PciIoDevice>(
        dxe, PciIoDevice::Location{kNicBus, kNicDevice, kNicFunction},
        std::map<unsigned, uint64_t>{},
        PciDevicePath({{kBridgeDevice, kBridgeFunction}, {kNicDevice, kNicFunction}}));
    (void)nicIo->Install();
    record.notes.push_back("PCI I/O installed for the controller at 1:0.0");
    pciDevices.push_back(std::move(nicIo));
#if MGMT_BOARD_HAS_DISPLAY
    if (board_.mgmtDisplay() != nullptr) {
      auto io = std::make_unique<PciIoDevice>(
          dxe, PciIoDevice::Location{kMgmtDisplayBus, kMgmtDisplayDevice, 0});
      (void)io->Install();
      pciDevices.push_back(std::move(io));
    }
    if (board_.otherDisplay() != nullptr) {
      auto io = std::make_unique<PciIoDevice>(
          dxe, PciIoDevice::Location{kOtherDisplayBus, kOtherDisplayDevice, 0},
          std::map<unsigned, uint64_t>{}, PciDevicePath({{1, 0}, {kOtherDisplayDevice, 0}}));
      (void)io->Install();
      pciDevices.push_back(std::move(io));
    }
#endif
  });
#endif
#if MGMT_BOARD_HAS_DISPLAY && MGMT_BOARD_HAS_PCI_IO
  std::vector<std::unique_ptr<GraphicsOutput>> outputs;
  step(core("graphics outputs", "DXE", "MgmtAgentDxe"), [&](StepRecord &record) {
    for (auto &device : pciDevices) {
      DisplayDevice *display = nullptr;
      if (device->location().bus == kMgmtDisplayBus &&
          device->location().device == kMgmtDisplayDevice) {
        display = board_.mgmtDisplay();
      } else if (device->location().bus == kOtherDisplayBus) {
        display = board_.otherDisplay();
      }
      if (display == nullptr) {
        continue;
      }
      auto output = std::make_unique<GraphicsOutput>(dxe, *display, device->DevicePath());
      (void)output->Install();
      record.notes.push_back("graphics output installed for " + display->name());
      outputs.push_back(std::move(output));
    }
    for (auto &output : outputs) {
      if (!output->GopInstalled()) {
        record.notes.push_back("the agent withdrew the graphics output of " +
                               output->display().name());
      }
    }
  });
#endif
  step(core("logo trigger", "DXE", "MgmtAgentDxe"),
       [&](StepRecord &) { (void)InstallLogoTrigger(dxe); });
  step(core("setup pull trigger", "DXE", "MgmtAgentDxe"),
       [&](StepRecord &) { (void)InstallSetupPullTrigger(dxe); });
  step(core("setup push trigger", "DXE", "MgmtAgentDxe"),
       [&](StepRecord &) { (void)InstallSetupPushTrigger(dxe); });
  step(core("ready-to-boot", "DXE", "InventoryDxe"),
       [&](StepRecord &) { dxe.SignalEventGroup(gEfiEventReadyToBootGuid); });
  step(core("firmware-core driver", "DXE", "MgmtAgentDxe"), [&](StepRecord &record) {
    struct {
      MEDIA_FW_VOL_FILEPATH_DEVICE_PATH file;
      EFI_DEVICE_PATH_PROTOCOL end;
    } path{};
    path.file.Header.Type = MEDIA_DEVICE_PATH;
    path.file.Header.SubType = MEDIA_PIWG_FW_FILE_DP;
    path.file.Header.Length[0] = sizeof(path.file);
    path.file.FvFileName = gFirmwareCoreDriverFileGuid;
    path.end.Type = END_DEVICE_PATH_TYPE;
    path.end.SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
    path.end.Length[0] = sizeof(path.end);
    sim::Dxe::ImageInfo info;
    info.filePath = &path.file.Header;
    size_t linksBefore = count(gMgmtLinkProtocolGuid);
    (void)dxe.NewImageHandle(info);
    size_t linksAfter = count(gMgmtLinkProtocolGuid);
    if (linksBefore != linksAfter) {
      record.notes.push_back("loaded: the agent removed " +
                             std::to_string(linksBefore - linksAfter) +
                             " link interface(s) and hid the management devices");
    }
  });
  if (!ended) {
    boot.poolBytesAtExit = dxe.PoolBytesInUse();
    boot.pagesAtExit = dxe.PagesInUse();
  }
  step(core("exit boot services", "DXE"), [&](StepRecord &) { dxe.ExitBootServices(); });
  if (!ended) {
    boot.ending = BootRecord::Ending::ReadyToBoot;
    WatchAfterExitBootServices(boot);
  }
  boot.endNs = machine.clock().NowNs();
  return boot;
}

} // namespace sim::board
