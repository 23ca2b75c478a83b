// mgmt-sim: boots the firmware modules on the simulated board and tells what
// they did. `mgmt-sim boot` with no options boots the default board;
// `mgmt-sim scenarios` lists the shipped scenarios.
//
// Exit status: 0 when a boot reached ready-to-boot (or the boots ran out
// without a failure), 1 when a boot hung or a step failed where the system
// would not, 2 for missing or malformed input files and for output paths
// that cannot be written (nothing is written then).
#include "Board.h"
#include "BootRunner.h"
#include "Report.h"
#include "Scenario.h"
#include "Timeline.h"
#include "Transcript.h"
#if MGMT_BOARD_HAS_CPU
#include "ImageSet.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using sim::board::Board;
using sim::board::BoardOptions;

struct Options {
  std::string scenario;
  std::string smbios;
  unsigned boots = 4;
  std::string pcap;
  std::string documents;
  std::string screenshots;
  std::string report;
  std::string timeline;
  std::string images;
  bool trace = false;
  bool quiet = false;
};

int InputError(const std::string &message) {
  std::fprintf(stderr, "mgmt-sim: %s\n", message.c_str());
  return 2;
}

// What a path names, for error messages.
std::string FileKind(const fs::file_status &status) {
  switch (status.type()) {
  case fs::file_type::regular:
    return "a file";
  case fs::file_type::directory:
    return "a directory";
  case fs::file_type::character:
    return "a character device";
  case fs::file_type::block:
    return "a block device";
  case fs::file_type::fifo:
    return "a pipe";
  case fs::file_type::socket:
    return "a socket";
  default:
    return "not a regular file";
  }
}

bool ReadFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    error = path + ": no such file";
    return false;
  }
  if (!fs::is_regular_file(status)) {
    error = path + ": " + FileKind(status) + ", not a file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    error = path + ": empty file";
    return false;
  }
  return true;
}

bool Writable(const fs::path &path) { return access(path.c_str(), W_OK | X_OK) == 0; }

// An output file is written through a temporary name beside it, so its
// directory must exist and take new files, and the file, if there, must be
// a regular one that may be replaced.
bool CheckOutputFile(const std::string &option, const std::string &path, std::string &error) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  fs::path parent = fs::path(path).parent_path();
  if (parent.empty()) {
    parent = ".";
  }
  if (path.empty()) {
    error = option + ": no file named";
  } else if (fs::exists(status) && !fs::is_regular_file(status)) {
    error = path + ": " + FileKind(status) + ", not a file (" + option + ")";
  } else if (fs::exists(status) && access(path.c_str(), W_OK) != 0) {
    error = path + ": cannot be written (" + option + ")";
  } else if (!fs::exists(fs::status(parent, ec))) {
    error = path + ": no directory " + parent.string() + " (" + option + ")";
  } else if (!fs::is_directory(parent, ec)) {
    error = path + ": " + parent.string() + " is " + FileKind(fs::status(parent, ec)) +
            ", not a directory (" + option + ")";
  } else if (!Writable(parent)) {
    error = path + ": the directory " + parent.string() + " cannot be written (" + option + ")";
  } else {
    return true;
  }
  return false;
}

// An output directory is created after the boot: it must be a directory
// already, or its nearest existing ancestor must be one that takes new
// entries.
bool CheckOutputDirectory(const std::string &option, const std::string &dir, std::string &error) {
  std::error_code ec;
  if (dir.empty()) {
    error = option + ": no directory named";
    return false;
  }
  fs::path existing = fs::absolute(dir, ec);
  while (!fs::exists(fs::status(existing, ec)) && existing.has_relative_path()) {
    existing = existing.parent_path();
  }
  const fs::file_status status = fs::status(existing, ec);
  if (!fs::is_directory(status)) {
    error = dir + ": " + existing.string() + " is " + FileKind(status) +
            ", not a directory (" + option + ")";
  } else if (!Writable(existing)) {
    error = dir + ": the directory " + existing.string() + " cannot be written (" + option + ")";
  } else {
    return true;
  }
  return false;
}

#ifndef MGMT_SCENARIO_DIR
#define MGMT_SCENARIO_DIR "scenarios"
#endif

