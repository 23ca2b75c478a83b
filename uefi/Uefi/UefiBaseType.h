// Base types of UEFI and PI: fixed-width integers, EFI_STATUS, EFI_GUID and
// the calling convention. Freestanding: no standard headers, the same text
// compiles for the X64 and IA32 firmware targets and for the host.
#pragma once

typedef unsigned char UINT8;
typedef signed char INT8;
typedef unsigned short UINT16;
typedef short INT16;
typedef unsigned int UINT32;
typedef int INT32;
typedef unsigned long long UINT64;
typedef long long INT64;
typedef __UINTPTR_TYPE__ UINTN;
typedef __INTPTR_TYPE__ INTN;
typedef unsigned char BOOLEAN;
typedef char CHAR8;
typedef unsigned short CHAR16;
typedef void VOID;

static_assert(sizeof(UINT64) == 8 && sizeof(UINT32) == 4 && sizeof(UINT16) == 2, "integer widths");
static_assert(sizeof(UINTN) == sizeof(void *), "UINTN is pointer-wide");
static_assert(sizeof(CHAR16) == 2, "UCS-2 characters");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#ifndef NULL
#define NULL nullptr
#endif

#define IN
#define OUT
#define OPTIONAL
#define CONST const

// x86-64 firmware uses the Microsoft calling convention, on the board and in
// host builds alike; IA32 firmware uses the default C convention.
#if defined(__x86_64__) || defined(_M_X64)
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_LBA;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

typedef struct {
  UINT8 Addr[32];
} EFI_MAC_ADDRESS;

#define MAX_BIT ((UINTN)1 << (sizeof(UINTN) * 8 - 1))
#define ENCODE_ERROR(Code) ((EFI_STATUS)(MAX_BIT | (Code)))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED ENCODE_ERROR(10)
#define EFI_VOLUME_FULL ENCODE_ERROR(11)
#define EFI_NO_MEDIA ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED ENCODE_ERROR(13)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_NO_RESPONSE ENCODE_ERROR(16)
#define EFI_NO_MAPPING ENCODE_ERROR(17)
#define EFI_TIMEOUT ENCODE_ERROR(18)
#define EFI_NOT_STARTED ENCODE_ERROR(19)
#define EFI_ALREADY_STARTED ENCODE_ERROR(20)
#define EFI_ABORTED ENCODE_ERROR(21)
#define EFI_SECURITY_VIOLATION ENCODE_ERROR(26)

// The ordering of GUIDs carries no meaning; equality is all callers need.
static inline BOOLEAN CompareGuid(const EFI_GUID *A, const EFI_GUID *B) {
  const UINT8 *X = (const UINT8 *)A;
  const UINT8 *Y = (const UINT8 *)B;
  for (UINTN I = 0; I < sizeof(EFI_GUID); I++) {
    if (X[I] != Y[I]) {
      return FALSE;
    }
  }
  return TRUE;
}

// Layout helpers for the offset checks in every table header.
#define OFFSET_OF(Type, Field) __builtin_offsetof(Type, Field)

// Picks the expected value for the X64 or the IA32 layout of a table.
#define EFI_ABI_PICK(X64, IA32) (sizeof(VOID *) == 8 ? (X64) : (IA32))

// Both firmware ABIs align UINT64 struct members to 8 bytes; a 32-bit
// System V target (4-byte alignment) would silently break every table.
typedef struct {
  UINT32 A;
  UINT64 B;
} EFI_ABI_UINT64_ALIGNMENT_CHECK;
static_assert(OFFSET_OF(EFI_ABI_UINT64_ALIGNMENT_CHECK, B) == 8,
              "UINT64 members are 8-byte aligned");

#define SIGNATURE_16(A, B) ((UINT16)((A) | ((B) << 8)))
#define SIGNATURE_32(A, B, C, D) ((UINT32)(SIGNATURE_16(A, B) | (SIGNATURE_16(C, D) << 16)))
#define SIGNATURE_64(A, B, C, D, E, F, G, H)                                                       \
  ((UINT64)SIGNATURE_32(A, B, C, D) | ((UINT64)SIGNATURE_32(E, F, G, H) << 32))

#define EFI_PAGE_SIZE 0x1000
#define EFI_PAGE_MASK 0xFFF
#define EFI_PAGE_SHIFT 12
#define EFI_SIZE_TO_PAGES(Size) (((Size) >> EFI_PAGE_SHIFT) + (((Size)&EFI_PAGE_MASK) ? 1 : 0))
#define EFI_PAGES_TO_SIZE(Pages) ((Pages) << EFI_PAGE_SHIFT)

// Warnings: high bit clear, so EFI_ERROR is false for them.
#define EFI_WARN_UNKNOWN_GLYPH ((EFI_STATUS)1)
#define EFI_WARN_DELETE_FAILURE ((EFI_STATUS)2)
#define EFI_WARN_WRITE_FAILURE ((EFI_STATUS)3)
#define EFI_WARN_BUFFER_TOO_SMALL ((EFI_STATUS)4)
#define EFI_WARN_STALE_DATA ((EFI_STATUS)5)
