// Running mgmt-sim and other programs from a test: exit status, standard
// output and standard error.
#pragma once

#include "BootRunner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tooltest {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

inline Result RunCommand(const std::string &command) {
  namespace fs = std::filesystem;
  const fs::path errFile = fs::temp_directory_path() / ("tool-test-err-" + std::to_string(getpid()));
  Result result;
  FILE *pipe = popen((command + " 2>" + errFile.string()).c_str(), "r");
  if (pipe == nullptr) {
    return result;
  }
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.out.append(buffer.data(), n);
  }
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream err(errFile);
  std::stringstream text;
  text << err.rdbuf();
  result.err = text.str();
  fs::remove(errFile);
  return result;
}

inline Result RunSim(const std::string &arguments) {
  return RunCommand(std::string(MGMT_SIM_BINARY) + " " + arguments);
}

inline std::string Slurp(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The tool links the same module images as the suites.
inline bool AllModulesInBuild() {
  for (const sim::board::BootRunner::ModuleInfo &m : sim::board::BootRunner::Modules()) {
    if (!m.present) {
      return false;
    }
  }
  return true;
}

} // namespace tooltest
