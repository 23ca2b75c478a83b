// Shared ground for the agent's suites: a board with the PM timer and reset
// control, a DXE phase whose tables the agent's module globals point at, Setup
// and device-HOB builders, and a small working MGMT_LINK_PROTOCOL whose far
// end is a table of configuration items (for the request layer and the
// exchanges, where the transport is not what is under test).
#pragma once

#include <gtest/gtest.h>

#include <Board/BoardConfig.h>
#include <Guid/HobList.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>
#include <Pi/PiHob.h>
#include <Protocol/MgmtLink.h>

#include "AgentInternal.h"
#include "FirmwareRunner.h"
#include "Machine.h"
#include "PmTimer.h"
#include "ResetControl.h"
#include "uefi/Dxe.h"
#include "uefi/VariableStore.h"

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace agent_test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kNvBsRt = 7; // non-volatile, boot-service and runtime access
inline const EFI_GUID kSetupGuid = SETUP_VARIABLE_GUID;
inline const EFI_GUID kAcceVarGuid = ACCE_VAR_GUID;
inline const EFI_GUID kNetworkStackVarGuid = NETWORK_STACK_VAR_GUID;

// A Setup buffer with the link in use and everything else neutral.
inline Bytes LinkInUseSetup() {
  Bytes setup(kSetupVariableSize, 0);
  AgentWriteUint32(setup.data() + SetupOffset::MgmtLinkPollCount, kMgmtDefaultPollCount);
  setup[SetupOffset::MgmtFirstStartMark] = kMgmtFirstStartDone;
  setup[SetupOffset::MgmtOobEnable] = 1;
  setup[SetupOffset::MgmtAgentEnable] = 1;
  setup[SetupOffset::MgmtDisplayMode] = kMgmtDisplayModeLeaveAlone;
  return setup;
}

// UTF-16 little-endian text into a Setup field (terminator included when it fits).
inline void PutText(Bytes &setup, uint32_t offset, const std::string &text, size_t fieldBytes) {
  for (size_t i = 0; i * 2 < fieldBytes; i++) {
    const uint16_t unit = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    setup[offset + 2 * i] = static_cast<uint8_t>(unit);
    setup[offset + 2 * i + 1] = static_cast<uint8_t>(unit >> 8);
  }
}

// The text of a Setup field, up to its terminator or its end.
inline std::string GetText(const Bytes &setup, uint32_t offset, size_t fieldBytes) {
  std::string text;
  for (size_t i = 0; i * 2 < fieldBytes; i++) {
    const uint16_t unit = setup[offset + 2 * i] | (setup[offset + 2 * i + 1] << 8);
    if (unit == 0) {
      break;
    }
    text.push_back(static_cast<char>(unit));
  }
  return text;
}

inline void PutRange(Bytes &setup, uint32_t k, const std::string &first, const std::string &last) {
  PutText(setup, MgmtRangeFirst(k), first, kSetupMgmtRangeFieldSize);
  PutText(setup, MgmtRangeLast(k), last, kSetupMgmtRangeFieldSize);
}

