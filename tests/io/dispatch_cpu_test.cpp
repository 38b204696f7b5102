// CPU time at DISPATCH_LEVEL: each DPC routine's real CPU time goes into
// the machine's histogram, and a routine over the budget stops the machine
// as the DPC watchdog would. Virtual time, which stands still while code
// runs, cannot show either.
#include <gtest/gtest.h>

#include <atomic>

#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr uint64_t kNsPerUs = 1000;

// Burns `us` of the calling thread's CPU time.
void Burn(uint64_t us) {
  const uint64_t until = ThreadCpuNs() + us * kNsPerUs;
  volatile uint64_t sink = 0;
  while (ThreadCpuNs() < until) sink = sink + 1;
}

struct BucketCase {
  uint64_t ns;
  int bucket;
};

TEST(CpuHistogramBuckets, EachRunLandsInThePowerOfTwoMicrosecondBucketThatHoldsIt) {
  const BucketCase cases[] = {{0, 0},          {999, 0},         {1000, 1},         {1999, 1},
                              {2000, 2},       {3999, 2},        {4000, 3},         {1'000'000, 10},
                              {3'000'000, 12}, {65'536'000, 17}, {900'000'000, 17}};
  for (const BucketCase &c : cases) {
    CpuHistogram histogram;
    histogram.Add(c.ns);
    EXPECT_EQ(histogram.counts[c.bucket], 1u) << c.ns << " ns";
    EXPECT_GE(c.ns, CpuHistogram::BucketLowNs(c.bucket));
    EXPECT_LT(c.ns, CpuHistogram::BucketHighNs(c.bucket));
  }
}

TEST(CpuHistogramFigures, PercentilesCountMeanAndMaximumComeFromTheRuns) {
  CpuHistogram histogram;
  for (int i = 0; i < 98; ++i) histogram.Add(5 * kNsPerUs);
  histogram.Add(300 * kNsPerUs);
  histogram.Add(2500 * kNsPerUs);
  EXPECT_EQ(histogram.count, 100u);
  EXPECT_EQ(histogram.maxNs, 2500 * kNsPerUs);
  EXPECT_EQ(histogram.PercentileNs(0.5), 8 * kNsPerUs);
  EXPECT_EQ(histogram.PercentileNs(0.98), 512 * kNsPerUs);
  EXPECT_EQ(histogram.PercentileNs(1.0), 4096 * kNsPerUs);
  const std::string table = histogram.Format("DPC");
  EXPECT_NE(table.find("| 4-8 us | 98 | 98.00 % | 98.00 % |"), std::string::npos) << table;
  EXPECT_NE(table.find("| 2048-4096 us | 1 | 1.00 % | 100.00 % |"), std::string::npos) << table;
  EXPECT_NE(table.find("runs 100, mean 32.9 us, max 2500.0 us"), std::string::npos) << table;
}

struct BurningDpc {
  KDPC dpc{};
  uint64_t us = 0;
  static void Routine(PKDPC, PVOID context, PVOID, PVOID) { Burn(static_cast<BurningDpc *>(context)->us); }
};

// A DPC that spins for 3 ms of CPU: on the virtual clock it takes no time at
// all, in the histogram it stands out.
TEST(DispatchCpu, ADpcThatSpinsShowsInTheHistogramThoughNoVirtualTimePasses) {
  Machine machine;
  BurningDpc cheap, slow;
  slow.us = 3000;
  KeInitializeDpc(&cheap.dpc, BurningDpc::Routine, &cheap);
  KeInitializeDpc(&slow.dpc, BurningDpc::Routine, &slow);
  KeInsertQueueDpc(&cheap.dpc, nullptr, nullptr);
  KeInsertQueueDpc(&slow.dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(machine.Now(), 0);
  const CpuHistogram dpcs = machine.DispatchCpuTime(DispatchWork::Dpc);
  EXPECT_EQ(dpcs.count, 2u);
  EXPECT_GE(dpcs.maxNs, 3000 * kNsPerUs);
  EXPECT_GE(dpcs.PercentileNs(1.0), 4096 * kNsPerUs);
  EXPECT_EQ(machine.DispatchCpuTime(DispatchWork::UrbCompletion).count, 0u);
}

// The run's figures go into the log as the machine goes down; kinds of work
// that never ran are left out.
TEST(DispatchCpu, TheMachineLogsEachKindOfWorkThatRanAsItGoesDown) {
  {
    Machine machine;
    BurningDpc slow;
    slow.us = 300;
    KeInitializeDpc(&slow.dpc, BurningDpc::Routine, &slow);
    KeInsertQueueDpc(&slow.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
  }
  std::string dpcLine, urbLine;
  for (const LogLine &line : DebugLog::Snapshot()) {
    if (line.text.find("per DPC:") != std::string::npos) dpcLine = line.text;
    if (line.text.find("per URB completion:") != std::string::npos) urbLine = line.text;
  }
  EXPECT_NE(dpcLine.find("CPU at DISPATCH_LEVEL per DPC: 1 runs, mean "), std::string::npos) << dpcLine;
  EXPECT_NE(dpcLine.find("99 % under 512 us, max "), std::string::npos) << dpcLine;
  EXPECT_EQ(urbLine, "");
}

TEST(DispatchCpu, ARoutineOverTheBudgetStopsTheMachineNamingWhereItWasQueued) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        MachineOptions options;
        options.dispatchCpuBudgetNs = 1000 * kNsPerUs;
        Machine machine(options);
        BurningDpc slow;
        slow.us = 3000;
        KeInitializeDpc(&slow.dpc, BurningDpc::Routine, &slow);
        KeInsertQueueDpc(&slow.dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
      },
      "DPC_WATCHDOG_VIOLATION(.|\n)*DPC .* queued at .*dispatch_cpu_test.cpp:[0-9]+ ran [0-9.]+ us of CPU at "
      "DISPATCH_LEVEL; the budget per routine is 1000.0 us");
}

}  // namespace
