// The handle database: protocols on handles, installation order per
// protocol, protocol notifications and the handle searches built on them.
// Every service runs at TPL_NOTIFY; notifications it signals run when it
// restores the caller's TPL.
#include "DxeInternal.h"
#include "sim/core/Machine.h"

#include <Protocol/DevicePath.h>

#include <algorithm>
#include <optional>

namespace sim {
namespace {

constexpr EFI_GUID kDevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

// Bound on a firmware-supplied device path: more bytes than any real path.
constexpr size_t kMaxDevicePathBytes = 64 * 1024;

// Offsets at which a node of `path` starts, the end node's included; empty if
// the path is malformed (a node shorter than its header, or no end in bound).
std::vector<size_t> NodeOffsets(const EFI_DEVICE_PATH_PROTOCOL *path) {
  std::vector<size_t> offsets;
  const uint8_t *base = reinterpret_cast<const uint8_t *>(path);
  size_t offset = 0;
  while (offset + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= kMaxDevicePathBytes) {
    const auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(base + offset);
    offsets.push_back(offset);
    if (IsDevicePathEnd(node)) {
      return offsets;
    }
    const size_t length = DevicePathNodeLength(node);
    if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      break;
    }
    offset += length;
  }
  return {};
}

// Bytes of a well-formed path before its end node; nullopt if malformed.
std::optional<size_t> PathBytesBeforeEnd(const EFI_DEVICE_PATH_PROTOCOL *path) {
  std::vector<size_t> offsets = NodeOffsets(path);
  if (offsets.empty()) {
    return std::nullopt;
  }
  return offsets.back();
}

class ServiceLock {
public:
  ServiceLock(Dxe &dxe, EFI_TPL old) : dxe_(dxe), old_(old) {}
  ~ServiceLock() { dxe_.RestoreTpl(old_); }
  ServiceLock(const ServiceLock &) = delete;
  ServiceLock &operator=(const ServiceLock &) = delete;

private:
  Dxe &dxe_;
  EFI_TPL old_;
};

} // namespace

EFI_TPL Dxe::EnterServiceLock(const char *service) {
  if (tpl_ > TPL_NOTIFY) {
    std::string text = std::string("BootServices.") + service + " called at TPL " +
                       std::to_string(tpl_) + ", above TPL_NOTIFY";
    Fault(std::move(text));
  }
  return RaiseTpl(TPL_NOTIFY);
}

Dxe::Handle *Dxe::LookupHandle(EFI_HANDLE handle) const {
  auto it = handleIndex_.find(handle);
  if (it == handleIndex_.end() || !it->second->alive) {
    return nullptr;
  }
  return it->second;
}

Dxe::Registration *Dxe::LookupRegistration(void *registration) const {
  auto it = registrationIndex_.find(registration);
  if (it == registrationIndex_.end() || !it->second->alive) {
    return nullptr;
  }
  return it->second;
}

Dxe::ProtocolEntry *Dxe::FindProtocol(const EFI_GUID &guid) const {
  for (const std::unique_ptr<ProtocolEntry> &p : protocols_) {
    if (SameGuid(p->guid, guid)) {
      return p.get();
    }
  }
  return nullptr;
}

Dxe::ProtocolEntry &Dxe::ProtocolFor(const EFI_GUID &guid) {
  if (ProtocolEntry *p = FindProtocol(guid)) {
    return *p;
  }
  protocols_.push_back(std::make_unique<ProtocolEntry>());
  protocols_.back()->guid = guid;
  return *protocols_.back();
}

Dxe::Interface *Dxe::FindInterface(const Handle &handle, const EFI_GUID &guid) const {
  for (const std::unique_ptr<Interface> &i : handle.interfaces) {
    if (SameGuid(i->protocol->guid, guid)) {
      return i.get();
    }
  }
  return nullptr;
}

std::vector<EFI_HANDLE> Dxe::Handles() const {
  std::vector<EFI_HANDLE> out;
  for (const std::unique_ptr<Handle> &h : handles_) {
    if (h->alive) {
      out.push_back(h.get());
    }
  }
  return out;
}

void *Dxe::InterfaceOn(EFI_HANDLE handle, const EFI_GUID &protocol) const {
  Handle *h = LookupHandle(handle);
  Interface *i = h ? FindInterface(*h, protocol) : nullptr;
  return i ? i->interface : nullptr;
}

