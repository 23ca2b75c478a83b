// The per-controller state of NicLinkDxe: one device context per NIC I/O
// notification, holding the adapter record (identity, chip version and flags,
// ring state, DMA area), the hooks the adapter code calls, the link state of
// the protocol operations and, last, the MGMT_LINK_PROTOCOL record itself.
// Operations find their context from the record by its fixed position.
#pragma once

#include <Protocol/MgmtLink.h>
#include <Protocol/NicIo.h>
#include <Register/Nic.h>
#include <Uefi/UefiBaseType.h>

constexpr UINT64 kNicContextSignature = SIGNATURE_32('u', 'n', 'd', 'i'); // 0x69646E75
constexpr UINT32 kNicContextSize = 13112;
constexpr UINT8 kNicInterfaceVersion = 0x31;

// DMA area: 99 pages obtained, 403,454 bytes recorded and used.
constexpr UINTN kNicDmaPages = 99;
constexpr UINT32 kNicDmaAreaSize = 403454;
constexpr UINT32 kNicDmaRxRingOffset = 0;
constexpr UINT32 kNicDmaTxRingOffset = kNicRingBytes;
constexpr UINT32 kNicDmaRxBufferOffset = 2 * kNicRingBytes;
constexpr UINT64 kNicDmaLimit = 0x100000000ull; // device addresses must stay below 4 GiB
constexpr UINT32 kNicCompletedQueueEntries = 512;

static_assert(kNicDmaRxBufferOffset + kNicRingDescriptors * kNicRxBufferSize + kNicRingAlignment <=
                  kNicDmaAreaSize,
              "rings and buffers fit the recorded area from its first aligned address");
static_assert(kNicDmaAreaSize <= kNicDmaPages * EFI_PAGE_SIZE);

// Small result codes of the hardware layer; the protocol layer never passes
// them on as statuses.
enum NIC_HW_CODE : UINT32 {
  NicHwOk = 0,
  NicHwRingFull = 4,
  NicHwAddressUnusable = 14,
  NicHwDmaAreaTooSmall = 18,
  NicHwNothingReceived = 19,
};

// Codes of the register-access routine.
enum NIC_REGISTER_ACCESS_CODE : UINT8 {
  NicAccessIoRead = 0,
  NicAccessIoWrite = 1,
  NicAccessMemRead = 2,
  NicAccessMemWrite = 4,
};
constexpr UINT8 kNicIoBar = 0;
constexpr UINT8 kNicMemBar = 1;

// Classes of chip versions that bring-up tells apart (0: unrecognised).
enum NIC_CHIP_CLASS : UINT8 {
  NicClassNone = 0,
  NicClass1 = 1,
  NicClass2 = 2,
  NicClass3 = 3,
  NicClass4 = 4,
};

// The adapter code's register-access hook: reads or writes Length bytes at
// Offset of BAR 0 (I/O) or BAR 1 (memory) for the adapter named by UniqueId.
typedef EFI_STATUS (*NIC_REGISTER_ACCESS)(VOID *UniqueId, UINT8 Code, UINT8 Length, UINT64 Offset,
                                          VOID *Buffer);

typedef struct {
  UINT64 DescriptorAddress;
  UINT64 BufferAddress;
  UINT32 Length;
  UINT32 Reserved;
} NIC_TX_RECORD;

