// Completion of an IRP through a three-deep device stack: which completion
// routines run, in which order, with which device object, and how
// STATUS_MORE_PROCESSING_REQUIRED and PendingReturned behave.
#include <gtest/gtest.h>

#include "io_test_support.h"

using namespace winsim;
using namespace iotest;

namespace {

constexpr int kBottom = 0, kMiddle = 1, kTop = 2;

struct RoutineContext {
  Trace *trace;
  const DeviceStack *stack;
  const char *name;
  NTSTATUS result;        // what the routine returns
  bool propagatePending;  // the standard `if (Irp->PendingReturned) IoMarkIrpPending(Irp)`
  NTSTATUS seenStatus = STATUS_UNSUCCESSFUL;
  BOOLEAN seenPendingReturned = FALSE;
};

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto *ctx = static_cast<RoutineContext *>(context);
  std::string on = device == nullptr ? "no device" : "device " + std::to_string(ctx->stack->LevelOf(device));
  ctx->trace->Add(std::string(ctx->name) + " on " + on);
  ctx->seenStatus = irp->IoStatus.Status;
  ctx->seenPendingReturned = irp->PendingReturned;
  if (ctx->propagatePending && irp->PendingReturned && device != nullptr) IoMarkIrpPending(irp);
  return ctx->result;
}

// A driver that passes the IRP down on its own stack location with a
// completion routine, or without one (routine == nullptr).
Dispatch PassDownWithRoutine(RoutineContext *routine, bool onSuccess, bool onError, bool onCancel) {
  return [=](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (routine != nullptr) IoSetCompletionRoutine(irp, RecordingRoutine, routine, onSuccess, onError, onCancel);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
  };
}

class IrpCompletion : public ::testing::Test {
 protected:
  // Sends an IRP from a creator whose own completion routine takes it back.
  NTSTATUS Send(PIRP irp) {
    IoSetCompletionRoutine(irp, RecordingRoutine, &creator, TRUE, TRUE, TRUE);
    return IoCallDriver(stack.Top(), irp);
  }
  PIRP NewIrp() { return IoAllocateIrp(stack.Top()->StackSize, FALSE); }

  Machine machine;
  DeviceStack stack{3};
  Trace trace;
  RoutineContext creator{&trace, &stack, "creator", STATUS_MORE_PROCESSING_REQUIRED, false};
};

struct InvokeCase {
  const char *name;
  NTSTATUS status;
  bool cancelled;
  bool onSuccess, onError, onCancel;
  bool invoked;
};

