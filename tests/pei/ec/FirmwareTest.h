// Fixture base of the EcPei suites: a machine whose trace records every
// access, and module code run on a firmware fiber so a runaway wait ends in
// the watchdog instead of hanging the suite.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "FirmwareRunner.h"
#include "Machine.h"
#include "Trace.h"

class FirmwareTest : public ::testing::Test {
protected:
  // Runs body as firmware; returns the value it computed.
  template <typename T> T Run(std::function<T()> body) {
    T result{};
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, [&] { result = body(); });
    EXPECT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
    return result;
  }
  void Run(std::function<void()> body) {
    const sim::RunOutcome outcome = sim::FirmwareRunner::Run(machine, body);
    EXPECT_EQ(outcome.kind, sim::RunOutcome::Completed) << outcome.detail;
  }

  size_t IoReads(uint16_t port) { return machine.trace().Count(sim::TraceMatch::IoRd(port)); }
  size_t IoWrites(uint16_t port) { return machine.trace().Count(sim::TraceMatch::IoWr(port)); }
  size_t Events(const char *name) { return machine.trace().Events(name).size(); }
  size_t MmioWrites() {
    size_t count = 0;
    for (const sim::TraceEntry &entry : machine.trace().Entries()) {
      count += entry.kind == sim::TraceEntry::MmioWrite;
    }
    return count;
  }
  size_t PortAccesses() {
    size_t count = 0;
    for (const sim::TraceEntry &entry : machine.trace().Entries()) {
      if (entry.kind == sim::TraceEntry::IoRead || entry.kind == sim::TraceEntry::IoWrite) {
        ++count;
      }
    }
    return count;
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
};
