// A capture of the management link in the classic pcap format (Ethernet link
// type, microsecond stamps), which Wireshark and tshark open. Time
// stamps are virtual time. Attach it to the Ethernet controller model as the
// wire's tap; every frame in both directions is written and flushed at once,
// so the file is complete even if the simulation stops abruptly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LinkPeer.h"

namespace sim {

class PcapWriter final : public LinkTap {
public:
  // Creates (truncates) the file. On failure returns nullptr and, if `error`
  // is given, the path and the system's reason.
  static std::unique_ptr<PcapWriter> Open(const std::string &path, std::string *error = nullptr);
  ~PcapWriter() override;
  PcapWriter(const PcapWriter &) = delete;
  PcapWriter &operator=(const PcapWriter &) = delete;

  void OnWireFrame(uint64_t timeNs, LinkDirection direction,
                   const std::vector<uint8_t> &frame) override;
  void Write(uint64_t timeNs, const std::vector<uint8_t> &frame);

  uint64_t FramesWritten() const { return frames_; }
  const std::string &Path() const { return path_; }

private:
  PcapWriter(std::string path, std::FILE *file);

  std::string path_;
  std::FILE *file_;
  uint64_t frames_ = 0;
};

} // namespace sim
