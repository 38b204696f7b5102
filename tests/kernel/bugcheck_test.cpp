// Every kernel rule winsim enforces stops the machine with the check's name
// and the line that broke it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "winsim/kernel/pool.h"
#include "winsim/ks/ks_residency.h"
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

void ZeroBytePool() { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag); }

void ExecutablePool() { ExAllocatePoolWithTag(NonPagedPool, 16, kTag); }

template <class T>
T *Paged() {
  return static_cast<T *>(ExAllocatePoolWithTag(PagedPool, sizeof(T), kTag));
}

void SpinLockInPagedPool() {
  auto *lock = Paged<KSPIN_LOCK>();
  KeInitializeSpinLock(lock);
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
}

void EventInPagedPool() { KeInitializeEvent(Paged<KEVENT>(), NotificationEvent, FALSE); }

void DpcInPagedPool() {
  auto *dpc = Paged<KDPC>();
  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
}

void PagedPoolFreedAtDispatch() {
  PVOID block = ExAllocatePoolWithTag(PagedPool, 16, kTag);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePoolWithTag(block, kTag);
}

// A filter descriptor in paged pool whose pin processes at DISPATCH_LEVEL,
// handed to ks.sys.
void PagedDescriptorOfDispatchLevelPins() {
  struct Descriptor {
    KSFILTER_DESCRIPTOR filter;
    KSPIN_DESCRIPTOR_EX pin;
  };
  auto *d = Paged<Descriptor>();
  std::memset(d, 0, sizeof *d);
  d->filter.PinDescriptorsCount = 1;
  d->filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d->filter.PinDescriptors = &d->pin;
  d->pin.Flags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
  ks::RequireResidentDescriptor(&d->filter, std::source_location::current());
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
        BugCheckCase{"RecursiveFastMutex", "fast mutex acquired recursively", RecursiveFastMutex},
        BugCheckCase{"ZeroBytePool", "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*zero-byte pool allocation", ZeroBytePool},
        BugCheckCase{"ExecutablePool",
                     "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*executable pool type 0 requested.*NonPagedPoolNx",
                     ExecutablePool},
        BugCheckCase{"SpinLockInPagedPool",
                     "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*spin lock at \\S+ lies in paged pool \\(allocated at "
                     ".*bugcheck_test.cpp:[0-9]+\\)",
                     SpinLockInPagedPool},
        BugCheckCase{"EventInPagedPool", "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*event at \\S+ lies in paged pool",
                     EventInPagedPool},
        BugCheckCase{"DpcInPagedPool", "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*DPC at \\S+ lies in paged pool",
                     DpcInPagedPool},
        BugCheckCase{"PagedPoolFreedAtDispatch", "BAD_POOL_CALLER.*\n.*paged pool freed at IRQL 2",
                     PagedPoolFreedAtDispatch},
        BugCheckCase{"PagedDescriptorOfDispatchLevelPins",
                     "DRIVER_IRQL_NOT_LESS_OR_EQUAL.*\n.*filter descriptor of pins that process at DISPATCH_LEVEL "
                     "at \\S+ lies in paged pool",
                     PagedDescriptorOfDispatchLevelPins}),
    [](const auto &info) { return std::string(info.param.name); });

// Descriptors ks.sys never reads at DISPATCH_LEVEL may be paged; those it
// does may not, unless nonpaged.
TEST(ResidentDescriptors, OnlyDispatchLevelProcessingNeedsThemResident) {
  Machine machine;
  for (POOL_TYPE type : {PagedPool, NonPagedPoolNx}) {
    auto *filter = static_cast<KSFILTER_DESCRIPTOR *>(ExAllocatePoolWithTag(type, sizeof(KSFILTER_DESCRIPTOR), kTag));
    auto *pin =
        static_cast<KSPIN_DESCRIPTOR_EX *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_DESCRIPTOR_EX), kTag));
    std::memset(filter, 0, sizeof *filter);
    std::memset(pin, 0, sizeof *pin);
    filter->PinDescriptorsCount = 1;
    filter->PinDescriptorSize = sizeof *pin;
    filter->PinDescriptors = pin;
    ks::RequireResidentDescriptor(filter, std::source_location::current());
    if (type == NonPagedPoolNx) {
      pin->Flags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
      ks::RequireResidentDescriptor(filter, std::source_location::current());
    }
    ExFreePoolWithTag(pin, kTag);
    ExFreePoolWithTag(filter, kTag);
  }
}

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
