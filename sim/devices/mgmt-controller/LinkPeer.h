// The wire between the board's Ethernet controller and whatever sits at its
// far end (the management-controller model, or a test). Frames cross it whole
// and without the 4-byte frame check sequence; time on the wire is virtual.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// The far end: sees every frame the board's controller transmits.
class LinkPeer {
public:
  virtual ~LinkPeer() = default;
  virtual void OnFrame(const std::vector<uint8_t> &frame) = 0;
};

// The board's end of the wire as the far end sees it.
class LinkEndpoint {
public:
  virtual ~LinkEndpoint() = default;
  // Sends a frame towards the board; it reaches the board's controller
  // `delayNs` of virtual time from now. Frames due at the same time arrive in
  // the order they were sent.
  virtual void SendToBoard(std::vector<uint8_t> frame, uint64_t delayNs) = 0;
};

enum class LinkDirection { ToPeer, ToBoard };

// A capture point on the wire: told of every frame that crosses it, at the
// virtual time it crosses.
class LinkTap {
public:
  virtual ~LinkTap() = default;
  virtual void OnWireFrame(uint64_t timeNs, LinkDirection direction,
                           const std::vector<uint8_t> &frame) = 0;
};

} // namespace sim
