// Super I/O configuration sequences and the GPIO group table.
#include "SioAccess.h"

#include <Hw.h>

namespace {

const SIO_GPIO_GROUP mSioGpioGroups[] = {
    // OutputType Ldn   Enable Direction Data
    {0xE9, 0x08, 0x02, 0xE0, 0xE1}, // group 0
    {0xE0, 0x08, 0x80, 0xF0, 0xF1}, // group 1
    {0xE1, 0x09, 0x01, 0xE0, 0xE1}, // group 2
    {0xE2, 0x09, 0x02, 0xE4, 0xE5}, // group 3
    {0xE3, 0x09, 0x04, 0xF0, 0xF1}, // group 4
    {0xE4, 0x09, 0x08, 0xF4, 0xF5}, // group 5
    {0xE5, 0x07, 0x01, 0xF4, 0xF5}, // group 6
    {0xE6, 0x07, 0x02, 0xE0, 0xE1}, // group 7
    {0xE7, 0x07, 0x04, 0xE4, 0xE5}, // group 8
};
constexpr UINT32 kSioGpioGroupCount = sizeof(mSioGpioGroups) / sizeof(mSioGpioGroups[0]);

// Read-modify-write as two configuration sequences. Masks are 32-bit: a bit
// number of 8 or 9 gives a mask outside the byte, so the register is written
// back unchanged.
void SioUpdateRegister(UINT8 Ldn, UINT8 Register, UINT32 ClearMask, UINT32 SetMask) {
  const UINT32 Value = SioReadRegister(Ldn, Register);
  SioWriteRegister(Ldn, Register, static_cast<UINT8>((Value & ~ClearMask) | SetMask));
}

} // namespace

SioConfigSession::SioConfigSession() {
  for (const UINT8 Key : kSioEnterKey) {
    IoWrite8(kSioIndexPort, Key);
  }
}

SioConfigSession::~SioConfigSession() {
  for (const UINT8 Key : kSioExitKey) {
    IoWrite8(kSioIndexPort, Key);
  }
}

void SioConfigSession::SelectLogicalDevice(UINT8 Ldn) {
  IoWrite8(kSioIndexPort, kSioLdnSelectRegister);
  IoWrite8(kSioDataPort, Ldn);
}

void SioConfigSession::SelectRegister(UINT8 Register) { IoWrite8(kSioIndexPort, Register); }

UINT8 SioConfigSession::ReadData() { return IoRead8(kSioDataPort); }

void SioConfigSession::WriteData(UINT8 Value) { IoWrite8(kSioDataPort, Value); }

UINT8 SioReadRegister(UINT8 Ldn, UINT8 Register) {
  SioConfigSession Session;
  Session.SelectLogicalDevice(Ldn);
  Session.SelectRegister(Register);
  return Session.ReadData();
}

void SioWriteRegister(UINT8 Ldn, UINT8 Register, UINT8 Value) {
  SioConfigSession Session;
  Session.SelectLogicalDevice(Ldn);
  Session.SelectRegister(Register);
  Session.WriteData(Value);
}

void SioGpioSet(UINT8 Pin, UINT8 Level) {
  const UINT32 Group = Pin / kSioPinCodeBase;
  if (Group >= kSioGpioGroupCount) {
    return;
  }
  const SIO_GPIO_GROUP &Row = mSioGpioGroups[Group];
  const UINT32 Mask = 1U << (Pin % kSioPinCodeBase);

  SioUpdateRegister(kSioOutputTypeLdn, Row.OutputTypeRegister, Mask, 0);
  SioUpdateRegister(Row.Ldn, kSioGpioEnableRegister, 0, Row.EnableMask);
  if (Level == kSioGpioDriveLow) {
    SioUpdateRegister(Row.Ldn, Row.DirectionRegister, Mask, 0);
    SioUpdateRegister(Row.Ldn, Row.DataRegister, Mask, 0);
  } else {
    SioUpdateRegister(Row.Ldn, Row.DirectionRegister, 0, Mask);
  }
}
