// Boots from the shipped EFI images against boots from the host builds: the
// default board and every shipped scenario must give the same transcript, the
// same documents, the same capture bytes (time stamps included) and the same
// register trace. And the image path catches what the host path cannot: a
// module whose fault only its IA32 layout shows passes as a host build and
// fails as an image.
#include "Board.h"
#include "BootRunner.h"
#include "Cpu.h"
#include "ImageSet.h"
#include "PeiIa32.h"
#include "Scenario.h"
#include "Transcript.h"

#include "sim/core/FirmwareRunner.h"
#include "sim/pei/Pei.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>

extern "C" EFI_STATUS EFIAPI PlantedLayoutFaultEntryPoint(EFI_PEI_FILE_HANDLE FileHandle,
                                                          const EFI_PEI_SERVICES **PeiServices);

namespace sim::cpu {
namespace {

namespace fs = std::filesystem;
using board::Board;
using board::BoardOptions;
using board::BootRunner;

struct BootResult {
  std::vector<std::string> lines;
  std::vector<std::pair<uint8_t, std::string>> documents;
  std::string capture;
};

// What legitimately differs between a 64-bit host build and its IA32 image:
// the line naming the images, and the size of PEI pool blocks that hold
// pointers (EcPei's device objects), seen as memory-pool HOB lengths.
std::vector<std::string> Comparable(const std::string &transcript) {
  static const std::regex poolHob(R"(pei\.create_hob \(type 7 length \d+\))");
  std::vector<std::string> lines;
  std::istringstream in(transcript);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("run as EFI images from ", 0) == 0) {
      continue;
    }
    lines.push_back(std::regex_replace(line, poolHob, "pei.create_hob (type 7 length N)"));
  }
  return lines;
}

BootResult Boot(const std::string &scenario, std::shared_ptr<const ImageSet> images) {
  BoardOptions options;
  if (!scenario.empty()) {
    board::LoadScenario(scenario, options);
  }
  // One file per process: ctest runs the cases of this suite side by side.
  const fs::path capture = fs::path(testing::TempDir()) /
                           ("image-boot-" + std::to_string(::getpid()) + ".pcap");
  BootResult result;
  {
    Board simBoard(options);
    std::string error;
    EXPECT_TRUE(simBoard.OpenCapture(capture.string(), &error)) << error;
    BootRunner runner(simBoard);
    runner.UseImages(std::move(images));
    board::RunRecord run = runner.Run(options.maxBoots);
    result.lines = Comparable(board::Transcript(simBoard, run, true));
    for (const auto &doc : board::CollectDocuments(simBoard).documents) {
      result.documents.emplace_back(doc.messageId, doc.text);
    }
  } // the board closes the capture
  std::ifstream in(capture, std::ios::binary);
  result.capture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return result;
}

std::shared_ptr<const ImageSet> ShippedImages() {
  if (!fs::is_directory(MGMT_FIRMWARE_IMAGES_DIR)) {
    return nullptr;
  }
  std::vector<ImageSet::Module> modules;
  for (const auto &m : BootRunner::Modules()) {
    modules.push_back({m.name, m.phase == "PEI" ? Arch::Ia32 : Arch::X64});
  }
  return std::make_shared<const ImageSet>(
      ImageSet::FromDirectory(MGMT_FIRMWARE_IMAGES_DIR, modules));
}

class ImageBootTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    images = ShippedImages();
    if (images == nullptr || images->Names().size() != 7) {
      // scripts/test.sh builds the firmware first and insists.
      if (std::getenv("MGMT_REQUIRE_IMAGES") != nullptr) {
        FAIL() << "the seven images are not in " << MGMT_FIRMWARE_IMAGES_DIR;
      }
      GTEST_SKIP() << "no firmware build in " << MGMT_FIRMWARE_IMAGES_DIR;
    }
  }
  std::shared_ptr<const ImageSet> images;
};

TEST_P(ImageBootTest, ImageBootMatchesHostBoot) {
  const std::string scenario =
      GetParam() == "default" ? "" : std::string(MGMT_SCENARIOS_DIR) + "/" + GetParam();
  BootResult host = Boot(scenario, nullptr);
  BootResult image = Boot(scenario, images);
  ASSERT_GT(host.lines.size(), 20u);
  for (size_t k = 0; k < std::min(host.lines.size(), image.lines.size()); k++) {
    ASSERT_EQ(host.lines[k], image.lines[k]) << "first difference at line " << k + 1;
  }
  EXPECT_EQ(host.lines.size(), image.lines.size());
  EXPECT_EQ(host.documents, image.documents);
  EXPECT_TRUE(host.capture == image.capture) << "the captures differ";
}

std::vector<std::string> Boards() {
  std::vector<std::string> boards = {"default"};
  std::vector<std::string> scenarios;
  for (const auto &entry : fs::directory_iterator(MGMT_SCENARIOS_DIR)) {
    if (entry.path().extension() == ".toml") {
      scenarios.push_back(entry.path().filename().string());
    }
  }
  std::sort(scenarios.begin(), scenarios.end());
  boards.insert(boards.end(), scenarios.begin(), scenarios.end());
  return boards;
}

INSTANTIATE_TEST_SUITE_P(ShippedBoards, ImageBootTest, ::testing::ValuesIn(Boards()),
                         [](const auto &info) {
                           std::string name = info.param;
                           for (char &c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) {
                               c = '_';
                             }
                           }
                           return name;
                         });

TEST(PlantedFaultTest, LayoutFaultPassesAsHostBuildAndFailsAsImage) {
  Board simBoard;
  simBoard.PowerOn();
  Machine &machine = simBoard.machine();
  RunOutcome host = FirmwareRunner::Run(machine, [&] {
    Pei pei(machine, simBoard.variables());
    EXPECT_EQ(pei.RunModule(PlantedLayoutFaultEntryPoint, nullptr), EFI_SUCCESS);
  });
  EXPECT_EQ(host.kind, RunOutcome::Completed) << host.detail;
  EXPECT_GE(host.endNs - host.startNs, 1000u * 1000) << "the host build stalled 1 ms";

  // Owned out here: the fault abandons the run's frames.
  std::optional<Pei> pei;
  std::optional<Cpu> cpu;
  std::optional<PeiIa32> world;
  RunOutcome image = FirmwareRunner::Run(machine, [&] {
    pei.emplace(machine, simBoard.variables());
    cpu.emplace(machine, Arch::Ia32);
    world.emplace(*cpu, *pei);
    const LoadedImage &loaded =
        cpu->Load("PlantedLayoutFault", PeImage::FromFile(MGMT_PLANTED_FAULT_IMAGE));
    (void)world->RunModule(loaded.entry, 0);
  });
  ASSERT_EQ(image.kind, RunOutcome::Fault);
  EXPECT_NE(image.detail.find("IA32 image code: execution of unmapped memory"), std::string::npos)
      << image.detail;
  EXPECT_NE(image.detail.find("called from PlantedLayoutFault+0x"), std::string::npos)
      << image.detail;
}

} // namespace
} // namespace sim::cpu
