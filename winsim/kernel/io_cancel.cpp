// Cancellation: the global cancel spin lock and IoCancelIrp.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_cancel.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/sched/scheduler.h"

using winsim::BugCheck;
using winsim::BugCode;

namespace {

KSPIN_LOCK g_cancelLock = 0;

bool HeldByCaller() {
  return __atomic_load_n(&g_cancelLock, __ATOMIC_ACQUIRE) ==
         reinterpret_cast<ULONG_PTR>(winsim::Scheduler::Current());
}

}  // namespace

namespace winsim {

void ResetCancelSpinLock() { KeInitializeSpinLock(&g_cancelLock); }

}  // namespace winsim

void IoAcquireCancelSpinLock(PKIRQL Irql, const std::source_location &winsimSite) {
  KeAcquireSpinLock(&g_cancelLock, Irql, winsimSite);
}

void IoReleaseCancelSpinLock(KIRQL Irql, const std::source_location &winsimSite) {
  KeReleaseSpinLock(&g_cancelLock, Irql, winsimSite);
}

BOOLEAN IoCancelIrp(PIRP Irp, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoCancelIrp", winsimSite);
  winsim::RequireLiveIrp(Irp, "IoCancelIrp", BugCode::kDriverVerifierDetectedViolation, winsimSite);
  // A completed IRP is either freed (caught above) or back with its creator,
  // where cancelling it only sets the flag. Its stack position is not read
  // here: the completing thread may be moving it.
  // The caller may hold locks of its own (IoCancelIrp is callable at
  // DISPATCH_LEVEL); the routine must return with exactly those.
  const uint32_t callerLocks = winsim::LocksHeld();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql, winsimSite);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql, winsimSite);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  // The routine may have completed (and so freed) the IRP: it is not touched again.
  if (HeldByCaller()) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "cancel routine returned without releasing the cancel spin lock", winsimSite);
  }
  winsim::RequireIrqlRestored("cancel routine", irql, winsimSite, callerLocks);
  return TRUE;
}
