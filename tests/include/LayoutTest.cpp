// Run-time checks of what the shared headers compute: command codes against
// the codes the controller knows, the request bytes on the wire, the Setup
// field offsets against the agent's offset table, the device-list accessors
// on an unaligned byte image, and the EC status conversions.
#include <Board/BoardConfig.h>
#include <Guid/GpioUnlockHob.h>
#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>
#include <MgmtLink/Frames.h>
#include <Ppi/EcAccess.h>
#include <Ppi/PciDeviceList.h>
#include <Protocol/NicIo.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct CodeCase {
  uint32_t Code;
  uint8_t Group;
  uint8_t Item; // without the write bit
  bool Write;
};

// Every item the agent exchanges.
const CodeCase kCodes[] = {
    {0x02030000, 0x02, 0x03, false}, {0x02230000, 0x02, 0x03, true},
    {0x02000000, 0x02, 0x00, false}, {0x02200000, 0x02, 0x00, true},
    {0x02040000, 0x02, 0x04, false}, {0x02240000, 0x02, 0x04, true},
    {0x01070000, 0x01, 0x07, false}, {0x01270000, 0x01, 0x07, true},
    {0x01080000, 0x01, 0x08, false}, {0x01280000, 0x01, 0x08, true},
    {0x01290000, 0x01, 0x09, true},
};

class CommandCode : public testing::TestWithParam<CodeCase> {};

TEST_P(CommandCode, HelpersEncodeAndDecodeTheItem) {
  const CodeCase &C = GetParam();
  uint32_t Built = C.Write ? MgmtWriteCode(C.Group, C.Item) : MgmtReadCode(C.Group, C.Item);
  EXPECT_EQ(Built, C.Code);
  EXPECT_EQ(MgmtCodeGroup(C.Code), C.Group);
  EXPECT_EQ(MgmtCodeIsWrite(C.Code), C.Write ? TRUE : FALSE);
  EXPECT_EQ(MgmtCodeAsRead(C.Code), MgmtReadCode(C.Group, C.Item));
  EXPECT_EQ(MgmtCodeAsWrite(C.Code), MgmtWriteCode(C.Group, C.Item));
  EXPECT_EQ(C.Code & 0xFFFFu, 0u);
}

INSTANTIATE_TEST_SUITE_P(AgentItems, CommandCode, testing::ValuesIn(kCodes));

TEST(CommandCode, ReadHelperDropsAWriteBitGivenInTheItem) {
  EXPECT_EQ(MgmtReadCode(0x02, 0x23), 0x02030000u);
  EXPECT_EQ(MgmtWriteCode(0x02, 0x23), 0x02230000u);
}

TEST(CommandCode, TextItemWriteStartsWithItsLittleEndianCode) {
  uint8_t Request[4];
  uint32_t Code = kMgmtWriteTextItem;
  std::memcpy(Request, &Code, sizeof(Request)); // the host is little-endian like the board
  const uint8_t Expected[] = {0x00, 0x00, 0x29, 0x01};
  EXPECT_EQ(std::memcmp(Request, Expected, 4), 0);
}

TEST(FrameConstants, LinkTagGoesOnTheWireAs000927C0) {
  const uint8_t Wire[] = {
      static_cast<uint8_t>(kMgmtLinkTag >> 24), static_cast<uint8_t>(kMgmtLinkTag >> 16),
      static_cast<uint8_t>(kMgmtLinkTag >> 8), static_cast<uint8_t>(kMgmtLinkTag)};
  const uint8_t Expected[] = {0x00, 0x09, 0x27, 0xC0};
  EXPECT_EQ(std::memcmp(Wire, Expected, 4), 0);
}

