// Events, semaphores and waits of the kernel API, on winsim's dispatcher.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/ke_time.h"
#include "winsim/kernel/pool.h"
#include "winsim/sched/scheduler.h"

using winsim::BugCheck;
using winsim::BugCode;
using winsim::Scheduler;

namespace {

Scheduler &Dispatcher(const char *api) {
  Scheduler *scheduler = Scheduler::Active();
  if (scheduler == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, std::string(api) + " called with no machine running",
             std::source_location::current());
  }
  return *scheduler;
}

// A wait may block only below DISPATCH_LEVEL; at DISPATCH_LEVEL only a zero
// time-out (a poll) is allowed, and never while a spin lock is held.
void CheckWaitIrql(const char *api, PLARGE_INTEGER timeout, const std::source_location &site) {
  winsim::SimThread &thread = Scheduler::RequireCurrent(api);
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (thread.spinLocksHeld > 0 && !poll) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " with a non-zero time-out while holding a spin lock", site);
  }
  if (thread.irql > DISPATCH_LEVEL || (thread.irql == DISPATCH_LEVEL && !poll)) {
    BugCheck(BugCode::kIrqlNotLessOrEqual,
             std::string(api) + " with a non-zero time-out at IRQL " + std::to_string(thread.irql), site);
  }
}

DISPATCHER_HEADER *HeaderOf(PVOID object) { return static_cast<DISPATCHER_HEADER *>(object); }

}  // namespace

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State, const std::source_location &winsimSite) {
  winsim::RequireNonPaged(Event, sizeof *Event, "event", winsimSite);
  Event->Header.Type = Type == NotificationEvent ? WinsimNotificationEventObject : WinsimSynchronizationEventObject;
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  return Dispatcher("KeSetEvent").SetEvent(&Event->Header);
}

LONG KeResetEvent(PRKEVENT Event) { return Dispatcher("KeResetEvent").ResetEvent(&Event->Header); }

void KeClearEvent(PRKEVENT Event) { Dispatcher("KeClearEvent").ResetEvent(&Event->Header); }

LONG KeReadStateEvent(PRKEVENT Event) { return Dispatcher("KeReadStateEvent").ReadState(&Event->Header); }

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit, const std::source_location &winsimSite) {
  winsim::RequireNonPaged(Semaphore, sizeof *Semaphore, "semaphore", winsimSite);
  Semaphore->Header.Type = WinsimSemaphoreObject;
  Semaphore->Header.Signalling = 0;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Reserved1 = 0;
  Semaphore->Header.SignalState = Count;
  Semaphore->Limit = Limit;
  InitializeListHead(&Semaphore->Header.WaitListHead);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait,
                        const std::source_location &winsimSite) {
  (void)Increment;
  (void)Wait;
  bool overLimit = false;
  LONG previous =
      Dispatcher("KeReleaseSemaphore").ReleaseSemaphore(&Semaphore->Header, Adjustment, Semaphore->Limit, &overLimit);
  if (overLimit) {
    // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED; unhandled in a driver
    // that is a system crash.
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeReleaseSemaphore beyond the semaphore's limit",
             winsimSite);
  }
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  return Dispatcher("KeReadStateSemaphore").ReadState(&Semaphore->Header);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout, const std::source_location &winsimSite) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  CheckWaitIrql("KeWaitForSingleObject", Timeout, winsimSite);
  KWAIT_BLOCK block{};
  DISPATCHER_HEADER *header = HeaderOf(Object);
  return Dispatcher("KeWaitForSingleObject")
      .Wait(&header, 1, WaitAny, winsim::DeadlineOf(Timeout), &block, winsimSite);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray, const std::source_location &winsimSite) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  CheckWaitIrql("KeWaitForMultipleObjects", Timeout, winsimSite);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) ||
      (WaitType != WaitAll && WaitType != WaitAny)) {
    // Windows bug checks MAXIMUM_WAIT_OBJECTS_EXCEEDED for these.
    winsim::BugCheckCode(0x0C, "KeWaitForMultipleObjects with " + std::to_string(Count) +
                           " objects and too few wait blocks", winsimSite);
  }
  KWAIT_BLOCK inlineBlocks[THREAD_WAIT_OBJECTS] = {};
  KWAIT_BLOCK *blocks = WaitBlockArray != nullptr ? WaitBlockArray : inlineBlocks;
  DISPATCHER_HEADER *headers[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < Count; ++i) headers[i] = HeaderOf(Object[i]);
  return Dispatcher("KeWaitForMultipleObjects")
      .Wait(headers, Count, WaitType, winsim::DeadlineOf(Timeout), blocks, winsimSite);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval,
                                const std::source_location &winsimSite) {
  (void)WaitMode;
  (void)Alertable;
  winsim::SimThread &thread = Scheduler::RequireCurrent("KeDelayExecutionThread");
  if (thread.irql > APC_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual,
             "KeDelayExecutionThread at IRQL " + std::to_string(thread.irql), winsimSite);
  }
  if (Interval == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeDelayExecutionThread without an interval", winsimSite);
  }
  Dispatcher("KeDelayExecutionThread").Wait(nullptr, 0, WaitAny, winsim::DeadlineOf(Interval), nullptr, winsimSite);
  return STATUS_SUCCESS;
}
