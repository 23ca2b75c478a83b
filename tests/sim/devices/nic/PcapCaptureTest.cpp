// End to end through both models with the wire captured: a request leaves the
// controller model with inserted checksums, the management-controller model
// answers, and the capture opens in a real dissector as broadcast
// Ethernet/IPv4/UDP with time to live 0 and correct checksums.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "MgmtController.h"
#include "NicRig.h"
#include "PcapWriter.h"

namespace {

std::string Shell(const std::string &command) {
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return output;
  }
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
    output += buffer;
  }
  pclose(pipe);
  return output;
}

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

class PcapCaptureTest : public ::testing::Test {
protected:
  void SetUp() override {
    path = ::testing::TempDir() + "nic-capture-" + std::to_string(getpid()) + ".pcap";
    writer = sim::PcapWriter::Open(path, &error);
    ASSERT_NE(writer, nullptr) << error;
    rig.nic.SetTap(writer.get());
    rig.nic.AttachPeer(&controller);
    controller.Attach(&rig.nic);
    rig.Start();
  }
  void TearDown() override { std::remove(path.c_str()); }

  nictest::NicRig rig;
  sim::MgmtController controller{rig.machine};
  std::unique_ptr<sim::PcapWriter> writer;
  std::string path, error;
};

TEST_F(PcapCaptureTest, ExchangeIsCapturedInBothDirectionsWithVirtualTimeStamps) {
  rig.Wait(1000);
  rig.Queue(nictest::ReadRequest(0x02030000));
  rig.Wait(300);
  ASSERT_TRUE(rig.Receive().has_value());
  ASSERT_EQ(writer->FramesWritten(), 2u);

  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 24u + 2 * 16);
  auto le32 = [&](size_t at) {
    return uint32_t{bytes[at]} | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
  };
  EXPECT_EQ(le32(0), 0xA1B2C3D4u) << "classic pcap, microsecond stamps";
  EXPECT_EQ(le32(20), 1u) << "Ethernet link type";
  const uint32_t firstUs = le32(24 + 4);
  const size_t second = 24 + 16 + le32(24 + 8);
  const uint32_t secondUs = le32(second + 4);
  EXPECT_GE(firstUs, 1000u);
  EXPECT_EQ(secondUs - firstUs, 200u) << "the answer's default delay";
}

TEST_F(PcapCaptureTest, RealDissectorAcceptsTheFramesAndTheirChecksums) {
  if (!HaveTshark()) {
    GTEST_SKIP() << "tshark is not installed (scripts/setup-deps.sh installs it)";
  }
  rig.Queue(nictest::ReadRequest(0x02030000));
  rig.Wait(300);
  ASSERT_TRUE(rig.Receive().has_value());
  writer.reset(); // close the file

  const std::string fields =
      Shell("tshark -r '" + path +
            "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields -E separator=, "
            "-e eth.dst -e eth.type -e ip.ttl -e ip.proto -e ip.checksum.status "
            "-e udp.checksum.status -e udp.srcport -e udp.dstport 2>/dev/null");
  std::istringstream lines(fields);
  std::string request, answer;
  std::getline(lines, request);
  std::getline(lines, answer);
  EXPECT_EQ(request, "ff:ff:ff:ff:ff:ff,0x0800,0,17,1,1,50000,60000") << fields;
  EXPECT_EQ(answer, "ff:ff:ff:ff:ff:ff,0x0800,0,17,1,1,60000,50000") << fields;
  // Status 1 is "Good": both frames verified, neither bad nor unverified.
  const std::string good =
      Shell("tshark -r '" + path +
            "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields -e frame.number "
            "-Y 'ip.checksum.status == 1 && udp.checksum.status == 1' 2>/dev/null");
  EXPECT_EQ(good, "1\n2\n");
}

} // namespace
