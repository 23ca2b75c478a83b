// pcap capture of the management link. The classic format is small enough
// to write directly, which keeps libpcap (and the libraries it loads) out of
// every simulator process.
#include "PcapWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {
constexpr uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeEthernet = 1;

// Fields in host byte order, as every pcap reader expects (the magic tells
// the order).
void Put32(uint8_t *at, uint32_t value) { std::memcpy(at, &value, 4); }
void Put16(uint8_t *at, uint16_t value) { std::memcpy(at, &value, 2); }
} // namespace

std::unique_ptr<PcapWriter> PcapWriter::Open(const std::string &path, std::string *error) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    if (error != nullptr) {
      *error = path + ": " + std::strerror(errno);
    }
    return nullptr;
  }
  uint8_t header[24] = {};
  Put32(header, kMagicMicroseconds);
  Put16(header + 4, kVersionMajor);
  Put16(header + 6, kVersionMinor);
  // Time zone offset and time stamp accuracy: both zero.
  Put32(header + 16, kSnapLength);
  Put32(header + 20, kLinkTypeEthernet);
  if (std::fwrite(header, sizeof(header), 1, file) != 1 || std::fflush(file) != 0) {
    if (error != nullptr) {
      *error = path + ": " + std::strerror(errno);
    }
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<PcapWriter>(new PcapWriter(path, file));
}

PcapWriter::PcapWriter(std::string path, std::FILE *file) : path_(std::move(path)), file_(file) {}

PcapWriter::~PcapWriter() { std::fclose(file_); }

void PcapWriter::OnWireFrame(uint64_t timeNs, LinkDirection direction,
                             const std::vector<uint8_t> &frame) {
  (void)direction; // the addresses in the frames tell the directions apart
  Write(timeNs, frame);
}

void PcapWriter::Write(uint64_t timeNs, const std::vector<uint8_t> &frame) {
  const uint32_t length = static_cast<uint32_t>(frame.size());
  const uint32_t captured = length < kSnapLength ? length : kSnapLength;
  uint8_t header[16];
  Put32(header, static_cast<uint32_t>(timeNs / 1000000000u));
  Put32(header + 4, static_cast<uint32_t>((timeNs % 1000000000u) / 1000u));
  Put32(header + 8, captured);
  Put32(header + 12, length);
  std::fwrite(header, sizeof(header), 1, file_);
  std::fwrite(frame.data(), 1, captured, file_);
  std::fflush(file_);
  ++frames_;
}

} // namespace sim
