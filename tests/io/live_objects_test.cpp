// Kernel objects the kernel still uses must outlive neither their memory nor
// their driver: freeing pool that holds a set timer, a queued DPC or work
// item, a waited-on event or a lookaside list, and unloading with a timer,
// lookaside list, executive work item or registry handle left, each stop
// the machine naming the object and where it was set up.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "io_test_support.h"
#include "winsim/kernel/pool.h"

using namespace winsim;
using namespace iotest;

namespace {

constexpr ULONG kTag = MAKEFOURCC_TAG('L', 'i', 'v', 'e');

struct LiveCase {
  const char *name;
  const char *expected;  // regex matched against the report
  std::function<void()> breakRule;
};

template <class T>
T *Allocate() {
  return static_cast<T *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), kTag));
}

void FreeWithTimerSet() {
  auto *timer = Allocate<KTIMER>();
  KeInitializeTimer(timer);
  LARGE_INTEGER due;
  due.QuadPart = -10 * kTicksPerMillisecond;
  KeSetTimer(timer, due, nullptr);
  ExFreePoolWithTag(timer, kTag);
}

// A DPC that spins keeps the DPC thread busy, so the next one stays queued.
std::atomic<bool> g_dpcBusy{false};

void FreeWithDpcQueued() {
  static KDPC busy;
  KeInitializeDpc(
      &busy,
      [](PKDPC, PVOID, PVOID, PVOID) {
        g_dpcBusy = true;
        for (;;) std::this_thread::yield();
      },
      nullptr);
  KeInsertQueueDpc(&busy, nullptr, nullptr);
  while (!g_dpcBusy) std::this_thread::yield();
  auto *dpc = Allocate<KDPC>();
  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  ExFreePoolWithTag(dpc, kTag);
}

// A routine that waits forever: while it runs, later items stay queued until
// every thread waits, which the test thread never does here.
KEVENT g_never;

void QueueBlocker(PDEVICE_OBJECT device) {
  KeInitializeEvent(&g_never, NotificationEvent, FALSE);
  IoQueueWorkItem(
      IoAllocateWorkItem(device),
      [](PDEVICE_OBJECT, PVOID) { KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr); },
      DelayedWorkQueue, nullptr);
  Machine::Current()->RunFor(kTicksPerMillisecond);
}

void FreeWithWorkItemQueued() {
  DeviceStack stack(1);
  QueueBlocker(stack.At(0));
  auto item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPoolNx, IoSizeofWorkItem(), kTag));
  IoInitializeWorkItem(stack.At(0), item);
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  ExFreePoolWithTag(item, kTag);
}

void FreeWithExecutiveWorkItemQueued() {
  DeviceStack stack(1);
  QueueBlocker(stack.At(0));
  auto *item = Allocate<WORK_QUEUE_ITEM>();
  ExInitializeWorkItem(item, [](PVOID) {}, nullptr);
  ExQueueWorkItem(item, DelayedWorkQueue);
  ExFreePoolWithTag(item, kTag);
}

void IoFreeWorkItemQueued() {
  DeviceStack stack(1);
  QueueBlocker(stack.At(0));
  PIO_WORKITEM item = IoAllocateWorkItem(stack.At(0));
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  IoFreeWorkItem(item);
}

void IoUninitializeWorkItemQueued() {
  DeviceStack stack(1);
  QueueBlocker(stack.At(0));
  auto item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPoolNx, IoSizeofWorkItem(), kTag));
  IoInitializeWorkItem(stack.At(0), item);
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  IoUninitializeWorkItem(item);
}

void ExecutiveWorkItemQueuedTwice() {
  DeviceStack stack(1);
  QueueBlocker(stack.At(0));
  auto *item = Allocate<WORK_QUEUE_ITEM>();
  ExInitializeWorkItem(item, [](PVOID) {}, nullptr);
  ExQueueWorkItem(item, DelayedWorkQueue);
  ExQueueWorkItem(item, DelayedWorkQueue);
}

