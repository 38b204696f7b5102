#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "winsim/machine.h"

using namespace winsim;

namespace {

LARGE_INTEGER Relative(VTime ticks) {
  LARGE_INTEGER value;
  value.QuadPart = -ticks;
  return value;
}

constexpr VTime kMs = kTicksPerMillisecond;

}  // namespace

TEST(Scheduler, TimeJumpsStraightToTheEarliestDeadline) {
  Machine machine;
  std::vector<VTime> woke(3);
  std::vector<std::shared_ptr<SimThread>> threads;
  const VTime delays[] = {7 * kMs, 3 * kMs, 11 * kMs};
  for (int i = 0; i < 3; ++i) {
    threads.push_back(machine.Threads().Spawn("sleeper", ThreadKind::SystemWorker, kSystemProcessId, [&, i] {
      LARGE_INTEGER delay = Relative(delays[i]);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      woke[i] = machine.Now();
    }));
  }
  for (auto &thread : threads) {
    KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  }
  EXPECT_EQ(woke[0], 7 * kMs);
  EXPECT_EQ(woke[1], 3 * kMs);
  EXPECT_EQ(woke[2], 11 * kMs);
  EXPECT_EQ(machine.Now(), 11 * kMs);
}

TEST(Scheduler, TimeOutFiresAtExactlyItsVirtualTimeWhateverTheHostLoad) {
  Machine machine;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  // A simulated thread that burns real CPU for a while: virtual time must not
  // move while it runs, and the time-out must not fire early because of it.
  auto busy = machine.Threads().Spawn("busy", ThreadKind::User, 1234, [] {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    while (std::chrono::steady_clock::now() < until) {
    }
  });
  LARGE_INTEGER timeout = Relative(2000 * kMs);
  NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(machine.Now(), 2000 * kMs);
  KeWaitForSingleObject(busy->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

TEST(Scheduler, TimeDoesNotAdvanceWhileAnyThreadRuns) {
  Machine machine;
  std::atomic<bool> release{false};
  VTime seenBySleeper = -1;
  auto runner = machine.Threads().Spawn("runner", ThreadKind::User, 1234, [&] {
    while (!release.load()) std::this_thread::yield();
  });
  auto sleeper = machine.Threads().Spawn("sleeper", ThreadKind::User, 1234, [&] {
    LARGE_INTEGER delay = Relative(5 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    seenBySleeper = machine.Now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(machine.Now(), 0);  // the test thread and runner are running
  release = true;
  KeWaitForSingleObject(sleeper->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seenBySleeper, 5 * kMs);
  KeWaitForSingleObject(runner->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

struct EventWakeCase {
  const char *name;
  EVENT_TYPE type;
  int waiters;
  int expectedWoken;
  VTime expectedEnd;  // the last waiter leaves when woken or at its 100 ms time-out
};

class EventWake : public ::testing::TestWithParam<EventWakeCase> {};

TEST_P(EventWake, SettingTheEventWakesTheRightNumberOfWaiters) {
  const EventWakeCase &c = GetParam();
  Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, c.type, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::shared_ptr<SimThread>> threads;
  for (int i = 0; i < c.waiters; ++i) {
    threads.push_back(machine.Threads().Spawn("waiter", ThreadKind::User, 1234, [&] {
      LARGE_INTEGER timeout = Relative(100 * kMs);
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++woken;
    }));
  }
  machine.RunFor(1 * kMs);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  machine.RunFor(1 * kMs);
  EXPECT_EQ(woken.load(), c.expectedWoken);
  EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
  for (auto &thread : threads) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(machine.Now(), c.expectedEnd);
}

INSTANTIATE_TEST_SUITE_P(Types, EventWake,
                         ::testing::Values(EventWakeCase{"Notification", NotificationEvent, 3, 3, 2 * kMs},
                                           EventWakeCase{"Synchronization", SynchronizationEvent, 3, 1, 100 * kMs}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Scheduler, WaitAnyReturnsTheIndexOfTheSignalledObject) {
  Machine machine;
  KEVENT events[3];
  for (KEVENT &event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  auto setter = machine.Threads().Spawn("setter", ThreadKind::User, 1234, [&] {
    LARGE_INTEGER delay = Relative(4 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
  });
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  NTSTATUS status = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
  EXPECT_EQ(status, STATUS_WAIT_0 + 2);
  EXPECT_EQ(machine.Now(), 4 * kMs);
  EXPECT_EQ(KeReadStateEvent(&events[2]), 0);  // consumed by the wait
  KeWaitForSingleObject(setter->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

TEST(Scheduler, WaitAllCompletesOnlyWhenEveryObjectIsSignalledByDifferentThreads) {
  Machine machine;
  KEVENT events[3];
  for (KEVENT &event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::vector<std::shared_ptr<SimThread>> setters;
  for (int i = 0; i < 3; ++i) {
    setters.push_back(machine.Threads().Spawn("setter", ThreadKind::User, 1234, [&, i] {
      LARGE_INTEGER delay = Relative((i + 1) * 10 * kMs);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      KeSetEvent(&events[i], IO_NO_INCREMENT, FALSE);
    }));
  }
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  NTSTATUS status = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(machine.Now(), 30 * kMs);
  for (KEVENT &event : events) EXPECT_EQ(KeReadStateEvent(&event), 0);
  for (auto &thread : setters) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

TEST(Scheduler, WaitAllTimesOutWithoutConsumingThePartlySignalledObjects) {
  Machine machine;
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER timeout = Relative(20 * kMs);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  EXPECT_EQ(machine.Now(), 20 * kMs);
}

TEST(Scheduler, SemaphoreAdmitsAsManyWaitersAsItsCount) {
  Machine machine;
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, 10);
  std::atomic<int> admitted{0};
  std::vector<std::shared_ptr<SimThread>> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(machine.Threads().Spawn("waiter", ThreadKind::User, 1234, [&] {
      LARGE_INTEGER timeout = Relative(50 * kMs);
      if (KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++admitted;
    }));
  }
  machine.RunFor(kMs);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 3, FALSE), 0);
  for (auto &thread : threads) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(admitted.load(), 3);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST(Scheduler, ZeroTimeOutPollsWithoutBlocking) {
  Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(machine.Now(), 0);
}

TEST(Scheduler, AbsoluteTimeOutIsASystemTime) {
  Machine machine;
  machine.RunFor(5 * kMs);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + 15 * kMs;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(machine.Now(), 20 * kMs);
}

TEST(Scheduler, RunUntilStopsAtTheFirstQuiescentMomentThePredicateHolds) {
  Machine machine;
  std::atomic<int> ticks{0};
  std::atomic<bool> stop{false};
  auto ticker = machine.Threads().Spawn("ticker", ThreadKind::Device, kSystemProcessId, [&] {
    while (!stop) {
      LARGE_INTEGER period = Relative(kMs);
      KeDelayExecutionThread(KernelMode, FALSE, &period);
      ++ticks;
    }
  });
  EXPECT_TRUE(machine.RunUntil([&] { return ticks.load() >= 25; }, 1000 * kMs));
  EXPECT_EQ(machine.Now(), 25 * kMs);
  EXPECT_FALSE(machine.RunUntil([] { return false; }, 10 * kMs));
  EXPECT_EQ(machine.Now(), 35 * kMs);
  stop = true;
  KeWaitForSingleObject(ticker->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

TEST(Scheduler, FastMutexKeepsOwnersApartAcrossWaits) {
  Machine machine;
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int inside = 0;
  int maxInside = 0;
  std::vector<std::shared_ptr<SimThread>> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(machine.Threads().Spawn("locker", ThreadKind::SystemWorker, kSystemProcessId, [&] {
      for (int round = 0; round < 5; ++round) {
        ExAcquireFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        maxInside = std::max(maxInside, ++inside);
        LARGE_INTEGER hold = Relative(kMs);
        KeDelayExecutionThread(KernelMode, FALSE, &hold);
        --inside;
        ExReleaseFastMutex(&mutex);
      }
    }));
  }
  for (auto &thread : threads) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(maxInside, 1);
  EXPECT_EQ(machine.Now(), 20 * kMs);  // 4 threads x 5 rounds x 1 ms, strictly one at a time
}

TEST(Scheduler, PacingKeepsVirtualTimeBehindTheWallClock) {
  MachineOptions options;
  options.pacing = 1.0;
  auto start = std::chrono::steady_clock::now();  // pacing counts from the end of boot, later than this
  Machine machine(options);
  machine.RunFor(60 * kMs);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(60));
  EXPECT_EQ(machine.Now(), 60 * kMs);
}
