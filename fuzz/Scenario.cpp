// mgmt-sim's scenario files: any text either changes the board options or is
// refused with a ScenarioError naming the file; no other exception, no crash.
#include "Scenario.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  sim::board::BoardOptions options;
  try {
    sim::board::ApplyScenario(text, "fuzz.toml", options);
  } catch (const sim::board::ScenarioError &error) {
    if (std::string(error.what()).find("fuzz.toml") == std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
