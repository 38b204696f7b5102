// The driver's trace log client against the simulated logger device: open
// and close, what a missing or foreign logger does, record writing, the
// trigger's freeze and the ring's wrap.
#include <gtest/gtest.h>

#include <vector>

#include "kerneldriver/trace/trace_log.h"
#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/machine.h"

namespace {

using winsim::LoggedRecord;
using winsim::TraceLogger;
using winsim::TraceLoggerOptions;

std::vector<LoggedRecord> Read(TraceLogger &logger, const LoggerBufferHeader &header) {
  return winsim::ReadBuffer(header, logger.Records(header));
}

// Opens the client for the test and closes it afterwards.
class TraceClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TraceLogClose();
    EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u) << "the client left its logger handle open";
  }
  TraceLogger &StartLogger(const TraceLoggerOptions &options = {}) {
    EXPECT_TRUE(machine.StartTraceLogger(options));
    return *machine.TraceLog();
  }

  winsim::Machine machine;
};

int g_argumentsBuilt = 0;
ULONG CountedArgument() {
  ++g_argumentsBuilt;
  return 7;
}

TEST_F(TraceClientTest, WithoutALoggerOpenFailsAndTracePointsBuildNothing) {
  EXPECT_EQ(TraceLogOpen(), STATUS_UNSUCCESSFUL);
  g_argumentsBuilt = 0;
  QAV_LOG(DriverEntry, CountedArgument(), 0, 0, 0);
  QAV_LOG_RT(DriverEntry, CountedArgument(), 0, 0, 0);
  EXPECT_EQ(g_argumentsBuilt, 0);
  EXPECT_FALSE(TraceStandardEnabled(kTraceLevelEvent | kTraceAreaDevice));
  EXPECT_FALSE(TraceRealTimeEnabled(kTraceLevelEvent | kTraceAreaDevice));
  EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u);
}

TEST_F(TraceClientTest, ALoggerOfAnotherVersionIsRefusedAndLeftClosed) {
  for (uint32_t version : {0u, 0x3005u, 0x3007u, 0x6030u}) {
    SCOPED_TRACE(version);
    if (machine.TraceLog() == nullptr) StartLogger();
    machine.TraceLog()->SetVersion(version);
    EXPECT_EQ(TraceLogOpen(), STATUS_REVISION_MISMATCH);
    EXPECT_FALSE(TraceStandardEnabled(kTraceLevelEvent | kTraceAreaDevice));
    EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u);
    QAV_LOG(DriverEntry, 1, 0, 0, 4);
    EXPECT_EQ(machine.TraceLog()->Standard().WriteCounter, 0u);
  }
}

TEST_F(TraceClientTest, RecordsGoToTheirBufferWithFlagsTimeIdAndArguments) {
  TraceLogger &logger = StartLogger();
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);
  EXPECT_EQ(TraceLogOpen(), STATUS_SUCCESS) << "a second open succeeds";
  EXPECT_EQ(winsim::OpenKernelFileHandles(), 1u);
  machine.RunFor(12345);
  QAV_LOG(DriverEntry, 1, 2, 3, 0x0123456789ABCDEFull, -1);
  QAV_LOG_RT(DriverUnloaded);
  auto standard = Read(logger, logger.Standard());
  auto realTime = Read(logger, logger.RealTime());
  ASSERT_EQ(standard.size(), 1u);
  ASSERT_EQ(realTime.size(), 1u);
  const TraceRecord &record = standard[0].record;
  EXPECT_EQ(record.MessageId, static_cast<unsigned>(TraceId::DriverEntry));
  EXPECT_EQ(record.Flags, TraceFlagsOf(TraceId::DriverEntry));
  EXPECT_EQ(record.InterruptTime, KeQueryInterruptTime());
  const unsigned int expected[8] = {1, 2, 3, 0x89ABCDEF, 0x01234567, 0xFFFFFFFF, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(record.Arguments[i], expected[i]) << i;
  EXPECT_EQ(realTime[0].record.MessageId, static_cast<unsigned>(TraceId::DriverUnloaded));
}

