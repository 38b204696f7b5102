// Every kernel rule winsim enforces stops the machine with the check's name
// and the line that broke it.
#include <gtest/gtest.h>

#include <functional>

#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr ULONG kTag = MAKEFOURCC_TAG('T', 'e', 's', 't');

struct BugCheckCase {
  const char *name;
  const char *expected;  // regex matched against the report
  std::function<void()> breakRule;
};

void WaitAtDispatchWithTimeout() {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

void WaitHoldingSpinLock() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

void ReleaseSpinLockBelowDispatch() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
}

void ReleaseSpinLockAtPassive() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  // Release the lock without it: fake the IRQL drop the driver forgot about.
  Scheduler::Current()->irql = PASSIVE_LEVEL;
  KeReleaseSpinLock(&lock, old);
}

void PageableAtDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PAGED_CODE();
}

void FreeWithWrongTag() {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  ExFreePoolWithTag(block, MAKEFOURCC_TAG('O', 't', 'h', 'r'));
}

void FreeTwice() {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  ExFreePoolWithTag(block, kTag);
  ExFreePoolWithTag(block, kTag);
}

void PagedPoolAtDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExAllocatePoolWithTag(PagedPool, 16, kTag);
}

void LeakAtUnload() {
  ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTag);
  Pool::Instance().CheckNoLeaks("when the driver unloaded", std::source_location::current());
}

void RecursiveFastMutex() {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
}

class BugChecks : public ::testing::TestWithParam<BugCheckCase> {};

TEST_P(BugChecks, BreakingTheRuleStopsTheMachineNamingTheCheckAndTheLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const BugCheckCase &c = GetParam();
  EXPECT_DEATH(
      {
        Machine machine;
        c.breakRule();
      },
      c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BugChecks,
    ::testing::Values(
        BugCheckCase{"WaitAtDispatch", "IRQL_NOT_LESS_OR_EQUAL.*\n.*non-zero time-out at IRQL 2\n.*bugcheck_test.cpp",
                     WaitAtDispatchWithTimeout},
        BugCheckCase{"WaitHoldingSpinLock", "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*holding a spin lock",
                     WaitHoldingSpinLock},
        BugCheckCase{"LowerIrqlHoldingSpinLock", "below DISPATCH_LEVEL while holding a spin lock",
                     ReleaseSpinLockBelowDispatch},
        BugCheckCase{"ReleaseSpinLockAtWrongIrql", "IRQL_NOT_LESS_OR_EQUAL.*\n.*KeReleaseSpinLock at IRQL 0",
                     ReleaseSpinLockAtPassive},
        BugCheckCase{"PageableAtDispatch", "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*pageable code at IRQL 2",
                     PageableAtDispatch},
        BugCheckCase{"FreeWithWrongTag", "BAD_POOL_CALLER.*\n.*tag 'Test' freed with tag 'Othr'", FreeWithWrongTag},
        BugCheckCase{"FreeTwice", "BAD_POOL_CALLER.*\n.*freed twice", FreeTwice},
        BugCheckCase{"PagedPoolAtDispatch", "BAD_POOL_CALLER.*\n.*pool type 1 allocated at IRQL 2",
                     PagedPoolAtDispatch},
        BugCheckCase{"LeakAtUnload", "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*tag 'Test': 1 block\\(s\\), 48 bytes",
                     LeakAtUnload},
        BugCheckCase{"RecursiveFastMutex", "fast mutex acquired recursively", RecursiveFastMutex}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BugCheckDeath, TestThreadWaitingForeverIsReportedAsADeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock.*\n.*test \\(test\\): waits forever at .*bugcheck_test.cpp");
}

}  // namespace