TEST(FrameConstants, LargestPayloadsFillTheFrameBufferExactly) {
  EXPECT_EQ(kMgmtNoticePayloadOffset + kMgmtNoticeMaxPayload, kMgmtFrameBufferSize);
  EXPECT_EQ(kMgmtRequestPayloadOffset + kMgmtRequestMaxPayload, kMgmtFrameBufferSize);
  EXPECT_EQ(MgmtNoticeIpTotalLength(kMgmtNoticeMaxPayload) + kMgmtEthHeaderSize,
            kMgmtFrameBufferSize);
  EXPECT_EQ(MgmtRequestIpTotalLength(1) + kMgmtEthHeaderSize, 49u); // a one-byte request
}

TEST(SetupLayout, RangeOffsetsMatchTheAgentsPairTable) {
  const uint32_t Pairs[8][2] = {{2091, 2331}, {2121, 2361}, {2151, 2391}, {2181, 2421},
                                {2211, 2451}, {2241, 2481}, {2271, 2511}, {2301, 2541}};
  for (uint32_t K = 0; K < 8; K++) {
    EXPECT_EQ(MgmtRangeFirst(K), Pairs[K][0]) << K;
    EXPECT_EQ(MgmtRangeLast(K), Pairs[K][1]) << K;
  }
}

TEST(SetupLayout, FieldOffsetsMatchTheirHexadecimalForms) {
  EXPECT_EQ(SetupOffset::MgmtFirstStartMark, 0x7C3u);
  EXPECT_EQ(SetupOffset::MgmtOobEnable, 0x7C4u);
  EXPECT_EQ(SetupOffset::MgmtAgentEnable, 0x7C5u);
  EXPECT_EQ(SetupOffset::MgmtRebindEnable, 0x7C6u);
  EXPECT_EQ(SetupOffset::MgmtHobForce, 0x7C7u);
  EXPECT_EQ(SetupOffset::MgmtDisplayMode, 0x7C8u);
  EXPECT_EQ(SetupOffset::MgmtResetCount, 0x824u);
  EXPECT_EQ(SetupOffset::MgmtLinkPollCount, 0x825u);
  EXPECT_EQ(SetupOffset::MgmtRangeOption, 0x829u);
  EXPECT_EQ(SetupOffset::MgmtRangeRows, 0x82Au);
  EXPECT_EQ(SetupOffset::MgmtTextItem, 0xA0Bu);
  EXPECT_EQ(SetupOffset::SioEcOption, 1866u);
  EXPECT_LT(SetupOffset::MgmtTextItem, kSetupVariableSize);
}

std::u16string Chars(const CHAR16 *Text) {
  std::u16string Out;
  while (*Text != 0) {
    Out += static_cast<char16_t>(*Text++);
  }
  return Out;
}

TEST(VariableNames, AreTheNamesTheFirmwareStoresUnder) {
  EXPECT_EQ(Chars(kSetupVariableName), u"Setup");
  EXPECT_EQ(Chars(kAcceVarName), u"AcceVar");
  EXPECT_EQ(Chars(kNetworkStackVarName), u"NetworkStackVar");
}

// A device-list PPI as its producer lays it out: the count at byte 13 and
// the record addresses from byte 17, so every UINT32 is unaligned.
TEST(PciDeviceList, RecordAddressesAreReadFromTheUnalignedArray) {
  std::vector<uint8_t> Image(kPciDeviceListRecordsOffset + 3 * 4, 0xCC);
  const uint32_t Count = 3;
  const uint32_t Addresses[] = {0x12345678, 0x00100040, 0xFEDCBA98};
  std::memcpy(&Image[kPciDeviceListCountOffset], &Count, 4);
  for (uint32_t I = 0; I < 3; I++) {
    std::memcpy(&Image[kPciDeviceListRecordsOffset + 4 * I], &Addresses[I], 4);
  }
  auto *Ppi = reinterpret_cast<const PCI_DEVICE_LIST_PPI *>(Image.data());
  const uint32_t RecordCount = Ppi->RecordCount; // packed: no reference to it
  EXPECT_EQ(RecordCount, Count);
  for (uint32_t I = 0; I < 3; I++) {
    EXPECT_EQ(PciDeviceListRecordAddress(Ppi, I), Addresses[I]) << I;
  }
}

