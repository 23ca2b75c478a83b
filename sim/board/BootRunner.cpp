// The boot sequence and the bookkeeping around each step: snapshots of the
// models, the variable store, the HOB list and the wire before a step, and
// the differences after it turned into notes.
#include "BootRunner.h"

#include <Guid/EcFlagHob.h>
#include <Guid/EventGroup.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/HobList.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/MgmtFiles.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>
#include <Pi/PiHob.h>
#include <Ppi/EcAccess.h>
#include <Protocol/DevicePath.h>
#include <Protocol/MgmtLink.h>
#include <Protocol/NicIo.h>
#include <Uefi/UefiServices.h>

#include "Ec.h"
#include "SetupStandIns.h"
#include "SuperIo.h"
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
#if MGMT_BOARD_HAS_PCH_GPIO
#include "PchGpioModel.h"
#endif

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
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

std::string Hex(uint64_t value, int width = 0) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", width, static_cast<unsigned long long>(value));
  return text;
}

std::string Bytes(const std::vector<uint8_t> &bytes, size_t max = 16) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    char b[4];
    std::snprintf(b, sizeof(b), "%02X", bytes[i]);
    text += (i ? " " : "") + std::string(b);
  }
  if (bytes.size() > max) {
    text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  }
  return text.empty() ? "(none)" : text;
}

const char *kVariableNames[] = {"Setup", "AcceVar", "NetworkStackVar"};
const EFI_GUID *VariableGuid(const std::string &name) {
  if (name == "Setup") {
    return &gSetupVariableGuid;
  }
  if (name == "AcceVar") {
    return &gAcceVarGuid;
  }
  return &gNetworkStackVarGuid;
}

std::string GuidHobName(const EFI_GUID &guid) {
  if (CompareGuid(&guid, &gMgmtDeviceHobGuid)) {
    return "MGMT_DEVICE_HOB";
  }
  if (CompareGuid(&guid, &gEcFlagHobGuid)) {
    return "EC_FLAG_HOB";
  }
  if (CompareGuid(&guid, &gGpioUnlockHobGuid)) {
    return "GPIO_UNLOCK_HOB";
  }
  char text[40];
  std::snprintf(text, sizeof(text), "GUID %08X-%04X-%04X", guid.Data1, guid.Data2, guid.Data3);
  return text;
}

// GUID-extension HOBs of the list (the PHIT and memory HOBs are the PEI
// core's own). Walks by length and stops at anything malformed.
std::vector<HobRecord> ReadHobs(const void *hobList) {
  std::vector<HobRecord> hobs;
  const uint8_t *p = static_cast<const uint8_t *>(hobList);
  for (int guard = 0; p != nullptr && guard < 4096; ++guard) {
    const auto *header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(p);
    if (header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || header->HobLength < 8) {
      break;
    }
    if (header->HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        header->HobLength >= sizeof(EFI_HOB_GUID_TYPE)) {
      const auto *guidHob = reinterpret_cast<const EFI_HOB_GUID_TYPE *>(p);
      HobRecord record;
      record.type = header->HobType;
      record.length = header->HobLength;
      record.name = GuidHobName(guidHob->Name);
      record.data.assign(p + sizeof(EFI_HOB_GUID_TYPE), p + header->HobLength);
      hobs.push_back(std::move(record));
    }
    p += header->HobLength;
  }
  return hobs;
}

std::string DescribeHob(const HobRecord &hob) {
  std::string text = hob.name + " (" + std::to_string(hob.length) + " bytes)";
  if (hob.name == "MGMT_DEVICE_HOB" && hob.data.size() >= 8) {
    text += ": Enabled " + std::to_string(hob.data[0]) + ", " + std::to_string(hob.data[1]) +
            " entries";
    const size_t count = std::min<size_t>(hob.data[1], kMgmtDeviceHobMaxEntries);
    for (size_t i = 0; i < count && 8 + (i + 1) * sizeof(MGMT_DEVICE_HOB_ENTRY) <= hob.data.size();
         ++i) {
      MGMT_DEVICE_HOB_ENTRY entry;
      std::memcpy(&entry, &hob.data[8 + i * sizeof(entry)], sizeof(entry));
      char line[96];
      std::snprintf(line, sizeof(line), " [%s %u:%u.%u", entry.Kind == 2 ? "bridge" : "function",
                    entry.Bus, entry.Device, entry.Function);
      text += line;
      if (entry.Length != 0) {
        text += " BAR@" + Hex(entry.BarOffset, 2) + " " + Hex(entry.Base) + "+" + Hex(entry.Length);
      }
      text += "]";
    }
  } else if (hob.name == "EC_FLAG_HOB" && !hob.data.empty()) {
    text += ": Flag " + std::to_string(hob.data[0]);
  } else if (hob.name == "GPIO_UNLOCK_HOB") {
    size_t unlocked = 0;
    const size_t entries = hob.data.size() / sizeof(GPIO_UNLOCK_HOB_ENTRY);
    for (size_t i = 0; i < entries; ++i) {
      GPIO_UNLOCK_HOB_ENTRY entry;
      std::memcpy(&entry, &hob.data[i * sizeof(entry)], sizeof(entry));
      unlocked +=
          __builtin_popcount(entry.PadConfigUnlocked) + __builtin_popcount(entry.OutputUnlocked);
    }
    text += ": " + std::to_string(entries) + " entries, " + std::to_string(unlocked) +
            " lock bits left open";
  } else if (!hob.data.empty()) {
    text += ": " + Bytes(hob.data, 8);
  }
  return text;
}

