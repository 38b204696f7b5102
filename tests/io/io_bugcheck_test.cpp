// Breaking an I/O manager rule stops the machine with the check's name and
// the driver line that broke it, as Driver Verifier would.
#include <gtest/gtest.h>

#include <functional>

#include "io_test_support.h"
#include "winsim/kernel/pool.h"

using namespace winsim;
using namespace iotest;

namespace {

struct IoRuleCase {
  const char *name;
  const char *expected;  // regex matched against the report
  std::function<void()> breakRule;
};

NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void CompleteTwice() {
  DeviceStack stack(2);
  stack.dispatch[0] = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
}

void CompleteAfterItWasFreed() {
  DeviceStack stack(1);
  PIRP kept = nullptr;
  stack.dispatch[0] = [&kept](PDEVICE_OBJECT, PIRP irp) {
    kept = irp;
    return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
  };
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
                                           stack.Top(), nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  IoCallDriver(stack.Top(), irp);
  IoCompleteRequest(kept, IO_NO_INCREMENT);
}

void CompleteWithPending() {
  DeviceStack stack(1);
  stack.dispatch[0] = CompleteWith(STATUS_PENDING);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
}

KSPIN_LOCK g_keptLock = 0;

void DispatchRoutineKeepsASpinLock() {
  DeviceStack stack(1);
  stack.dispatch[0] = [](PDEVICE_OBJECT, PIRP irp) {
    KeAcquireSpinLockAtDpcLevel(&g_keptLock);
    return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
  };
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  IoCallDriver(stack.Top(), irp);
}

void RunOutOfStackLocations() {
  DeviceStack stack(3);
  stack.dispatch[2] = stack.dispatch[1] = PassDownCopying();
  PIRP irp = IoAllocateIrp(2, FALSE);  // one short of the stack's three
  IoCallDriver(stack.Top(), irp);
}

void ForgetToTakeBackAnAllocatedIrp() {
  DeviceStack stack(1);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoCallDriver(stack.Top(), irp);
}

void CompletionRoutineReturnsAtDispatch() {
  DeviceStack stack(2);
  stack.dispatch[1] = [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
  };
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  IoCallDriver(stack.Top(), irp);
}

void CancelRoutineKeepsTheLock() {
  DeviceStack stack(1);
  stack.dispatch[0] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return STATUS_PENDING;
  };
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoCallDriver(stack.Top(), irp);
  IoCancelIrp(irp);
}

void QueueWorkItemTwice() {
  DeviceStack stack(1);
  // A routine that blocks keeps the item from starting while this thread runs.
  PIO_WORKITEM blocker = IoAllocateWorkItem(stack.At(0)), item = IoAllocateWorkItem(stack.At(0));
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  IoQueueWorkItem(
      blocker,
      [](PDEVICE_OBJECT, PVOID context) { KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr); },
      DelayedWorkQueue, &never);
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
  IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
}

void WorkItemReturnsAtDispatch() {
  DeviceStack stack(1);
  PIO_WORKITEM item = IoAllocateWorkItem(stack.At(0));
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT, PVOID) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
      },
      DelayedWorkQueue, nullptr);
  Machine::Current()->RunFor(kTicksPerMillisecond);
}

void OverReleaseRemoveLock() {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  IoAcquireRemoveLock(&lock, nullptr);
  IoReleaseRemoveLock(&lock, nullptr);
  IoReleaseRemoveLock(&lock, nullptr);
}

void ReleaseAndWaitWithoutHoldingTheLock() {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
}

void UnloadWithLeakedPool() {
  PDRIVER_OBJECT driver = LoadDriver(
      [](PDRIVER_OBJECT object, PUNICODE_STRING) {
        ExAllocatePoolWithTag(NonPagedPoolNx, 40, MAKEFOURCC_TAG('Q', 'a', 'v', 'L'));
        object->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
      },
      u"Leaky");
  UnloadDriver(driver);
}

void UnloadWithADevice() {
  PDRIVER_OBJECT driver = LoadTestDriver();
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
  UnloadDriver(driver);
}

void UnloadWithQueuedWork() {
  PDRIVER_OBJECT driver = LoadTestDriver();
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT, PVOID context) {
        KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
      },
      DelayedWorkQueue, &never);
  IoDeleteDevice(device);
  UnloadDriver(driver);
}

void DeleteAttachedDevice() {
  PDRIVER_OBJECT driver = LoadTestDriver();
  PDEVICE_OBJECT lower, upper;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &lower);
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &upper);
  IoAttachDeviceToDeviceStack(upper, lower);
  IoDeleteDevice(upper);
}

void OutputLargerThanTheBuffer() {
  DeviceStack stack(1);
  stack.dispatch[0] = CompleteWith(STATUS_SUCCESS, 9);
  UCHAR output[8];
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           stack.Top(), nullptr, 0, output, sizeof output, FALSE, &done, &iosb);
  IoCallDriver(stack.Top(), irp);
}

void InsertDpcWithoutMachineRunningItsRoutine() {
  KDPC dpc{};
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
}

