// What a boot step did, in words and records: observers attached to the
// board each watch one kind of thing from a step's start to its end (Super
// I/O pins, EC registers, PCH pads, HOBs, displays, the Ethernet
// controller, notifications, link traffic, variables) and write that kind
// of note into the step. Event observers listen on the board's trace, so
// they see what the devices did whether or not the trace keeps it; the rest
// compare what they read at the step's start with its end. The boot runner
// only runs the steps.
#pragma once

#include "BootRunner.h"

#include <sim/core/Trace.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::board {

// "0x" and upper-case hex digits, at least `width` of them: the notes' and
// the runner's one form of a number.
std::string Hex(uint64_t value, int width = 0);

class StepObserver {
public:
  virtual ~StepObserver() = default;
  virtual void StepStarts() {}
  // Adds what the observer saw since StepStarts to `step`.
  virtual void StepEnds(StepRecord &step) = 0;
};

// The observers of one boot's steps, attached to the board's trace for the
// boot's lifetime; their notes appear in the order they are listed here.
class StepObservers {
public:
  // `hobList` yields the PEI phase's HOB list, or null once there is none.
  StepObservers(Board &board, std::function<const void *()> hobList);
  ~StepObservers();
  StepObservers(const StepObservers &) = delete;
  StepObservers &operator=(const StepObservers &) = delete;

  void StepStarts();
  void StepEnds(StepRecord &step);

private:
  Trace &trace_;
  std::vector<std::unique_ptr<StepObserver>> observers_;
  std::vector<TraceObserver *> listening_;
};

// The GUID-extension HOBs of a HOB list (the PHIT and memory HOBs are the
// PEI core's own); walks by length and stops at anything malformed.
std::vector<HobRecord> ReadHobs(const void *hobList);

} // namespace sim::board
