// Super I/O configuration-register access and GPIO pin control, shared by
// SioGpioPei and SioSetupPei (which compiles SioAccess.cpp from here). The
// chip answers on an index/data port pair only while configuration mode is
// open; every access below opens it, selects a logical device, moves one
// register and closes it again, so the mode never stays open between calls.
#pragma once

#include <Uefi/UefiBaseType.h>

constexpr UINT16 kSioIndexPort = 0x2E;
constexpr UINT16 kSioDataPort = 0x2F;

// Written to the index port to open and to close configuration mode.
constexpr UINT8 kSioEnterKey[] = {0x87, 0x87};
constexpr UINT8 kSioExitKey[] = {0xAA};

// Global register that selects the logical device the registers from 0x30 on
// belong to.
constexpr UINT8 kSioLdnSelectRegister = 0x07;

// GPIO registers: output types of every group in one logical device; in each
// group's own logical device, register 0x30 holds the group enables, and a
// clear direction bit makes the pin an output driving its data bit.
constexpr UINT8 kSioOutputTypeLdn = 0x0F;
constexpr UINT8 kSioGpioEnableRegister = 0x30;

// One row per GPIO group.
typedef struct {
  UINT8 OutputTypeRegister; // in kSioOutputTypeLdn
  UINT8 Ldn;                // logical device of the three registers below
  UINT8 EnableMask;         // ORed into kSioGpioEnableRegister of Ldn
  UINT8 DirectionRegister;  // bit clear: output, bit set: input
  UINT8 DataRegister;       // output level
} SIO_GPIO_GROUP;

// A pin code is decimal: tens digit the group, units digit the bit.
constexpr UINT8 kSioPinCodeBase = 10;

// SioGpioSet levels: low drives the pin low, anything else releases it.
constexpr UINT8 kSioGpioDriveLow = 0;
constexpr UINT8 kSioGpioRelease = 1;

// Configuration mode, open for the object's lifetime.
class SioConfigSession {
public:
  SioConfigSession();
  ~SioConfigSession();
  SioConfigSession(const SioConfigSession &) = delete;
  SioConfigSession &operator=(const SioConfigSession &) = delete;

  void SelectLogicalDevice(UINT8 Ldn);
  // Points the data port at Register; ReadData/WriteData then move it.
  void SelectRegister(UINT8 Register);
  [[nodiscard]] UINT8 ReadData();
  void WriteData(UINT8 Value);
};

// One configuration sequence each.
[[nodiscard]] UINT8 SioReadRegister(UINT8 Ldn, UINT8 Register);
void SioWriteRegister(UINT8 Ldn, UINT8 Register, UINT8 Value);

// Drives pin Pin low (Level 0) or releases it to an input (any other Level),
// enabling its group. A group above the table does nothing.
void SioGpioSet(UINT8 Pin, UINT8 Level);