// A driver may call down at DISPATCH_LEVEL with its own spin lock held (a
// URB resubmitted under a lock, for one); the lower driver must only return
// with the same locks.
TEST(IoRulesAllow, CallingDownWithTheCallersSpinLockHeld) {
  Machine machine;
  DeviceStack stack(1);
  stack.dispatch[0] = CompleteWith(STATUS_SUCCESS);
  bool completed = false;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID context) {
        *static_cast<bool *>(context) = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &completed, TRUE, TRUE, TRUE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  KeReleaseSpinLock(&lock, irql);
  EXPECT_TRUE(completed);
  IoFreeIrp(irp);
}

class IoRules : public ::testing::TestWithParam<IoRuleCase> {};

TEST_P(IoRules, BreakingTheRuleStopsTheMachineNamingTheCheckAndTheLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const IoRuleCase &c = GetParam();
  EXPECT_DEATH(
      {
        Machine machine;
        c.breakRule();
      },
      c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IoRules,
    ::testing::Values(
        IoRuleCase{"IrpCompletedTwice",
                   "MULTIPLE_IRP_COMPLETE_REQUESTS.*\n.*completed while no driver holds it.*\n.*io_bugcheck_test.cpp",
                   CompleteTwice},
        IoRuleCase{"IrpCompletedAfterItWasFreed",
                   "MULTIPLE_IRP_COMPLETE_REQUESTS.*\n.*IoCompleteRequest of IRP .* after it was freed\n"
                   ".*io_bugcheck_test.cpp",
                   CompleteAfterItWasFreed},
        IoRuleCase{"IrpCompletedWithPending", "MULTIPLE_IRP_COMPLETE_REQUESTS.*\n.*completed with STATUS_PENDING",
                   CompleteWithPending},
        IoRuleCase{"OutOfStackLocations",
                   "NO_MORE_IRP_STACK_LOCATIONS.*\n.*no stack location left in IRP .*, which has 2;.*\n"
                   ".*io_test_support.cpp",
                   RunOutOfStackLocations},
        IoRuleCase{"AllocatedIrpCompletedToTheTop", "past its last stack location.*STATUS_MORE_PROCESSING_REQUIRED",
                   ForgetToTakeBackAnAllocatedIrp},
        IoRuleCase{"CompletionRoutineReturnsAtRaisedIrql",
                   "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*completion routine returned at IRQL 2 \\(called at 0\\)",
                   CompletionRoutineReturnsAtDispatch},
        IoRuleCase{"DispatchRoutineKeepsASpinLock",
                   "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*dispatch routine returned at IRQL 2 \\(called at 2\\) "
                   "holding 1 lock\\(s\\) more than it was called with: spin lock .* acquired at "
                   ".*io_bugcheck_test.cpp",
                   DispatchRoutineKeepsASpinLock},
        IoRuleCase{"CancelRoutineKeepsTheCancelSpinLock",
                   "cancel routine returned without releasing the cancel spin lock", CancelRoutineKeepsTheLock},
        IoRuleCase{"WorkItemQueuedTwice",
                   "WORKER_INVALID.*\n.*IoQueueWorkItem of work item .* already queued "
                   "\\(queued at .*io_bugcheck_test.cpp:[0-9]+\\)\n.*io_bugcheck_test.cpp",
                   QueueWorkItemTwice},
        IoRuleCase{"WorkItemReturnsAtRaisedIrql",
                   "work item routine returned at IRQL 2.*\n.*io_bugcheck_test.cpp.*\n.*system worker",
                   WorkItemReturnsAtDispatch},
        IoRuleCase{"RemoveLockOverReleased",
                   "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*IoReleaseRemoveLock of remove lock .* released more "
                   "often than acquired\n.*io_bugcheck_test.cpp",
                   OverReleaseRemoveLock},
        IoRuleCase{"ReleaseAndWaitWithoutAcquiring", "IoReleaseRemoveLockAndWait .* released more often",
                   ReleaseAndWaitWithoutHoldingTheLock},
        IoRuleCase{"UnloadWithLeakedPool",
                   "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*pool still allocated when driver '\\\\Driver\\\\Leaky' "
                   "unloaded:\n.*tag 'QavL': 1 block\\(s\\), 40 bytes, first allocated at .*io_bugcheck_test.cpp",
                   UnloadWithLeakedPool},
        IoRuleCase{"UnloadWithADeviceLeft",
                   "unloaded with 1 device object\\(s\\) not deleted, created at:\n.*io_bugcheck_test.cpp",
                   UnloadWithADevice},
        IoRuleCase{"UnloadWithQueuedWork",
                   "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*\n.*work items pending: (running, )?"
                   "queued at .*io_bugcheck_test.cpp",
                   UnloadWithQueuedWork},
        IoRuleCase{"DeleteADeviceStillAttached", "IoDeleteDevice of device .* still attached to a lower device",
                   DeleteAttachedDevice},
        IoRuleCase{"OutputLargerThanTheBuffer", "completed with Information 9, more than its 8-byte output buffer",
                   OutputLargerThanTheBuffer},
        IoRuleCase{"DpcWithoutRoutine", "KeInsertQueueDpc of a DPC without a routine",
                   InsertDpcWithoutMachineRunningItsRoutine}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