// Readable names of the GUIDs the modules register notifications on, by
// their first 32 bits.
std::string GuidName(const EFI_GUID &guid) {
  static const std::map<uint32_t, std::string> names = {
      {0x15667DA9, "NIC_IO_PROTOCOL"},        {0x5B1B31A1, "loaded images"},
      {0x1341D592, "MGMT_LINK_PROTOCOL"},     {0x4CF5B200, "PCI I/O"},
      {0x3677770F, "the logo trigger"},       {0x9042A9DE, "graphics outputs"},
      {0x56A12F31, "the setup-pull trigger"}, {0xF7AE935C, "the setup-push trigger"},
      {0xFB4F9AF6, "EC_ACCESS_PPI"},          {0x605EA650, "end of PEI"},
  };
  auto it = names.find(guid.Data1);
  return it != names.end() ? it->second : TraceGuidText(guid);
}

struct Snapshot {
  std::map<std::string, std::optional<std::vector<uint8_t>>> variables;
  size_t pinChanges = 0;
  size_t ecWrites = 0;
  size_t gpioChanges = 0;
  size_t trace = 0;
  std::vector<uint64_t> pixels;
  std::vector<bool> gopInstalled;
  size_t wire = 0;
  size_t hobs = 0;
  uint64_t timeNs = 0;
};

// The frames board -> controller and back, read as the link protocol.
struct LinkFrame {
  enum Kind { Notice, Request, Answer, Other } kind = Other;
  uint32_t code = 0; // requests: command code; notices: tag
  std::vector<uint8_t> data;
  uint16_t status = 0;
};

LinkFrame ParseLinkFrame(const WireFrame &wire) {
  LinkFrame parsed;
  const std::vector<uint8_t> &f = wire.frame;
  if (f.size() < 42 || f[12] != 0x08 || f[13] != 0x00 || f[23] != 17) {
    return parsed;
  }
  const size_t udp = 14 + size_t{f[14] & 0x0Fu} * 4;
  if (f.size() < udp + 8) {
    return parsed;
  }
  const uint16_t dstPort = static_cast<uint16_t>(f[udp + 2] << 8 | f[udp + 3]);
  const size_t udpLength = static_cast<size_t>(f[udp + 4] << 8 | f[udp + 5]);
  const size_t end = std::min(f.size(), udp + std::max<size_t>(udpLength, 8));
  const size_t payload = udp + 8;
  if (wire.toBoard) {
    if (dstPort != 50000 || end < payload + 2) {
      return parsed;
    }
    parsed.kind = LinkFrame::Answer;
    parsed.status = static_cast<uint16_t>(f[payload] | f[payload + 1] << 8);
    parsed.data.assign(f.begin() + payload + 2, f.begin() + end);
    return parsed;
  }
  if (dstPort != 60000 || end < payload + 6) {
    return parsed;
  }
  const size_t length = static_cast<size_t>(f[payload + 4] << 8 | f[payload + 5]);
  const size_t body = payload + 6;
  const size_t bodyEnd = std::min(end, body + length);
  if (f[payload] == 0xB5 && f[payload + 1] == 0xB5 && bodyEnd >= body + 4) {
    parsed.kind = LinkFrame::Request;
    parsed.code = static_cast<uint32_t>(f[body] | f[body + 1] << 8 | f[body + 2] << 16 |
                                        uint32_t{f[body + 3]} << 24);
    parsed.data.assign(f.begin() + body + 4, f.begin() + bodyEnd);
  } else if (f[payload] == 0xA5 && f[payload + 1] == 0xA5 && bodyEnd >= body + 4) {
    parsed.kind = LinkFrame::Notice;
    parsed.code =
        static_cast<uint32_t>(f[body] << 24 | f[body + 1] << 16 | f[body + 2] << 8 | f[body + 3]);
    parsed.data.assign(f.begin() + body + 4, f.begin() + bodyEnd);
  }
  return parsed;
}

