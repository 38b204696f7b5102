// Fast mutexes: a synchronization event that starts signalled is the lock;
// the owner runs at APC_LEVEL until it releases. Ownership and order are
// recorded in the lock-order graph like every other lock.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/lock_order.h"
#include "winsim/sched/scheduler.h"

using winsim::BugCheck;
using winsim::BugCode;
using winsim::Scheduler;

namespace {

void CheckAcquireIrql(const char *api, const std::source_location &site) {
  winsim::SimThread &self = Scheduler::RequireCurrent(api);
  if (self.irql > APC_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual, std::string(api) + " at IRQL " + std::to_string(self.irql), site);
  }
}

void TakeOwnership(PFAST_MUTEX mutex, const std::source_location &site) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old, site);
  mutex->OldIrql = old;
  __atomic_store_n(&mutex->Owner, KeGetCurrentThread(), __ATOMIC_RELAXED);
  mutex->Count = 0;
  winsim::LockOrder::Instance().Acquired(mutex, winsim::LockKind::FastMutex, site);
}

}  // namespace

void ExInitializeFastMutex(PFAST_MUTEX FastMutex, const std::source_location &winsimSite) {
  winsim::LockOrder::Instance().Initialized(FastMutex, winsim::LockKind::FastMutex, winsimSite);
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, TRUE);
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex, const std::source_location &winsimSite) {
  CheckAcquireIrql("ExAcquireFastMutex", winsimSite);
  // Read while another thread may own it and write Owner: only "is it us" matters.
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == KeGetCurrentThread()) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "fast mutex acquired recursively", winsimSite);
  }
  winsim::LockOrder::Instance().Acquiring(FastMutex, winsim::LockKind::FastMutex, winsimSite);
  Scheduler &scheduler = *Scheduler::Active();
  if (!scheduler.TryAcquire(&FastMutex->Event.Header)) {
    InterlockedIncrement(reinterpret_cast<volatile LONG *>(&FastMutex->Contention));
    KWAIT_BLOCK block{};
    DISPATCHER_HEADER *header = &FastMutex->Event.Header;
    scheduler.Wait(&header, 1, WaitAny, winsim::kInfinite, &block, winsimSite);
  }
  TakeOwnership(FastMutex, winsimSite);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex, const std::source_location &winsimSite) {
  CheckAcquireIrql("ExTryToAcquireFastMutex", winsimSite);
  if (!Scheduler::Active()->TryAcquire(&FastMutex->Event.Header)) return FALSE;
  TakeOwnership(FastMutex, winsimSite);
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex, const std::source_location &winsimSite) {
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "fast mutex released by a thread that does not own it",
             winsimSite);
  }
  if (KeGetCurrentIrql() != APC_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual, "ExReleaseFastMutex at IRQL " + std::to_string(KeGetCurrentIrql()),
             winsimSite);
  }
  KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  winsim::LockOrder::Instance().Released(FastMutex);
  __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
  FastMutex->Count = 1;
  KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
  KeLowerIrql(old, winsimSite);
}