class CompletionRoutineInvocation : public IrpCompletion, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionRoutineInvocation, RoutinesRunBottomUpOnlyForTheStatusClassesTheyAskedFor) {
  const InvokeCase &c = GetParam();
  RoutineContext middle{&trace, &stack, "middle", STATUS_CONTINUE_COMPLETION, true};
  RoutineContext top{&trace, &stack, "top", STATUS_CONTINUE_COMPLETION, true};
  stack.dispatch[kTop] = PassDownWithRoutine(&top, c.onSuccess, c.onError, c.onCancel);
  stack.dispatch[kMiddle] = PassDownWithRoutine(&middle, c.onSuccess, c.onError, c.onCancel);
  stack.dispatch[kBottom] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (c.cancelled) { EXPECT_FALSE(IoCancelIrp(irp)); }  // no cancel routine: only the flag is set
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return c.status;
  };
  PIRP irp = NewIrp();
  EXPECT_EQ(Send(irp), c.status);
  std::vector<std::string> expected;
  if (c.invoked) expected = {"middle on device 1", "top on device 2"};
  expected.push_back("creator on no device");
  EXPECT_EQ(trace.Events(), expected);
  EXPECT_EQ(creator.seenStatus, c.status);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    StatusClasses, CompletionRoutineInvocation,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
                      InvokeCase{"InformationalIsSuccess", STATUS_TIMEOUT, false, true, false, false, true},
                      InvokeCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvokeCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      InvokeCase{"WarningIsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"CancelledOnErrorOnly", STATUS_CANCELLED, true, false, true, false, true},
                      InvokeCase{"CancelledOnSuccessOnly", STATUS_CANCELLED, true, true, false, false, false},
                      InvokeCase{"CancelFlagWithSuccessOnCancel", STATUS_SUCCESS, true, false, false, true, true},
                      InvokeCase{"NoFlags", STATUS_SUCCESS, false, false, false, false, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(IrpCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  RoutineContext middle{&trace, &stack, "middle", STATUS_MORE_PROCESSING_REQUIRED, true};
  RoutineContext top{&trace, &stack, "top", STATUS_CONTINUE_COMPLETION, true};
  stack.dispatch[kTop] = PassDownWithRoutine(&top, true, true, true);
  stack.dispatch[kMiddle] = PassDownWithRoutine(&middle, true, true, true);
  stack.dispatch[kBottom] = CompleteWith(STATUS_UNSUCCESSFUL);
  PIRP irp = NewIrp();
  Send(irp);
  EXPECT_EQ(trace.Events(), std::vector<std::string>{"middle on device 1"});
  // The IRP is the middle driver's again, at its own stack location.
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack.At(kMiddle));

  machine.RunFor(5 * kTicksPerMillisecond);
  irp->IoStatus.Status = STATUS_SUCCESS;  // the middle driver recovered
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(trace.Events(),
            (std::vector<std::string>{"middle on device 1", "top on device 2", "creator on no device"}));
  EXPECT_EQ(top.seenStatus, STATUS_SUCCESS);
  EXPECT_EQ(creator.seenStatus, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(IrpCompletion, AllocatedIrpCanBeReusedAfterItsCreatorTookItBack) {
  PIRP irp = NewIrp();
  stack.dispatch[kBottom] = CompleteWith(STATUS_UNSUCCESSFUL);
  Send(irp);
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  stack.dispatch[kBottom] = CompleteWith(STATUS_SUCCESS);
  Send(irp);
  EXPECT_EQ(creator.seenStatus, STATUS_SUCCESS);
  EXPECT_EQ(trace.Events().size(), 2u);
  IoFreeIrp(irp);
}

enum class MiddleDriver { Skips, CopiesWithoutRoutine, RoutineNotInvoked, RoutinePropagates, RoutineForgets };

struct PendingCase {
  const char *name;
  bool bottomPends;
  MiddleDriver middle;
  BOOLEAN topSeesPendingReturned;
};

class PendingReturnedPropagation : public IrpCompletion, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingReturnedPropagation, RoutinesSeeWhetherTheDriverBelowReturnedPending) {
  const PendingCase &c = GetParam();
  RoutineContext middle{&trace, &stack, "middle", STATUS_CONTINUE_COMPLETION,
                        c.middle == MiddleDriver::RoutinePropagates};
  RoutineContext top{&trace, &stack, "top", STATUS_CONTINUE_COMPLETION, true};
  stack.dispatch[kTop] = PassDownWithRoutine(&top, true, true, true);
  switch (c.middle) {
    case MiddleDriver::Skips: stack.dispatch[kMiddle] = PassDownSkipping(); break;
    case MiddleDriver::CopiesWithoutRoutine: stack.dispatch[kMiddle] = PassDownWithRoutine(nullptr, 0, 0, 0); break;
    case MiddleDriver::RoutineNotInvoked: stack.dispatch[kMiddle] = PassDownWithRoutine(&middle, 0, 1, 0); break;
    default: stack.dispatch[kMiddle] = PassDownWithRoutine(&middle, 1, 1, 1); break;
  }
  PIRP pending = nullptr;
  stack.dispatch[kBottom] = [&](PDEVICE_OBJECT device, PIRP irp) {
    if (!c.bottomPends) return CompleteWith(STATUS_SUCCESS)(device, irp);
    IoMarkIrpPending(irp);
    pending = irp;
    return STATUS_PENDING;
  };
  PIRP irp = NewIrp();
  NTSTATUS status = Send(irp);
  if (c.bottomPends) {
    EXPECT_EQ(status, STATUS_PENDING);
    machine.RunFor(kTicksPerMillisecond);
    pending->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pending, IO_NO_INCREMENT);
  }
  EXPECT_EQ(top.seenPendingReturned, c.topSeesPendingReturned);
  EXPECT_EQ(creator.seenPendingReturned, c.topSeesPendingReturned);  // the top routine propagates
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Stacks, PendingReturnedPropagation,
    ::testing::Values(PendingCase{"Synchronous", false, MiddleDriver::Skips, FALSE},
                      PendingCase{"SynchronousThroughRoutine", false, MiddleDriver::RoutinePropagates, FALSE},
                      PendingCase{"PendingThroughSkippedLocation", true, MiddleDriver::Skips, TRUE},
                      PendingCase{"PendingThroughLocationWithoutRoutine", true, MiddleDriver::CopiesWithoutRoutine,
                                  TRUE},
                      PendingCase{"PendingPastRoutineNotInvoked", true, MiddleDriver::RoutineNotInvoked, TRUE},
                      PendingCase{"PendingThroughPropagatingRoutine", true, MiddleDriver::RoutinePropagates, TRUE},
                      PendingCase{"RoutineThatForgetsHidesIt", true, MiddleDriver::RoutineForgets, FALSE}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