typedef struct {
  // Location and identity.
  UINT16 Segment;
  UINT16 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT16 VendorId;
  UINT16 DeviceId;
  UINT16 SubsystemVendorId;
  UINT16 SubsystemId;
  UINT8 RevisionId;
  UINT8 StationAddress[kNicStationAddressSize];
  UINT8 LinkAtBringUp;
  UINT32 ConfigHeader[kNicPciConfigDwords];

  // Chip version and its flags (all zero for an unrecognised chip).
  UINT32 ChipVersion;
  UINT8 ChipClass;     // NIC_CHIP_CLASS
  UINT8 GphyAccess;    // PHY through the GPHY window
  UINT8 F2Handling;    // bit 3 of register 0xF2 around configuration
  UINT8 RegisterLock;  // lock bits of 0x50 around type-3 writes
  UINT8 PhyQuirk;      // versions 54 to 56 without OOB firmware
  UINT8 OobAccessType; // 1 OCP window, 2 extended window, 3 fixed form
  UINT8 OobKind;       // how OOB firmware presence is detected (0: never)
  UINT8 OobFirmware;   // OOB firmware runs
  UINT8 OcpFailed;     // an OCP access timed out; never cleared
  UINT8 Reserved0;
  UINT16 PhyPage; // GPHY chips: page last written to PHY register 31

  // Rings.
  UINT16 TxIndex;      // next transmit descriptor to fill
  UINT16 ReclaimIndex; // last transmit descriptor reclaimed
  UINT16 RxIndex;      // next receive descriptor to look at
  UINT16 CompletedProducer;
  UINT16 CompletedConsumer;
  UINT64 RxRing; // host (= device) addresses inside the DMA area
  UINT64 TxRing;
  UINT64 RxBuffers;
  NIC_TX_RECORD TxRecords[kNicRingDescriptors];
  UINT64 CompletedQueue[kNicCompletedQueueEntries];

  // DMA area.
  UINT64 DmaHostAddress;
  UINT64 DmaDeviceAddress;
  UINT32 DmaSize;
  UINT32 Reserved1;
} NIC_ADAPTER;

// The driver's hooks as the adapter code sees them. Map, unmap and the three
// further hooks stay empty: device addresses are host addresses.
typedef struct {
  VOID *UniqueId; // the adapter record's own address
  UINT8 InterfaceVersion;
  NIC_REGISTER_ACCESS RegisterAccess;
  NIC_IO_STALL Stall;
  VOID *Map;
  VOID *Unmap;
  VOID *Spare[3];
} NIC_HOOKS;

// Room the context keeps between its named state and the protocol record, so
// that the whole context keeps its fixed size.
constexpr UINTN kNicContextReserved = 2360;

typedef struct {
  UINT64 Signature;
  NIC_ADAPTER Adapter;
  NIC_HOOKS Hooks;
  NIC_IO_PROTOCOL *NicIo;
  // Link state of the protocol operations.
  UINT32 LinkTag;
  UINT8 Opened;
  UINT8 OobConfigured;
  UINT8 TxConfigSaved; // SavedTxConfig holds what an opening read
  UINT32 SavedTxConfig;
  UINT8 Reserved[kNicContextReserved];
  MGMT_LINK_PROTOCOL Link; // last: operations find the context from it
} NIC_DEVICE_CONTEXT;

#if defined(__x86_64__) || defined(_M_X64)
static_assert(sizeof(NIC_DEVICE_CONTEXT) == kNicContextSize, "device context size");
static_assert(OFFSET_OF(NIC_DEVICE_CONTEXT, Link) + sizeof(MGMT_LINK_PROTOCOL) == kNicContextSize,
              "the protocol record ends the context");
#endif
static_assert(sizeof(NIC_TX_RECORD) == 24);

inline NIC_DEVICE_CONTEXT *NicContextFromLink(MGMT_LINK_PROTOCOL *This) {
  return (NIC_DEVICE_CONTEXT *)((UINT8 *)This - OFFSET_OF(NIC_DEVICE_CONTEXT, Link));
}

inline NIC_DEVICE_CONTEXT *NicContextFromAdapter(VOID *UniqueId) {
  return (NIC_DEVICE_CONTEXT *)((UINT8 *)UniqueId - OFFSET_OF(NIC_DEVICE_CONTEXT, Adapter));
}

// Every delay of the driver goes through the NIC I/O protocol's Stall.
inline void NicStall(NIC_DEVICE_CONTEXT *Ctx, UINTN Microseconds) {
  (void)Ctx->Hooks.Stall(Microseconds); // returns its argument
}
