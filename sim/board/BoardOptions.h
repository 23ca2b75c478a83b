// What a board is made of and how it starts: every knob a scenario file can
// turn. The defaults are the default board; a scenario changes only what it
// names, so an empty scenario boots the default board.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::board {

// A fault of the management controller on one item (or on every item).
struct ControllerFault {
  enum class Kind { Refuse, Silent, Late };
  Kind kind = Kind::Refuse;
  std::optional<uint32_t> code; // empty: every request
  uint16_t status = 0x0004;     // Refuse: the status word answered
  uint64_t delayNs = 0;         // Late: time before the answer
};

struct BoardOptions {
  // ---- Variables as the board's flash holds them at power-on ----
  // Setup bytes by offset (applied over the default Setup image).
  std::map<uint32_t, std::vector<uint8_t>> setupBytes;
  bool setupPresent = true;
  std::optional<uint32_t> acceVar;        // missing by default
  std::optional<uint8_t> networkStackVar; // missing by default

  // ---- Ethernet controller ----
  unsigned chipVersion = 61;
  bool linkUp = true;
  bool oobFirmware = true;

  // ---- Embedded controller ----
  bool ecPresent = true;
  struct EcRegister {
    uint8_t bank;
    uint8_t reg;
    uint8_t value;
  };
  std::vector<EcRegister> ecRegisters;

  // ---- PCH ----
  enum class PchSeries { H, LP };
  PchSeries pchSeries = PchSeries::H;
  // Pad levels by name (MgmtPadSense...), read by the PCH GPIO model.
  std::map<std::string, bool> padLevels;

  // ---- Management controller ----
  std::map<uint32_t, std::vector<uint8_t>> controllerItems; // by read code
  std::vector<ControllerFault> controllerFaults;
  unsigned dropRequests = 0; // the next N requests vanish
  bool controllerSilent = false;
  // The controller goes on sending (one frame a millisecond) after the board
  // exits boot services, as one that does not know the host has booted.
  bool controllerSendsAfterExit = false;

  // ---- Displays ----
  bool mgmtDisplay = true;
  bool otherDisplay = true;

  // ---- Processor ----
  uint8_t msrRatio = 36;

  // ---- Boot ----
  uint32_t bootMode = 0; // BOOT_WITH_FULL_CONFIGURATION

  // ---- Run ----
  unsigned maxBoots = 4;
  std::vector<uint8_t> smbiosImage; // empty: the built-in table
  // Keep every bus access for the register trace (mgmt-sim -v). Events, which
  // the transcript's notes are made of, are kept either way.
  bool registerTrace = false;
};

} // namespace sim::board