TEST_F(TraceClientTest, OnlyRecordsWhoseFlagsAreAllEnabledAreWritten) {
  struct Case {
    uint32_t mask;
    bool written;
  } cases[] = {
      {0xFFFFFFFFu, true},
      {kTraceLevelEvent | kTraceAreaDevice, true},
      {kTraceLevelEvent, false},
      {kTraceAreaDevice | kTraceLevelFailure, false},
      {0, false},
  };
  TraceLogger &logger = StartLogger();
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mask);
    logger.Clear();
    logger.SetMasks(c.mask, 0);
    g_argumentsBuilt = 0;
    QAV_LOG(DriverEntry, CountedArgument());
    EXPECT_EQ(logger.Standard().WriteCounter, c.written ? 1u : 0u);
    EXPECT_EQ(g_argumentsBuilt, c.written ? 1 : 0) << "arguments are built only for a written record";
  }
}

TEST_F(TraceClientTest, AFailureRecordUnderTheTriggerKeepsFiftyMoreRecordsThenFreezesBothBuffers) {
  TraceLoggerOptions options;
  options.triggerMask = kTraceLevelFailure;
  TraceLogger &logger = StartLogger(options);
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);
  for (int i = 0; i < 10; ++i) QAV_LOG(DriverEntry, i);
  TraceWrite(g_traceLog.standard, kTraceLevelFailure | kTraceAreaDevice, TraceId::DriverUnloaded, 999);
  EXPECT_EQ(logger.Standard().PostTriggerCountdown, kTracePostTriggerRecords);
  for (int i = 0; i < 49; ++i) QAV_LOG(DriverEntry, 1000 + i);
  EXPECT_EQ(logger.Standard().KernelEnableMask, 0xFFFFFFFFu) << "still running before the 50th";
  // A second failure does not restart the countdown.
  TraceWrite(g_traceLog.standard, kTraceLevelFailure | kTraceAreaDevice, TraceId::DriverUnloaded, 1049);
  EXPECT_EQ(logger.Standard().KernelEnableMask, 0u);
  EXPECT_EQ(logger.RealTime().KernelEnableMask, 0u);
  for (int i = 0; i < 20; ++i) {
    QAV_LOG(DriverEntry, 2000 + i);
    QAV_LOG_RT(DriverEntry, 2000 + i);
  }
  auto records = Read(logger, logger.Standard());
  ASSERT_EQ(records.size(), 10u + 1u + 50u);
  EXPECT_EQ(records.back().record.Arguments[0], 1049u);
  EXPECT_EQ(Read(logger, logger.RealTime()).size(), 0u);
}

TEST_F(TraceClientTest, ARingOfTwoToTheKSlotsHoldsTheNewestRecordInSlotZeroAfterOneMore) {
  for (uint32_t log2 : {0u, 3u, 6u}) {
    SCOPED_TRACE(log2);
    if (machine.TraceLog() == nullptr) {
      TraceLoggerOptions options;
      options.standardRecordsLog2 = 6;
      StartLogger(options);
      ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);
    }
    TraceLogger &logger = *machine.TraceLog();
    logger.Clear();
    // A smaller ring inside the logger's: the client follows the index mask.
    logger.Standard().IndexMask = (1u << log2) - 1;
    const uint32_t count = 1u << log2;
    for (uint32_t i = 1; i <= count + 1; ++i) QAV_LOG(DriverEntry, i);
    const TraceRecord *slots = logger.Records(logger.Standard());
    EXPECT_EQ(slots[0].Arguments[0], count + 1);
    if (count > 1) {
      EXPECT_EQ(slots[1].Arguments[0], 2u);
    }
    auto records = Read(logger, logger.Standard());
    ASSERT_EQ(records.size(), count);
    EXPECT_EQ(records.front().record.Arguments[0], 2u);
    EXPECT_EQ(records.back().record.Arguments[0], count + 1);
  }
}

TEST_F(TraceClientTest, CloseTurnsTracingOffAndLetsTheLoggerGo) {
  TraceLogger &logger = StartLogger();
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);
  TraceLogClose();
  EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u);
  QAV_LOG(DriverEntry, 1);
  EXPECT_EQ(logger.Standard().WriteCounter, 0u);
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS) << "opens again after a close";
  QAV_LOG(DriverEntry, 1);
  EXPECT_EQ(logger.Standard().WriteCounter, 1u);
}

}  // namespace
