// The Wireshark dissector of tools/wireshark read by tshark over captures of
// mgmt-sim: the fields of each kind of frame, request and answer paired, the
// inventory upload put back together, and damaged frames marked malformed
// without a Lua error.
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using tooltest::Result;

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// One row per frame, fields by name.
using Row = std::map<std::string, std::string>;

std::vector<Row> Fields(const fs::path &pcap, const std::vector<std::string> &fields,
                        std::string *errors) {
  std::string command = "tshark -2 -X lua_script:" + std::string(MGMT_WIRESHARK_DISSECTOR) +
                        " -r '" + pcap.string() + "' -T fields -E separator='|'";
  for (const std::string &field : fields) {
    command += " -e " + field;
  }
  Result r = tooltest::RunCommand(command);
  *errors = r.status == 0 ? "" : "tshark exit " + std::to_string(r.status) + ": ";
  // tshark warns about running as root on standard error; anything else
  // there is a failure.
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);) {
    if (line.find("Running as user") == std::string::npos) {
      *errors += line + "\n";
    }
  }
  std::vector<Row> rows;
  std::istringstream out(r.out);
  for (std::string line; std::getline(out, line);) {
    Row row;
    size_t start = 0;
    for (const std::string &field : fields) {
      const size_t end = line.find('|', start);
      row[field] = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
      start = end == std::string::npos ? line.size() : end + 1;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string FromHex(const std::string &hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ':') {
      --i; // separators, if this tshark prints them
      continue;
    }
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// The records of a pcap file, to damage some of them.
struct PcapRecord {
  std::string header; // 16 bytes
  std::string frame;
};

std::vector<PcapRecord> ReadPcap(const std::string &file, std::string &globalHeader) {
  std::vector<PcapRecord> records;
  globalHeader = file.substr(0, 24);
  size_t offset = 24;
  while (offset + 16 <= file.size()) {
    PcapRecord record;
    record.header = file.substr(offset, 16);
    const uint32_t length = static_cast<uint8_t>(record.header[8]) |
                            static_cast<uint8_t>(record.header[9]) << 8 |
                            static_cast<uint8_t>(record.header[10]) << 16;
    record.frame = file.substr(offset + 16, length);
    records.push_back(record);
    offset += 16 + length;
  }
  return records;
}

class Dissector : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveTshark()) {
      GTEST_SKIP() << "tshark is not installed (scripts/setup-deps.sh installs it)";
    }
    if (!tooltest::AllModulesInBuild()) {
      GTEST_SKIP() << "not every module is in this build";
    }
    dir_ = fs::temp_directory_path() /
           ("mgmt-dissector-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    Result r = tooltest::RunSim("boot -q --pcap " + (dir_ / "link.pcap").string() +
                                " --documents " + (dir_ / "docs").string());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

} // namespace

TEST_F(Dissector, DecodesEveryFrameOfADefaultBoot) {
  const std::vector<std::string> fields = {
      "frame.number",        "mgmtlink.kind",        "mgmtlink.header_length",
      "mgmtlink.length",     "mgmtlink.item",        "mgmtlink.item.name",
      "mgmtlink.item.access", "mgmtlink.params",     "mgmtlink.data",
      "mgmtlink.status",     "mgmtlink.accepted",    "mgmtlink.response_in",
      "mgmtlink.response_to", "mgmtlink.tag",        "mgmtlink.msgid",
      "mgmtlink.seq",        "mgmtlink.count",       "mgmtlink.document.name",
      "mgmtlink.document",   "mgmtlink.malformed",   "_ws.col.Info"};
  std::string errors;
  const std::vector<Row> rows = Fields(dir_ / "link.pcap", fields, &errors);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(rows.size(), 2 * 23 + 5u);

  // The first display-mode exchange: the read request and its answer.
  const Row &request = rows[0];
  EXPECT_EQ(request.at("mgmtlink.kind"), "request");
  EXPECT_EQ(request.at("mgmtlink.header_length"), "6");
  EXPECT_EQ(request.at("mgmtlink.length"), "4");
  EXPECT_EQ(request.at("mgmtlink.item"), "0x02030000");
  EXPECT_EQ(request.at("mgmtlink.item.name"), "display mode");
  EXPECT_EQ(request.at("mgmtlink.item.access"), "read");
  EXPECT_EQ(request.at("mgmtlink.params"), "");
  EXPECT_EQ(request.at("mgmtlink.response_in"), "2");
  const Row &answer = rows[1];
  EXPECT_EQ(answer.at("mgmtlink.kind"), "answer");
  EXPECT_EQ(answer.at("mgmtlink.response_to"), "1");
  EXPECT_EQ(answer.at("mgmtlink.item"), "0x02030000") << "taken from the request it answers";
  EXPECT_EQ(answer.at("mgmtlink.status"), "0x0000");
  EXPECT_EQ(answer.at("mgmtlink.accepted"), "1");
  EXPECT_EQ(answer.at("mgmtlink.data"), "00");
  // Its write-back carries the mode as data.
  EXPECT_EQ(rows[2].at("mgmtlink.item"), "0x02230000");
  EXPECT_EQ(rows[2].at("mgmtlink.item.access"), "write");
  EXPECT_EQ(rows[2].at("mgmtlink.data"), "00");
  // A read with a parameter: the first address range.
  EXPECT_EQ(rows[8].at("mgmtlink.item"), "0x01080000");
  EXPECT_EQ(rows[8].at("mgmtlink.params"), "00");

  // The start-up sequence, read by item name and access, and the kinds.
  std::vector<std::string> items;
  std::map<std::string, int> kinds;
  for (const Row &row : rows) {
    ++kinds[row.at("mgmtlink.kind")];
    EXPECT_EQ(row.at("mgmtlink.malformed"), "") << row.at("frame.number");
    if (row.at("mgmtlink.kind") == "request") {
      items.push_back(row.at("mgmtlink.item.access") + " " + row.at("mgmtlink.item.name"));
      const int frame = std::stoi(row.at("frame.number"));
      EXPECT_EQ(row.at("mgmtlink.response_in"), std::to_string(frame + 1)) << frame;
    }
  }
  std::vector<std::string> expected = {"read display mode", "write display mode",
                                       "read display-enable pair", "read request word"};
  expected.insert(expected.end(), 8, "read address range");
  expected.push_back("read range option");
  expected.insert(expected.end(), 8, "write address range");
  expected.push_back("write range option");
  expected.push_back("write text item");
  EXPECT_EQ(items, expected);
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"request", 23}, {"answer", 23}, {"notice", 5}}));

  // The uploads: one chunk header per notice, each document put together on
  // the frame of its last chunk and equal to what the controller kept.
  struct Chunk {
    std::string msgid, seq, count, name;
  };
  const std::vector<Chunk> chunks = {{"2", "1", "2", "inventory"},
                                     {"2", "2", "2", "inventory"},
                                     {"3", "1", "1", "UUID"},
                                     {"4", "1", "1", "path"},
                                     {"5", "1", "1", "model"}};
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Row &notice = rows[46 + i];
    EXPECT_EQ(notice.at("mgmtlink.kind"), "notice");
    EXPECT_EQ(notice.at("mgmtlink.header_length"), "10");
    EXPECT_EQ(notice.at("mgmtlink.tag"), "600000");
    EXPECT_EQ(notice.at("mgmtlink.msgid"), chunks[i].msgid);
    EXPECT_EQ(notice.at("mgmtlink.seq"), chunks[i].seq);
    EXPECT_EQ(notice.at("mgmtlink.count"), chunks[i].count);
    EXPECT_EQ(notice.at("mgmtlink.document.name"), chunks[i].name);
    if (chunks[i].seq != chunks[i].count) {
      EXPECT_EQ(notice.at("mgmtlink.document"), "") << "not before its last chunk";
      continue;
    }
    const fs::path doc = dir_ / "docs" / ("doc-" + chunks[i].msgid + ".json");
    EXPECT_EQ(FromHex(notice.at("mgmtlink.document")), tooltest::Slurp(doc)) << doc;
  }
}

