// Task priority levels and events. A signalled event's notify function is
// queued at the event's TPL and runs when the TPL drops below that level:
// higher TPLs first, first-in first-out within one TPL. Services that take
// the protocol or event "lock" raise the TPL and restore it on exit, which is
// where queued notifications run; so a notification caused inside another
// one runs after it returns, and both before the outermost call returns.
#include "DxeInternal.h"

#include "sim/core/FirmwareCall.h"
#include "sim/core/Machine.h"

#include <Uefi/UefiServices.h>

namespace sim {
namespace {

// The event types the reference core accepts; any other combination of
// bits, EVT_RUNTIME alone included, is EFI_INVALID_PARAMETER.
constexpr uint32_t kDefinedEventTypes[] = {
    0,
    EVT_TIMER,
    EVT_NOTIFY_WAIT,
    EVT_NOTIFY_SIGNAL,
    EVT_TIMER | EVT_NOTIFY_WAIT,
    EVT_TIMER | EVT_NOTIFY_SIGNAL,
    EVT_SIGNAL_EXIT_BOOT_SERVICES,
    EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE,
};

bool DefinedEventType(uint32_t type) {
  for (uint32_t defined : kDefinedEventTypes) {
    if (type == defined) {
      return true;
    }
  }
  return false;
}

// Event groups the two special event types stand for.
constexpr EFI_GUID kExitBootServicesGroup = {
    0x27ABF055, 0xB1B8, 0x4C26, {0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF}};
constexpr EFI_GUID kVirtualAddressChangeGroup = {
    0x13FA7698, 0xC831, 0x49C7, {0x87, 0xEA, 0x8F, 0x43, 0xFC, 0xC2, 0x51, 0x96}};

std::string TplText(EFI_TPL tpl) { return std::to_string(static_cast<unsigned long long>(tpl)); }

} // namespace

EFI_TPL Dxe::RaiseTpl(EFI_TPL newTpl) {
  if (newTpl > TPL_HIGH_LEVEL) {
    std::string text = "BootServices.RaiseTPL to TPL " + TplText(newTpl) + ", above TPL_HIGH_LEVEL";
    Fault(std::move(text));
  }
  if (newTpl < tpl_) {
    std::string text =
        "BootServices.RaiseTPL to TPL " + TplText(newTpl) + " below the current TPL " + TplText(tpl_);
    Fault(std::move(text));
  }
  EFI_TPL old = tpl_;
  tpl_ = newTpl;
  return old;
}

void Dxe::RestoreTpl(EFI_TPL oldTpl) {
  if (oldTpl > tpl_) {
    std::string text = "BootServices.RestoreTPL to TPL " + TplText(oldTpl) +
                       " above the current TPL " + TplText(tpl_);
    Fault(std::move(text));
  }
  DispatchAbove(oldTpl);
  tpl_ = oldTpl;
}

void Dxe::DispatchAbove(EFI_TPL floor) {
  for (;;) {
    EFI_TPL level = TPL_HIGH_LEVEL;
    while (level > floor && queues_[level].empty()) {
      level--;
    }
    if (level <= floor) {
      return;
    }
    tpl_ = level;
    while (!queues_[level].empty()) {
      Event *event = queues_[level].front();
      queues_[level].pop_front();
      event->queued = false;
      if ((event->type & EVT_NOTIFY_SIGNAL) != 0) {
        event->signaled = false;
      }
      RefuseUnloadedNotify(*event);
      // The notify function may close its own event; nothing of it is
      // touched after the call.
      CallFirmware(event->notify, static_cast<EFI_EVENT>(event), event->context);
      if (tpl_ != level) {
        std::string text = "an event notify function returned at TPL " + TplText(tpl_) +
                           " instead of " + TplText(level);
        Fault(std::move(text));
      }
    }
  }
}

void Dxe::QueueNotify(Event &event) {
  if (event.queued) {
    return;
  }
  event.queued = true;
  queues_[event.tpl].push_back(&event);
}

void Dxe::MarkSignaled(Event &event) {
  if (!event.alive || event.signaled) {
    return;
  }
  event.signaled = true;
  if ((event.type & EVT_NOTIFY_SIGNAL) != 0) {
    QueueNotify(event);
  }
}

void Dxe::SignalOne(Event &event) {
  if (event.hasGroup) {
    SignalGroupMembers(event.group);
  } else {
    MarkSignaled(event);
  }
}

void Dxe::SignalGroupMembers(const EFI_GUID &group) {
  for (const std::unique_ptr<Event> &member : events_) {
    if (member->alive && member->hasGroup && SameGuid(member->group, group)) {
      MarkSignaled(*member);
    }
  }
}

Dxe::Event *Dxe::LookupEvent(EFI_EVENT event) const {
  auto it = eventIndex_.find(event);
  if (it == eventIndex_.end() || !it->second->alive) {
    return nullptr;
  }
  return it->second;
}

void Dxe::RequireBelowHighLevel(const char *service) {
  // UEFI TPL restrictions: CreateEvent, CloseEvent and CheckEvent only
  // below TPL_HIGH_LEVEL. No status stands for the breach; a board's core
  // would take its event lock with interrupts already off.
  if (tpl_ >= TPL_HIGH_LEVEL) {
    std::string text = std::string("BootServices.") + service + " called at TPL " +
                       TplText(tpl_) + ", not below TPL_HIGH_LEVEL";
    Fault(std::move(text));
  }
}

EFI_STATUS Dxe::CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notifyFunction,
                            const void *notifyContext, const EFI_GUID *eventGroup,
                            EFI_EVENT *event) {
  RequireBelowHighLevel(eventGroup != nullptr ? "CreateEventEx" : "CreateEvent");
  if (event == nullptr || !DefinedEventType(type)) {
    return EFI_INVALID_PARAMETER;
  }
  const bool special =
      type == EVT_SIGNAL_EXIT_BOOT_SERVICES || type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE;
  if (eventGroup != nullptr && special) {
    return EFI_INVALID_PARAMETER;
  }
  const bool waits = (type & EVT_NOTIFY_WAIT) != 0;
  const bool signals = (type & EVT_NOTIFY_SIGNAL) != 0;
  if (waits && signals) {
    return EFI_INVALID_PARAMETER;
  }
  if ((waits || signals) &&
      (notifyFunction == nullptr || (notifyTpl != TPL_CALLBACK && notifyTpl != TPL_NOTIFY))) {
    return EFI_INVALID_PARAMETER;
  }
  auto record = std::make_unique<Event>();
  record->type = type;
  record->tpl = notifyTpl;
  record->notify = (waits || signals) ? notifyFunction : nullptr;
  record->context = const_cast<void *>(notifyContext);
  if (eventGroup != nullptr) {
    record->hasGroup = true;
    record->group = *eventGroup;
  } else if (type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
    record->hasGroup = true;
    record->group = kExitBootServicesGroup;
  } else if (type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    record->hasGroup = true;
    record->group = kVirtualAddressChangeGroup;
  }
  Event *raw = record.get();
  events_.push_back(std::move(record));
  eventIndex_[raw] = raw;
  *event = raw;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::SignalEvent(EFI_EVENT event) {
  Event *e = LookupEvent(event);
  if (e == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = RaiseTpl(TPL_HIGH_LEVEL);
  SignalOne(*e);
  RestoreTpl(old);
  return EFI_SUCCESS;
}

void Dxe::SignalEventGroup(const EFI_GUID &group) {
  machine_.trace().Emit("dxe", ev::DxeSignalGroup{group});
  EFI_TPL old = RaiseTpl(TPL_HIGH_LEVEL);
  SignalGroupMembers(group);
  RestoreTpl(old);
}

EFI_STATUS Dxe::CheckEvent(EFI_EVENT event) {
  RequireBelowHighLevel("CheckEvent");
  Event *e = LookupEvent(event);
  if (e == nullptr || (e->type & EVT_NOTIFY_SIGNAL) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (!e->signaled && (e->type & EVT_NOTIFY_WAIT) != 0) {
    EFI_TPL old = RaiseTpl(TPL_HIGH_LEVEL);
    QueueNotify(*e);
    RestoreTpl(old);
  }
  if (e->alive && e->signaled) {
    e->signaled = false;
    return EFI_SUCCESS;
  }
  return EFI_NOT_READY;
}

EFI_STATUS Dxe::WaitForEvent(UINTN count, EFI_EVENT *events, UINTN *index) {
  if (count == 0 || events == nullptr || index == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (tpl_ != TPL_APPLICATION) {
    return EFI_UNSUPPORTED;
  }
  for (;;) {
    for (UINTN i = 0; i < count; i++) {
      EFI_STATUS status = CheckEvent(events[i]);
      if (status != EFI_NOT_READY) {
        *index = i;
        return status;
      }
    }
    // Nothing here signals events on its own (no timers): like a board, the
    // wait spins, and virtual time moves so the watchdog can end it.
    machine_.bus().CpuPause();
  }
}

EFI_STATUS Dxe::CloseEvent(EFI_EVENT event) {
  RequireBelowHighLevel("CloseEvent");
  Event *e = LookupEvent(event);
  if (e == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL old = RaiseTpl(TPL_HIGH_LEVEL);
  if (e->queued) {
    std::erase(queues_[e->tpl], e);
    e->queued = false;
  }
  e->alive = false;
  for (const std::unique_ptr<Registration> &r : registrations_) {
    if (r->alive && r->event == e) {
      r->alive = false;
      std::erase(r->protocol->registrations, r.get());
    }
  }
  RestoreTpl(old);
  return EFI_SUCCESS;
}

} // namespace sim