void Dxe::NotifyInstalled(Interface &iface) {
  for (Registration *r : iface.protocol->registrations) {
    r->pending.push_back(Registration::Pending{iface.handle, iface.serial});
    SignalOne(*r->event);
  }
}

EFI_STATUS Dxe::InstallLocked(EFI_HANDLE *handle, const EFI_GUID &protocol, void *interface,
                              const std::string *installer) {
  Handle *h = nullptr;
  if (*handle != nullptr) {
    h = LookupHandle(*handle);
    if (h == nullptr || FindInterface(*h, protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    handles_.push_back(std::make_unique<Handle>());
    h = handles_.back().get();
    h->number = handles_.size();
    handleIndex_[h] = h;
  }
  ProtocolEntry &entry = ProtocolFor(protocol);
  auto record = std::make_unique<Interface>();
  record->protocol = &entry;
  record->handle = h;
  record->interface = interface;
  record->installer = installer;
  record->serial = ++installSerial_;
  Interface *raw = record.get();
  h->interfaces.push_back(std::move(record));
  entry.interfaces.push_back(raw);
  *handle = h;
  machine_.trace().Emit("dxe", ev::DxeInstall{protocol, h->number});
  NotifyInstalled(*raw);
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *protocol,
                                         EFI_INTERFACE_TYPE interfaceType, void *interface,
                                         const std::string *installer) {
  if (handle == nullptr || protocol == nullptr || interfaceType != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("InstallProtocolInterface"));
  return InstallLocked(handle, *protocol, interface, installer);
}

EFI_STATUS Dxe::UninstallLocked(Handle &handle, const EFI_GUID &protocol, void *interface) {
  Interface *i = FindInterface(handle, protocol);
  if (i == nullptr || i->interface != interface) {
    return EFI_NOT_FOUND;
  }
  if (i->Held()) {
    return EFI_ACCESS_DENIED;
  }
  i->protocol->interfaces.remove(i);
  std::erase_if(handle.interfaces,
                [i](const std::unique_ptr<Interface> &candidate) { return candidate.get() == i; });
  if (handle.interfaces.empty()) {
    handle.alive = false;
  }
  machine_.trace().Emit("dxe", ev::DxeUninstall{protocol, handle.number});
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *protocol,
                                           void *interface) {
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("UninstallProtocolInterface"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return UninstallLocked(*h, *protocol, interface);
}

EFI_STATUS Dxe::ReinstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *protocol,
                                           void *oldInterface, void *newInterface,
                                           const std::string *installer) {
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("ReinstallProtocolInterface"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Interface *i = FindInterface(*h, *protocol);
  if (i == nullptr || i->interface != oldInterface) {
    return EFI_NOT_FOUND;
  }
  if (i->Held()) {
    return EFI_ACCESS_DENIED;
  }
  // A reinstallation counts as a new installation: it moves to the end of
  // the protocol's order and is handed out again to every registration.
  i->interface = newInterface;
  i->installer = installer;
  i->opens.clear(); // only releasable opens are left, and they went with the old one
  i->serial = ++installSerial_;
  i->protocol->interfaces.remove(i);
  i->protocol->interfaces.push_back(i);
  machine_.trace().Emit("dxe", ev::DxeReinstall{*protocol, h->number});
  NotifyInstalled(*i);
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::HandleProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, void **interface) {
  return OpenProtocol(handle, protocol, interface, nullptr, nullptr,
                      EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
}

EFI_STATUS Dxe::OpenProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, void **interface,
                             EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes) {
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (interface == nullptr && attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("OpenProtocol"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  switch (attributes) {
  case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
  case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
  case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
    break;
  case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    if (LookupHandle(agent) == nullptr || LookupHandle(controller) == nullptr ||
        controller == handle) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_BY_DRIVER:
  case EFI_OPEN_PROTOCOL_EXCLUSIVE:
  case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    if (LookupHandle(agent) == nullptr || LookupHandle(controller) == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  default:
    return EFI_INVALID_PARAMETER;
  }
  Interface *i = FindInterface(*h, *protocol);
  if (i == nullptr) {
    if (interface != nullptr && attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      *interface = nullptr;
    }
    return EFI_UNSUPPORTED;
  }
  if (attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    return EFI_SUCCESS;
  }
  RefuseUnloadedInterface(*i, attributes == EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL ? "HandleProtocol"
                                                                               : "OpenProtocol");
  *interface = i->interface;
  const uint32_t exclusiveBits = EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE;
  if ((attributes & exclusiveBits) != 0) {
    for (const Interface::Open &open : i->opens) {
      if ((open.attributes & exclusiveBits) == 0) {
        continue;
      }
      if (open.agent == agent && open.attributes == attributes) {
        return EFI_ALREADY_STARTED;
      }
      return EFI_ACCESS_DENIED;
    }
  }
  for (Interface::Open &open : i->opens) {
    if (open.agent == agent && open.controller == controller && open.attributes == attributes) {
      open.count++;
      return EFI_SUCCESS;
    }
  }
  i->opens.push_back(Interface::Open{agent, controller, attributes, 1});
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::CloseProtocol(EFI_HANDLE handle, const EFI_GUID *protocol, EFI_HANDLE agent,
                              EFI_HANDLE controller) {
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("CloseProtocol"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr || LookupHandle(agent) == nullptr ||
      (controller != nullptr && LookupHandle(controller) == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  Interface *i = FindInterface(*h, *protocol);
  if (i == nullptr) {
    return EFI_NOT_FOUND;
  }
  const size_t removed = std::erase_if(i->opens, [&](const Interface::Open &open) {
    return open.agent == agent && open.controller == controller;
  });
  return removed != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS Dxe::OpenProtocolInformation(EFI_HANDLE handle, const EFI_GUID *protocol,
                                        EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries,
                                        UINTN *count) {
  if (protocol == nullptr || entries == nullptr || count == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("OpenProtocolInformation"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Interface *i = FindInterface(*h, *protocol);
  if (i == nullptr) {
    return EFI_NOT_FOUND;
  }
  const size_t n = i->opens.size();
  auto *buffer = static_cast<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *>(
      AllocatePoolInternal(EfiBootServicesData, std::max<size_t>(n, 1) * sizeof(**entries)));
  if (buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  for (size_t k = 0; k < n; k++) {
    const Interface::Open &open = i->opens[k];
    buffer[k] = EFI_OPEN_PROTOCOL_INFORMATION_ENTRY{open.agent, open.controller, open.attributes,
                                                    open.count};
  }
  *entries = buffer;
  *count = n;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::ProtocolsPerHandle(EFI_HANDLE handle, EFI_GUID ***protocols, UINTN *count) {
  if (protocols == nullptr || count == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("ProtocolsPerHandle"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const size_t n = h->interfaces.size();
  auto **buffer =
      static_cast<EFI_GUID **>(AllocatePoolInternal(EfiBootServicesData, n * sizeof(EFI_GUID *)));
  if (buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  for (size_t k = 0; k < n; k++) {
    buffer[k] = &h->interfaces[k]->protocol->guid;
  }
  *protocols = buffer;
  *count = n;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::RegisterProtocolNotify(const EFI_GUID *protocol, EFI_EVENT event,
                                       void **registration) {
  if (protocol == nullptr || registration == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("RegisterProtocolNotify"));
  Event *e = LookupEvent(event);
  if (e == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry &entry = ProtocolFor(*protocol);
  auto record = std::make_unique<Registration>();
  record->protocol = &entry;
  record->event = e;
  Registration *raw = record.get();
  registrations_.push_back(std::move(record));
  registrationIndex_[raw] = raw;
  entry.registrations.push_back(raw);
  *registration = raw;
  machine_.trace().Emit("dxe", ev::DxeRegisterNotify{*protocol});
  return EFI_SUCCESS;
}

Dxe::Interface *Dxe::NextRegistered(Registration &registration, bool consume) {
  // Entries whose installation has since been undone or redone are stale.
  while (!registration.pending.empty()) {
    const Registration::Pending next = registration.pending.front();
    Interface *i =
        next.handle->alive ? FindInterface(*next.handle, registration.protocol->guid) : nullptr;
    if (i != nullptr && i->serial == next.serial) {
      if (consume) {
        registration.pending.pop_front();
      }
      return i;
    }
    registration.pending.pop_front();
  }
  return nullptr;
}

std::vector<Dxe::Handle *> Dxe::Search(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                                       void *searchKey, bool consume, EFI_STATUS &status) {
  std::vector<Handle *> found;
  status = EFI_SUCCESS;
  switch (searchType) {
  case AllHandles:
    for (const std::unique_ptr<Handle> &h : handles_) {
      if (h->alive) {
        found.push_back(h.get());
      }
    }
    break;
  case ByRegisterNotify: {
    Registration *r = LookupRegistration(searchKey);
    if (r == nullptr) {
      status = EFI_INVALID_PARAMETER;
      return found;
    }
    if (Interface *i = NextRegistered(*r, consume)) {
      found.push_back(i->handle);
    }
    break;
  }
  case ByProtocol:
    if (protocol == nullptr) {
      status = EFI_INVALID_PARAMETER;
      return found;
    }
    if (ProtocolEntry *entry = FindProtocol(*protocol)) {
      for (Interface *i : entry->interfaces) {
        found.push_back(i->handle);
      }
    }
    break;
  default:
    status = EFI_INVALID_PARAMETER;
    return found;
  }
  if (found.empty()) {
    status = EFI_NOT_FOUND;
  }
  return found;
}

EFI_STATUS Dxe::LocateHandle(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                             void *searchKey, UINTN *bufferSize, EFI_HANDLE *buffer) {
  if (bufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("LocateHandle"));
  EFI_STATUS status;
  std::vector<Handle *> found = Search(searchType, protocol, searchKey, false, status);
  if (EFI_ERROR(status)) {
    return status;
  }
  const UINTN needed = found.size() * sizeof(EFI_HANDLE);
  if (*bufferSize < needed) {
    *bufferSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::copy(found.begin(), found.end(), buffer);
  *bufferSize = needed;
  if (searchType == ByRegisterNotify) {
    Search(searchType, protocol, searchKey, true, status);
  }
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE searchType, const EFI_GUID *protocol,
                                   void *searchKey, UINTN *count, EFI_HANDLE **buffer) {
  if (count == nullptr || buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *count = 0;
  *buffer = nullptr;
  ServiceLock lock(*this, EnterServiceLock("LocateHandleBuffer"));
  EFI_STATUS status;
  std::vector<Handle *> found = Search(searchType, protocol, searchKey, false, status);
  if (EFI_ERROR(status)) {
    return status;
  }
  auto *out = static_cast<EFI_HANDLE *>(
      AllocatePoolInternal(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE)));
  if (out == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::copy(found.begin(), found.end(), out);
  if (searchType == ByRegisterNotify) {
    Search(searchType, protocol, searchKey, true, status);
  }
  *count = found.size();
  *buffer = out;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::LocateProtocol(const EFI_GUID *protocol, void *registration, void **interface) {
  if (protocol == nullptr || interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *interface = nullptr;
  ServiceLock lock(*this, EnterServiceLock("LocateProtocol"));
  if (registration == nullptr) {
    ProtocolEntry *entry = FindProtocol(*protocol);
    if (entry == nullptr || entry->interfaces.empty()) {
      return EFI_NOT_FOUND;
    }
    RefuseUnloadedInterface(*entry->interfaces.front(), "LocateProtocol");
    *interface = entry->interfaces.front()->interface;
    return EFI_SUCCESS;
  }
  Registration *r = LookupRegistration(registration);
  if (r == nullptr || !SameGuid(r->protocol->guid, *protocol)) {
    return EFI_NOT_FOUND;
  }
  Interface *i = NextRegistered(*r, true);
  if (i == nullptr) {
    return EFI_NOT_FOUND;
  }
  RefuseUnloadedInterface(*i, "LocateProtocol");
  *interface = i->interface;
  return EFI_SUCCESS;
}

EFI_STATUS Dxe::LocateDevicePath(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **devicePath,
                                 EFI_HANDLE *device) {
  if (protocol == nullptr || devicePath == nullptr || *devicePath == nullptr || device == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("LocateDevicePath"));
  const std::vector<size_t> boundaries = NodeOffsets(*devicePath);
  if (boundaries.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry *entry = FindProtocol(*protocol);
  if (entry == nullptr) {
    return EFI_NOT_FOUND;
  }
  // The handle whose own device path is the longest whole-node prefix of
  // the given path wins; the first such handle in installation order on a tie.
  Handle *best = nullptr;
  size_t bestBytes = 0;
  for (Interface *i : entry->interfaces) {
    Interface *pathOn = FindInterface(*i->handle, kDevicePathProtocolGuid);
    if (pathOn == nullptr || pathOn->interface == nullptr) {
      continue;
    }
    const auto *own = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(pathOn->interface);
    std::optional<size_t> bytes = PathBytesBeforeEnd(own);
    if (!bytes || !std::binary_search(boundaries.begin(), boundaries.end(), *bytes) ||
        std::memcmp(own, *devicePath, *bytes) != 0) {
      continue;
    }
    if (best == nullptr || *bytes > bestBytes) {
      best = i->handle;
      bestBytes = *bytes;
    }
  }
  if (best == nullptr) {
    return EFI_NOT_FOUND;
  }
  *device = best;
  *devicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(
      reinterpret_cast<uint8_t *>(*devicePath) + bestBytes);
  return EFI_SUCCESS;
}

bool Dxe::DevicePathTaken(const EFI_DEVICE_PATH_PROTOCOL *path) const {
  std::optional<size_t> bytes = PathBytesBeforeEnd(path);
  if (!bytes) {
    return false;
  }
  ProtocolEntry *entry = FindProtocol(kDevicePathProtocolGuid);
  if (entry == nullptr) {
    return false;
  }
  for (Interface *i : entry->interfaces) {
    const auto *own = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(i->interface);
    if (own == nullptr) {
      continue;
    }
    std::optional<size_t> ownBytes = PathBytesBeforeEnd(own);
    if (ownBytes && *ownBytes == *bytes && std::memcmp(own, path, *bytes) == 0) {
      return true;
    }
  }
  return false;
}

EFI_STATUS Dxe::InstallMultiple(EFI_HANDLE *handle,
                                const std::vector<std::pair<const EFI_GUID *, void *>> &pairs,
                                const std::string *installer) {
  if (handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ServiceLock lock(*this, EnterServiceLock("InstallMultipleProtocolInterfaces"));
  const EFI_HANDLE original = *handle;
  size_t installed = 0;
  EFI_STATUS status = EFI_SUCCESS;
  for (const auto &[guid, interface] : pairs) {
    if (SameGuid(*guid, kDevicePathProtocolGuid) &&
        DevicePathTaken(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(interface))) {
      status = EFI_ALREADY_STARTED;
      break;
    }
    status = InstallLocked(handle, *guid, interface, installer);
    if (EFI_ERROR(status)) {
      break;
    }
    installed++;
  }
  if (EFI_ERROR(status)) {
    // Undo in reverse; the notifications already signalled find stale
    // entries and hand nothing out.
    for (size_t k = installed; k-- > 0;) {
      if (Handle *h = LookupHandle(*handle)) {
        (void)UninstallLocked(*h, *pairs[k].first, pairs[k].second);
      }
    }
    *handle = original;
  }
  return status;
}

EFI_STATUS Dxe::UninstallMultiple(EFI_HANDLE handle,
                                  const std::vector<std::pair<const EFI_GUID *, void *>> &pairs) {
  ServiceLock lock(*this, EnterServiceLock("UninstallMultipleProtocolInterfaces"));
  Handle *h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  size_t removed = 0;
  std::vector<const std::string *> installers;
  for (const auto &[guid, interface] : pairs) {
    Interface *i = FindInterface(*h, *guid);
    const std::string *installer = i != nullptr ? i->installer : nullptr;
    if (EFI_ERROR(UninstallLocked(*h, *guid, interface))) {
      break;
    }
    installers.push_back(installer);
    removed++;
  }
  if (removed == pairs.size()) {
    return EFI_SUCCESS;
  }
  // Put back what was taken off; the handle may have died on the way.
  EFI_HANDLE restore = handle;
  for (size_t k = 0; k < removed; k++) {
    if (!h->alive) {
      h->alive = true;
    }
    (void)InstallLocked(&restore, *pairs[k].first, pairs[k].second, installers[k]);
  }
  return EFI_INVALID_PARAMETER;
}

} // namespace sim
