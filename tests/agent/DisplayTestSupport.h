// Ground for the display and logo suites: display controllers on the PCI
// bus, enumerated (PCI I/O and device path) and given graphics outputs per
// boot, the management controller's display among them, firmware volumes
// carrying a logo, and the agent's callbacks registered as its start-up
// registers them.
#pragma once

#include "AgentTestSupport.h"

#include "Display.h"
#include "Logo.h"

#include "BmpImage.h"
#include "DisplayDevice.h"
#include "FirmwareVolume.h"
#include "GraphicsOutput.h"
#include "PciIoDevice.h"

#include <Guid/MgmtFiles.h>
#include <Protocol/GraphicsOutput.h>

namespace agent_test {

inline constexpr EFI_GUID kLogoFile = LOGO_FILE_GUID;

// One display as the board has it (device) and as one boot sees it (PCI I/O
// and graphics output).
struct Screen {
  std::unique_ptr<sim::DisplayDevice> device;
  std::unique_ptr<sim::PciIoDevice> pciIo;
  std::unique_ptr<sim::GraphicsOutput> output;
  uint8_t bus = 0;

  uint32_t Pixel(uint32_t x, uint32_t y) const { return device->Pixel(x, y); }
  bool Withdrawn() const { return !output->GopInstalled(); }
};

class DisplayTestBase : public AgentTest {
protected:
  DisplayTestBase() { mMgmtDisplaySeen = 0; }

  // A display controller at bus:0.0, framebuffers 4 MiB apart above guest memory.
  Screen &AddDisplay(sim::DisplayDevice::Config config) {
    auto screen = std::make_unique<Screen>();
    screen->bus = static_cast<uint8_t>(10 + screens_.size());
    config.framebufferBase = 0xC0000000ull + 0x400000ull * screens_.size();
    screen->device = std::make_unique<sim::DisplayDevice>(machine, std::move(config));
    machine.bus().Pci().Attach(screen->bus, 0, 0, screen->device.get(), screen->device->name());
    screens_.push_back(std::move(screen));
    return *screens_.back();
  }
  Screen &AddCard(int initialMode = 0) {
    auto config = sim::DisplayDevice::Card("card" + std::to_string(screens_.size()), 0);
    config.initialMode = initialMode;
    return AddDisplay(config);
  }
  Screen &AddMgmtDisplay(int initialMode = 0) {
    auto config = sim::DisplayDevice::ManagementDisplay(0);
    config.initialMode = initialMode;
    return AddDisplay(config);
  }

  // Enumerates the controller and installs its graphics output, as the
  // firmware core does when the display's driver starts.
  void Connect(Screen &screen, bool withLogoOutput = true) {
    RunToEnd([&] {
      screen.pciIo =
          std::make_unique<sim::PciIoDevice>(*dxe, sim::PciIoDevice::Location{screen.bus, 0, 0});
      ASSERT_EQ(screen.pciIo->Install(), EFI_SUCCESS);
      screen.output = std::make_unique<sim::GraphicsOutput>(
          *dxe, *screen.device, screen.pciIo->DevicePath(), withLogoOutput);
      ASSERT_EQ(screen.output->Install(), EFI_SUCCESS);
    });
  }

  // A graphics output whose path leads to no PCI device.
  void ConnectWithoutPci(Screen &screen) {
    RunToEnd([&] {
      const std::vector<uint8_t> path = sim::DevicePathBuilder().PciRoot(7).Pci(1, 0).Build();
      screen.output =
          std::make_unique<sim::GraphicsOutput>(*dxe, *screen.device, sim::AsDevicePath(path));
      ASSERT_EQ(screen.output->Install(), EFI_SUCCESS);
    });
  }

  void Listen(EFI_GUID *protocol, EFI_EVENT_NOTIFY notify) {
    RunToEnd([&] { ASSERT_EQ(AgentRegisterNotify(protocol, notify), EFI_SUCCESS); });
  }

  sim::FirmwareVolume &AddVolume(std::optional<std::vector<uint8_t>> logo) {
    volumes_.push_back(std::make_unique<sim::FirmwareVolume>(*dxe));
    if (logo) {
      volumes_.back()->AddRawFile(kLogoFile, std::move(*logo));
    }
    RunToEnd([&] { ASSERT_EQ(volumes_.back()->Install(), EFI_SUCCESS); });
    return *volumes_.back();
  }

  void SeedDisplayMode(uint8_t mode) {
    Bytes setup = LinkInUseSetup();
    setup[SetupOffset::MgmtDisplayMode] = mode;
    SeedSetup(setup);
  }

  std::vector<std::unique_ptr<Screen>> screens_;
  std::vector<std::unique_ptr<sim::FirmwareVolume>> volumes_;
};

// An image whose corners and centre have colours of their own, to find where
// it landed: the palette is {black, red, green, blue, white, grey}.
inline sim::BmpPicture CornerMarkedBmp(uint32_t width, uint32_t height, uint16_t bits) {
  sim::BmpPicture picture;
  picture.width = width;
  picture.height = height;
  picture.bitsPerPixel = bits;
  picture.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x808080};
  const bool direct = bits == 24;
  picture.pixel = [=](uint32_t x, uint32_t y) -> uint32_t {
    uint32_t index = 5; // grey
    if (x == 0 && y == 0) {
      index = 1;
    } else if (x == width - 1 && y == 0) {
      index = 2;
    } else if (x == 0 && y == height - 1) {
      index = 3;
    } else if (x == width - 1 && y == height - 1) {
      index = 4;
    }
    const uint32_t palette[] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x808080};
    return direct ? palette[index] : index;
  };
  return picture;
}

} // namespace agent_test
