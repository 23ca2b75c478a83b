// The teardown check on loaded images and the device hiding it triggers: only
// the firmware-core driver's file GUID in a well-formed firmware-volume file
// node removes every link and hides the devices; hiding clears decoding,
// BARs and bridge windows in its two passes, last entry first.
#include "AgentTestSupport.h"

#include <Guid/MgmtFiles.h>
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>

#include "Pci.h"

namespace {

using namespace agent_test;
using sim::PciConfigSpace;
using sim::TraceMatch;

constexpr EFI_GUID kCoreDriverFile = FIRMWARE_CORE_DRIVER_FILE_GUID;
constexpr EFI_GUID kOtherFile = {
    0x3C1DE39F, 0xD207, 0x408A, {0xAA, 0xCC, 0x73, 0x1C, 0xFB, 0x7F, 0x1D, 0xD8}};

// A firmware-volume file node naming `file`, then the end node.
Bytes FileNodePath(const EFI_GUID &file, uint16_t nodeLength = 20, uint8_t subType = 6) {
  Bytes path(nodeLength + 4, 0);
  path[0] = MEDIA_DEVICE_PATH;
  path[1] = subType;
  path[2] = static_cast<uint8_t>(nodeLength);
  path[3] = static_cast<uint8_t>(nodeLength >> 8);
  std::memcpy(path.data() + 4, &file, std::min<size_t>(sizeof(file), nodeLength - 4));
  path[nodeLength] = END_DEVICE_PATH_TYPE;
  path[nodeLength + 1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  path[nodeLength + 2] = 4;
  return path;
}

// Bridge 0:28.0 in front of the controller 2:0.0, whose 64-bit BAR 2 has an
// upper half at 0x1C.
class TeardownTest : public AgentTest {
protected:
  void SetUp() override {
    bridge.SetIds(0x8086, 0xA33C);
    bridge.Set8(0x0E, 0x01); // type-1 header
    bridge.SetWriteMask(0x04, 2, 0x0007);
    bridge.SetWriteMask(0x18, 4, 0x00FFFFFF);
    bridge.SetWriteMask(0x1C, 2, 0xF0F0);
    bridge.SetWriteMask(0x20, 4, 0xFFF0FFF0);
    bridge.Set16(0x04, 0x0407);
    bridge.Set32(0x18, 0x00020200);
    bridge.Set16(0x1C, 0xE0E0);
    bridge.Set32(0x20, 0xF7D0F7D0);
    machine.bus().Pci().Attach(0, 28, 0, &bridge, "bridge");

    device.SetIds(0x10EC, 0x8168);
    device.SetSubsystem(0x10EC, 0x3A7C);
    device.SetWriteMask(0x04, 2, 0x0007);
    device.SetBar(0, PciConfigSpace::BarKind::Io, 0x100, 0xE000);
    device.SetBar(2, PciConfigSpace::BarKind::Mem64, 0x1000, 0x1F7D00000ull);
    device.SetBar(4, PciConfigSpace::BarKind::Mem64, 0x4000, 0xF7D04000);
    device.Set16(0x04, 0x0107);
    machine.bus().Pci().Attach(2, 0, 0, &device, "nic");

    hobs.Build(std::vector<HobEntry>{
        {kMgmtDeviceKindBridge, 0, 28, 0, 0, 0, 0, 0},
        {kMgmtDeviceKindFunction, 2, 0, 0, 0xE000, 0x100, 0x10, 0},
        {kMgmtDeviceKindFunction, 2, 0, 0, 0x1F7D00000ull, 0x1000, 0x18, kMgmtDeviceBarType64}});
    mDeviceHob = hobs.Data();

    InstallLink(first);
    InstallLink(second);
    RunToEnd([&] {
      ASSERT_EQ(AgentRegisterNotify(&gEfiLoadedImageProtocolGuid, TeardownCheck), EFI_SUCCESS);
    });
    machine.trace().Clear();
  }

  void LoadImage(const Bytes *path) {
    RunToEnd([&] {
      sim::Dxe::ImageInfo info;
      info.filePath = path != nullptr
                          ? reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path->data())
                          : nullptr;
      dxe->NewImageHandle(info);
    });
  }

  size_t LinksInstalled() {
    size_t count = 0;
    for (EFI_HANDLE handle : dxe->Handles()) {
      count += dxe->InterfaceOn(handle, gMgmtLinkProtocolGuid) != nullptr ? 1 : 0;
    }
    return count;
  }

  bool Untouched() {
    return LinksInstalled() == 2 && device.Get16(0x04) == 0x0107 && bridge.Get16(0x04) == 0x0407 &&
           device.BarAddress(2) == 0x1F7D00000ull && bridge.Get32(0x18) == 0x00020200 &&
           PciWrites() == 0;
  }

  // Configuration writes of any function.
  size_t PciWrites() {
    size_t count = 0;
    for (const sim::TraceEntry &entry : machine.trace().Entries()) {
      count += entry.kind == sim::TraceEntry::MmioWrite && entry.address >= sim::kEcamBase &&
               entry.address < sim::kEcamBase + sim::kEcamSize;
    }
    return count;
  }

  PciConfigSpace bridge;
  PciConfigSpace device;
  HobListBuilder hobs{machine};
  FakeLink first;
  FakeLink second;
};

TEST_F(TeardownTest, CoreDriverImageRemovesEveryLinkAndHidesTheDevices) {
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  EXPECT_EQ(LinksInstalled(), 0u);
  RunToEnd([&] {
    VOID *link = nullptr;
    EXPECT_EQ(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, nullptr, &link), EFI_NOT_FOUND);
  });
  // Device: decoding off (other command bits kept), the three BAR dwords cleared.
  EXPECT_EQ(device.Get16(0x04), 0x0100);
  EXPECT_EQ(device.BarAddress(0), 0u);
  EXPECT_EQ(device.Get32(0x18) & 0xFFFFFFF0u, 0u);
  EXPECT_EQ(device.Get32(0x1C), 0u);
  EXPECT_EQ(device.BarAddress(4), 0xF7D04000u) << "not in the HOB: left alone";
  // Bridge: decoding off, bus numbers and windows zero.
  EXPECT_EQ(bridge.Get16(0x04), 0x0400);
  EXPECT_EQ(bridge.Get32(0x18) & 0x00FFFFFF, 0u);
  EXPECT_EQ(bridge.Get16(0x1C), 0u);
  EXPECT_EQ(bridge.Get32(0x20), 0u);
}