inline uint32_t Le32(const uint8_t *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// ---------------------------------------------------------------------------
// A working MGMT_LINK_PROTOCOL. Its far end keeps items by read code (and a
// parameter byte for the indexed range item), answers reads with status 0
// and the item's bytes, stores writes under the read code, and logs every
// call. Faults: refusals per code, silence, scripted transport failures.

struct LinkCall {
  Bytes request;
  uint32_t polls;
  uint16_t capacity;
};

struct ItemWrite {
  uint32_t code;
  Bytes data;
};

class FakeLink {
public:
  FakeLink() {
    protocol_.SetOobMode = &SetOobMode;
    protocol_.ConfigureOob = &ConfigureOob;
    protocol_.Send = &Send;
    protocol_.GetStatus = &GetStatus;
    protocol_.Open = &Open;
    protocol_.Transact = &Transact;
  }
  FakeLink(const FakeLink &) = delete;
  FakeLink &operator=(const FakeLink &) = delete;

  MGMT_LINK_PROTOCOL *Protocol() { return &protocol_; }
  MGMT_LINK_TRANSACT OwnTransact() const { return &Transact; }

  // ---- the controller's items ----
  void SetItem(uint32_t readCode, Bytes value) { items_[{readCode, -1}] = std::move(value); }
  void SetRange(uint8_t index, Bytes value) { items_[{kMgmtReadRange, index}] = std::move(value); }
  std::optional<Bytes> Item(uint32_t readCode, int parameter = -1) const {
    auto it = items_.find({readCode, parameter});
    return it == items_.end() ? std::nullopt : std::optional<Bytes>(it->second);
  }
  void Refuse(uint32_t code, uint16_t status = 4) { refused_[code] = status; }
  void SetSilent(bool silent) { silent_ = silent; }
  void SetSilentFor(uint32_t code) { silentFor_.insert(code); }
  // The next Transact calls return these statuses without doing anything.
  void FailNext(std::initializer_list<EFI_STATUS> statuses) {
    failures_.insert(failures_.end(), statuses);
  }
  // Overrides the answer of every request (status word and data included).
  void SetRawAnswer(std::optional<Bytes> answer) { rawAnswer_ = std::move(answer); }

  // ---- what happened ----
  const std::vector<LinkCall> &Calls() const { return calls_; }
  const std::vector<ItemWrite> &Writes() const { return writes_; }
  std::vector<ItemWrite> WritesOf(uint32_t code) const {
    std::vector<ItemWrite> out;
    for (const auto &w : writes_) {
      if (w.code == code) {
        out.push_back(w);
      }
    }
    return out;
  }
  const std::vector<std::pair<uint8_t, uint32_t>> &Opens() const { return opens_; }
  // Codes of the requests that reached the far end, in order.
  std::vector<uint32_t> Codes() const {
    std::vector<uint32_t> out;
    for (const auto &c : calls_) {
      if (c.request.size() >= 4) {
        out.push_back(Le32(c.request.data()));
      }
    }
    return out;
  }
  bool IsOpen() const { return open_; }
  size_t Attempts() const { return attempts_; }

private:
  static FakeLink *Self(MGMT_LINK_PROTOCOL *This) { return reinterpret_cast<FakeLink *>(This); }

  static EFI_STATUS EFIAPI SetOobMode(MGMT_LINK_PROTOCOL *, UINT8) { return EFI_UNSUPPORTED; }
  static EFI_STATUS EFIAPI ConfigureOob(MGMT_LINK_PROTOCOL *, UINT8) { return EFI_UNSUPPORTED; }
  static EFI_STATUS EFIAPI Send(MGMT_LINK_PROTOCOL *, CONST VOID *, UINT16) {
    return EFI_UNSUPPORTED;
  }
  static EFI_STATUS EFIAPI GetStatus(MGMT_LINK_PROTOCOL *, UINT8 *) { return EFI_UNSUPPORTED; }
  static EFI_STATUS EFIAPI Open(MGMT_LINK_PROTOCOL *This, UINT8 Enable, UINT32 Tag) {
    FakeLink *self = Self(This);
    self->opens_.push_back({Enable, Tag});
    if ((Enable != 0) == self->open_) {
      return EFI_INVALID_PARAMETER;
    }
    self->open_ = Enable != 0;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Transact(MGMT_LINK_PROTOCOL *This, CONST VOID *Request,
                                    UINT16 RequestLength, UINT32 Polls, VOID *Response,
                                    UINT16 *ResponseLength) {
    FakeLink *self = Self(This);
    self->attempts_++;
    if (!self->failures_.empty()) {
      EFI_STATUS status = self->failures_.front();
      self->failures_.pop_front();
      *ResponseLength = 0; // a failed attempt may leave anything here
      return status;
    }
    const auto *req = static_cast<const uint8_t *>(Request);
    self->calls_.push_back({Bytes(req, req + RequestLength), Polls, *ResponseLength});
    std::optional<Bytes> answer = self->Serve(Bytes(req, req + RequestLength));
    if (!answer) {
      return EFI_DEVICE_ERROR; // no answer within the polls
    }
    if (answer->size() > *ResponseLength) {
      return EFI_BUFFER_TOO_SMALL;
    }
    if (!answer->empty()) { // an empty answer's data() may be null
      std::memcpy(Response, answer->data(), answer->size());
    }
    *ResponseLength = static_cast<UINT16>(answer->size());
    return EFI_SUCCESS;
  }

  std::optional<Bytes> Serve(const Bytes &request) {
    if (request.size() < 4) {
      return Bytes{3, 0};
    }
    const uint32_t code = Le32(request.data());
    if (silent_ || silentFor_.count(code) != 0) {
      return std::nullopt;
    }
    if (rawAnswer_) {
      return rawAnswer_;
    }
    if (auto it = refused_.find(code); it != refused_.end()) {
      return Bytes{static_cast<uint8_t>(it->second), static_cast<uint8_t>(it->second >> 8)};
    }
    const Bytes data(request.begin() + 4, request.end());
    const uint32_t readCode = MgmtCodeAsRead(code);
    if (MgmtCodeIsWrite(code)) {
      writes_.push_back({code, data});
      if (readCode == kMgmtReadRange && !data.empty()) {
        items_[{readCode, data[0]}] = Bytes(data.begin() + 1, data.end());
      } else {
        items_[{readCode, -1}] = data;
      }
      return Bytes{0, 0};
    }
    const int parameter = readCode == kMgmtReadRange && !data.empty() ? data[0] : -1;
    auto it = items_.find({readCode, parameter});
    if (it == items_.end()) {
      return Bytes{1, 0}; // unknown item
    }
    Bytes answer{0, 0};
    answer.insert(answer.end(), it->second.begin(), it->second.end());
    return answer;
  }

  MGMT_LINK_PROTOCOL protocol_{}; // first: This is the fake itself
  std::map<std::pair<uint32_t, int>, Bytes> items_;
  std::map<uint32_t, uint16_t> refused_;
  std::set<uint32_t> silentFor_;
  bool silent_ = false;
  std::deque<EFI_STATUS> failures_;
  std::optional<Bytes> rawAnswer_;
  std::vector<LinkCall> calls_;
  std::vector<ItemWrite> writes_;
  std::vector<std::pair<uint8_t, uint32_t>> opens_;
  bool open_ = false;
  size_t attempts_ = 0;
};

// ---------------------------------------------------------------------------
// The board and DXE phase the agent runs in.

class AgentTest : public ::testing::Test {
protected:
  AgentTest() { NewBoot(); }

  // A fresh DXE phase (a new boot: volatile variables gone, memory free) and
  // module globals pointing at it, as the entry point would leave them.
  void NewBoot() {
    dxe.reset();
    machine.memory().Reset();
    dxe = std::make_unique<sim::Dxe>(machine, variables);
    imageHandle = dxe->NewImageHandle();
    mImageHandle = imageHandle;
    mSystemTable = dxe->SystemTable();
    mBootServices = dxe->BootServices();
    mRuntimeServices = dxe->RuntimeServices();
    mDeviceHob = nullptr;
    mNicPresent = FALSE;
    mSavedTransact = nullptr;
  }

  sim::RunOutcome Run(std::function<void()> body) {
    return sim::FirmwareRunner::Run(machine, std::move(body));
  }

  // Runs body and expects it to finish (no reset, no fault).
  void RunToEnd(std::function<void()> body) {
    const sim::RunOutcome outcome = Run(std::move(body));
    ASSERT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  void SeedSetup(const Bytes &setup, uint32_t attributes = kNvBsRt) {
    ASSERT_EQ(variables.Seed("Setup", kSetupGuid, attributes, setup), EFI_SUCCESS);
  }
  Bytes StoredSetup() const { return variables.Read("Setup", kSetupGuid).value_or(Bytes{}); }

  // Installs the fake link on a handle of its own (inside a run, since the
  // installation runs notifications).
  EFI_HANDLE InstallLink(FakeLink &link) {
    EFI_HANDLE handle = nullptr;
    RunToEnd([&] {
      EXPECT_EQ(mBootServices->InstallProtocolInterface(&handle, &gMgmtLinkProtocolGuid,
                                                        EFI_NATIVE_INTERFACE, link.Protocol()),
                EFI_SUCCESS);
    });
    return handle;
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::PmTimer pmTimer{machine.clock(), machine.bus()};
  sim::ResetControl resetControl{machine};
  sim::VariableStore variables;
  std::unique_ptr<sim::Dxe> dxe;
  EFI_HANDLE imageHandle = nullptr;
};

// ---------------------------------------------------------------------------
// MGMT_DEVICE_HOB, built by hand in guest memory.

struct HobEntry {
  uint32_t kind;
  uint8_t bus, device, function;
  uint64_t base, length;
  uint8_t barOffset;
  uint32_t barType = 0;
};

// A HOB list: PHIT, the device HOB (unless entries is nullopt), end. The
// device HOB is exactly as long as its entries need, as PEI builds it.
class HobListBuilder {
public:
  explicit HobListBuilder(sim::Machine &machine) : machine_(machine) {}

  void *Build(std::optional<std::vector<HobEntry>> entries, uint8_t enabled = 1,
              std::optional<uint16_t> lengthOverride = std::nullopt) {
    uint64_t address = 0;
    EXPECT_TRUE(machine_.memory().AllocatePages(sim::GuestMemory::AllocKind::AnyPages,
                                                EfiBootServicesData, 1, address));
    auto *base = reinterpret_cast<uint8_t *>(address);
    std::memset(base, 0, 4096);
    size_t at = 0;
    auto *phit = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(base);
    phit->Header.HobType = EFI_HOB_TYPE_HANDOFF;
    phit->Header.HobLength = sizeof(*phit);
    phit->Version = EFI_HOB_HANDOFF_TABLE_VERSION;
    at += sizeof(*phit);
    if (entries) {
      auto *hob = reinterpret_cast<EFI_HOB_GUID_TYPE *>(base + at);
      const size_t length = sizeof(EFI_HOB_GUID_TYPE) + OFFSET_OF(MGMT_DEVICE_HOB_DATA, Entries) +
                            entries->size() * sizeof(MGMT_DEVICE_HOB_ENTRY);
      hob->Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
      hob->Header.HobLength = lengthOverride.value_or(static_cast<uint16_t>(length));
      hob->Name = MGMT_DEVICE_HOB_GUID;
      data_ = reinterpret_cast<MGMT_DEVICE_HOB_DATA *>(hob + 1);
      data_->Enabled = enabled;
      data_->EntryCount = static_cast<uint8_t>(entries->size());
      for (size_t i = 0; i < entries->size(); i++) {
        const HobEntry &e = (*entries)[i];
        MGMT_DEVICE_HOB_ENTRY &out = data_->Entries[i];
        out.Kind = e.kind;
        out.Bus = e.bus;
        out.Device = e.device;
        out.Function = e.function;
        out.Base = e.base;
        out.Length = e.length;
        out.BarOffset = e.barOffset;
        out.BarType = e.barType;
      }
      at += (length + 7) / 8 * 8;
    }
    auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(base + at);
    end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
    end->HobLength = sizeof(*end);
    phit->EfiEndOfHobList = reinterpret_cast<uint64_t>(end);
    return base;
  }

  MGMT_DEVICE_HOB_DATA *Data() const { return data_; }

private:
  sim::Machine &machine_;
  MGMT_DEVICE_HOB_DATA *data_ = nullptr;
};

} // namespace agent_test
