// The QavAsio module on a machine with the driver logger: loading it connects
// its trace client to the logger through "\\.\BryntDriverLogger", and what it
// writes lands in the logger's standard buffer as catalogue messages. Each
// machine is a process of its own: a module loaded again on a later machine
// connects to that machine's logger.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "uac2common/tracelog/trace_catalog.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/machine.h"

namespace {

winsim::MachineOptions LoggerMachine(uint32_t userMask = 0xFFFFFFFFu, uint32_t version = kLoggerProtocolVersion) {
  winsim::MachineOptions options;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  options.traceLogger = winsim::TraceLoggerOptions{};
  options.traceLogger->userMask = userMask;
  options.traceLogger->version = version;
  return options;
}

struct Seen {
  uint32_t tag;
  uint32_t id;
  uint32_t flags;
  std::string text;
};

std::vector<Seen> Records(winsim::TraceLogger &logger) {
  std::vector<Seen> seen;
  for (const winsim::LoggedRecord &logged : winsim::ReadLogger(logger)) {
    seen.push_back({logged.tag, logged.record.MessageId, logged.record.Flags, winsim::RecordText(logged.record)});
  }
  return seen;
}

// Loads the module on the machine and unloads it again.
void LoadModule() {
  HMODULE module = LoadLibraryA(QAV_ASIO_MODULE);
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(AsioTraceLogger, LoadingTheModuleConnectsAndItsAttachRecordsDecode) {
  winsim::Machine machine(LoggerMachine());
  LoadModule();
  const std::vector<Seen> seen = Records(*machine.TraceLog());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].tag, kLoggerTagStandard);
  EXPECT_EQ(seen[0].id, static_cast<uint32_t>(TraceId::AsioModuleAttached));
  EXPECT_EQ(seen[0].flags, kTraceAreaUserMode | kTraceLevelEvent);
  EXPECT_EQ(seen[0].text, "ASIO module attached");
  EXPECT_EQ(seen[1].id, static_cast<uint32_t>(TraceId::AsioModulePathKnown));
  EXPECT_EQ(seen[1].flags, kTraceLevelEvent) << "the path record carries the level alone";
  EXPECT_EQ(seen[1].text, "ASIO module path known");
}

struct Quiet {
  const char *why;
  uint32_t userMask;
  uint32_t version;
};

class AsioTraceLoggerQuiet : public ::testing::TestWithParam<Quiet> {};

TEST_P(AsioTraceLoggerQuiet, NothingIsWrittenAndTheModuleStillLoads) {
  const Quiet c = GetParam();
  winsim::Machine machine(LoggerMachine(c.userMask, c.version));
  LoadModule();
  EXPECT_TRUE(Records(*machine.TraceLog()).empty()) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Cases, AsioTraceLoggerQuiet,
                         ::testing::Values(Quiet{"user mask off", 0, kLoggerProtocolVersion},
                                           Quiet{"area enabled, no level", kTraceAreaUserMode, kLoggerProtocolVersion},
                                           Quiet{"another protocol version", 0xFFFFFFFFu, 0x3007}));

TEST(AsioTraceLogger, EveryMachineIsAProcessOfItsOwn) {
  for (int run = 0; run < 2; ++run) {
    winsim::Machine machine(LoggerMachine());
    LoadModule();
    EXPECT_EQ(Records(*machine.TraceLog()).size(), 2u) << "machine " << run;
  }
  winsim::Machine withoutLogger;
  LoadModule();  // its trace client finds no logger and writes nowhere
}

}  // namespace
