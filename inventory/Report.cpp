// OnReadyToBoot: every key, its source and rendering, member order, and the
// send order of the four documents. Values are taken by string position, not
// by the string-number fields. All reads come before any document leaves, so
// a missing structure means nothing is sent; every early return releases the
// trees and structures it holds.
#include "Report.h"

#include <Hw.h>
#include <MgmtLink/Commands.h>

#include "Driver.h"
#include "Json.h"
#include "Render.h"
#include "Smbios.h"
#include "Upload.h"

namespace Inventory {

namespace {

// Type 0, BIOS information: strings 1, 2, 3.
constexpr UINTN kBiosVendorString = 1;
constexpr UINTN kBiosVersionString = 2;
constexpr UINTN kBiosReleaseDateString = 3;
// Type 1, system information: strings 1, 2 and the UUID field.
constexpr UINTN kSystemManufacturerString = 1;
constexpr UINTN kSystemProductString = 2;
constexpr UINT8 kSystemUuidOffset = 0x08;
// Type 2, baseboard: strings 1, 2, 4, 5 (3 would be the version).
constexpr UINTN kBaseboardManufacturerString = 1;
constexpr UINTN kBaseboardProductString = 2;
constexpr UINTN kBaseboardSerialString = 4;
constexpr UINTN kBaseboardAssetTagString = 5;
// Type 16, physical memory array: number of memory devices.
constexpr UINT8 kMemoryArrayDeviceCountOffset = 0x0D;
// Type 17, memory device: Size word and strings 1, 2.
constexpr UINT8 kMemoryDeviceSizeOffset = 0x0C;
constexpr UINTN kMemoryDeviceLocatorString = 1;
constexpr UINTN kMemoryBankLocatorString = 2;
// Type 4, processor: string 3.
constexpr UINTN kProcessorVersionString = 3;

constexpr UINT8 kFirstInstance = 1;
constexpr CHAR8 kPathValue[] = "Q7146";

// The report of one run: the three trees built from SMBIOS (the path
// document is made when it is sent) and the structure still held.
struct Report {
  JsonDocument Inventory;
  JsonDocument Uuid;
  JsonDocument Model;
  cJSON *Memory;
  UINT8 *MemoryArray; // type 16, held while the memory devices are read
  CHAR8 Scratch[kScratchSize];
};

VOID ClearScratch(Report *R) { mBootServices->SetMem(R->Scratch, sizeof(R->Scratch), 0); }

VOID Discard(Report *R) {
  JsonDeleteDocument(&R->Inventory);
  JsonDeleteDocument(&R->Uuid);
  JsonDeleteDocument(&R->Model);
  cJSON_Delete(R->Memory);
  R->Memory = NULL;
  FreeSmbiosStructure(R->MemoryArray);
  R->MemoryArray = NULL;
}

BOOLEAN ReadBios(Report *R) {
  UINT8 *Structure = ReadSmbiosStructure(SMBIOS_TYPE_BIOS_INFORMATION, kFirstInstance);
  if (Structure == NULL) {
    return FALSE;
  }
  cJSON *Root = R->Inventory.Root;
  JsonAddString(&R->Inventory, Root, "BIOSVendor", GetNthString(Structure, kBiosVendorString));
  JsonAddString(&R->Inventory, Root, "BIOSVersion", GetNthString(Structure, kBiosVersionString));
  JsonAddString(&R->Inventory, Root, "BIOSReleaseDate",
                GetNthString(Structure, kBiosReleaseDateString));
  FreeSmbiosStructure(Structure);
  return TRUE;
}

BOOLEAN ReadSystem(Report *R) {
  UINT8 *Structure = ReadSmbiosStructure(SMBIOS_TYPE_SYSTEM_INFORMATION, kFirstInstance);
  if (Structure == NULL) {
    return FALSE;
  }
  cJSON *Root = R->Inventory.Root;
  JsonAddString(&R->Inventory, Root, "SystemManufacturer",
                GetNthString(Structure, kSystemManufacturerString));
  JsonAddString(&R->Inventory, Root, "SystemManuProductName",
                GetNthString(Structure, kSystemProductString));

  // A structure from before the UUID field existed gives an empty text
  // rather than bytes of its string set.
  ClearScratch(R);
  if (HasField(Structure, kSystemUuidOffset, kUuidSize)) {
    RenderUuid(Structure + kSystemUuidOffset, R->Scratch);
  }
  R->Uuid = JsonNewDocument();
  JsonAddString(&R->Uuid, R->Uuid.Root, "UUID", R->Scratch);
  FreeSmbiosStructure(Structure);
  return TRUE;
}

BOOLEAN ReadBaseboard(Report *R) {
  UINT8 *Structure = ReadSmbiosStructure(SMBIOS_TYPE_BASEBOARD_INFORMATION, kFirstInstance);
  if (Structure == NULL) {
    return FALSE;
  }
  cJSON *Root = R->Inventory.Root;
  CONST CHAR8 *Product = GetNthString(Structure, kBaseboardProductString);
  JsonAddString(&R->Inventory, Root, "BaseboardManufacturer",
                GetNthString(Structure, kBaseboardManufacturerString));
  JsonAddString(&R->Inventory, Root, "BaseboardProduct", Product);
  JsonAddString(&R->Model, R->Model.Root, "ModelName", Product);
  JsonAddString(&R->Inventory, Root, "BaseboardSerialNumber",
                GetNthString(Structure, kBaseboardSerialString));
  JsonAddString(&R->Inventory, Root, "BaseboardAssetTag",
                GetNthString(Structure, kBaseboardAssetTagString));
  FreeSmbiosStructure(Structure);
  return TRUE;
}

// One element of "Memory"; FALSE when the device's structure is missing.
BOOLEAN ReadMemoryDevice(Report *R, UINT8 Instance) {
  UINT8 *Structure = ReadSmbiosStructure(SMBIOS_TYPE_MEMORY_DEVICE, Instance);
  if (Structure == NULL) {
    return FALSE;
  }
  cJSON *Element = cJSON_CreateObject();
  if (Element == NULL) {
    R->Inventory.Complete = FALSE;
  }
  // The Size word as it stands: no unit, no granularity bit, no extended size.
  ClearScratch(R);
  UINT16 Size = 0;
  if (ReadField16(Structure, kMemoryDeviceSizeOffset, &Size)) {
    RenderDecimal(Size, R->Scratch);
  }
  JsonAddString(&R->Inventory, Element, "MemorySize", R->Scratch);
  JsonAddString(&R->Inventory, Element, "MemoryDeviceLocator",
                GetNthString(Structure, kMemoryDeviceLocatorString));
  JsonAddString(&R->Inventory, Element, "MemoryBankLocator",
                GetNthString(Structure, kMemoryBankLocatorString));
  JsonAttach(&R->Inventory, R->Memory, NULL, Element);
  FreeSmbiosStructure(Structure);
  return TRUE;
}

BOOLEAN ReadMemory(Report *R) {
  R->MemoryArray = ReadSmbiosStructure(SMBIOS_TYPE_PHYSICAL_MEMORY_ARRAY, kFirstInstance);
  if (R->MemoryArray == NULL) {
    return FALSE;
  }
  R->Memory = cJSON_CreateArray();
  if (R->Memory == NULL) {
    R->Inventory.Complete = FALSE;
  }
  UINT16 Count = 0;
  if (!ReadField16(R->MemoryArray, kMemoryArrayDeviceCountOffset, &Count)) {
    Count = 0;
  }
  if (Count > kMaxMemoryDevices) {
    Count = kMaxMemoryDevices;
  }
  // Count is at most 255 here, so the 8-bit counter cannot wrap.
  for (UINT8 Instance = 1; Instance <= Count; Instance++) {
    if (!ReadMemoryDevice(R, Instance)) {
      return FALSE;
    }
    if (Instance == kMaxMemoryDevices) {
      break;
    }
  }
  JsonAttach(&R->Inventory, R->Inventory.Root, "Memory", R->Memory);
  R->Memory = NULL;
  FreeSmbiosStructure(R->MemoryArray);
  R->MemoryArray = NULL;
  return TRUE;
}

BOOLEAN ReadProcessor(Report *R) {
  UINT8 *Structure = ReadSmbiosStructure(SMBIOS_TYPE_PROCESSOR_INFORMATION, kFirstInstance);
  if (Structure == NULL) {
    return FALSE;
  }
  cJSON *Root = R->Inventory.Root;
  JsonAddString(&R->Inventory, Root, "ProcessorVersion",
                GetNthString(Structure, kProcessorVersionString));
  ClearScratch(R);
  RenderProcessorClock(ReadMsr(kMsrPerfStatus), R->Scratch);
  JsonAddString(&R->Inventory, Root, "ProcessorClock", R->Scratch);
  FreeSmbiosStructure(Structure);
  return TRUE;
}

// Prints and uploads one document, then releases its text and tree. A
// document that could not be built whole, or printed, is skipped.
VOID SendDocument(JsonDocument *Document, UINT8 MessageId) {
  if (Document->Complete && Document->Root != NULL) {
    CHAR8 *Text = cJSON_Print(Document->Root);
    if (Text != NULL) {
      UploadDocument(Text, MessageId);
      mBootServices->FreePool(Text);
    }
  }
  JsonDeleteDocument(Document);
}

// Steps 1 to 7 of a run; FALSE (with everything released) when a structure
// is missing.
BOOLEAN MakeReport() {
  Report R;
  R.Inventory = JsonNewDocument();
  R.Model = JsonNewDocument();
  R.Uuid.Root = NULL;
  R.Uuid.Complete = FALSE;
  R.Memory = NULL;
  R.MemoryArray = NULL;

  if (!ReadBios(&R) || !ReadSystem(&R) || !ReadBaseboard(&R) || !ReadMemory(&R) ||
      !ReadProcessor(&R)) {
    Discard(&R);
    return FALSE;
  }

  SendDocument(&R.Inventory, kInventoryMessageInventory);
  SendDocument(&R.Uuid, kInventoryMessageUuid);
  JsonDocument Path = JsonNewDocument();
  JsonAddString(&Path, Path.Root, "uPath", kPathValue);
  SendDocument(&Path, kInventoryMessagePath);
  SendDocument(&R.Model, kInventoryMessageModel);
  return TRUE;
}

} // namespace

VOID EFIAPI OnReadyToBoot(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  if (mBootServices == NULL) {
    return;
  }
  JsonUsePool();
  BOOLEAN Whole = MakeReport();
  JsonReleasePool();
  if (Whole) {
    // The report is made once; a failed close changes nothing for it.
    (VOID) mBootServices->CloseEvent(Event);
    if (Event == mReadyToBootEvent) {
      mReadyToBootEvent = NULL;
    }
  }
}

} // namespace Inventory
