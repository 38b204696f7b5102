// Cancellation: IoCancelIrp against a driver that queues IRPs with a cancel
// routine, at each point of the routine's life.
#include <gtest/gtest.h>

#include "io_test_support.h"

using namespace winsim;
using namespace iotest;

namespace {

// A driver that holds one IRP pending with a cancel routine, as drivers
// queue requests they cannot finish yet; its queue lock orders the cancel
// routine against the driver's own completion.
struct QueueingDriver {
  QueueingDriver() { KeInitializeSpinLock(&lock); }

  KSPIN_LOCK lock;
  PIRP held = nullptr;
  int cancelRoutineCalls = 0;
  KIRQL cancelRoutineIrql = 0xFF;
  PDEVICE_OBJECT cancelRoutineDevice = nullptr;

  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    auto *self = static_cast<QueueingDriver *>(irp->Tail.Overlay.DriverContext[0]);
    ++self->cancelRoutineCalls;
    self->cancelRoutineIrql = KeGetCurrentIrql();
    self->cancelRoutineDevice = device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&self->lock, &irql);
    if (self->held == irp) self->held = nullptr;
    KeReleaseSpinLock(&self->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  // Queues the IRP unless it was cancelled before the routine went in.
  NTSTATUS Queue(PIRP irp) {
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      KeReleaseSpinLock(&lock, irql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    }
    held = irp;
    KeReleaseSpinLock(&lock, irql);
    return STATUS_PENDING;
  }

  // Takes the held IRP off the queue, unless its cancel routine already owns it.
  PIRP TakeHeld() {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    PIRP irp = held;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;
    if (irp != nullptr) held = nullptr;
    KeReleaseSpinLock(&lock, irql);
    return irp;
  }

  void CompleteHeld() {
    PIRP irp = TakeHeld();
    if (irp == nullptr) return;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
};

enum class CancelAt { BeforeTheRoutineIsSet, WhileQueued, AfterTheDriverTookItBack };

struct CancelCase {
  const char *name;
  CancelAt when;
  BOOLEAN cancelReturns;
  int cancelRoutineCalls;
  NTSTATUS finalStatus;
};

class Cancellation : public ::testing::TestWithParam<CancelCase> {};

TEST_P(Cancellation, IoCancelIrpCallsTheRoutineOnlyWhileOneIsSet) {
  const CancelCase &c = GetParam();
  Machine machine;
  DeviceStack stack(2);
  QueueingDriver driver;
  stack.dispatch[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (c.when == CancelAt::BeforeTheRoutineIsSet) { EXPECT_FALSE(IoCancelIrp(irp)); }
    return driver.Queue(irp);
  };
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS),
                                           stack.Top(), nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
  machine.RunFor(kTicksPerMillisecond);
  if (c.when == CancelAt::WhileQueued) { EXPECT_EQ(IoCancelIrp(irp), c.cancelReturns); }
  if (c.when == CancelAt::AfterTheDriverTookItBack) {
    // Taken back but not yet completed: cancelling now only sets the flag.
    PIRP held = driver.TakeHeld();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(IoCancelIrp(held), c.cancelReturns);
    EXPECT_TRUE(held->Cancel);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
  }
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, c.finalStatus);
  EXPECT_EQ(driver.cancelRoutineCalls, c.cancelRoutineCalls);
  if (c.cancelRoutineCalls > 0) {
    EXPECT_EQ(driver.cancelRoutineIrql, DISPATCH_LEVEL);
    EXPECT_EQ(driver.cancelRoutineDevice, stack.At(0));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // IoCancelIrp's caller is back at its own IRQL
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, Cancellation,
    ::testing::Values(CancelCase{"BeforeTheRoutineIsSet", CancelAt::BeforeTheRoutineIsSet, FALSE, 0, STATUS_CANCELLED},
                      CancelCase{"WhileQueued", CancelAt::WhileQueued, TRUE, 1, STATUS_CANCELLED},
                      CancelCase{"AfterTheDriverTookItBack", CancelAt::AfterTheDriverTookItBack, FALSE, 0,
                                 STATUS_SUCCESS}),
    [](const auto &info) { return std::string(info.param.name); });

NTSTATUS SignalWhenBack(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(Cancellation, ACancelRacingTheDriversOwnCompletionCompletesTheIrpExactlyOnce) {
  Machine machine;
  DeviceStack stack(1);
  QueueingDriver driver;
  stack.dispatch[0] = [&](PDEVICE_OBJECT, PIRP irp) { return driver.Queue(irp); };
  int cancelled = 0;
  for (int round = 0; round < 50; ++round) {
    // The creator's routine keeps the IRP alive until both sides are done with it.
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalWhenBack, &back, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);
    auto canceller = machine.Threads().Spawn("canceller", ThreadKind::User, 1234, [irp] { IoCancelIrp(irp); });
    driver.CompleteHeld();
    KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(canceller->ExitObject(), Executive, KernelMode, FALSE, nullptr);
    ASSERT_TRUE(irp->IoStatus.Status == STATUS_SUCCESS || irp->IoStatus.Status == STATUS_CANCELLED);
    cancelled += irp->IoStatus.Status == STATUS_CANCELLED;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(driver.cancelRoutineCalls, cancelled);
}

}  // namespace
