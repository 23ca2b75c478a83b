// The observers that turn what the devices did during a boot step into the
// step's notes, one kind of note each.
#include "StepNotes.h"

#include <Guid/EcFlagHob.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/FrameParse.h>
#include <Pi/PiHob.h>
#include <Register/EcRegisters.h>
#include <Uefi/UefiServices.h>

#include "Ec.h"
#include <sim/core/Machine.h>
#if MGMT_BOARD_HAS_DISPLAY
#include "DisplayDevice.h"
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace sim::board {

std::string Hex(uint64_t value, int width) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", width, static_cast<unsigned long long>(value));
  return text;
}

namespace {

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

} // namespace

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

namespace {

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

// ---- Observers of events ----

// An observer that listens on the trace during the step.
class EventObserver : public StepObserver, public TraceObserver {};

// Super I/O pins that went low and came back within the step, and pins left low.
class SioPinNotes : public EventObserver {
public:
  void StepStarts() override {
    lows_.clear();
    lowSince_.clear();
  }
  void OnEvent(const TraceEntry &entry) override {
    const auto *pin = entry.As<ev::SioPin>();
    if (pin == nullptr) {
      return;
    }
    if (!pin->level) {
      lowSince_[pin->pin] = entry.timeNs;
    } else if (auto since = lowSince_.find(pin->pin); since != lowSince_.end()) {
      lows_[pin->pin] = {since->second, entry.timeNs};
      lowSince_.erase(since);
    }
  }
  void StepEnds(StepRecord &step) override {
    if (!lows_.empty()) {
      std::string pins;
      uint64_t longest = 0;
      for (const auto &[pin, interval] : lows_) {
        // Pin codes are decimal: tens digit the group, units digit the bit.
        // Appended piecewise: g++ 12 at -O3 takes "..." + std::string for
        // an overlapping copy (-Wrestrict, a false positive).
        if (!pins.empty()) {
          pins += ' ';
        }
        pins += std::to_string(pin);
        longest = std::max(longest, interval.second - interval.first);
      }
      char text[160];
      std::snprintf(text, sizeof(text), "Super I/O pins %s pulsed low for %.1f ms", pins.c_str(),
                    static_cast<double>(longest) / 1e6);
      step.notes.push_back(text);
    }
    for (const auto &[pin, since] : lowSince_) {
      char text[96];
      std::snprintf(text, sizeof(text), "Super I/O pin %02X driven low", pin);
      step.notes.push_back(text);
    }
  }

private:
  std::map<uint8_t, std::pair<uint64_t, uint64_t>> lows_;
  std::map<uint8_t, uint64_t> lowSince_;
};

// Registers the board's EC was written, bank selections left out.
class EcWriteNotes : public EventObserver {
public:
  explicit EcWriteNotes(Board &board) : board_(board) {}
  void StepStarts() override { notes_.clear(); }
  void OnEvent(const TraceEntry &entry) override {
    const auto *write = entry.As<ev::EcWrite>();
    if (write == nullptr || entry.device != board_.ec().name() || write->reg == kEcBankSelect) {
      return;
    }
    notes_.push_back("EC bank " + std::to_string(write->bank) + " register " +
                     Hex(write->reg, 2) + " <- " + Hex(write->value, 2));
  }
  void StepEnds(StepRecord &step) override {
    step.notes.insert(step.notes.end(), notes_.begin(), notes_.end());
  }

private:
  Board &board_;
  std::vector<std::string> notes_;
};

// PCH pads pulsed low, driven high, or left low.
class PchPadNotes : public EventObserver {
public:
  void StepStarts() override {
    notes_.clear();
    lowAt_.clear();
  }
  void OnEvent(const TraceEntry &entry) override {
    const auto *c = entry.As<ev::GpioOutput>();
    if (c == nullptr) {
      return;
    }
    const auto key = std::make_pair(c->group, c->pad);
    char text[128];
    if (c->driven && !c->level) {
      lowAt_[key] = entry.timeNs;
      return;
    }
    if (auto low = lowAt_.find(key); low != lowAt_.end()) {
      std::snprintf(text, sizeof(text), "PCH pad %u/%u pulsed low for %.1f ms", c->group, c->pad,
                    static_cast<double>(entry.timeNs - low->second) / 1e6);
      lowAt_.erase(low);
      notes_.push_back(text);
    } else if (c->driven) {
      std::snprintf(text, sizeof(text), "PCH pad %u/%u driven high", c->group, c->pad);
      notes_.push_back(text);
    }
  }
  void StepEnds(StepRecord &step) override {
    step.notes.insert(step.notes.end(), notes_.begin(), notes_.end());
    for (const auto &[key, time] : lowAt_) {
      char text[96];
      std::snprintf(text, sizeof(text), "PCH pad %u/%u driven low", key.first, key.second);
      step.notes.push_back(text);
    }
  }

private:
  std::vector<std::string> notes_;
  std::map<std::pair<unsigned, unsigned>, uint64_t> lowAt_;
};

// What happened to the Ethernet controller's out-of-band firmware and DMA.
class ControllerEventNotes : public EventObserver {
public:
  void StepStarts() override { notes_.clear(); }
  void OnEvent(const TraceEntry &entry) override {
    if (entry.device != "nic") {
      return;
    }
    const char *what = entry.As<ev::NicOobHalt>()          ? "out-of-band firmware halted"
                       : entry.As<ev::NicOobRunning>()     ? "out-of-band firmware running"
                       : entry.As<ev::NicDmaFault>()       ? "dma_fault"
                       : entry.As<ev::NicChecksumFault>()  ? "checksum_fault"
                                                           : nullptr;
    if (what != nullptr) {
      const std::string detail = entry.Detail();
      notes_.push_back(std::string("controller: ") + what +
                       (detail.empty() ? "" : " (" + detail + ")"));
    }
  }
  void StepEnds(StepRecord &step) override {
    step.notes.insert(step.notes.end(), notes_.begin(), notes_.end());
  }

private:
  std::vector<std::string> notes_;
};

// What the modules registered notifications on.
class WaitNotes : public EventObserver {
public:
  void StepStarts() override { waits_.clear(); }
  void OnEvent(const TraceEntry &entry) override {
    const EFI_GUID *guid = nullptr;
    if (const auto *notify = entry.As<ev::DxeRegisterNotify>()) {
      guid = &notify->protocol;
    } else if (const auto *ppi = entry.As<ev::PeiNotifyPpi>()) {
      guid = &ppi->guid;
    }
    if (guid == nullptr) {
      return;
    }
    const std::string name = GuidName(*guid);
    if (waits_.find(name) == std::string::npos) {
      waits_ += (waits_.empty() ? "" : ", ") + name;
    }
  }
  void StepEnds(StepRecord &step) override {
    if (!waits_.empty()) {
      step.notes.push_back("waits for " + waits_);
    }
  }

private:
  std::string waits_;
};

// How often the controller's receiver and transmitter were turned on and
// off, and how often it came out of reset.
class ControllerUseNotes : public EventObserver {
public:
  void StepStarts() override { opens_ = closes_ = resets_ = 0; }
  void OnEvent(const TraceEntry &entry) override {
    if (entry.device != "nic") {
      return;
    }
    if (const auto *enable = entry.As<ev::NicEnable>()) {
      opens_ += enable->rx && enable->tx;
      closes_ += !enable->rx && !enable->tx;
    } else if (entry.As<ev::NicResetDone>()) {
      ++resets_;
    }
  }
  void StepEnds(StepRecord &step) override {
    if (opens_ != 0 || resets_ != 0) {
      step.notes.push_back("controller: receiver and transmitter turned on " +
                           std::to_string(opens_) + "x, off " + std::to_string(closes_) +
                           "x; reset " + std::to_string(resets_) + "x");
    }
  }

private:
  size_t opens_ = 0, closes_ = 0, resets_ = 0;
};

// ---- Observers that compare a step's start with its end ----

class HobNotes : public StepObserver {
public:
  explicit HobNotes(std::function<const void *()> hobList) : hobList_(std::move(hobList)) {}
  void StepStarts() override {
    const void *list = hobList_();
    before_ = list != nullptr ? ReadHobs(list).size() : 0;
  }
  void StepEnds(StepRecord &step) override {
    if (const void *list = hobList_()) {
      std::vector<HobRecord> hobs = ReadHobs(list);
      for (size_t i = before_; i < hobs.size(); ++i) {
        step.notes.push_back("HOB " + DescribeHob(hobs[i]));
      }
    }
  }

private:
  std::function<const void *()> hobList_;
  size_t before_ = 0;
};

#if MGMT_BOARD_HAS_DISPLAY
class DisplayNotes : public StepObserver {
public:
  explicit DisplayNotes(Board &board) : board_(board) {}
  void StepStarts() override {
    pixels_.clear();
    for (DisplayDevice *display : board_.Displays()) {
      pixels_.push_back(display->PixelsWritten());
    }
  }
  void StepEnds(StepRecord &step) override {
    std::vector<DisplayDevice *> displays = board_.Displays();
    for (size_t i = 0; i < displays.size() && i < pixels_.size(); ++i) {
      const uint64_t drawn = displays[i]->PixelsWritten() - pixels_[i];
      if (drawn != 0) {
        step.notes.push_back(displays[i]->name() + ": " + std::to_string(drawn) +
                             " pixels drawn (" + std::to_string(displays[i]->Width()) + "x" +
                             std::to_string(displays[i]->Height()) + ")");
      }
    }
  }

private:
  Board &board_;
  std::vector<uint64_t> pixels_;
};
#endif

// The requests on the wire with the answers that followed, and the notices.
class LinkTraffic : public StepObserver {
public:
  explicit LinkTraffic(Board &board) : board_(board) {}
  void StepStarts() override { before_ = board_.Wire().size(); }
  void StepEnds(StepRecord &step) override {
    const auto &wire = board_.Wire();
    for (size_t i = before_; i < wire.size(); ++i) {
      MGMT_FRAME_VIEW frame;
      MgmtParseFrame(wire[i].frame.data(), static_cast<UINT32>(wire[i].frame.size()),
                     wire[i].toBoard ? TRUE : FALSE, &frame);
      const std::vector<uint8_t> data(frame.Data, frame.Data + frame.DataLength);
      if (frame.Kind == MgmtFrameNotice) {
        ++step.noticesSent;
      } else if (frame.Kind == MgmtFrameRequest) {
        if (!step.exchanges.empty() && !step.exchanges.back().answered &&
            step.exchanges.back().code == frame.Code && step.exchanges.back().data == data) {
          ++step.exchanges.back().attempts;
        } else {
          LinkExchange exchange;
          exchange.timeNs = wire[i].timeNs;
          exchange.code = frame.Code;
          exchange.data = data;
          step.exchanges.push_back(std::move(exchange));
        }
      } else if (frame.Kind == MgmtFrameAnswer && !step.exchanges.empty() &&
                 !step.exchanges.back().answered) {
        step.exchanges.back().answered = true;
        step.exchanges.back().status = frame.Status;
        step.exchanges.back().answer = data;
      }
    }
  }

private:
  Board &board_;
  size_t before_ = 0;
};

// The variables the step created, changed or deleted.
class VariableChanges : public StepObserver {
public:
  explicit VariableChanges(Board &board) : board_(board) {}
  void StepStarts() override {
    for (const char *name : kVariableNames) {
      before_[name] = board_.variables().Read(name, *VariableGuid(name));
    }
  }
  void StepEnds(StepRecord &step) override {
    for (const char *name : kVariableNames) {
      std::optional<std::vector<uint8_t>> now = board_.variables().Read(name, *VariableGuid(name));
      const auto &old = before_.at(name);
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
  std::map<std::string, std::optional<std::vector<uint8_t>>> before_;
};

} // namespace

StepObservers::StepObservers(Board &board, std::function<const void *()> hobList)
    : trace_(board.machine().trace()) {
  auto listen = [&](std::unique_ptr<EventObserver> observer) {
    listening_.push_back(observer.get());
    trace_.AddObserver(observer.get());
    observers_.push_back(std::move(observer));
  };
  listen(std::make_unique<SioPinNotes>());
  listen(std::make_unique<EcWriteNotes>(board));
  listen(std::make_unique<PchPadNotes>());
  observers_.push_back(std::make_unique<HobNotes>(std::move(hobList)));
#if MGMT_BOARD_HAS_DISPLAY
  observers_.push_back(std::make_unique<DisplayNotes>(board));
#endif
  listen(std::make_unique<ControllerEventNotes>());
  listen(std::make_unique<WaitNotes>());
  listen(std::make_unique<ControllerUseNotes>());
  observers_.push_back(std::make_unique<LinkTraffic>(board));
  observers_.push_back(std::make_unique<VariableChanges>(board));
}

StepObservers::~StepObservers() {
  for (TraceObserver *observer : listening_) {
    trace_.RemoveObserver(observer);
  }
}

void StepObservers::StepStarts() {
  for (auto &observer : observers_) {
    observer->StepStarts();
  }
}

void StepObservers::StepEnds(StepRecord &step) {
  for (auto &observer : observers_) {
    observer->StepEnds(step);
  }
}

} // namespace sim::board
