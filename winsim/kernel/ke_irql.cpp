// IRQL tracking and spin locks. IRQL is per simulated thread; a spin lock
// holds the owning thread's address so recursion and foreign releases are
// caught.
#include <chrono>
#include <string>
#include <thread>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/lock_order.h"
#include "winsim/kernel/pool.h"
#include "winsim/sched/scheduler.h"

using winsim::BugCheck;
using winsim::BugCode;
using winsim::Scheduler;
using winsim::SimThread;

namespace {

SimThread &Self(const char *api) { return Scheduler::RequireCurrent(api); }

// The owner is running (it cannot wait while it holds the lock), so a spin
// that lasts seconds of wall time means the owner is stuck: as Windows'
// DPC watchdog, stop the machine and name it.
[[noreturn]] void OwnerStuck(PKSPIN_LOCK lock, std::chrono::milliseconds spun, const std::source_location &site) {
  std::string owner = winsim::LockOrder::Instance().DescribeOwner(lock);
  if (owner.empty()) {
    auto value = reinterpret_cast<void *>(__atomic_load_n(lock, __ATOMIC_RELAXED));
    owner = "an owner winsim does not know (value " + winsim::Hex(value) + ")";
  }
  BugCheck(BugCode::kDpcWatchdogViolation,
           "spin lock " + winsim::Hex(lock) + " spun on for " + std::to_string(spun.count()) +
               " ms of wall time; its owner never released it: " + owner,
           site);
}

void Spin(PKSPIN_LOCK lock, SimThread &self, const std::source_location &site) {
  const auto start = std::chrono::steady_clock::now();
  const std::chrono::milliseconds timeout = winsim::LockOrder::Instance().SpinTimeout();
  for (uint32_t attempt = 1;; ++attempt) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, reinterpret_cast<ULONG_PTR>(&self), false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      return;
    }
    std::this_thread::yield();
    if (attempt % 1024 != 0) continue;
    auto spun = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (spun >= timeout) OwnerStuck(lock, spun, site);
  }
}

void Acquire(PKSPIN_LOCK lock, SimThread &self, const std::source_location &site) {
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner == reinterpret_cast<ULONG_PTR>(&self)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "spin lock acquired twice by the same thread", site);
  }
  winsim::RequireNonPaged(lock, sizeof *lock, "spin lock", site);
  winsim::LockOrder &order = winsim::LockOrder::Instance();
  order.Acquiring(lock, winsim::LockKind::SpinLock, site);
  Spin(lock, self, site);
  ++self.spinLocksHeld;
  order.Acquired(lock, winsim::LockKind::SpinLock, site);
}

void Release(PKSPIN_LOCK lock, SimThread &self, const std::source_location &site) {
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != reinterpret_cast<ULONG_PTR>(&self)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "spin lock released by a thread that does not hold it",
             site);
  }
  --self.spinLocksHeld;
  winsim::LockOrder::Instance().Released(lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

KIRQL KeGetCurrentIrql(void) { return Self("KeGetCurrentIrql").irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, const std::source_location &winsimSite) {
  SimThread &self = Self("KeRaiseIrql");
  if (NewIrql < self.irql) {
    BugCheck(BugCode::kIrqlNotGreaterOrEqual,
             "KeRaiseIrql from " + std::to_string(self.irql) + " to lower " + std::to_string(NewIrql), winsimSite);
  }
  *OldIrql = self.irql;
  self.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql, const std::source_location &winsimSite) {
  SimThread &self = Self("KeLowerIrql");
  if (NewIrql > self.irql) {
    BugCheck(BugCode::kIrqlNotLessOrEqual,
             "KeLowerIrql from " + std::to_string(self.irql) + " to higher " + std::to_string(NewIrql), winsimSite);
  }
  if (NewIrql < DISPATCH_LEVEL && self.spinLocksHeld > 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
             winsimSite);
  }
  self.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock, const std::source_location &winsimSite) {
  winsim::LockOrder::Instance().Initialized(SpinLock, winsim::LockKind::SpinLock, winsimSite);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, const std::source_location &winsimSite) {
  SimThread &self = Self("KeAcquireSpinLock");
  if (self.irql > DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual, "KeAcquireSpinLock at IRQL " + std::to_string(self.irql), winsimSite);
  }
  *OldIrql = self.irql;
  self.irql = DISPATCH_LEVEL;
  Acquire(SpinLock, self, winsimSite);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const std::source_location &winsimSite) {
  SimThread &self = Self("KeReleaseSpinLock");
  if (self.irql != DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual,
             "KeReleaseSpinLock at IRQL " + std::to_string(self.irql) + "; spin locks are released at DISPATCH_LEVEL",
             winsimSite);
  }
  if (NewIrql > DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotLessOrEqual, "KeReleaseSpinLock to IRQL " + std::to_string(NewIrql), winsimSite);
  }
  Release(SpinLock, self, winsimSite);
  if (NewIrql < DISPATCH_LEVEL && self.spinLocksHeld > 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "KeReleaseSpinLock lowers IRQL while another spin lock is held", winsimSite);
  }
  self.irql = NewIrql;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const std::source_location &winsimSite) {
  SimThread &self = Self("KeAcquireSpinLockAtDpcLevel");
  if (self.irql < DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotGreaterOrEqual,
             "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(self.irql), winsimSite);
  }
  Acquire(SpinLock, self, winsimSite);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, const std::source_location &winsimSite) {
  SimThread &self = Self("KeReleaseSpinLockFromDpcLevel");
  if (self.irql < DISPATCH_LEVEL) {
    BugCheck(BugCode::kIrqlNotGreaterOrEqual,
             "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(self.irql), winsimSite);
  }
  Release(SpinLock, self, winsimSite);
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&Self("KeGetCurrentThread")); }

HANDLE PsGetCurrentProcessId(void) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Self("PsGetCurrentProcessId").ProcessId()));
}

HANDLE PsGetCurrentThreadId(void) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Self("PsGetCurrentThreadId").Id()));
}

ULONG KeGetCurrentProcessorNumber(void) { return 0; }

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4,
                  const std::source_location &winsimSite) {
  char detail[128];
  std::snprintf(detail, sizeof detail, "KeBugCheckEx(%#llx, %#llx, %#llx, %#llx)", (unsigned long long)P1,
                (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
  winsim::BugCheckCode(BugCheckCode, detail, winsimSite);
}

void KeBugCheck(ULONG BugCheckCode, const std::source_location &winsimSite) {
  winsim::BugCheckCode(BugCheckCode, "KeBugCheck", winsimSite);
}

void WinsimCheckPageable(const std::source_location &site) {
  SimThread &self = Self("PAGED_CODE");
  if (self.irql > APC_LEVEL) {
    BugCheck(BugCode::kDriverIrqlNotLessOrEqual, "pageable code at IRQL " + std::to_string(self.irql), site);
  }
}