void FreeWhileAThreadWaits() {
  auto *event = Allocate<KEVENT>();
  KeInitializeEvent(event, NotificationEvent, FALSE);
  Machine::Current()->Threads().Spawn("waiter", ThreadKind::SystemWorker, kSystemProcessId, [event] {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  });
  Machine::Current()->RunFor(kTicksPerMillisecond);
  ExFreePoolWithTag(event, kTag);
}

void FreeWithLookasideList() {
  auto *list = Allocate<NPAGED_LOOKASIDE_LIST>();
  ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 32, kTag, 0);
  ExFreePoolWithTag(list, kTag);
}

// Drivers whose unload routine forgets one object of DriverEntry's.
KTIMER g_staticTimer;
NPAGED_LOOKASIDE_LIST g_staticList;
WORK_QUEUE_ITEM g_blocker, g_staticItem;

void LoadAndUnload(PDRIVER_INITIALIZE entry) {
  PDRIVER_OBJECT driver = LoadDriver(entry, u"QavLiveTest");
  UnloadDriver(driver);
}

NTSTATUS NoUnload(PDRIVER_OBJECT object) {
  object->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

void UnloadWithTimerSet() {
  LoadAndUnload([](PDRIVER_OBJECT object, PUNICODE_STRING) {
    KeInitializeTimer(&g_staticTimer);
    LARGE_INTEGER due;
    due.QuadPart = -kTicksPerSecond;
    KeSetTimer(&g_staticTimer, due, nullptr);
    return NoUnload(object);
  });
}

void UnloadWithLookasideList() {
  LoadAndUnload([](PDRIVER_OBJECT object, PUNICODE_STRING) {
    ExInitializeNPagedLookasideList(&g_staticList, nullptr, nullptr, 0, 32, kTag, 0);
    return NoUnload(object);
  });
}

void UnloadWithExecutiveWorkQueued() {
  LoadAndUnload([](PDRIVER_OBJECT object, PUNICODE_STRING) {
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    ExInitializeWorkItem(
        &g_blocker, [](PVOID) { KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr); }, nullptr);
    ExQueueWorkItem(&g_blocker, DelayedWorkQueue);
    Machine::Current()->RunFor(kTicksPerMillisecond);
    ExInitializeWorkItem(&g_staticItem, [](PVOID) {}, nullptr);
    ExQueueWorkItem(&g_staticItem, DelayedWorkQueue);
    return NoUnload(object);
  });
}

void UnloadWithRegistryHandleOpen() {
  LoadAndUnload([](PDRIVER_OBJECT object, PUNICODE_STRING) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\SOFTWARE"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    ZwOpenKey(&key, KEY_READ, &attributes);
    return NoUnload(object);
  });
}

void CloseARegistryHandleTwice() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\SOFTWARE"));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key;
  ZwOpenKey(&key, KEY_READ, &attributes);
  ZwClose(key);
  ZwClose(key);
}

