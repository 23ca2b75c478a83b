// Records behind the opaque EFI_HANDLE, EFI_EVENT and registration pointers
// that the DXE emulation hands to firmware. Each starts with a signature so a
// dump of guest-visible state tells them apart; validity is decided by the
// Dxe's indexes, never by dereferencing what firmware passed in.
#pragma once

#include "Dxe.h"
#include "GuidText.h"

#include <list>

namespace sim {

struct Dxe::Interface {
  ProtocolEntry *protocol;
  Handle *handle;
  void *interface;
  const std::string *installer; // module that (re)installed it, if known
  uint64_t serial;              // changes on every (re)installation
  struct Open {
    EFI_HANDLE agent;
    EFI_HANDLE controller;
    uint32_t attributes;
    uint32_t count;
  };
  std::vector<Open> opens;

  // A driver or a child controller holds the interface open. The reference
  // core lets go of by-handle, get and test opens when it removes or replaces
  // an interface, and refuses with EFI_ACCESS_DENIED while any other open is
  // left; no driver model is emulated to make a driver let go.
  bool Held() const {
    constexpr uint32_t kReleasable = EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL |
                                     EFI_OPEN_PROTOCOL_GET_PROTOCOL |
                                     EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
    for (const Open &open : opens) {
      if ((open.attributes & kReleasable) == 0) {
        return true;
      }
    }
    return false;
  }
};

struct Dxe::Handle {
  static constexpr uint64_t kSignature = 0x6C646E6148444D53; // "SMDHandl"
  uint64_t signature = kSignature;
  bool alive = true;
  size_t number; // creation order from 1, names the handle in the trace
  // In installation order on this handle.
  std::vector<std::unique_ptr<Interface>> interfaces;
};

struct Dxe::ProtocolEntry {
  EFI_GUID guid;                     // stable: ProtocolsPerHandle hands out its address
  std::list<Interface *> interfaces; // installation order across handles
  std::vector<Registration *> registrations;
};

struct Dxe::Registration {
  static constexpr uint64_t kSignature = 0x7966746F4E444D53; // "SMDNotfy"
  uint64_t signature = kSignature;
  bool alive = true;
  ProtocolEntry *protocol;
  Event *event;
  // Installations not yet handed out by LocateProtocol/LocateHandle.
  struct Pending {
    Handle *handle;
    uint64_t serial;
  };
  std::deque<Pending> pending;
};

struct Dxe::Event {
  static constexpr uint64_t kSignature = 0x746E657645444D53; // "SMDEvent"
  uint64_t signature = kSignature;
  bool alive = true;
  uint32_t type;
  EFI_TPL tpl;
  EFI_EVENT_NOTIFY notify;
  void *context;
  bool hasGroup = false;
  EFI_GUID group{};
  bool signaled = false;
  bool queued = false;
};

} // namespace sim
