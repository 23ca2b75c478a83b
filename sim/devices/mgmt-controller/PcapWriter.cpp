// pcap capture of the management link through libpcap's dump writer.
#include "PcapWriter.h"

#include <pcap/pcap.h>

namespace sim {

namespace {
constexpr int kSnapLength = 65535;
}

std::unique_ptr<PcapWriter> PcapWriter::Open(const std::string &path, std::string *error) {
  pcap_t *pcap = pcap_open_dead(DLT_EN10MB, kSnapLength);
  if (pcap == nullptr) {
    if (error != nullptr) {
      *error = "pcap_open_dead failed";
    }
    return nullptr;
  }
  pcap_dumper_t *dumper = pcap_dump_open(pcap, path.c_str());
  if (dumper == nullptr) {
    if (error != nullptr) {
      *error = pcap_geterr(pcap);
    }
    pcap_close(pcap);
    return nullptr;
  }
  return std::unique_ptr<PcapWriter>(new PcapWriter(path, pcap, dumper));
}

PcapWriter::PcapWriter(std::string path, void *pcap, void *dumper)
    : path_(std::move(path)), pcap_(pcap), dumper_(dumper) {}

PcapWriter::~PcapWriter() {
  pcap_dump_close(static_cast<pcap_dumper_t *>(dumper_));
  pcap_close(static_cast<pcap_t *>(pcap_));
}

void PcapWriter::OnWireFrame(uint64_t timeNs, LinkDirection direction,
                             const std::vector<uint8_t> &frame) {
  (void)direction; // the addresses in the frames tell the directions apart
  Write(timeNs, frame);
}

void PcapWriter::Write(uint64_t timeNs, const std::vector<uint8_t> &frame) {
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(timeNs / 1000000000u);
  header.ts.tv_usec = static_cast<suseconds_t>((timeNs % 1000000000u) / 1000u);
  header.caplen = static_cast<bpf_u_int32>(frame.size());
  header.len = static_cast<bpf_u_int32>(frame.size());
  auto *dumper = static_cast<pcap_dumper_t *>(dumper_);
  pcap_dump(reinterpret_cast<u_char *>(dumper), &header, frame.data());
  pcap_dump_flush(dumper);
  ++frames_;
}

} // namespace sim
