// The machine's parallel mode: what it runs at the same time and when it
// starts things. Each case runs a small deliberately wrong routine (one that
// assumes it runs alone, or that things start in the order they were
// queued) that the serial machine lets through and parallel mode catches.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/pnp_queue.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

// Spins without waiting (virtual time stands still) until pred holds or
// `limit` of real time passed; whether it held. A routine that spins stands
// for one that runs long: only what runs beside it can make pred true.
bool SpinUntil(const std::function<bool()> &pred, std::chrono::milliseconds limit = std::chrono::milliseconds(500)) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
  }
  return true;
}

MachineOptions Serial() { return {}; }

MachineOptions Parallel(uint32_t seed, VTime workItemJitter = 0, VTime dpcJitter = 0, uint32_t dpcThreads = 2) {
  MachineOptions options;
  options.parallel = ParallelOptions{.seed = seed,
                                     .workItemJitter = workItemJitter,
                                     .dpcJitter = dpcJitter,
                                     .dpcThreads = dpcThreads};
  return options;
}

// Executive work items with a routine of the test's.
struct Work {
  WORK_QUEUE_ITEM item{};
  std::function<void()> body;
  std::atomic<bool> done{false};

  static void Run(PVOID context) {
    auto *self = static_cast<Work *>(context);
    self->body();
    self->done = true;
  }
  void Queue() {
    ExInitializeWorkItem(&item, Run, this);
    ExQueueWorkItem(&item, DelayedWorkQueue);
  }
};

void WaitAll(Machine &machine, std::vector<Work> &works) {
  machine.RunUntil(
      [&] {
        for (const Work &work : works) {
          if (!work.done) return false;
        }
        return true;
      },
      10000 * kMs);
}

struct ModeCase {
  const char *name;
  bool parallel;
};

std::string CaseName(const ::testing::TestParamInfo<ModeCase> &info) { return info.param.name; }

const auto kModes = ::testing::Values(ModeCase{"Serial", false}, ModeCase{"Parallel", true});

class Modes : public ::testing::TestWithParam<ModeCase> {
 protected:
  MachineOptions Options() const { return GetParam().parallel ? Parallel(5) : Serial(); }
};

// Two work items add one to a shared counter each, reading it first and
// writing it back later, without a lock. Serially the second starts only
// once the first is done; in parallel mode both start at once and one
// update is lost.
class WorkItemRace : public Modes {};

