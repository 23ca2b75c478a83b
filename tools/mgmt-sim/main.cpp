// mgmt-sim: boots the firmware modules on the simulated board and tells what
// they did. `mgmt-sim boot` with no options boots the default board.
//
// Exit status: 0 when a boot reached ready-to-boot (or the boots ran out
// without a failure), 1 when a boot hung or a step failed where the system
// would not, 2 for missing or malformed input files (nothing is written
// then).
#include "Board.h"
#include "BootRunner.h"
#include "Report.h"
#include "Scenario.h"
#include "Transcript.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

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
  bool trace = false;
  bool quiet = false;
};

int InputError(const std::string &message) {
  std::fprintf(stderr, "mgmt-sim: %s\n", message.c_str());
  return 2;
}

bool ReadFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = path + ": no such file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
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
  if (!opt.scenario.empty()) {
    try {
      sim::board::LoadScenario(opt.scenario, board);
    } catch (const sim::board::ScenarioError &error) {
      return InputError(error.what());
    }
  }
  if (!opt.smbios.empty()) {
    std::string error;
    if (!ReadFile(opt.smbios, board.smbiosImage, error)) {
      return InputError(error);
    }
    if (board.smbiosImage.empty()) {
      return InputError(opt.smbios + ": empty SMBIOS image");
    }
  }
  std::unique_ptr<Board> simBoard;
  try {
    simBoard = std::make_unique<Board>(board);
  } catch (const std::invalid_argument &error) {
    return InputError((opt.smbios.empty() ? std::string("board") : opt.smbios) + ": " +
                      error.what());
  }

  std::string error;
  if (!opt.pcap.empty() && !simBoard->OpenCapture(opt.pcap, &error)) {
    std::fprintf(stderr, "mgmt-sim: %s: %s\n", opt.pcap.c_str(), error.c_str());
    return 1;
  }

  sim::board::BootRunner runner(*simBoard);
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
  if (run.failed) {
    std::fprintf(stderr, "mgmt-sim: %s\n", run.failure.c_str());
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"mgmt-sim: boots the management firmware modules on a simulated board"};
  app.require_subcommand(0, 1);
  Options opt;
  CLI::App *boot = app.add_subcommand("boot", "run complete boots of the board");
  boot->add_option("--scenario", opt.scenario, "TOML file that changes the default board");
  boot->add_option("--smbios", opt.smbios,
                   "SMBIOS table image (dmidecode --dump-bin, or a raw table)");
  boot->add_option("--boots", opt.boots, "boots to run at most (default 4)")
      ->check(CLI::Range(1u, 100u));
  boot->add_option("--pcap", opt.pcap, "write every management-link frame to a pcap file");
  boot->add_option("--documents", opt.documents,
                   "write each received document as DIR/doc-<id>.json");
  boot->add_option("--screenshots", opt.screenshots, "write a PNG of each display into DIR");
  boot->add_option("--report", opt.report, "write a JSON summary of the run");
  boot->add_flag("-v,--trace", opt.trace, "add the register-level trace of the last boot");
  boot->add_flag("-q", opt.quiet, "print one line instead of the transcript");
  // Without a subcommand the tool boots the default board, as `mgmt-sim boot`.
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool help = !args.empty() && (args[0] == "-h" || args[0] == "--help");
  if (!help && (args.empty() || args[0] != "boot")) {
    args.insert(args.begin(), "boot");
  }
  std::reverse(args.begin(), args.end()); // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError &error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return Boot(opt);
}
