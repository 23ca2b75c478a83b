// MgmtAgentDxe's entry point and start-up: decides from the device HOB and a
// few Setup bytes whether the management link is used, switches the
// controller's out-of-band firmware into the wanted state, hands NicLinkDxe
// its controller, runs the two start-up exchanges and registers the
// notifications that do the rest of the agent's work later in boot.
#include "AgentInternal.h"
#include "Display.h"
#include "NicIo.h"

#include <Board/BoardConfig.h>
#include <Guid/HobList.h>
#include <Guid/MgmtDeviceHob.h>
#include <Guid/SetupVariable.h>
#include <Hw.h>
#include <MgmtLink/Commands.h>
#include <Pi/PiHob.h>
#include <Protocol/GraphicsOutput.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/MgmtTriggers.h>

namespace {

// The sweep touches every function the chipset decodes before anything else
// runs: 255 buses, 31 devices each, 8 functions.
constexpr UINT32 kSweepBuses = 255;
constexpr UINT32 kSweepDevices = 31;
constexpr UINT32 kSweepFunctions = 8;

VOID SweepConfigurationSpace() {
  for (UINT32 Bus = 0; Bus < kSweepBuses; Bus++) {
    for (UINT32 Device = 0; Device < kSweepDevices; Device++) {
      for (UINT32 Function = 0; Function < kSweepFunctions; Function++) {
        // Only the reads matter; the values are not used.
        (void)MmioRead32(
            BoardPciConfigAddress((UINT8)Bus, (UINT8)Device, (UINT8)Function, kBoardPciIdOffset));
      }
    }
  }
}

// The device HOB's data, if the HOB list holds a well-formed one: long
// enough for its head and for every entry it counts.
[[nodiscard]] EFI_STATUS FindDeviceHob(MGMT_DEVICE_HOB_DATA **Data) {
  VOID *HobList = NULL;
  for (UINTN Index = 0; Index < mSystemTable->NumberOfTableEntries; Index++) {
    EFI_CONFIGURATION_TABLE *Entry = &mSystemTable->ConfigurationTable[Index];
    if (CompareGuid(&Entry->VendorGuid, &gEfiHobListGuid)) {
      HobList = Entry->VendorTable;
      break;
    }
  }
  if (HobList == NULL) {
    return EFI_NOT_FOUND;
  }
  EFI_HOB_GUID_TYPE *Hob = (EFI_HOB_GUID_TYPE *)GetNextGuidHob(&gMgmtDeviceHobGuid, HobList);
  if (Hob == NULL) {
    return EFI_NOT_FOUND;
  }
  UINTN Length = GetHobLength(Hob);
  constexpr UINTN HeadEnd = sizeof(EFI_HOB_GUID_TYPE) + OFFSET_OF(MGMT_DEVICE_HOB_DATA, Entries);
  if (Length < HeadEnd) {
    return EFI_NOT_FOUND;
  }
  MGMT_DEVICE_HOB_DATA *Candidate = (MGMT_DEVICE_HOB_DATA *)(Hob + 1);
  if (Candidate->EntryCount > kMgmtDeviceHobMaxEntries ||
      Length < HeadEnd + (UINTN)Candidate->EntryCount * sizeof(MGMT_DEVICE_HOB_ENTRY)) {
    return EFI_NOT_FOUND;
  }
  *Data = Candidate;
  return EFI_SUCCESS;
}

// Marks the PEI phase's one-time action as done. Works on a fresh copy of
// Setup so that what the display-mode exchange stored in this start stays.
VOID MarkFirstStartDone(UINT8 *Setup) {
  UINT32 Attributes;
  UINTN Size;
  if (EFI_ERROR(AgentReadSetup(Setup, &Attributes, &Size)) ||
      Setup[SetupOffset::MgmtFirstStartMark] == kMgmtFirstStartDone) {
    return;
  }
  Setup[SetupOffset::MgmtFirstStartMark] = kMgmtFirstStartDone;
  // Failing to write means the PEI action repeats at the next start, which
  // is all this byte can cost.
  (void)mRuntimeServices->SetVariable((CHAR16 *)kSetupVariableName, &gSetupVariableGuid, Attributes,
                                      Size, Setup);
}

} // namespace

