// The driver's own trace points: with the logger present a start, a short
// stream and the removal leave records that all decode through the
// catalogue; without it the driver starts and streams all the same.
#include <set>
#include <string>

#include "../streaming/stream_harness.h"
#include "kerneldriver/trace/trace_log.h"
#include "uac2common/tracelog/trace_text.h"
#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"

namespace sttest {
namespace {

constexpr winsim::usb::VTime kMs = 10000;

using DriverTraceTest = StreamTest;

TEST_F(DriverTraceTest, AStartAndAShortStreamDecodeThroughTheCatalogue) {
  ASSERT_NE(machine.TraceLog(), nullptr);
  winsim::TraceLogger &logger = *machine.TraceLog();
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(200 * kMs);
  Leave(render);
  Leave(capture);
  Unplug();
  EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u) << "the unloaded driver kept its logger handle";
  std::set<std::string> seen;
  for (const winsim::LoggedRecord &logged : winsim::ReadLogger(logger)) {
    const TraceCatalogEntry *entry = FindTraceMessage(logged.record.MessageId);
    ASSERT_NE(entry, nullptr) << "unknown message id " << logged.record.MessageId;
    EXPECT_EQ(logged.record.Flags, entry->flags) << entry->name;
    seen.insert(entry->name);
  }
  for (const char *expected : {"DriverEntry", "DeviceAdded", "PostStart", "ClockInUse", "StreamStopped",
                               "DriverUnloaded"}) {
    EXPECT_TRUE(seen.count(expected) != 0) << expected;
  }
}

class DriverWithoutLoggerTest : public StreamTest {
 protected:
  static void SetUpTestSuite() { dstest::SuiteTraceLogger() = false; }
  static void TearDownTestSuite() { dstest::SuiteTraceLogger() = true; }
};

TEST_F(DriverWithoutLoggerTest, StartsAndStreamsUntracedAndHoldsNoLoggerHandle) {
  ASSERT_EQ(machine.TraceLog(), nullptr);
  Plug("Larch");
  EXPECT_EQ(winsim::OpenKernelFileHandles(), 0u);
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(300 * kMs);
  Leave(render);
  Leave(capture);
  for (NTSTATUS status : startStatuses) EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Played().Errors(), 0u);
  EXPECT_GT(Played().RampFrames(), 10000u);
  EXPECT_FALSE(TraceStandardEnabled(kTraceLevelEvent | kTraceAreaDevice));
}

}  // namespace
}  // namespace sttest
