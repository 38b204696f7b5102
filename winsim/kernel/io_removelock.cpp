// Remove locks. IoCount holds one reference for the lock itself plus one per
// acquisition; release-and-wait drops both the caller's and the lock's own
// and waits for the count to reach zero.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"

using winsim::BugCheck;
using winsim::BugCode;

namespace {

void RequireSize(const char *api, ULONG size, const std::source_location &site) {
  if (size != sizeof(IO_REMOVE_LOCK)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " with a lock size of " + std::to_string(size) + " (expected " +
                 std::to_string(sizeof(IO_REMOVE_LOCK)) + ")",
             site);
  }
}

bool Removed(PIO_REMOVE_LOCK lock) { return __atomic_load_n(&lock->Common.Removed, __ATOMIC_ACQUIRE) != FALSE; }

[[noreturn]] void OverReleased(PIO_REMOVE_LOCK lock, const char *api, const std::source_location &site) {
  BugCheck(BugCode::kDriverVerifierDetectedViolation,
           std::string(api) + " of remove lock " + winsim::Hex(lock) + " released more often than acquired", site);
}

}  // namespace

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize, const std::source_location &winsimSite) {
  (void)AllocateTag;
  (void)MaxLockedMinutes;
  (void)HighWatermark;
  RequireSize("IoInitializeRemoveLock", RemlockSize, winsimSite);
  Lock->Common.Removed = FALSE;
  Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize,
                               const std::source_location &winsimSite) {
  (void)Tag;
  (void)File;
  (void)Line;
  winsim::RequireAtMostDispatch("IoAcquireRemoveLock", winsimSite);
  RequireSize("IoAcquireRemoveLock", RemlockSize, winsimSite);
  LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (count <= 0) OverReleased(RemoveLock, "IoAcquireRemoveLock", winsimSite);
  if (!Removed(RemoveLock)) return STATUS_SUCCESS;
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_DELETE_PENDING;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize,
                           const std::source_location &winsimSite) {
  (void)Tag;
  winsim::RequireAtMostDispatch("IoReleaseRemoveLock", winsimSite);
  RequireSize("IoReleaseRemoveLock", RemlockSize, winsimSite);
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  // Only release-and-wait drops the lock's own reference, after it set Removed.
  if (count < 0 || (count == 0 && !Removed(RemoveLock))) {
    OverReleased(RemoveLock, "IoReleaseRemoveLock", winsimSite);
  }
  if (count == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize,
                                  const std::source_location &winsimSite) {
  (void)Tag;
  winsim::RequirePassive("IoReleaseRemoveLockAndWait", winsimSite);
  RequireSize("IoReleaseRemoveLockAndWait", RemlockSize, winsimSite);
  if (__atomic_exchange_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_ACQ_REL) != FALSE) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoReleaseRemoveLockAndWait of remove lock " + winsim::Hex(RemoveLock) + " called a second time",
             winsimSite);
  }
  // The caller's own acquisition: the lock's reference must remain.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0) {
    OverReleased(RemoveLock, "IoReleaseRemoveLockAndWait", winsimSite);
  }
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr, winsimSite);
  }
}
