// DPCs and kernel timers on the DPC thread, in virtual time.
#include <gtest/gtest.h>

#include <atomic>

#include "io_test_support.h"

using namespace winsim;
using namespace iotest;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

LARGE_INTEGER In(VTime ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

struct TimerWakeCase {
  const char *name;
  TIMER_TYPE type;
  int woken;
  BOOLEAN stateAfter;
};

class TimerWake : public ::testing::TestWithParam<TimerWakeCase> {};

TEST_P(TimerWake, ATimerSignalsItsWaitersAtItsDueTime) {
  const TimerWakeCase &c = GetParam();
  Machine machine;
  KTIMER timer;
  KeInitializeTimerEx(&timer, c.type);
  std::atomic<int> woken{0};
  std::vector<std::shared_ptr<SimThread>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(machine.Threads().Spawn("waiter", ThreadKind::User, 1234, [&] {
      LARGE_INTEGER timeout = In(50 * kMs);
      if (KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        EXPECT_EQ(Machine::Current()->Now(), 7 * kMs);
        ++woken;
      }
    }));
  }
  EXPECT_FALSE(KeSetTimer(&timer, In(7 * kMs), nullptr));
  for (auto &waiter : waiters) KeWaitForSingleObject(waiter->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(woken.load(), c.woken);
  EXPECT_EQ(KeReadStateTimer(&timer), c.stateAfter);
}

INSTANTIATE_TEST_SUITE_P(Types, TimerWake,
                         ::testing::Values(TimerWakeCase{"Notification", NotificationTimer, 3, TRUE},
                                           TimerWakeCase{"Synchronization", SynchronizationTimer, 1, FALSE}),
                         [](const auto &info) { return std::string(info.param.name); });

struct DpcLog {
  std::vector<VTime> at;
  std::vector<KIRQL> irql;
  KEVENT enough;
  size_t wanted;
  static void Record(PKDPC, PVOID context, PVOID, PVOID) {
    auto *log = static_cast<DpcLog *>(context);
    log->at.push_back(Machine::Current()->Now());
    log->irql.push_back(KeGetCurrentIrql());
    if (log->at.size() == log->wanted) KeSetEvent(&log->enough, IO_NO_INCREMENT, FALSE);
  }
};

TEST(Timers, APeriodicTimerQueuesItsDpcEveryPeriodUntilCancelled) {
  Machine machine;
  KTIMER timer;
  KDPC dpc;
  DpcLog log{{}, {}, {}, 4};
  KeInitializeEvent(&log.enough, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, DpcLog::Record, &log);
  KeSetTimerEx(&timer, In(1 * kMs), 2, &dpc);
  KeWaitForSingleObject(&log.enough, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(KeCancelTimer(&timer));
  machine.RunFor(10 * kMs);
  EXPECT_EQ(log.at, (std::vector<VTime>{1 * kMs, 3 * kMs, 5 * kMs, 7 * kMs}));
  EXPECT_EQ(log.irql, (std::vector<KIRQL>(4, DISPATCH_LEVEL)));
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Timers, SettingATimerAgainMovesItsDueTime) {
  Machine machine;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, In(10 * kMs), nullptr);
  EXPECT_TRUE(KeSetTimer(&timer, In(3 * kMs), nullptr));
  KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(machine.Now(), 3 * kMs);
  machine.RunFor(20 * kMs);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  KeSetTimer(&timer, In(5 * kMs), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));  // setting it resets the signal
  KeCancelTimer(&timer);
}

TEST(Timers, ACancelledTimerNeverSignals) {
  Machine machine;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, In(5 * kMs), nullptr);
  EXPECT_TRUE(KeCancelTimer(&timer));
  LARGE_INTEGER timeout = In(20 * kMs);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

struct Ordered {
  Trace *trace;
  const char *name;
  KDPC dpc;
  static void Run(PKDPC, PVOID context, PVOID argument1, PVOID) {
    auto *self = static_cast<Ordered *>(context);
    self->trace->Add(std::string(self->name) + (argument1 != nullptr ? "+arg" : ""));
  }
};

TEST(Dpcs, HighImportanceDpcsJumpTheQueueAndAQueuedDpcIsNotQueuedTwice) {
  Machine machine;
  Trace trace;
  Ordered a{&trace, "a", {}}, b{&trace, "b", {}}, high{&trace, "high", {}};
  for (Ordered *dpc : {&a, &b, &high}) KeInitializeDpc(&dpc->dpc, Ordered::Run, dpc);
  KeSetImportanceDpc(&high.dpc, HighImportance);
  struct Outer {
    Ordered *a, *b, *high;
    BOOLEAN secondInsert;
  } outer{&a, &b, &high, TRUE};
  KDPC queuer;
  // Queued from a running DPC, so none of them can start before all are in.
  KeInitializeDpc(
      &queuer,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *o = static_cast<Outer *>(context);
        KeInsertQueueDpc(&o->a->dpc, nullptr, nullptr);
        KeInsertQueueDpc(&o->b->dpc, reinterpret_cast<PVOID>(1), nullptr);
        o->secondInsert = KeInsertQueueDpc(&o->a->dpc, reinterpret_cast<PVOID>(1), nullptr);
        KeInsertQueueDpc(&o->high->dpc, nullptr, nullptr);
      },
      &outer);
  EXPECT_TRUE(KeInsertQueueDpc(&queuer, nullptr, nullptr));
  KeFlushQueuedDpcs();
  EXPECT_FALSE(outer.secondInsert);
  EXPECT_EQ(trace.Events(), (std::vector<std::string>{"high", "a", "b+arg"}));
}

TEST(Dpcs, ARemovedDpcDoesNotRun) {
  Machine machine;
  Trace trace;
  Ordered a{&trace, "a", {}}, b{&trace, "b", {}};
  for (Ordered *dpc : {&a, &b}) KeInitializeDpc(&dpc->dpc, Ordered::Run, dpc);
  struct Outer {
    Ordered *a, *b;
    BOOLEAN removed, removedAgain;
  } outer{&a, &b, FALSE, TRUE};
  KDPC queuer;
  KeInitializeDpc(
      &queuer,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *o = static_cast<Outer *>(context);
        KeInsertQueueDpc(&o->a->dpc, nullptr, nullptr);
        KeInsertQueueDpc(&o->b->dpc, nullptr, nullptr);
        o->removed = KeRemoveQueueDpc(&o->a->dpc);
        o->removedAgain = KeRemoveQueueDpc(&o->a->dpc);
      },
      &outer);
  KeInsertQueueDpc(&queuer, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(outer.removed);
  EXPECT_FALSE(outer.removedAgain);
  EXPECT_EQ(trace.Events(), std::vector<std::string>{"b"});
}

}  // namespace
