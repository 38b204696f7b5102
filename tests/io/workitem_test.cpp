// Work items on the system worker threads.
#include <gtest/gtest.h>

#include "io_test_support.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

using namespace winsim;
using namespace iotest;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

struct ItemRun {
  std::string name;
  KIRQL irql;
  ThreadKind kind;
  VTime at;
};

struct WorkLog {
  std::mutex lock;
  std::vector<ItemRun> runs;
  size_t finished = 0;
  KEVENT allDone;
  size_t expected = 0;

  explicit WorkLog(size_t count) : expected(count) { KeInitializeEvent(&allDone, NotificationEvent, FALSE); }
  void Record(const std::string &name) {
    std::lock_guard<std::mutex> guard(lock);
    runs.push_back({name, KeGetCurrentIrql(), Scheduler::Current()->Kind(), Machine::Current()->Now()});
  }
  // A routine's last act: once every one has finished the test may end.
  void Finish() {
    bool last;
    {
      std::lock_guard<std::mutex> guard(lock);
      last = ++finished == expected;
    }
    if (last) KeSetEvent(&allDone, IO_NO_INCREMENT, FALSE);
  }
  std::vector<std::string> Names() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> names;
    for (const ItemRun &run : runs) names.push_back(run.name);
    return names;
  }
};

struct NamedItem {
  WorkLog *log;
  std::string name;
  PIO_WORKITEM item;
  KEVENT *started = nullptr;
  KEVENT *gate = nullptr;  // the routine waits for it
  LARGE_INTEGER delay{};   // then sleeps this long (negative: relative)
};

void NamedRoutine(PDEVICE_OBJECT, PVOID context) {
  auto *named = static_cast<NamedItem *>(context);
  named->log->Record(named->name);
  if (named->started != nullptr) KeSetEvent(named->started, IO_NO_INCREMENT, FALSE);
  if (named->gate != nullptr) KeWaitForSingleObject(named->gate, Executive, KernelMode, FALSE, nullptr);
  if (named->delay.QuadPart != 0) KeDelayExecutionThread(KernelMode, FALSE, &named->delay);
  named->log->Finish();
}

class WorkItems : public ::testing::Test {
 protected:
  NamedItem Make(WorkLog *log, const char *name) { return NamedItem{log, name, IoAllocateWorkItem(stack.At(0))}; }
  void Queue(NamedItem &item, WORK_QUEUE_TYPE type) { IoQueueWorkItem(item.item, NamedRoutine, type, &item); }

  Machine machine;
  DeviceStack stack{1};
};

TEST_F(WorkItems, RunAtPassiveOnSystemWorkersCriticalFirstThenInQueueOrder) {
  WorkLog log(5);
  KEVENT started, gate;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  NamedItem first = Make(&log, "first");
  first.started = &started;
  first.gate = &gate;
  NamedItem d1 = Make(&log, "d1"), d2 = Make(&log, "d2"), c1 = Make(&log, "c1"), d3 = Make(&log, "d3");
  Queue(first, DelayedWorkQueue);
  KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // drivers queue work from DPCs and completion routines
  Queue(d1, DelayedWorkQueue);
  Queue(d2, DelayedWorkQueue);
  Queue(c1, CriticalWorkQueue);
  Queue(d3, DelayedWorkQueue);
  KeLowerIrql(old);
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&log.allDone, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(log.Names(), (std::vector<std::string>{"first", "c1", "d1", "d2", "d3"}));
  for (const ItemRun &run : log.runs) {
    EXPECT_EQ(run.irql, PASSIVE_LEVEL) << run.name;
    EXPECT_EQ(run.kind, ThreadKind::SystemWorker) << run.name;
  }
  for (NamedItem *item : {&first, &d1, &d2, &c1, &d3}) IoFreeWorkItem(item->item);
}

