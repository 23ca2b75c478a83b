// A run as a picture (mgmt-sim boot --timeline): each boot a band in virtual
// time with one row per module, whose bars are its entry point and the
// firmware-core steps its notifications worked in; a row of link exchanges
// coloured by outcome; a row of document uploads; and how the boot ended
// (reset, ready-to-boot, hang). The picture is built in two stages so that
// it depends only on what the run recorded: BuildTimeline reads the run's
// records into plain timeline data, TimelineSvg draws that data.
#pragma once

#include "Board.h"
#include "BootRunner.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

struct TimelineBar {
  enum class Kind { Pei, Dxe, Notification };
  std::string row;   // the module
  std::string label; // "entry point" or the firmware-core step
  Kind kind = Kind::Pei;
  uint64_t startNs = 0;
  uint64_t endNs = 0;
};

struct TimelineTick {
  enum class Outcome { Answered, Refused, Unanswered };
  uint64_t timeNs = 0;
  Outcome outcome = Outcome::Answered;
  std::string label; // item, name and outcome in words
};

struct TimelineUpload {
  uint8_t messageId = 0;
  std::string label;
  uint64_t startNs = 0; // first chunk
  uint64_t endNs = 0;   // last chunk
};

struct TimelineBand {
  unsigned number = 0;
  uint64_t startNs = 0;
  uint64_t endNs = 0;
  std::vector<std::string> rows; // modules, in start order
  std::vector<TimelineBar> bars;
  std::vector<TimelineTick> ticks;
  std::vector<TimelineUpload> uploads;
  BootRecord::Ending ending = BootRecord::Ending::ReadyToBoot;
  std::string endLabel; // "reset by MgmtAgentDxe (0xCF9 <- 0x0E)", ...
};

struct Timeline {
  std::vector<TimelineBand> bands;
};

// Module and step times, exchanges and resets from the run's records;
// uploads from the documents the management controller put together.
Timeline BuildTimeline(Board &board, const RunRecord &run);

// The picture as a standalone SVG document.
std::string TimelineSvg(const Timeline &timeline);

} // namespace sim::board
