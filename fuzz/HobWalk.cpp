// MgmtAgentDxe's start-up over any HOB list: the walk to MGMT_DEVICE_HOB,
// the checks on its length and entry count, and what is done with its
// entries (the out-of-band switch, the NIC I/O windows, device hiding at
// teardown). The list keeps the structure the PEI core gives every list
// (lengths in multiples of 8 that chain to an end HOB or to a header too
// short to step over); types, lengths, names and contents are arbitrary.
// The board's controller answers at one configuration address the input
// picks. Afterwards: the agent took the first device HOB exactly when it is
// whole, wrote nothing in the list but that HOB's Enabled byte, and hiding
// wrote only to the configuration space of functions the HOB lists.
#include "AgentInternal.h"
#include "FuzzSupport.h"

#include <Board/BoardConfig.h>
#include <Guid/HobList.h>
#include <Guid/SetupVariable.h>
#include <Pi/PiHob.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxHobs = 24;
constexpr size_t kHeadEnd = sizeof(EFI_HOB_GUID_TYPE) + OFFSET_OF(MGMT_DEVICE_HOB_DATA, Entries);

UINTN gNicConfig; // configuration space of the function that answers as the controller
std::vector<UINTN> gListedConfig; // configuration spaces of every addressable entry

uint32_t ReadMmio32(UINTN Address) {
  if (Address == gNicConfig + kBoardPciIdOffset) {
    return kBoardNicPciId;
  }
  if (Address == gNicConfig + kBoardPciSubsystemOffset) {
    return kBoardNicSubsystemId;
  }
  return 0xFFFFFFFF;
}

void WroteMmio(UINTN Address, unsigned Width) {
  for (UINTN Config : gListedConfig) {
    if (Address >= Config && Address + Width <= Config + 0x1000) {
      return;
    }
  }
  std::abort(); // a write outside every listed function
}