class Recorder {
public:
  Recorder(Board &board, sim::Pei *&pei) : board_(board), pei_(pei) {}

  Snapshot Take() {
    Snapshot s;
    for (const char *name : kVariableNames) {
      s.variables[name] = board_.variables().Read(name, *VariableGuid(name));
    }
    s.pinChanges = board_.superio().PinHistory().size();
    s.ecWrites = board_.ec().Writes().size();
#if MGMT_BOARD_HAS_PCH_GPIO
    s.gpioChanges = board_.pchGpio()->OutputHistory().size();
#endif
    s.wire = board_.Wire().size();
    s.trace = board_.machine().trace().Entries().size();
#if MGMT_BOARD_HAS_DISPLAY
    for (DisplayDevice *display : board_.Displays()) {
      s.pixels.push_back(display->PixelsWritten());
    }
#endif
    s.hobs = pei_ != nullptr ? ReadHobs(pei_->HobList()).size() : 0;
    s.timeNs = board_.machine().clock().NowNs();
    return s;
  }

  void Diff(const Snapshot &before, StepRecord &step) {
    // Super I/O pins that went low and came back within the step.
    std::map<uint8_t, std::pair<uint64_t, uint64_t>> lows;
    const auto &history = board_.superio().PinHistory();
    std::map<uint8_t, uint64_t> lowSince;
    for (size_t i = before.pinChanges; i < history.size(); ++i) {
      const SuperIo::PinChange &change = history[i];
      if (!change.state.level) {
        lowSince[change.pin] = change.timeNs;
      } else if (lowSince.count(change.pin)) {
        lows[change.pin] = {lowSince[change.pin], change.timeNs};
        lowSince.erase(change.pin);
      }
    }
    if (!lows.empty()) {
      std::string pins;
      uint64_t longest = 0;
      for (const auto &[pin, interval] : lows) {
        // Pin codes are decimal: tens digit the group, units digit the bit.
        pins += (pins.empty() ? "" : " ") + std::to_string(pin);
        longest = std::max(longest, interval.second - interval.first);
      }
      char text[160];
      std::snprintf(text, sizeof(text), "Super I/O pins %s pulsed low for %.1f ms", pins.c_str(),
                    static_cast<double>(longest) / 1e6);
      step.notes.push_back(text);
    }
    for (const auto &[pin, since] : lowSince) {
      char text[96];
      std::snprintf(text, sizeof(text), "Super I/O pin %02X driven low", pin);
      step.notes.push_back(text);
    }
    const auto &ecWrites = board_.ec().Writes();
    for (size_t i = before.ecWrites; i < ecWrites.size(); ++i) {
      const Ec::RegisterWrite &w = ecWrites[i];
      if (w.reg == 0xFF) {
        continue; // bank selection
      }
      step.notes.push_back("EC bank " + std::to_string(w.bank) + " register " + Hex(w.reg, 2) +
                           " <- " + Hex(w.value, 2));
    }
#if MGMT_BOARD_HAS_PCH_GPIO
    {
      const auto &changes = board_.pchGpio()->OutputHistory();
      std::map<std::pair<unsigned, unsigned>, uint64_t> lowAt;
      for (size_t i = before.gpioChanges; i < changes.size(); ++i) {
        const PchGpioModel::OutputChange &c = changes[i];
        const auto key = std::make_pair(c.group, c.pad);
        char text[128];
        if (c.driven && !c.level) {
          lowAt[key] = c.timeNs;
          continue;
        }
        if (lowAt.count(key)) {
          std::snprintf(text, sizeof(text), "PCH pad %u/%u pulsed low for %.1f ms", c.group, c.pad,
                        static_cast<double>(c.timeNs - lowAt[key]) / 1e6);
          lowAt.erase(key);
          step.notes.push_back(text);
        } else if (c.driven) {
          std::snprintf(text, sizeof(text), "PCH pad %u/%u driven high", c.group, c.pad);
          step.notes.push_back(text);
        }
      }
      for (const auto &[key, time] : lowAt) {
        char text[96];
        std::snprintf(text, sizeof(text), "PCH pad %u/%u driven low", key.first, key.second);
        step.notes.push_back(text);
      }
    }
#endif
    if (pei_ != nullptr) {
      std::vector<HobRecord> hobs = ReadHobs(pei_->HobList());
      for (size_t i = before.hobs; i < hobs.size(); ++i) {
        step.notes.push_back("HOB " + DescribeHob(hobs[i]));
      }
    }
#if MGMT_BOARD_HAS_DISPLAY
    {
      std::vector<DisplayDevice *> displays = board_.Displays();
      for (size_t i = 0; i < displays.size() && i < before.pixels.size(); ++i) {
        const uint64_t drawn = displays[i]->PixelsWritten() - before.pixels[i];
        if (drawn != 0) {
          step.notes.push_back(displays[i]->name() + ": " + std::to_string(drawn) +
                               " pixels drawn (" + std::to_string(displays[i]->Width()) + "x" +
                               std::to_string(displays[i]->Height()) + ")");
        }
      }
    }
#endif
    // What the Ethernet controller was told to do.
    {
      const auto &entries = board_.machine().trace().Entries();
      size_t opens = 0, closes = 0, resets = 0;
      for (size_t i = before.trace; i < entries.size(); ++i) {
        const TraceEntry &e = entries[i];
        if (e.kind != TraceEntry::Event || e.device != "nic") {
          continue;
        }
        if (const auto *enable = e.As<ev::NicEnable>()) {
          opens += enable->rx && enable->tx;
          closes += !enable->rx && !enable->tx;
        } else if (e.As<ev::NicResetDone>()) {
          ++resets;
        } else if (e.As<ev::NicOobHalt>() || e.As<ev::NicOobRunning>() ||
                   e.As<ev::NicDmaFault>() || e.As<ev::NicChecksumFault>()) {
          const std::string what = e.As<ev::NicOobHalt>()      ? "out-of-band firmware halted"
                                   : e.As<ev::NicOobRunning>() ? "out-of-band firmware running"
                                                               : e.EventName() + 4;
          const std::string detail = e.Detail();
          step.notes.push_back("controller: " + what +
                               (detail.empty() ? "" : " (" + detail + ")"));
        }
      }
      std::string waits;
      for (size_t i = before.trace; i < entries.size(); ++i) {
        const TraceEntry &e = entries[i];
        const EFI_GUID *guid = nullptr;
        if (const auto *notify = e.As<ev::DxeRegisterNotify>()) {
          guid = &notify->protocol;
        } else if (const auto *ppi = e.As<ev::PeiNotifyPpi>()) {
          guid = &ppi->guid;
        }
        if (guid != nullptr) {
          const std::string name = GuidName(*guid);
          if (waits.find(name) == std::string::npos) {
            waits += (waits.empty() ? "" : ", ") + name;
          }
        }
      }
      if (!waits.empty()) {
        step.notes.push_back("waits for " + waits);
      }
      if (opens != 0 || resets != 0) {
        step.notes.push_back("controller: receiver and transmitter turned on " +
                             std::to_string(opens) + "x, off " + std::to_string(closes) +
                             "x; reset " + std::to_string(resets) + "x");
      }
    }
    // Link traffic.
    const auto &wire = board_.Wire();
    for (size_t i = before.wire; i < wire.size(); ++i) {
      LinkFrame frame = ParseLinkFrame(wire[i]);
      if (frame.kind == LinkFrame::Notice) {
        ++step.noticesSent;
      } else if (frame.kind == LinkFrame::Request) {
        if (!step.exchanges.empty() && !step.exchanges.back().answered &&
            step.exchanges.back().code == frame.code && step.exchanges.back().data == frame.data) {
          ++step.exchanges.back().attempts;
        } else {
          LinkExchange exchange;
          exchange.timeNs = wire[i].timeNs;
          exchange.code = frame.code;
          exchange.data = frame.data;
          step.exchanges.push_back(std::move(exchange));
        }
      } else if (frame.kind == LinkFrame::Answer && !step.exchanges.empty() &&
                 !step.exchanges.back().answered) {
        step.exchanges.back().answered = true;
        step.exchanges.back().status = frame.status;
        step.exchanges.back().answer = frame.data;
      }
    }
    // Variables.
    for (const char *name : kVariableNames) {
      std::optional<std::vector<uint8_t>> now = board_.variables().Read(name, *VariableGuid(name));
      const auto &old = before.variables.at(name);
      if (now != old) {
        VariableChange change;
        change.name = name;
        change.existed = old.has_value();
        change.exists = now.has_value();
        change.oldValue = old.value_or(std::vector<uint8_t>{});
        change.newValue = now.value_or(std::vector<uint8_t>{});
        step.variables.push_back(std::move(change));
      }
    }
  }

private:
  Board &board_;
  sim::Pei *&pei_;
};

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
  Recorder recorder(board_, peiPtr);
  bool ended = false;

  // Runs one step on a firmware fiber and records it; false once the boot
  // has ended (reset, watchdog, fault).
  auto step = [&](StepRecord record, const std::function<void(StepRecord &)> &body) {
    if (ended) {
      return false;
    }
    Snapshot before = recorder.Take();
    record.startNs = before.timeNs;
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
    recorder.Diff(before, record);
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