TEST_F(TeardownTest, HidingPassesRunDevicesFirstThenBridgesEachFromTheLastEntry) {
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  auto dev = [](uint16_t reg) { return sim::EcamAddress(2, 0, 0, reg); };
  auto brg = [](uint16_t reg) { return sim::EcamAddress(0, 28, 0, reg); };
  const auto result = machine.trace().FindSequence({
      TraceMatch::MmioWr(dev(0x04)).Size(1), // entry 2: the 64-bit BAR
      TraceMatch::MmioWr(dev(0x18), 0).Size(4),
      TraceMatch::MmioWr(dev(0x1C), 0).Size(4),
      TraceMatch::MmioWr(dev(0x04)).Size(1), // entry 1: the I/O BAR
      TraceMatch::MmioWr(dev(0x10), 0).Size(4),
      TraceMatch::MmioWr(brg(0x04)).Size(1), // entry 0: the bridge
      TraceMatch::MmioWr(brg(0x18), 0).Size(1),
      TraceMatch::MmioWr(brg(0x19), 0).Size(1),
      TraceMatch::MmioWr(brg(0x1A), 0).Size(1),
      TraceMatch::MmioWr(brg(0x20), 0).Size(2),
      TraceMatch::MmioWr(brg(0x22), 0).Size(2),
      TraceMatch::MmioWr(brg(0x1C), 0).Size(1),
      TraceMatch::MmioWr(brg(0x1D), 0).Size(1),
  });
  EXPECT_TRUE(result) << result.explanation;
  EXPECT_EQ(PciWrites(), 13u) << machine.trace().Dump();
}

TEST_F(TeardownTest, EntryWhoseDeviceNumberDoesNotFitIsSkipped) {
  // Device 32 of bus 1 would land on 2:0.0's registers, the controller's.
  hobs.Build(std::vector<HobEntry>{{kMgmtDeviceKindFunction, 1, 32, 0, 0, 0, 0x20, 0},
                                   {kMgmtDeviceKindBridge, 1, 0, 8, 0, 0, 0, 0}});
  mDeviceHob = hobs.Data();
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  EXPECT_EQ(LinksInstalled(), 0u);
  EXPECT_EQ(PciWrites(), 0u) << machine.trace().Dump();
  EXPECT_EQ(device.Get16(0x04), 0x0107);
  EXPECT_EQ(device.BarAddress(4), 0xF7D04000u);
}