TEST(PciDeviceList, RecordFieldsSitWhereTheProducerWritesThem) {
  uint8_t Bytes[sizeof(PCI_DEVICE_LIST_RECORD)] = {};
  const uint32_t Kind = 3, BarType = 4;
  const uint64_t Base = 0xDF000000ull, Length = 0x4000;
  std::memcpy(&Bytes[0], &Kind, 4);
  Bytes[4] = 2;
  Bytes[5] = 0;
  Bytes[6] = 1;
  std::memcpy(&Bytes[12], &BarType, 4);
  std::memcpy(&Bytes[16], &Base, 8);
  std::memcpy(&Bytes[24], &Length, 8);
  Bytes[40] = 0x18;
  PCI_DEVICE_LIST_RECORD Record;
  std::memcpy(&Record, Bytes, sizeof(Record));
  EXPECT_EQ(Record.Kind, Kind);
  EXPECT_EQ(Record.Bus, 2);
  EXPECT_EQ(Record.Function, 1);
  EXPECT_EQ(Record.BarType, BarType);
  EXPECT_EQ(Record.Base, Base);
  EXPECT_EQ(Record.Length, Length);
  EXPECT_EQ(Record.BarOffset, 0x18);
}

TEST(GpioUnlockHob, EntryCountFollowsTheHobLength) {
  EXPECT_EQ(GpioUnlockHobEntryCount(24), 0u);
  EXPECT_EQ(GpioUnlockHobEntryCount(24 + 8 * 19), 19u);
  EXPECT_EQ(GpioUnlockHobEntryCount(24 + 8 * 19 + 7), 19u); // a partial entry does not count
  EXPECT_EQ(GpioUnlockHobEntryCount(8), 0u);                // shorter than a GUID HOB
}

TEST(EcStatus, ErrorsAreTheResultsWithTheHighBit) {
  EXPECT_FALSE(EcStatusIsError(kEcStatusSuccess));
  EXPECT_TRUE(EcStatusIsError(kEcStatusTimeout));
  EXPECT_TRUE(EcStatusIsError(kEcStatusNotReady));
  EXPECT_FALSE(EcStatusIsError(0x7FFFFFFF));
}

TEST(EcStatus, WidensToTheCallersStatusKeepingItsMeaning) {
  EXPECT_EQ(EcStatusToEfiStatus(kEcStatusSuccess), EFI_SUCCESS);
  EXPECT_EQ(EcStatusToEfiStatus(kEcStatusNotReady), EFI_NOT_READY);
  EXPECT_EQ(EcStatusToEfiStatus(kEcStatusTimeout), static_cast<EFI_STATUS>(-1));
  EXPECT_TRUE(EFI_ERROR(EcStatusToEfiStatus(kEcStatusTimeout)));
}

TEST(NicIoBarKind, ClassifiesEveryKind) {
  for (UINT32 Kind = 0; Kind < 10; Kind++) {
    EXPECT_EQ(NicIoBarKindIsIo(Kind), (Kind == 2 || Kind == 3) ? TRUE : FALSE) << Kind;
    EXPECT_EQ(NicIoBarKindIsMemory(Kind), (Kind >= 4 && Kind <= 7) ? TRUE : FALSE) << Kind;
  }
  EXPECT_TRUE(NicIoBarKindIsIo(kNicIoBarKindIo));
  EXPECT_TRUE(NicIoBarKindIsMemory(kNicIoBarKindMemory));
}

TEST(BoardConfig, ConfigAddressesFollowTheMemoryMappedWindow) {
  EXPECT_EQ(BoardPciConfigAddress(0, 31, 0, 0x02), 0xE00F8002u);
  EXPECT_EQ(BoardPciConfigAddress(0, 31, 1, 0xD8), 0xE00F90D8u);
}

} // namespace
