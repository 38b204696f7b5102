// Records written from several processors at once: every slot claimed once,
// and a reader running alongside never takes a record whose flag word is set
// while its other fields are not yet the writer's.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kerneldriver/trace/trace_log.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/machine.h"

namespace {

constexpr unsigned int kWriters = 4;
constexpr unsigned int kPerWriter = 3000;

unsigned int Mix(unsigned int writer, unsigned int sequence, unsigned int i) {
  return (writer * 0x9E3779B9u) ^ (sequence * 0x85EBCA6Bu) ^ (i * 0xC2B2AE35u);
}

// A record as a writer below made it: each argument derived from the first two.
bool Consistent(const TraceRecord &record) {
  if (record.MessageId != static_cast<unsigned>(TraceId::DriverEntry)) return false;
  if (record.Flags != TraceFlagsOf(TraceId::DriverEntry)) return false;
  for (unsigned int i = 2; i < kTraceRecordArguments; ++i) {
    if (record.Arguments[i] != Mix(record.Arguments[0], record.Arguments[1], i)) return false;
  }
  return true;
}

TEST(TraceConcurrencyTest, WritersOnSeveralProcessorsLeaveEveryRecordWholeAndReadersSeeNoTornOne) {
  winsim::Machine machine;
  winsim::TraceLoggerOptions options;
  options.standardRecordsLog2 = 14;  // room for every record: no slot is reused
  ASSERT_TRUE(machine.StartTraceLogger(options));
  winsim::TraceLogger &logger = *machine.TraceLog();
  ASSERT_EQ(TraceLogOpen(), STATUS_SUCCESS);

  std::atomic<bool> go{false};
  std::atomic<unsigned int> done{0};
  std::vector<std::thread> writers;
  for (unsigned int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      while (!go.load()) std::this_thread::yield();
      for (unsigned int s = 0; s < kPerWriter; ++s) {
        QAV_LOG(DriverEntry, w, s, Mix(w, s, 2), Mix(w, s, 3), Mix(w, s, 4), Mix(w, s, 5), Mix(w, s, 6), Mix(w, s, 7));
      }
      done.fetch_add(1);
    });
  }
  size_t torn = 0;
  size_t seen = 0;
  std::thread reader([&] {
    while (!go.load()) std::this_thread::yield();
    while (done.load() < kWriters) {
      for (const winsim::LoggedRecord &logged : winsim::ReadBuffer(logger.Standard(), logger.Records(logger.Standard()))) {
        ++seen;
        if (!Consistent(logged.record)) ++torn;
      }
    }
  });
  go.store(true);
  for (std::thread &writer : writers) writer.join();
  reader.join();

  EXPECT_EQ(torn, 0u) << "of " << seen << " records read while writers ran";
  auto records = winsim::ReadBuffer(logger.Standard(), logger.Records(logger.Standard()));
  ASSERT_EQ(records.size(), size_t{kWriters} * kPerWriter);
  std::set<std::pair<unsigned int, unsigned int>> written;
  for (const winsim::LoggedRecord &logged : records) {
    EXPECT_TRUE(Consistent(logged.record));
    written.insert({logged.record.Arguments[0], logged.record.Arguments[1]});
  }
  EXPECT_EQ(written.size(), size_t{kWriters} * kPerWriter) << "a slot was claimed twice";
  TraceLogClose();
}

}  // namespace
