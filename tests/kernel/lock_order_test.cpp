// Lock order and ownership: taking two locks in both orders anywhere is a
// bug check at the first inversion, naming both orders and their lines; a
// lock's identity ends with its memory or its re-initialisation; a spin lock
// whose owner is stuck stops the machine naming the owner.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "winsim/kernel/lock_order.h"
#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr ULONG kTag = MAKEFOURCC_TAG('L', 'o', 'c', 'k');

struct LockCase {
  const char *name;
  const char *expected;  // regex matched against the report
  std::function<void()> breakRule;
};

void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL irql;
  KeAcquireSpinLock(first, &irql);
  KeAcquireSpinLockAtDpcLevel(second);
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, irql);
}

void SpinLocksInBothOrders() {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  TakeInOrder(&a, &b);
  TakeInOrder(&b, &a);
}

void RunOnWorker(const char *name, std::function<void()> body) {
  auto thread = Machine::Current()->Threads().Spawn(name, ThreadKind::SystemWorker, kSystemProcessId, std::move(body));
  KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

// Three fast mutexes in a cycle over two threads: A->B, B->C, then C->A.
void FastMutexCycleAcrossThreads() {
  static FAST_MUTEX a, b, c;
  ExInitializeFastMutex(&a);
  ExInitializeFastMutex(&b);
  ExInitializeFastMutex(&c);
  auto inOrder = [](PFAST_MUTEX first, PFAST_MUTEX second) {
    ExAcquireFastMutex(first);
    ExAcquireFastMutex(second);
    ExReleaseFastMutex(second);
    ExReleaseFastMutex(first);
  };
  RunOnWorker("first", [&] {
    inOrder(&a, &b);
    inOrder(&b, &c);
  });
  inOrder(&c, &a);
}

void ReinitialiseAHeldLock() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  KeInitializeSpinLock(&lock);
}

void FreePoolHoldingAHeldLock() {
  auto *lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), kTag));
  KeInitializeSpinLock(lock);
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  ExFreePoolWithTag(lock, kTag);
}

// The owner spins on something that never comes while it holds the lock.
void OwnerStuckWithTheLock() {
  LockOrder::Instance().SetSpinTimeout(std::chrono::milliseconds(100));
  static KSPIN_LOCK lock;
  static std::atomic<bool> held{false};
  KeInitializeSpinLock(&lock);
  Machine::Current()->Threads().Spawn("holder", ThreadKind::SystemWorker, kSystemProcessId, [] {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    held = true;
    for (;;) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
}

void WorkItemKeepsAFastMutex() {
  static FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  static WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, [](PVOID) { ExAcquireFastMutex(&mutex); }, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  Machine::Current()->RunFor(kTicksPerMillisecond);
}

void DpcKeepsASpinLock() {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  static KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  Machine::Current()->RunFor(kTicksPerMillisecond);
}

class LockRules : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockRules, BreakingTheRuleStopsTheMachineNamingBothSites) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        GetParam().breakRule();
      },
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LockRules,
    ::testing::Values(
        LockCase{"SpinLocksInBothOrders",
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*lock order inversion.* acquires spin lock \\S+ at "
                 ".*lock_order_test.cpp:[0-9]+ while holding spin lock \\S+ \\(acquired at "
                 ".*lock_order_test.cpp:[0-9]+\\); the opposite order was taken before:\n.*thread 'test' held spin "
                 "lock \\S+ \\(acquired at .*lock_order_test.cpp:[0-9]+\\) and acquired spin lock \\S+ at "
                 ".*lock_order_test.cpp:[0-9]+\n.*at .*lock_order_test.cpp",
                 SpinLocksInBothOrders},
        LockCase{"FastMutexCycleAcrossThreads",
                 "lock order inversion.*Thread 'test' acquires fast mutex .* while holding fast mutex .*\n"
                 ".*thread 'first' held fast mutex .* and acquired fast mutex .*\n"
                 ".*thread 'first' held fast mutex .* and acquired fast mutex .*lock_order_test.cpp",
                 FastMutexCycleAcrossThreads},
        LockCase{"ReinitialiseAHeldLock",
                 "spin lock \\S+ initialised while thread 'test' holds it \\(acquired at .*lock_order_test.cpp",
                 ReinitialiseAHeldLock},
        LockCase{"FreePoolHoldingAHeldLock",
                 "pool block \\S+ freed while it holds spin lock .* owned by thread 'test' \\(acquired at "
                 ".*lock_order_test.cpp",
                 FreePoolHoldingAHeldLock},
        LockCase{"OwnerStuckWithTheLock",
                 "DPC_WATCHDOG_VIOLATION.*\n.*spin lock \\S+ spun on for [0-9]+ ms of wall time; its owner never "
                 "released it: thread 'holder', acquired at .*lock_order_test.cpp",
                 OwnerStuckWithTheLock},
        LockCase{"WorkItemKeepsAFastMutex",
                 "work item routine returned at IRQL 1 \\(called at 0\\) holding 1 lock\\(s\\) more than it was "
                 "called with: fast mutex \\S+ acquired at .*lock_order_test.cpp",
                 WorkItemKeepsAFastMutex},
        LockCase{"DpcKeepsASpinLock",
                 "DPC routine returned .* holding 1 lock\\(s\\) more than it was called with: spin lock \\S+ "
                 "acquired at .*lock_order_test.cpp",
                 DpcKeepsASpinLock}),
    [](const auto &info) { return std::string(info.param.name); });

// What is not an inversion: the same order again, a lock that was
// re-initialised (a new lock at the old address), a try-acquire (it never
// waits).
TEST(LockOrderAllows, OneOrderNewLocksAndTryAcquires) {
  Machine machine;
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  TakeInOrder(&a, &b);
  TakeInOrder(&a, &b);
  KeInitializeSpinLock(&a);
  TakeInOrder(&b, &a);

  FAST_MUTEX outer, inner;
  ExInitializeFastMutex(&outer);
  ExInitializeFastMutex(&inner);
  ExAcquireFastMutex(&outer);
  ASSERT_TRUE(ExTryToAcquireFastMutex(&inner));
  EXPECT_EQ(LockOrder::Instance().HeldByCurrentThread(), 2u);
  ExReleaseFastMutex(&inner);
  ExReleaseFastMutex(&outer);
  ExAcquireFastMutex(&inner);
  ExAcquireFastMutex(&outer);
  ExReleaseFastMutex(&outer);
  ExReleaseFastMutex(&inner);
  EXPECT_EQ(LockOrder::Instance().HeldByCurrentThread(), 0u);
}

}  // namespace