EFI_STATUS EFIAPI CreateEvent(UINT32, EFI_TPL, EFI_EVENT_NOTIFY, VOID *, EFI_EVENT *Event) {
  static UINT8 sEvent;
  *Event = &sEvent;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RegisterProtocolNotify(EFI_GUID *, EFI_EVENT, VOID **Registration) {
  *Registration = nullptr;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *, EFI_GUID *, EFI_INTERFACE_TYPE, VOID *) {
  return EFI_SUCCESS;
}

void PutGuidName(std::vector<uint8_t> &List, size_t Hob, const EFI_GUID &Name) {
  std::memcpy(&List[Hob + sizeof(EFI_HOB_GENERIC_HEADER)], &Name, sizeof(Name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Services services;
  services.boot.CreateEvent = CreateEvent;
  services.boot.RegisterProtocolNotify = RegisterProtocolNotify;
  services.boot.InstallProtocolInterface = InstallProtocolInterface;

  const UINT8 nicBus = in.ConsumeIntegral<UINT8>();
  const UINT8 nicDevice = in.ConsumeIntegralInRange<UINT8>(0, 31);
  const UINT8 nicFunction = in.ConsumeIntegralInRange<UINT8>(0, 7);
  gNicConfig = BoardPciConfigAddress(nicBus, nicDevice, nicFunction, 0);

  std::vector<uint8_t> setup(kSetupVariableSize);
  setup[SetupOffset::MgmtOobEnable] = in.ConsumeIntegralInRange<UINT8>(0, 2);
  setup[SetupOffset::MgmtAgentEnable] = in.ConsumeIntegralInRange<UINT8>(0, 2);
  setup[SetupOffset::MgmtHobForce] = in.ConsumeIntegralInRange<UINT8>(0, 2);
  setup[SetupOffset::MgmtFirstStartMark] = in.ConsumeIntegral<UINT8>();
  const bool setupPresent = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  if (setupPresent) {
    services.Set(kSetupVariableName, gSetupVariableGuid, 7, setup);
  }

  // The HOB list, and where a correct walk must find the device HOB.
  std::vector<uint8_t> list;
  size_t expected = SIZE_MAX; // offset of the first device HOB before the end
  bool ended = false;
  for (size_t n = 0; n < kMaxHobs && !ended; n++) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 5);
    const size_t at = list.size();
    if (kind == 5 || in.remaining_bytes() == 0) {
      break; // the end HOB follows
    }
    if (kind == 4) {
      // A header too short to step over: the walk must stop here.
      list.resize(at + sizeof(EFI_HOB_GENERIC_HEADER));
      const UINT16 type = in.ConsumeBool() ? EFI_HOB_TYPE_GUID_EXTENSION : in.ConsumeIntegral<UINT16>();
      const UINT16 length = in.ConsumeIntegralInRange<UINT16>(0, sizeof(EFI_HOB_GENERIC_HEADER) - 1);
      std::memcpy(&list[at], &type, 2);
      std::memcpy(&list[at + 2], &length, 2);
      ended = true;
      break;
    }
    const bool guided = kind <= 2;
    const bool device = kind <= 1;
    // Device HOBs of any length, their whole size (and a little more) first.
    constexpr size_t kDeviceUnits = sizeof(MGMT_DEVICE_HOB) / 8 + 1;
    const size_t units = device ? kDeviceUnits - in.ConsumeIntegralInRange<size_t>(0, kDeviceUnits - 1)
                                : in.ConsumeIntegralInRange<size_t>(1, 16);
    const UINT16 length = (UINT16)(units * 8);
    UINT16 type = EFI_HOB_TYPE_GUID_EXTENSION;
    if (!guided) {
      // Any other type, the end marker excepted.
      type = (UINT16)(in.ConsumeIntegral<UINT16>() & ~0x8000u);
      type = type == EFI_HOB_TYPE_GUID_EXTENSION ? EFI_HOB_TYPE_UNUSED : type;
    }
    list.resize(at + length);
    std::memcpy(&list[at], &type, 2);
    std::memcpy(&list[at + 2], &length, 2);
    if (length > sizeof(EFI_HOB_GENERIC_HEADER)) {
      const std::vector<uint8_t> body =
          in.ConsumeBytes<uint8_t>(length - sizeof(EFI_HOB_GENERIC_HEADER));
      std::copy(body.begin(), body.end(), list.begin() + at + sizeof(EFI_HOB_GENERIC_HEADER));
    }
    if (!guided || length < sizeof(EFI_HOB_GUID_TYPE)) {
      continue;
    }
    EFI_GUID name = gMgmtDeviceHobGuid;
    if (!device) {
      name.Data4[7] ^= (UINT8)(1u << in.ConsumeIntegralInRange<int>(0, 7)); // a near miss
    }
    PutGuidName(list, at, name);
    if (device && expected == SIZE_MAX) {
      expected = at;
    }
    if (device && length >= kHeadEnd) {
      list[at + sizeof(EFI_HOB_GUID_TYPE)] = in.ConsumeIntegralInRange<UINT8>(0, 2); // Enabled
      if (in.ConsumeBool()) {
        list[at + sizeof(EFI_HOB_GUID_TYPE) + 1] =
            (UINT8)((length - kHeadEnd) / sizeof(MGMT_DEVICE_HOB_ENTRY)); // a fitting count
      }
      // Some entries name the controller.
      for (size_t e = at + kHeadEnd; e + sizeof(MGMT_DEVICE_HOB_ENTRY) <= at + length;
           e += sizeof(MGMT_DEVICE_HOB_ENTRY)) {
        if (in.ConsumeBool()) {
          list[e + OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Bus)] = nicBus;
          list[e + OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Device)] = nicDevice;
          list[e + OFFSET_OF(MGMT_DEVICE_HOB_ENTRY, Function)] = nicFunction;
        }
      }
    }
  }
  if (!ended) {
    const size_t at = list.size();
    list.resize(at + sizeof(EFI_HOB_GENERIC_HEADER));
    const UINT16 type = EFI_HOB_TYPE_END_OF_HOB_LIST;
    const UINT16 length = sizeof(EFI_HOB_GENERIC_HEADER);
    std::memcpy(&list[at], &type, 2);
    std::memcpy(&list[at + 2], &length, 2);
  }
  // An exact-size block, 8-byte aligned like any HOB list.
  auto *hobs = static_cast<uint8_t *>(std::aligned_alloc(8, list.size()));
  std::memcpy(hobs, list.data(), list.size());

  bool whole = false;
  if (expected != SIZE_MAX) {
    const UINT16 length = (UINT16)(list[expected + 2] | list[expected + 3] << 8);
    const UINT8 count = list[expected + sizeof(EFI_HOB_GUID_TYPE) + 1];
    whole = length >= kHeadEnd && count <= kMgmtDeviceHobMaxEntries &&
            length >= kHeadEnd + (size_t)count * sizeof(MGMT_DEVICE_HOB_ENTRY);
  }

  // The HOB list among other configuration tables, or missing.
  const bool listed = in.ConsumeIntegralInRange<int>(0, 15) != 0;
  std::vector<EFI_CONFIGURATION_TABLE> tables(in.ConsumeIntegralInRange<size_t>(0, 3));
  for (EFI_CONFIGURATION_TABLE &table : tables) {
    table.VendorGuid = gEfiHobListGuid;
    table.VendorGuid.Data1 ^= 1;
    table.VendorTable = nullptr;
  }
  if (listed) {
    tables.insert(tables.begin() + in.ConsumeIntegralInRange<size_t>(0, tables.size()),
                  EFI_CONFIGURATION_TABLE{gEfiHobListGuid, hobs});
  }
  services.system.NumberOfTableEntries = tables.size();
  services.system.ConfigurationTable = tables.data();

  gListedConfig.clear();
  fuzz::gMmioRead32 = ReadMmio32;
  fuzz::gMmioWrite = WroteMmio;
  mSystemTable = nullptr;
  mDeviceHob = nullptr;
  mNicPresent = FALSE;
  mSavedTransact = nullptr;
  static UINT8 sImage;
  const EFI_STATUS status = MgmtAgentStartUp(&sImage, &services.system);

  if (!listed || !whole) {
    if (status != EFI_NOT_FOUND || mDeviceHob != nullptr) {
      std::abort(); // a device HOB taken that is missing, misplaced or not whole
    }
  } else {
    MGMT_DEVICE_HOB_DATA *found =
        reinterpret_cast<MGMT_DEVICE_HOB_DATA *>(hobs + expected + sizeof(EFI_HOB_GUID_TYPE));
    if (status != EFI_SUCCESS || mDeviceHob != found) {
      std::abort(); // not the first whole device HOB
    }
    // Only Enabled may change, and only to 1 when Setup forces it.
    const size_t enabled = expected + sizeof(EFI_HOB_GUID_TYPE);
    const UINT8 wanted = setupPresent && setup[SetupOffset::MgmtHobForce] == 1 ? 1 : list[enabled];
    if (hobs[enabled] != wanted) {
      std::abort();
    }
    list[enabled] = wanted;

    // Teardown hides what the HOB lists, and touches nothing else.
    for (UINT32 i = 0; i < found->EntryCount; i++) {
      const MGMT_DEVICE_HOB_ENTRY &entry = found->Entries[i];
      if (entry.Device <= 31 && entry.Function <= 7) {
        gListedConfig.push_back(BoardPciConfigAddress(entry.Bus, entry.Device, entry.Function, 0));
      }
    }
    (void)HideMgmtDevices();
  }
  if (std::memcmp(hobs, list.data(), list.size()) != 0) {
    std::abort(); // the HOB list written
  }

  fuzz::gMmioRead32 = nullptr;
  fuzz::gMmioWrite = nullptr;
  mSystemTable = nullptr;
  mDeviceHob = nullptr;
  std::free(hobs);
  return 0;
}