// The shipped scenarios by name (the file name without .toml), sorted.
std::vector<std::pair<std::string, fs::path>> ShippedScenarios() {
  std::vector<std::pair<std::string, fs::path>> found;
  std::error_code ec;
  for (fs::directory_iterator it(MGMT_SCENARIO_DIR, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".toml" && it->is_regular_file(ec)) {
      found.emplace_back(it->path().stem().string(), it->path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A --scenario value is a path when it names a file or holds a '/', else
// the name of a shipped scenario (with or without .toml).
bool ResolveScenario(const std::string &value, std::string &path, std::string &error) {
  std::error_code ec;
  if (value.find('/') != std::string::npos || fs::exists(value, ec)) {
    path = value;
    return true;
  }
  const std::string name = fs::path(value).extension() == ".toml" ? fs::path(value).stem().string()
                                                                  : value;
  for (const auto &[shipped, file] : ShippedScenarios()) {
    if (shipped == name) {
      path = file.string();
      return true;
    }
  }
  error = value + ": no such file, and no shipped scenario of that name (mgmt-sim scenarios "
                  "lists them)";
  return false;
}

int ListScenarios() {
  const auto scenarios = ShippedScenarios();
  if (scenarios.empty()) {
    std::fprintf(stderr, "mgmt-sim: no scenarios found in %s\n", MGMT_SCENARIO_DIR);
    return 1;
  }
  size_t width = 0;
  for (const auto &[name, file] : scenarios) {
    width = std::max(width, name.size());
  }
  std::printf("shipped scenarios (mgmt-sim boot --scenario NAME), in %s:\n", MGMT_SCENARIO_DIR);
  int status = 0;
  for (const auto &[name, file] : scenarios) {
    std::string description;
    try {
      description = sim::board::ScenarioDescription(file.string());
    } catch (const sim::board::ScenarioError &error) {
      description = std::string("(does not read: ") + error.what() + ")";
      status = 1;
    }
    std::printf("  %-*s  %s\n", static_cast<int>(width), name.c_str(), description.c_str());
  }
  return status;
}

// Writes through a temporary name so no half-written file is left behind.
bool WriteFile(const fs::path &path, const std::string &content, std::string &error) {
  const fs::path temporary = path.string() + ".partial";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(content.data(), static_cast<std::streamsize>(content.size()))) {
      error = path.string() + ": cannot be written";
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    error = path.string() + ": " + ec.message();
    return false;
  }
  return true;
}

bool MakeDirectory(const std::string &dir, std::string &error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    error = dir + ": cannot create the directory";
    return false;
  }
  return true;
}

int Boot(const Options &opt) {
  // Every input is read and checked before anything is written.
  BoardOptions board;
  board.maxBoots = opt.boots;
  board.registerTrace = opt.trace;
  std::string error;
  if (!opt.scenario.empty()) {
    std::string path;
    if (!ResolveScenario(opt.scenario, path, error)) {
      return InputError(error);
    }
    try {
      sim::board::LoadScenario(path, board);
    } catch (const sim::board::ScenarioError &problem) {
      return InputError(problem.what());
    }
  }
  if (!opt.smbios.empty() && !ReadFile(opt.smbios, board.smbiosImage, error)) {
    return InputError(error);
  }
  // Output paths are checked before the boot, so that a run is not wasted
  // on results that could not be kept.
  for (const auto &[option, path] : {std::pair{"--pcap", &opt.pcap}, {"--report", &opt.report},
                                     {"--timeline", &opt.timeline}}) {
    if (!path->empty() && !CheckOutputFile(option, *path, error)) {
      return InputError(error);
    }
  }
  for (const auto &[option, dir] :
       {std::pair{"--documents", &opt.documents}, {"--screenshots", &opt.screenshots}}) {
    if (!dir->empty() && !CheckOutputDirectory(option, *dir, error)) {
      return InputError(error);
    }
  }
  std::shared_ptr<const sim::cpu::ImageSet> images;
  if (!opt.images.empty()) {
#if MGMT_BOARD_HAS_CPU
    std::vector<sim::cpu::ImageSet::Module> modules;
    for (const auto &m : sim::board::BootRunner::Modules()) {
      modules.push_back({m.name, m.phase == "PEI" ? sim::cpu::Arch::Ia32 : sim::cpu::Arch::X64});
    }
    try {
      images = std::make_shared<const sim::cpu::ImageSet>(
          sim::cpu::ImageSet::FromDirectory(opt.images, modules));
    } catch (const sim::cpu::ImageError &problem) {
      return InputError(problem.what());
    }
    if (images->Empty()) {
      return InputError(opt.images + ": no module image (<Module>.efi) in the directory");
    }
#else
    return InputError("--images: this mgmt-sim is built without the emulated CPU "
                      "(libunicorn-dev)");
#endif
  }
  std::unique_ptr<Board> simBoard;
  try {
    simBoard = std::make_unique<Board>(board);
  } catch (const std::invalid_argument &error) {
    return InputError((opt.smbios.empty() ? std::string("board") : opt.smbios) + ": " +
                      error.what());
  }

  if (!opt.pcap.empty() && !simBoard->OpenCapture(opt.pcap, &error)) {
    std::fprintf(stderr, "mgmt-sim: %s: %s\n", opt.pcap.c_str(), error.c_str());
    return 1;
  }

  sim::board::BootRunner runner(*simBoard);
  runner.UseImages(images);
  sim::board::RunRecord run = runner.Run(board.maxBoots);

  const std::string transcript = sim::board::Transcript(*simBoard, run, opt.trace);
  if (!opt.quiet) {
    std::fputs(transcript.c_str(), stdout);
  } else {
    std::printf("mgmt-sim: %zu boot%s, %s\n", run.boots.size(), run.boots.size() == 1 ? "" : "s",
                run.failed               ? run.failure.c_str()
                : run.reachedReadyToBoot ? "reached ready-to-boot"
                : !run.boots.empty() &&
                        run.boots.back().ending == sim::board::BootRecord::Ending::S3Resume
                    ? "resumed from S3"
                : !run.boots.empty() &&
                        run.boots.back().ending == sim::board::BootRecord::Ending::PowerOff
                    ? "powered off"
                    : "did not reach ready-to-boot");
  }

  int status = run.failed ? 1 : 0;
  if (!opt.documents.empty()) {
    if (!MakeDirectory(opt.documents, error)) {
      std::fprintf(stderr, "mgmt-sim: %s\n", error.c_str());
      return 1;
    }
    sim::board::DocumentSummary docs = sim::board::CollectDocuments(*simBoard);
    for (const sim::board::ReceivedDocument &doc : docs.documents) {
      const fs::path path =
          fs::path(opt.documents) / ("doc-" + std::to_string(doc.messageId) + ".json");
      if (!WriteFile(path, doc.text, error)) {
        std::fprintf(stderr, "mgmt-sim: %s\n", error.c_str());
        status = 1;
      }
    }
    for (const std::string &problem : docs.problems) {
      std::fprintf(stderr, "mgmt-sim: upload not written: %s\n", problem.c_str());
    }
  }
  if (!opt.screenshots.empty()) {
    std::vector<std::string> written;
    if (!MakeDirectory(opt.screenshots, error) ||
        !simBoard->SaveScreenshots(opt.screenshots, written, &error)) {
      std::fprintf(stderr, "mgmt-sim: screenshots: %s\n", error.c_str());
      status = 1;
    }
  }
  if (!opt.report.empty()) {
    if (!WriteFile(opt.report, sim::board::ReportJson(*simBoard, run), error)) {
      std::fprintf(stderr, "mgmt-sim: %s\n", error.c_str());
      status = 1;
    }
  }
  if (!opt.timeline.empty()) {
    const sim::board::Timeline timeline = sim::board::BuildTimeline(*simBoard, run);
    if (!WriteFile(opt.timeline, sim::board::TimelineSvg(timeline), error)) {
      std::fprintf(stderr, "mgmt-sim: %s\n", error.c_str());
      status = 1;
    }
  }
  if (run.failed) {
    std::fprintf(stderr, "mgmt-sim: %s\n", run.failure.c_str());
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"mgmt-sim: boots the management firmware modules on a simulated board", "mgmt-sim"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", "mgmt-sim " MGMT_VERSION);
  Options opt;
  CLI::App *boot = app.add_subcommand("boot", "run complete boots of the board");
  boot->add_option("--scenario", opt.scenario,
                   "a shipped scenario by name (see mgmt-sim scenarios) or a TOML file that "
                   "changes the default board");
  boot->add_option("--smbios", opt.smbios,
                   "SMBIOS table image (dmidecode --dump-bin, or a raw table)");
  boot->add_option("--boots", opt.boots, "boots to run at most (default 4)")
      ->check(CLI::Range(1u, 100u));
  boot->add_option("--pcap", opt.pcap, "write every management-link frame to a pcap file");
  boot->add_option("--documents", opt.documents,
                   "write each received document as DIR/doc-<id>.json");
  boot->add_option("--screenshots", opt.screenshots, "write a PNG of each display into DIR");
  boot->add_option("--report", opt.report, "write a JSON summary of the run");
  boot->add_option("--timeline", opt.timeline,
                   "write an SVG picture of the run: modules, link exchanges, uploads, resets");
  boot->add_option("--images", opt.images,
                   "boot the modules whose <Module>.efi DIR holds from those EFI images on an "
                   "emulated CPU (host builds for the rest)");
  boot->add_flag("-v,--trace", opt.trace, "add the register-level trace of the last boot");
  boot->add_flag("-q", opt.quiet, "print one line instead of the transcript");
  CLI::App *scenarios =
      app.add_subcommand("scenarios", "list the shipped scenarios with their descriptions");
  // Without a subcommand the tool boots the default board, as `mgmt-sim boot`.
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool own = !args.empty() && (args[0] == "-h" || args[0] == "--help" ||
                                     args[0] == "--version" || args[0] == "boot" ||
                                     args[0] == "scenarios");
  if (!own) {
    args.insert(args.begin(), "boot");
  }
  std::reverse(args.begin(), args.end()); // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError &error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  if (scenarios->parsed()) {
    return ListScenarios();
  }
  return Boot(opt);
}
