// EFI_PEI_READ_ONLY_VARIABLE2_PPI: UEFI variable reads during PEI.
#pragma once

#include <Pi/PiPeiCis.h>

#define EFI_PEI_READ_ONLY_VARIABLE2_PPI_GUID                                                       \
  {                                                                                                \
    0x2AB86EF5, 0xECB5, 0x4134, { 0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4 }                 \
  }

typedef struct EFI_PEI_READ_ONLY_VARIABLE2_PPI EFI_PEI_READ_ONLY_VARIABLE2_PPI;

/// Reads variable VariableName of vendor VariableGuid into Data.
/// @param DataSize  In: size of Data. Out: size of the variable.
/// @retval EFI_BUFFER_TOO_SMALL  Data is too small; DataSize holds the size needed.
/// @retval EFI_NOT_FOUND         No such variable.
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_VARIABLE2)(IN CONST EFI_PEI_READ_ONLY_VARIABLE2_PPI *This,
                                                  IN CONST CHAR16 *VariableName,
                                                  IN CONST EFI_GUID *VariableGuid,
                                                  OUT UINT32 *Attributes OPTIONAL,
                                                  IN OUT UINTN *DataSize, OUT VOID *Data OPTIONAL);

/// Steps to the variable after VariableName/VariableGuid; an empty name starts the walk.
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_NEXT_VARIABLE_NAME2)(
    IN CONST EFI_PEI_READ_ONLY_VARIABLE2_PPI *This, IN OUT UINTN *VariableNameSize,
    IN OUT CHAR16 *VariableName, IN OUT EFI_GUID *VariableGuid);

struct EFI_PEI_READ_ONLY_VARIABLE2_PPI {
  EFI_PEI_GET_VARIABLE2 GetVariable;
  EFI_PEI_GET_NEXT_VARIABLE_NAME2 NextVariableName;
};
static_assert(sizeof(EFI_PEI_READ_ONLY_VARIABLE2_PPI) == 2 * sizeof(VOID *), "variable PPI");

extern EFI_GUID gEfiPeiReadOnlyVariable2PpiGuid;