TEST_F(Dissector, MarksDamagedFramesMalformedWithoutALuaError) {
  std::string header;
  std::vector<PcapRecord> records = ReadPcap(tooltest::Slurp(dir_ / "link.pcap"), header);
  ASSERT_GE(records.size(), 47u);
  auto setCaptured = [](PcapRecord &record, size_t length) {
    record.frame.resize(length);
    record.header[8] = static_cast<char>(length);
    record.header[9] = static_cast<char>(length >> 8);
  };
  const size_t link = 42; // the link header starts after Ethernet, IPv4 and UDP
  // Frame 1: cut inside the request's link header.
  setCaptured(records[0], link + 4);
  // Frame 3: a payload length of 9 where the frame carries 5 bytes.
  records[2].frame[link + 5] = 9;
  // Frame 4: the controller refuses the display-mode write (not malformed).
  records[3].frame[link] = 0x04;
  // Frame 5: group 0x07, an item the link does not have.
  records[4].frame[link + 6 + 3] = 0x07;
  // Frame 47: the first inventory chunk cut in the middle of its slice.
  setCaptured(records[46], link + 10 + 5 + 100);
  // Frame 49: a chunk header whose size field is not 5.
  records[48].frame[link + 10 + 1] = 6;
  std::string damaged = header;
  for (const PcapRecord &record : records) {
    damaged += record.header + record.frame;
  }
  const fs::path path = dir_ / "damaged.pcap";
  std::ofstream(path, std::ios::binary) << damaged;

  std::string errors;
  const std::vector<Row> rows =
      Fields(path, {"frame.number", "mgmtlink.accepted", "mgmtlink.document", "_ws.col.Info"},
             &errors);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(rows.size(), records.size());
  std::vector<int> malformed;
  for (const Row &row : rows) {
    EXPECT_EQ(row.at("_ws.col.Info").find("Lua Error"), std::string::npos) << row.at("_ws.col.Info");
    if (row.at("_ws.col.Info").find("[Malformed: ") != std::string::npos) {
      malformed.push_back(std::stoi(row.at("frame.number")));
    }
  }
  EXPECT_EQ(malformed, (std::vector<int>{1, 3, 5, 47, 49}));
  EXPECT_NE(rows[0].at("_ws.col.Info").find("cut short in the capture"), std::string::npos);
  EXPECT_NE(rows[2].at("_ws.col.Info").find("payload length 9, but the frame carries 5 bytes"),
            std::string::npos);
  EXPECT_NE(rows[4].at("_ws.col.Info").find("unknown item 0x07000000"), std::string::npos);
  EXPECT_EQ(rows[3].at("mgmtlink.accepted"), "0");
  EXPECT_NE(rows[3].at("_ws.col.Info").find("refused (status 0x0004) write display mode"),
            std::string::npos)
      << rows[3].at("_ws.col.Info");
  // An upload missing bytes is never shown as a document.
  EXPECT_EQ(rows[47].at("mgmtlink.document"), "");
}