class LiveObjects : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveObjects, OutlivingTheirMemoryOrDriverStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        GetParam().breakRule();
      },
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LiveObjects,
    ::testing::Values(
        LiveCase{"FreeWithTimerSet",
                 "TIMER_OR_DPC_INVALID.*\n.*pool block \\S+ \\([0-9]+ bytes\\) freed while timer \\S+ set at "
                 ".*live_objects_test.cpp:[0-9]+ lies in it\n.*at .*live_objects_test.cpp",
                 FreeWithTimerSet},
        LiveCase{"FreeWithDpcQueued", "TIMER_OR_DPC_INVALID.*\n.*freed while DPC \\S+ queued at .*live_objects_test",
                 FreeWithDpcQueued},
        LiveCase{"FreeWithWorkItemQueued",
                 "WORKER_INVALID.*\n.*freed while work item \\S+ queued at .*live_objects_test",
                 FreeWithWorkItemQueued},
        LiveCase{"FreeWithExecutiveWorkItemQueued", "WORKER_INVALID.*\n.*freed while work item \\S+ queued at",
                 FreeWithExecutiveWorkItemQueued},
        LiveCase{"IoFreeWorkItemQueued",
                 "WORKER_INVALID.*\n.*IoFreeWorkItem of work item \\S+ while it is queued \\(queued at "
                 ".*live_objects_test.cpp:[0-9]+\\)\n.*at .*live_objects_test",
                 IoFreeWorkItemQueued},
        LiveCase{"IoUninitializeWorkItemQueued",
                 "WORKER_INVALID.*\n.*IoUninitializeWorkItem of work item \\S+ while it is queued",
                 IoUninitializeWorkItemQueued},
        LiveCase{"ExecutiveWorkItemQueuedTwice",
                 "WORKER_INVALID.*\n.*ExQueueWorkItem of \\S+, which is queued already\n.*at .*live_objects_test",
                 ExecutiveWorkItemQueuedTwice},
        LiveCase{"FreeWhileAThreadWaits",
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*freed while thread 'waiter' waits on \\S+ at "
                 ".*live_objects_test",
                 FreeWhileAThreadWaits},
        LiveCase{"FreeWithLookasideList",
                 "freed while lookaside list \\S+ initialised at .*live_objects_test.cpp:[0-9]+ and not deleted",
                 FreeWithLookasideList},
        LiveCase{"UnloadWithTimerSet",
                 "TIMER_OR_DPC_INVALID.*\n.*driver '.*QavLiveTest' unloaded with kernel objects still live:\n"
                 ".*timer \\S+ set at .*live_objects_test",
                 UnloadWithTimerSet},
        LiveCase{"UnloadWithLookasideList",
                 "unloaded with kernel objects still live:\n.*lookaside list \\S+ initialised at .*live_objects_test",
                 UnloadWithLookasideList},
        LiveCase{"UnloadWithExecutiveWorkQueued",
                 "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*\n.*unloaded with executive work pending:\n"
                 ".*executive work item \\S+ queued, queued at .*live_objects_test",
                 UnloadWithExecutiveWorkQueued},
        LiveCase{"UnloadWithRegistryHandleOpen",
                 "unloaded with 1 registry handle\\(s\\) open:\n.*\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE \\(opened at "
                 ".*live_objects_test",
                 UnloadWithRegistryHandleOpen},
        LiveCase{"CloseARegistryHandleTwice",
                 "INVALID_KERNEL_HANDLE.*\n.*ZwClose of registry handle \\S+, which is closed already\n.*at "
                 ".*live_objects_test",
                 CloseARegistryHandleTwice}),
    [](const auto &info) { return std::string(info.param.name); });

// What may go: a timer cancelled, a DPC that has run, a work item whose
// routine has started (it may free its own item), a deleted lookaside list.
TEST(LiveObjectsAllow, FreeingOnceTheKernelIsDoneWithThem) {
  Machine machine;
  auto *timer = Allocate<KTIMER>();
  KeInitializeTimer(timer);
  LARGE_INTEGER due;
  due.QuadPart = -kTicksPerSecond;
  KeSetTimer(timer, due, nullptr);
  EXPECT_TRUE(KeCancelTimer(timer));
  ExFreePoolWithTag(timer, kTag);

  auto *dpc = Allocate<KDPC>();
  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  ExFreePoolWithTag(dpc, kTag);

  struct SelfFreeing {
    WORK_QUEUE_ITEM item;
    KEVENT *done;
  };
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  auto *work = Allocate<SelfFreeing>();
  work->done = &done;
  ExInitializeWorkItem(
      &work->item,
      [](PVOID context) {
        auto *self = static_cast<SelfFreeing *>(context);
        KEVENT *signal = self->done;
        ExFreePoolWithTag(self, kTag);
        KeSetEvent(signal, IO_NO_INCREMENT, FALSE);
      },
      work);
  ExQueueWorkItem(&work->item, DelayedWorkQueue);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);

  auto *list = Allocate<NPAGED_LOOKASIDE_LIST>();
  ExInitializeNPagedLookasideList(list, nullptr, nullptr, 0, 32, kTag, 0);
  ExFreeToNPagedLookasideList(list, ExAllocateFromNPagedLookasideList(list));
  ExDeleteNPagedLookasideList(list);
  ExFreePoolWithTag(list, kTag);
  EXPECT_TRUE(Pool::Instance().Outstanding().empty());
}

}  // namespace
