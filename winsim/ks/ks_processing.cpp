// Pin-centric processing: the pin's Process dispatch runs under the filter's
// process mutex, one pass at a time, at DISPATCH_LEVEL for pins with
// KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING. A request made while a pass runs (the
// minidriver calling KsPinAttemptProcessing from Process, or frames
// arriving) makes it run again; a pass returning STATUS_PENDING waits for
// the next request.
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_pin.h"

namespace winsim::ks {
namespace {

constexpr ULONG kMaxPassesPerAttempt = 64;

NTSTATUS CallProcess(PinObject *pin) {
  const KSPIN_DISPATCH *dispatch = DispatchOf(pin);
  if (dispatch == nullptr || dispatch->Process == nullptr) return STATUS_PENDING;
  const bool atDispatch = pin->pub.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
  KIRQL old = PASSIVE_LEVEL;
  if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
  const uint32_t locks = LocksHeld();
  NTSTATUS status = dispatch->Process(&pin->pub);
  RequireIrqlRestored("the minidriver's pin Process dispatch", atDispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL,
                      std::source_location::current(), locks);
  if (atDispatch) KeLowerIrql(old);
  return status;
}

bool HasUnpassedFrames(PinObject *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  bool more = FirstUnpassedLocked(pin) != nullptr;
  KeReleaseSpinLock(&pin->queueLock, irql);
  return more;
}

// Passes run again while requests came in during one, or while a pass that
// did not pend leaves frames the leading edge has not reached; bounded, so a
// minidriver that neither consumes nor pends cannot spin here for ever.
void RunPasses(PinObject *pin) {
  FilterRuntime *runtime = RuntimeOfPin(pin);
  AcquireMutex(&runtime->process, "processing a pin", std::source_location::current());
  for (ULONG pass = 0; pass < kMaxPassesPerAttempt; ++pass) {
    InterlockedExchange(&pin->processRequests, 0);
    if (!ProcessingAllowed(pin)) break;
    // Without a frame to work on there is nothing to process, unless the
    // pin says it processes without frames.
    if (!(pin->pub.Descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) && !HasUnpassedFrames(pin)) break;
    NTSTATUS status = CallProcess(pin);
    ++pin->processCount;
    bool requested = InterlockedCompareExchange(&pin->processRequests, 0, 0) > 0;
    if (!requested && (status == STATUS_PENDING || !NT_SUCCESS(status) || !HasUnpassedFrames(pin))) break;
  }
  ReleaseMutex(&runtime->process, "processing a pin", std::source_location::current());
}

// A request arriving while the worker finishes either finds it still queued
// (and is picked up by the check below) or queues it again.
void ProcessWorker(PVOID context) {
  auto *pin = static_cast<PinObject *>(context);
  do {
    RunPasses(pin);
    InterlockedExchange(&pin->processQueued, 0);
  } while (InterlockedCompareExchange(&pin->processRequests, 0, 0) > 0 &&
           InterlockedCompareExchange(&pin->processQueued, 1, 0) == 0);
  KeSetEvent(&pin->processIdle, IO_NO_INCREMENT, FALSE);
}

}  // namespace

bool ProcessingAllowed(const PinObject *pin) {
  if (pin->closing || pin->pub.ResetState == KSRESET_BEGIN) return false;
  if (pin->pub.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return pin->pub.DeviceState == KSSTATE_RUN;
  return pin->pub.DeviceState >= KSSTATE_PAUSE;
}

void AttemptProcessing(PinObject *pin, bool asynchronous) {
  FilterRuntime *runtime = RuntimeOfPin(pin);
  if (runtime != nullptr && HoldsMutex(&runtime->process)) {
    InterlockedIncrement(&pin->processRequests);  // the pass in progress runs again
    return;
  }
  if (asynchronous || KeGetCurrentIrql() > PASSIVE_LEVEL) {
    InterlockedIncrement(&pin->processRequests);
    if (InterlockedExchange(&pin->processQueued, 1) != 0) return;
    KeClearEvent(&pin->processIdle);
    ExInitializeWorkItem(&pin->processItem, ProcessWorker, pin);
    ExQueueWorkItem(&pin->processItem, DelayedWorkQueue);
    return;
  }
  RunPasses(pin);
}

void WaitProcessingIdle(PinObject *pin) {
  KeWaitForSingleObject(&pin->processIdle, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace winsim::ks

using namespace winsim::ks;

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("KsPinAttemptProcessing", winsimSite);
  auto *pin = reinterpret_cast<PinObject *>(LiveObject(Pin, KsObjectTypePin, "KsPinAttemptProcessing", winsimSite));
  if (pin == nullptr || !ProcessingAllowed(pin)) return;
  AttemptProcessing(pin, Asynchronous != FALSE);
}