TEST_P(WorkItemRace, TwoItemsAddingToAnUnprotectedCounterLoseAnUpdateOnlyWhenTheyRunAtOnce) {
  Machine machine(Options());
  std::atomic<int> counter{0};
  std::atomic<int> started{0};
  std::vector<Work> works(2);
  for (Work &work : works) {
    work.body = [&] {
      int seen = counter.load();
      ++started;
      SpinUntil([&] { return started.load() == 2; });
      counter.store(seen + 1);
    };
  }
  for (Work &work : works) work.Queue();
  WaitAll(machine, works);
  EXPECT_EQ(counter.load(), GetParam().parallel ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, WorkItemRace, kModes, CaseName);

// Twelve items that each wait for a gate: the serial machine's six workers
// run six of them and the rest wait for a worker; in parallel mode the pool
// grows and all twelve run.
class WorkerPool : public Modes {};

TEST_P(WorkerPool, ItemsThatBlockTakeAWorkerEachAndThePoolGrowsOnlyInParallelMode) {
  Machine machine(Options());
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::atomic<int> running{0};
  std::vector<Work> works(12);
  for (Work &work : works) {
    work.body = [&] {
      ++running;
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    };
  }
  for (Work &work : works) work.Queue();
  machine.RunFor(1 * kMs);
  EXPECT_EQ(running.load(), GetParam().parallel ? 12 : SystemWorkers::kThreads);
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  WaitAll(machine, works);
  EXPECT_EQ(running.load(), 12);
}

INSTANTIATE_TEST_SUITE_P(Modes, WorkerPool, kModes, CaseName);

// A DPC that queues itself again and assumes its routine never runs twice
// at once. On one DPC thread the second run waits for the first; on two,
// the DPC (out of the queue once it started) runs on the other processor
// at the same time, as on a multiprocessor.
class DpcSelfOverlap : public Modes {};

struct SelfQueuingDpc {
  KDPC dpc{};
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  std::atomic<int> runs{0};

  static void Routine(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<SelfQueuingDpc *>(context);
    int now = ++self->inside;
    if (now > self->mostInside) self->mostInside = now;
    if (self->runs++ == 0) {
      KeInsertQueueDpc(dpc, nullptr, nullptr);
      SpinUntil([self] { return self->mostInside.load() > 1; });
    }
    --self->inside;
  }
};

TEST_P(DpcSelfOverlap, ADpcQueuedAgainWhileRunningRunsBesideItselfOnlyOnTwoProcessors) {
  Machine machine(Options());
  SelfQueuingDpc self;
  KeInitializeDpc(&self.dpc, SelfQueuingDpc::Routine, &self);
  KeInsertQueueDpc(&self.dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(self.runs.load(), 2);
  EXPECT_EQ(self.mostInside.load(), GetParam().parallel ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, DpcSelfOverlap, kModes, CaseName);

// A work item that assumes no PnP action runs while it does (a device
// removal racing it): serially the PnP manager borrows a worker, which the
// running item holds; in parallel mode the actions have a thread of their
// own and run beside it.
class PnpBesideWork : public Modes {};

TEST_P(PnpBesideWork, APnpActionRunsWhileAWorkItemRunsOnlyInParallelMode) {
  Machine machine(Options());
  pnp::PnpActionQueue queue;
  std::atomic<bool> actionRan{false};
  std::string actionThread;
  bool sawAction = false;
  std::vector<Work> works(1);
  works[0].body = [&] {
    queue.Queue("remove a device", [&] {
      actionThread = Scheduler::Current()->Name();
      actionRan = true;
    });
    sawAction = SpinUntil([&] { return actionRan.load(); });
  };
  works[0].Queue();
  WaitAll(machine, works);
  queue.WaitIdle();
  EXPECT_EQ(sawAction, GetParam().parallel);
  EXPECT_EQ(actionThread.rfind("system worker", 0) == 0, !GetParam().parallel) << actionThread;
}

INSTANTIATE_TEST_SUITE_P(Modes, PnpBesideWork, kModes, CaseName);

// Start times of two work items queued at the same instant, A first.
struct Starts {
  VTime a = -1, b = -1;
  bool operator==(const Starts &) const = default;
};

Starts StartsOfTwoItems(const MachineOptions &options) {
  Machine machine(options);
  machine.RunFor(10 * kMs);
  Starts starts;
  std::vector<Work> works(2);
  works[0].body = [&] { starts.a = Machine::Current()->Now(); };
  works[1].body = [&] { starts.b = Machine::Current()->Now(); };
  for (Work &work : works) work.Queue();
  WaitAll(machine, works);
  return starts;
}

// A routine that assumes the item it queued first starts first: always so
// serially; with start jitter, the second one starts first under some
// seeds. Each seed gives the same times every run.
TEST(ParallelStartJitter, WorkItemsQueuedTogetherStartAtSeededTimesNotInQueueOrder) {
  const Starts serial = StartsOfTwoItems(Serial());
  EXPECT_EQ(serial, (Starts{10 * kMs, 10 * kMs}));
  int secondFirst = 0, delayed = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const Starts starts = StartsOfTwoItems(Parallel(seed, 400 * kTicksPerMicrosecond));
    EXPECT_EQ(StartsOfTwoItems(Parallel(seed, 400 * kTicksPerMicrosecond)), starts) << "seed " << seed;
    for (VTime at : {starts.a, starts.b}) {
      EXPECT_GE(at, 10 * kMs);
      EXPECT_LE(at, 10 * kMs + 400 * kTicksPerMicrosecond);
      if (at > 10 * kMs) ++delayed;
    }
    if (starts.b < starts.a) ++secondFirst;
  }
  EXPECT_GT(secondFirst, 0);
  EXPECT_GT(delayed, 0);
}

// Two timers due at the same instant, A set first, each queuing its DPC:
// which DPC runs first. One DPC thread and no start jitter, so the order
// of the DPCs is the order in which the timers fired.
struct TimerPair {
  KTIMER timer[2];
  KDPC dpc[2];
  std::mutex lock;
  std::string order;

  static void Fired(PKDPC, PVOID context, PVOID, PVOID) {
    auto *name = static_cast<const char *>(context);
    TimerPair *self = Current();
    std::lock_guard<std::mutex> guard(self->lock);
    self->order += name;
  }
  static TimerPair *&Current() {
    static TimerPair *current = nullptr;
    return current;
  }
};

std::string OrderOfTimersDueTogether(const MachineOptions &options) {
  Machine machine(options);
  TimerPair pair;
  TimerPair::Current() = &pair;
  static const char *const kNames[] = {"A", "B"};
  LARGE_INTEGER due;
  due.QuadPart = -5 * kMs;
  for (int i = 0; i < 2; ++i) {
    KeInitializeTimer(&pair.timer[i]);
    KeInitializeDpc(&pair.dpc[i], TimerPair::Fired, const_cast<char *>(kNames[i]));
    KeSetTimer(&pair.timer[i], due, &pair.dpc[i]);
  }
  machine.RunFor(10 * kMs);
  KeFlushQueuedDpcs();
  TimerPair::Current() = nullptr;
  return pair.order;
}

TEST(ParallelWakeOrder, TimersDueAtTheSameInstantFireInASeededOrder) {
  EXPECT_EQ(OrderOfTimersDueTogether(Serial()), "AB");
  int reversed = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const std::string order = OrderOfTimersDueTogether(Parallel(seed, 0, 0, 1));
    EXPECT_EQ(OrderOfTimersDueTogether(Parallel(seed, 0, 0, 1)), order) << "seed " << seed;
    ASSERT_TRUE(order == "AB" || order == "BA") << order;
    if (order == "BA") ++reversed;
  }
  EXPECT_GT(reversed, 0);
  EXPECT_LT(reversed, 12);
}

// Start times of two DPCs queued together, A first.
TEST(ParallelStartJitter, DpcsQueuedTogetherStartAfterSeededDelays) {
  struct Record {
    std::mutex lock;
    VTime at[2] = {-1, -1};
  };
  auto run = [](const MachineOptions &options) {
    Machine machine(options);
    Record record;
    KDPC dpc[2];
    auto routine = [](PKDPC, PVOID context, PVOID argument, PVOID) {
      auto *r = static_cast<Record *>(context);
      std::lock_guard<std::mutex> guard(r->lock);
      r->at[reinterpret_cast<uintptr_t>(argument)] = Machine::Current()->Now();
    };
    for (uintptr_t i = 0; i < 2; ++i) {
      KeInitializeDpc(&dpc[i], routine, &record);
      KeInsertQueueDpc(&dpc[i], reinterpret_cast<PVOID>(i), nullptr);
    }
    KeFlushQueuedDpcs();
    return std::make_pair(record.at[0], record.at[1]);
  };
  EXPECT_EQ(run(Serial()), std::make_pair(VTime{0}, VTime{0}));
  int secondFirst = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    auto at = run(Parallel(seed, 0, 40 * kTicksPerMicrosecond));
    EXPECT_EQ(run(Parallel(seed, 0, 40 * kTicksPerMicrosecond)), at) << "seed " << seed;
    EXPECT_LE(std::max(at.first, at.second), 40 * kTicksPerMicrosecond);
    if (at.second < at.first) ++secondFirst;
  }
  EXPECT_GT(secondFirst, 0);
}

// The seed is in the boot log and in every bug-check report, so a failure
// found under one seed can be run again.
TEST(ParallelSeed, TheBootLogAndEveryBugCheckReportNameTheSeed) {
  {
    Machine machine(Parallel(4242));
    EXPECT_EQ(DebugLog::Count("parallel mode, seed 4242"), 1u);
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine(Parallel(4242));
        KDPC dpc{};
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
      },
      "DPC without a routine(.|\n)*parallel mode, seed 4242");
}

}  // namespace
