// A working stand-in for MGMT_LINK_PROTOCOL in the reporter's unit tests: it
// keeps the open state and link tag as the link driver does (asking for the
// present state is refused), records every Open and Send in call order, and
// keeps each sent payload as a notice with its tag, like the controller's
// notice log. Chosen calls can be made to fail. The members the reporter
// must not use trap by name.
#pragma once

#include <Protocol/MgmtLink.h>
#include <MgmtLink/Frames.h>

#include "sim/core/Machine.h"
#include "sim/uefi/Dxe.h"
#include "sim/uefi/Trap.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace inventory_test {

class RecordingLink {
public:
  struct Call {
    enum Kind { Open, Send } kind;
    uint8_t enable = 0; // Open
    uint32_t tag = 0;   // Open: the argument; Send: the link tag in force
    std::vector<uint8_t> bytes;
    EFI_STATUS status = EFI_SUCCESS;
  };
  struct Notice {
    uint64_t timeNs = 0;
    uint32_t tag = 0;
    std::vector<uint8_t> payload;
  };

  explicit RecordingLink(sim::Machine &machine) : machine_(machine) {
    instance_.owner = this;
    SIM_TRAP_SLOT(instance_.protocol, "MGMT_LINK_PROTOCOL", SetOobMode);
    SIM_TRAP_SLOT(instance_.protocol, "MGMT_LINK_PROTOCOL", ConfigureOob);
    SIM_TRAP_SLOT(instance_.protocol, "MGMT_LINK_PROTOCOL", GetStatus);
    SIM_TRAP_SLOT(instance_.protocol, "MGMT_LINK_PROTOCOL", Transact);
    instance_.protocol.Send = &SendThunk;
    instance_.protocol.Open = &OpenThunk;
  }

  EFI_STATUS Install(sim::Dxe &dxe) {
    EFI_HANDLE handle = nullptr;
    return dxe.InstallProtocolInterface(&handle, &gMgmtLinkProtocolGuid, EFI_NATIVE_INTERFACE,
                                        &instance_.protocol);
  }

  // The n-th Send or Open call (from 1, counted separately) fails with status.
  void FailSend(size_t n, EFI_STATUS status = EFI_DEVICE_ERROR) { failSends_[n] = status; }
  void FailOpen(size_t n, EFI_STATUS status = EFI_DEVICE_ERROR) { failOpens_[n] = status; }

  const std::vector<Call> &Calls() const { return calls_; }
  const std::vector<Notice> &Notices() const { return notices_; }
  bool IsOpen() const { return opened_; }
  void Clear() {
    calls_.clear();
    notices_.clear();
  }

private:
  struct Instance {
    MGMT_LINK_PROTOCOL protocol; // first: This points here
    RecordingLink *owner;
  };

  static RecordingLink &From(MGMT_LINK_PROTOCOL *This) {
    return *reinterpret_cast<Instance *>(This)->owner;
  }

  static EFI_STATUS EFIAPI OpenThunk(MGMT_LINK_PROTOCOL *This, UINT8 Enable, UINT32 Tag) {
    return From(This).DoOpen(Enable, Tag);
  }
  static EFI_STATUS EFIAPI SendThunk(MGMT_LINK_PROTOCOL *This, CONST VOID *Buffer, UINT16 Length) {
    return From(This).DoSend(static_cast<const uint8_t *>(Buffer), Length);
  }

  EFI_STATUS DoOpen(uint8_t enable, uint32_t tag) {
    Call call{Call::Open, enable, tag, {}, EFI_SUCCESS};
    auto failure = failOpens_.find(++opens_);
    if ((enable != 0) == opened_) {
      call.status = EFI_INVALID_PARAMETER;
    } else if (failure != failOpens_.end()) {
      call.status = failure->second;
    } else {
      opened_ = enable != 0;
      tag_ = tag;
    }
    calls_.push_back(call);
    return call.status;
  }

  EFI_STATUS DoSend(const uint8_t *buffer, uint16_t length) {
    Call call{Call::Send, 0, tag_, {}, EFI_SUCCESS};
    auto failure = failSends_.find(++sends_);
    if (length > kMgmtNoticeMaxPayload) {
      call.status = EFI_INVALID_PARAMETER;
    } else {
      call.bytes.assign(buffer, buffer + length);
      if (!opened_) {
        call.status = EFI_DEVICE_ERROR; // no rings without an opening
      } else if (failure != failSends_.end()) {
        call.status = failure->second;
      } else {
        notices_.push_back(Notice{machine_.clock().NowNs(), tag_, call.bytes});
      }
    }
    calls_.push_back(call);
    return call.status;
  }

  sim::Machine &machine_;
  Instance instance_{};
  bool opened_ = false;
  uint32_t tag_ = 0;
  size_t opens_ = 0;
  size_t sends_ = 0;
  std::map<size_t, EFI_STATUS> failSends_;
  std::map<size_t, EFI_STATUS> failOpens_;
  std::vector<Call> calls_;
  std::vector<Notice> notices_;
};

} // namespace inventory_test
