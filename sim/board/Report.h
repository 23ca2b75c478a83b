// The JSON summary of a run (--report): boots and how each ended, the
// modules with status and virtual time, HOBs, variables changed with old and
// new values, items exchanged on the link, documents received, resets.
#pragma once

#include "Board.h"
#include "BootRunner.h"

#include <string>

namespace sim::board {

std::string ReportJson(Board &board, const RunRecord &run);

} // namespace sim::board
