// The misuse counters of the EC and Super I/O models, asserted by every
// suite that puts firmware in front of them. A correct host never writes
// while the EC's input is full, reads an empty data port, sends a data byte
// no command asked for or an unknown command, or writes a read-only
// register; and it reaches the Super I/O only inside configuration mode,
// with byte accesses, and leaves that mode as often as it entered it.
#pragma once

#include <gtest/gtest.h>

#include "Ec.h"

inline void ExpectNoEcMisuse(const sim::Ec &ec) {
  EXPECT_EQ(ec.Overruns(), 0u) << "a byte written while the EC's input was full";
  EXPECT_EQ(ec.EmptyReads(), 0u) << "the data port read with nothing in it";
  EXPECT_EQ(ec.StrayBytes(), 0u) << "a data byte no command asked for";
  EXPECT_EQ(ec.UnknownCommands(), 0u);
  EXPECT_EQ(ec.ReadOnlyWrites(), 0u);
}

// A template, so that suites without the Super I/O model need not link it.
template <typename SuperIoModel> void ExpectNoSuperIoMisuse(const SuperIoModel &sio) {
  EXPECT_EQ(sio.AccessesOutsideConfig(), 0u);
  EXPECT_EQ(sio.UnknownDeviceWrites(), 0u);
  EXPECT_EQ(sio.BadWidthAccesses(), 0u);
  EXPECT_EQ(sio.ConfigEntries(), sio.ConfigExits()) << "configuration mode left open";
}
