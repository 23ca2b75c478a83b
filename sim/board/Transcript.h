// The boot log mgmt-sim prints: the board, then per boot each step with its
// virtual time stamp, status and what it did in a line or two, how the boot
// ended, the documents the management controller received, and a closing
// table of virtual time per module.
#pragma once

#include "Board.h"
#include "BootRunner.h"

#include <string>
#include <vector>

namespace sim::board {

// A document the management controller reassembled, or an upload that did
// not complete.
struct ReceivedDocument {
  uint8_t messageId = 0;
  std::string text;
  unsigned chunks = 0;
  uint64_t timeNs = 0;
};
struct DocumentSummary {
  std::vector<ReceivedDocument> documents; // the latest of each message id
  std::vector<std::string> problems;       // incomplete or damaged uploads
};
DocumentSummary CollectDocuments(Board &board);

const char *DocumentName(uint8_t messageId);

std::string BoardDescription(Board &board);
std::string Transcript(Board &board, const RunRecord &run, bool registerTrace);

} // namespace sim::board