TEST_F(WorkItems, AWaitingItemDoesNotHoldBackTheNextOne) {
  WorkLog log(2);
  KEVENT started;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  NamedItem sleeper = Make(&log, "sleeper");
  sleeper.started = &started;
  sleeper.delay.QuadPart = -10 * kMs;
  NamedItem next = Make(&log, "next");
  Queue(sleeper, DelayedWorkQueue);
  KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
  Queue(next, DelayedWorkQueue);
  KeWaitForSingleObject(&log.allDone, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(log.runs[1].name, "next");
  EXPECT_EQ(log.runs[1].at, 0);  // not after the sleeper's 10 ms
  EXPECT_EQ(machine.Now(), 10 * kMs);
  IoFreeWorkItem(sleeper.item);
  IoFreeWorkItem(next.item);
}

struct TimerQueuesWork {
  KTIMER timer;
  KDPC dpc;
  NamedItem *item;
  static void Fire(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<TimerQueuesWork *>(context);
    IoQueueWorkItem(self->item->item, NamedRoutine, DelayedWorkQueue, self->item);
  }
};

TEST_F(WorkItems, AnItemQueuedByATimerDpcRunsAtTheTimersDueTimeAtPassiveLevel) {
  WorkLog log(1);
  NamedItem item = Make(&log, "from dpc");
  TimerQueuesWork source{{}, {}, &item};
  KeInitializeTimer(&source.timer);
  KeInitializeDpc(&source.dpc, TimerQueuesWork::Fire, &source);
  LARGE_INTEGER due;
  due.QuadPart = -5 * kMs;
  KeSetTimer(&source.timer, due, &source.dpc);
  KeWaitForSingleObject(&log.allDone, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(log.runs[0].at, 5 * kMs);
  EXPECT_EQ(log.runs[0].irql, PASSIVE_LEVEL);
  IoFreeWorkItem(item.item);
}

TEST(WorkItemDevice, TheDeviceOutlivesItsDeletionUntilItsQueuedItemHasRun) {
  Machine machine;
  PDRIVER_OBJECT driver = LoadTestDriver();
  Dispatch none = CompleteWith(STATUS_SUCCESS);
  PDEVICE_OBJECT device = CreateTestDevice(driver, &none);
  ExtensionOf(device)->level = 42;
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  KEVENT gate, done;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  struct Context {
    KEVENT *gate, *done;
    PIO_WORKITEM item;
    int seenLevel = 0;
  } context{&gate, &done, item};
  IoQueueWorkItemEx(
      item,
      [](PVOID ioObject, PVOID raw, PIO_WORKITEM self) {
        auto *ctx = static_cast<Context *>(raw);
        KeWaitForSingleObject(ctx->gate, Executive, KernelMode, FALSE, nullptr);
        ctx->seenLevel = ExtensionOf(static_cast<PDEVICE_OBJECT>(ioObject))->level;
        IoFreeWorkItem(self);  // a routine may free its own item
        KeSetEvent(ctx->done, IO_NO_INCREMENT, FALSE);
      },
      DelayedWorkQueue, &context);
  IoDeleteDevice(device);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 1u);
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  machine.RunFor(kMs);  // the worker drops its reference after the routine
  EXPECT_EQ(context.seenLevel, 42);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kDeviceObjectTag), 0u);
  UnloadDriver(driver);
}

TEST_F(WorkItems, ExecutiveWorkItemsRunOnceAndMayBeQueuedAgainFromTheirRoutine) {
  struct Counter {
    WORK_QUEUE_ITEM item;
    int runs = 0;
    KEVENT done;
  } counter;
  KeInitializeEvent(&counter.done, NotificationEvent, FALSE);
  ExInitializeWorkItem(
      &counter.item,
      [](PVOID parameter) {
        auto *self = static_cast<Counter *>(parameter);
        if (++self->runs < 3) {
          ExQueueWorkItem(&self->item, DelayedWorkQueue);
        } else {
          KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        }
      },
      &counter);
  ExQueueWorkItem(&counter.item, CriticalWorkQueue);
  KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(counter.runs, 3);
}

}  // namespace
