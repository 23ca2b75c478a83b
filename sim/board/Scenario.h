// Scenario files: TOML that changes the default board (Setup fields by name,
// variables, the Ethernet controller, the EC, the PCH, the management
// controller's items and faults, displays, processor ratio, boot mode).
// Every key is checked; an unknown key or a bad value is an error naming the
// file, the line and the key.
#pragma once

#include "BoardOptions.h"

#include <stdexcept>
#include <string>

namespace sim::board {

class ScenarioError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Applies the scenario in `text` (named `path` in errors) to `options`.
void ApplyScenario(const std::string &text, const std::string &path, BoardOptions &options);
// Reads the file first; a missing or unreadable file is a ScenarioError too.
void LoadScenario(const std::string &path, BoardOptions &options);
// The file's description (empty when it has none), after checking that the
// whole file reads as a scenario.
std::string ScenarioDescription(const std::string &path);

} // namespace sim::board