TEST_F(TeardownTest, OtherImagesChangeNothing) {
  const Bytes other = FileNodePath(kOtherFile);
  LoadImage(&other);
  LoadImage(nullptr);
  EXPECT_TRUE(Untouched());
}

TEST_F(TeardownTest, OnlyTheNewestImageIsLookedAt) {
  // The core driver loaded before the check was registered does not count
  // when a later, different image arrives.
  const Bytes other = FileNodePath(kOtherFile);
  LoadImage(&other);
  EXPECT_TRUE(Untouched());
  const Bytes core = FileNodePath(kCoreDriverFile);
  LoadImage(&core);
  EXPECT_EQ(LinksInstalled(), 0u);
}

TEST_F(TeardownTest, PathTooShortOrOfAnotherKindIsNotCompared) {
  // A file node one byte too short for its GUID, followed by a node whose
  // type byte happens to be the GUID's last byte: read past the node's
  // length, the sixteen bytes would match.
  Bytes shortNode = FileNodePath(kCoreDriverFile, 19);
  shortNode.resize(4 + 16);
  std::memcpy(shortNode.data() + 4, &kCoreDriverFile, 16);
  Bytes rest = {0x01, 4, 0, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
  shortNode.insert(shortNode.end(), rest.begin(), rest.end());
  LoadImage(&shortNode);
  // A firmware-volume node (not a file node) carrying the same GUID.
  Bytes volumeNode = FileNodePath(kCoreDriverFile, 20, MEDIA_PIWG_FW_VOL_DP);
  LoadImage(&volumeNode);
  // The end node alone.
  Bytes endOnly = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
  LoadImage(&endOnly);
  EXPECT_TRUE(Untouched());
}

TEST_F(TeardownTest, WithoutALinkTheCoreDriverHidesNothing) {
  // The link not in use: nothing installed it, or its removal took it.
  RunToEnd([&] {
    for (EFI_HANDLE handle : dxe->Handles()) {
      if (VOID *link = dxe->InterfaceOn(handle, gMgmtLinkProtocolGuid); link != nullptr) {
        ASSERT_EQ(mBootServices->UninstallProtocolInterface(handle, &gMgmtLinkProtocolGuid, link),
                  EFI_SUCCESS);
      }
    }
  });
  machine.trace().Clear();
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  EXPECT_EQ(PciWrites(), 0u) << machine.trace().Dump();
  EXPECT_EQ(device.Get16(0x04), 0x0107);
  EXPECT_EQ(bridge.Get32(0x18), 0x00020200u);
}

TEST_F(TeardownTest, CoreDriverLoadedAgainAfterTheTeardownTouchesNothing) {
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  ASSERT_EQ(LinksInstalled(), 0u);
  machine.trace().Clear();
  LoadImage(&path);
  EXPECT_EQ(PciWrites(), 0u) << machine.trace().Dump();
}

TEST_F(TeardownTest, WrapperStopsForwardingOnceTheLinkIsGone) {
  mSavedTransact = first.OwnTransact();
  const Bytes path = FileNodePath(kCoreDriverFile);
  LoadImage(&path);
  UINT8 answer[8];
  UINT16 length = sizeof(answer);
  RunToEnd([&] {
    EXPECT_EQ(AgentTransactWithRetry(first.Protocol(), "\0\0\x03\x02", 4, 500, answer, &length),
              EFI_UNSUPPORTED);
  });
  EXPECT_EQ(first.Attempts(), 0u);
}

// ---- link removal when the link is not in use ----

class RemoveLinkTest : public AgentTest {};

TEST_F(RemoveLinkTest, EveryLinkInstalledLaterIsRemovedAtOnce) {
  RunToEnd(
      [&] { ASSERT_EQ(AgentRegisterNotify(&gMgmtLinkProtocolGuid, RemoveLink), EFI_SUCCESS); });
  FakeLink a;
  FakeLink b;
  InstallLink(a);
  InstallLink(b);
  RunToEnd([&] {
    VOID *link = nullptr;
    EXPECT_EQ(mBootServices->LocateProtocol(&gMgmtLinkProtocolGuid, nullptr, &link), EFI_NOT_FOUND);
  });
  EXPECT_EQ(dxe->PoolAllocationsInUse(), 0u) << dxe->DescribeLiveAllocations();
}

} // namespace