EFI_STATUS MgmtAgentStartUp(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  if (mSystemTable == NULL) {
    mImageHandle = ImageHandle;
    mSystemTable = SystemTable;
    mBootServices = SystemTable->BootServices;
    mRuntimeServices = SystemTable->RuntimeServices;
  }

  SweepConfigurationSpace();

  // With Setup missing every condition reads 0: the link stays unused.
  UINT8 Setup[kSetupVariableSize];
  UINT32 SetupAttributes;
  UINTN SetupSize;
  BOOLEAN SetupRead = EFI_ERROR(AgentReadSetup(Setup, &SetupAttributes, &SetupSize)) ? FALSE : TRUE;

  UINT8 NetworkStack[kNetworkStackVarSize] = {0, 0, 0, 0, 0, 0, 0, 0};
  UINTN NetworkStackSize = sizeof(NetworkStack);
  if (EFI_ERROR(mRuntimeServices->GetVariable((CHAR16 *)kNetworkStackVarName, &gNetworkStackVarGuid,
                                              NULL, &NetworkStackSize, NetworkStack))) {
    NetworkStack[0] = 0;
  }

  EFI_STATUS Status = FindDeviceHob(&mDeviceHob);
  if (EFI_ERROR(Status)) {
    mDeviceHob = NULL;
    return Status;
  }

  // The switch needs a wanted state; a missing Setup gives none, and
  // switching the firmware off (and resetting) on no information would be
  // a change nobody asked for.
  if (mDeviceHob->Enabled == 1 && SetupRead) {
    // A failed switch leaves the firmware as it was; start-up goes on.
    (void)SetOobState(Setup[SetupOffset::MgmtOobEnable]);
  }
  if (Setup[SetupOffset::MgmtHobForce] == 1) {
    mDeviceHob->Enabled = 1;
  }

  // Registration failures cannot be helped here: that piece of work simply
  // does not happen, as when its protocol never appears.
  (void)AgentRegisterNotify(&gEfiLoadedImageProtocolGuid, TeardownCheck);

  BOOLEAN LinkInUse = mDeviceHob->Enabled == 1 && Setup[SetupOffset::MgmtAgentEnable] == 1 &&
                      Setup[SetupOffset::MgmtOobEnable] == 1;
  if (LinkInUse) {
    // First, so that the link NicLinkDxe installs in reaction to the NIC I/O
    // installation below is wrapped before that installation returns.
    (void)AgentRegisterNotify(&gMgmtLinkProtocolGuid, InstallRetryWrapper);
    mNicPresent = InstallNicIo(mDeviceHob);
    if (mNicPresent && Setup[SetupOffset::MgmtRebindEnable] == 1 && NetworkStack[0] == 0) {
      (void)AgentRegisterNotify(&gEfiPciIoProtocolGuid, RebindAfterEnumeration);
    }
    (void)AgentRegisterNotify(&gLogoTriggerProtocolGuid, DrawLogoOnOtherDisplays);

    MGMT_LINK_PROTOCOL *Link = NULL;
    if (!EFI_ERROR(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, NULL, (VOID **)&Link)) &&
        Link != NULL) {
      // The exchange reports its failures by leaving values as they were.
      (void)SyncDisplayMode(Link);
      SyncRequestWord(Link);
    }
    if (Setup[SetupOffset::MgmtDisplayMode] != kMgmtDisplayModeLeaveAlone) {
      (void)AgentRegisterNotify(&gEfiGraphicsOutputProtocolGuid, SelectDisplay);
    }
    (void)AgentRegisterNotify(&gSetupPullTriggerProtocolGuid, PullRanges);
    (void)AgentRegisterNotify(&gSetupPushTriggerProtocolGuid, PushRanges);
    (void)AgentRegisterNotify(&gSetupPushTriggerProtocolGuid, PushTextItem);
  } else {
    (void)AgentRegisterNotify(&gMgmtLinkProtocolGuid, RemoveLink);
  }

  if (SetupRead && Setup[SetupOffset::MgmtFirstStartMark] != kMgmtFirstStartDone) {
    MarkFirstStartDone(Setup);
  }
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI MgmtAgentDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE *SystemTable) {
  return MgmtAgentStartUp(ImageHandle, SystemTable);
}
