// A DXE driver that goes wrong on purpose, to show that a module's host
// fault ends its run naming the module and leaves the process running. The
// byte of the variable "Misbehave" picks how; without it the driver does
// nothing and succeeds.
#include "TestModules.h"

namespace {

EFI_SYSTEM_TABLE *mSystemTable;

// Deep enough that nothing but the stack's end stops it.
constexpr UINTN kUnboundedDepth = 1u << 30;

UINTN Recurse(volatile UINT8 *Previous, UINTN Depth) {
  volatile UINT8 Frame[512];
  Frame[0] = (UINT8)Depth;
  Frame[sizeof Frame - 1] = Previous[0];
  if (Depth == kUnboundedDepth) {
    return Frame[1];
  }
  return Recurse(Frame, Depth + 1) + Frame[1];
}

} // namespace

extern "C" EFI_STATUS EFIAPI WildPointerDxeEntryPoint(EFI_HANDLE ImageHandle,
                                                      EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  mSystemTable = SystemTable;
  UINT8 How = kMisbehaveNothing;
  UINTN Size = sizeof How;
  EFI_GUID Vendor = kMisbehaveVendor;
  CHAR16 Name[] = {'M', 'i', 's', 'b', 'e', 'h', 'a', 'v', 'e', 0};
  if (EFI_ERROR(SystemTable->RuntimeServices->GetVariable(Name, &Vendor, NULL, &Size, &How))) {
    return EFI_SUCCESS;
  }
  volatile UINT32 *Wild = (volatile UINT32 *)kWildAddress;
  switch (How) {
  case kMisbehaveRead:
    return *Wild;
  case kMisbehaveWrite:
    *Wild = 1;
    break;
  case kMisbehaveJump:
    ((void (*)())kWildAddress)();
    break;
  case kMisbehaveOverflow: {
    volatile UINT8 Start = 0;
    return Recurse(&Start, 0);
  }
  case kMisbehaveServiceArgument: {
    UINT8 Buffer[16] = {0};
    mSystemTable->BootServices->CopyMem((VOID *)kWildAddress, Buffer, sizeof Buffer);
    break;
  }
  }
  return EFI_SUCCESS;
}
