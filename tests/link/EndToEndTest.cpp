// One display-mode exchange end to end, as the agent makes it at start-up:
// Open(1, 600000), a Transact of item 0x02030000 answered by the
// management-controller model, Open(0, 600000). The wire is captured to a
// pcap file and read back by a real dissector (tshark), which must see
// broadcast Ethernet/IPv4/UDP with time-to-live 0 and good checksums.
#include "LinkFixture.h"

#include "PcapWriter.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace link_test {
namespace {

constexpr uint32_t kDisplayMode = 0x02030000;

bool HaveTshark() { return std::system("command -v tshark > /dev/null 2>&1") == 0; }

// One line per frame: the fields asked for, comma-separated.
std::vector<std::string> Dissect(const std::string &path) {
  std::string command = "tshark -r '" + path +
                        "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields "
                        "-E separator=, -e eth.dst -e ip.ttl -e ip.checksum.status "
                        "-e udp.checksum.status -e udp.srcport -e udp.dstport -e data.len "
                        "2>/dev/null";
  std::vector<std::string> lines;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return lines;
  }
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line.pop_back();
    }
    lines.push_back(line);
  }
  pclose(pipe);
  return lines;
}

using EndToEndTest = LinkFixture;

TEST_F(EndToEndTest, DisplayModeExchangeOnTheWire) {
  std::string path = ::testing::TempDir() + "niclink-display-mode.pcap";
  std::string error;
  std::unique_ptr<sim::PcapWriter> capture = sim::PcapWriter::Open(path, &error);
  ASSERT_NE(capture, nullptr) << error;
  nic_.SetTap(capture.get());

  Load();
  peer_.SetItem(kDisplayMode, {0x01});
  ASSERT_EQ(Open(1, kTag), EFI_SUCCESS);
  ASSERT_EQ(Transact(ItemRequest(kDisplayMode), 500), EFI_SUCCESS);
  EXPECT_EQ(answer_, (std::vector<uint8_t>{0x00, 0x00, 0x01}));
  ASSERT_EQ(Open(0, kTag), EFI_SUCCESS);
  nic_.SetTap(nullptr);
  EXPECT_EQ(capture->FramesWritten(), 2u) << "the request and its answer";
  capture.reset();

  ASSERT_EQ(peer_.Requests().size(), 1u);
  EXPECT_EQ(peer_.Requests()[0].code, kDisplayMode);
  EXPECT_EQ(peer_.ChecksumFailures(), 0u);

  if (!HaveTshark()) {
    GTEST_SKIP() << "tshark is not installed; the capture is at " << path;
  }
  std::vector<std::string> frames = Dissect(path);
  ASSERT_EQ(frames.size(), 2u);
  // checksum.status: 1 = good. The request carries the 4-byte command code
  // after the 6-byte link header.
  EXPECT_EQ(frames[0], "ff:ff:ff:ff:ff:ff,0,1,1,50000,60000,10");
  std::stringstream answer(frames[1]);
  std::vector<std::string> fields;
  for (std::string field; std::getline(answer, field, ',');) {
    fields.push_back(field);
  }
  ASSERT_GE(fields.size(), 6u) << frames[1];
  EXPECT_EQ(fields[2], "1") << "answer IPv4 checksum";
  EXPECT_EQ(fields[3], "1") << "answer UDP checksum";
  EXPECT_EQ(fields[5], "50000");
}

} // namespace
} // namespace link_test
