// IoCompleteRequest: walks an IRP back up its stack, calling the completion
// routines the drivers above set on the way down.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_threaded_irp.h"

using winsim::BugCheck;
using winsim::BugCode;

namespace {

bool ShouldInvoke(UCHAR control, NTSTATUS status, bool cancelled) {
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (cancelled && (control & SL_INVOKE_ON_CANCEL));
}

void CheckCompletable(PIRP irp, const winsim::IrpRecord &record, const std::source_location &site) {
  if (irp->CurrentLocation > irp->StackCount + 1) {
    BugCheck(BugCode::kMultipleIrpCompleteRequests,
             "IRP " + winsim::Hex(irp) + " completed twice: it has already been completed to the top", site);
  }
  if (irp->CurrentLocation == irp->StackCount + 1 && !record.threaded) {
    BugCheck(BugCode::kMultipleIrpCompleteRequests,
             "IRP " + winsim::Hex(irp) +
                 " completed while no driver holds it: its creator's completion routine already took it back",
             site);
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    BugCheck(BugCode::kMultipleIrpCompleteRequests, "IRP " + winsim::Hex(irp) + " completed with STATUS_PENDING",
             site);
  }
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IRP " + winsim::Hex(irp) + " completed with its cancel routine still set", site);
  }
}

// Calls the routine of the location just left, with the device object of the
// driver that set it (NULL for the IRP's creator). False when it returned
// STATUS_MORE_PROCESSING_REQUIRED and so owns the IRP again.
bool InvokeRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, const std::source_location &site) {
  PDEVICE_OBJECT device =
      irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  KIRQL irql = KeGetCurrentIrql();
  const uint32_t locks = winsim::LocksHeld();
  NTSTATUS result = routine(device, irp, context);
  winsim::RequireIrqlRestored("completion routine", irql, site, locks);
  if (result == STATUS_MORE_PROCESSING_REQUIRED) return false;
  if (winsim::IrpTable::Instance().Find(irp, nullptr) != winsim::IrpTable::State::Live) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "a completion routine freed IRP " + winsim::Hex(irp) +
                 " but did not return STATUS_MORE_PROCESSING_REQUIRED",
             site);
  }
  return true;
}

// Walks up from the current location. Each location's Control and routine
// are cleared as it is left; PendingReturned tells each routine whether the
// driver below returned STATUS_PENDING, and moves up by itself past locations
// whose routine is not invoked. False when a routine took the IRP back.
bool WalkUp(PIRP irp, const std::source_location &site) {
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION left = irp->Tail.Overlay.CurrentStackLocation;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) != 0;
    UCHAR control = left->Control;
    PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
    PVOID context = left->Context;
    left->Control = 0;
    left->CompletionRoutine = nullptr;
    left->Context = nullptr;
    bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
    if (routine != nullptr && ShouldInvoke(control, irp->IoStatus.Status, cancelled)) {
      if (!InvokeRoutine(irp, routine, context, site)) return false;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  return true;
}

}  // namespace

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, const std::source_location &winsimSite) {
  (void)PriorityBoost;
  winsim::RequireAtMostDispatch("IoCompleteRequest", winsimSite);
  winsim::IrpRecord record =
      winsim::RequireLiveIrp(Irp, "IoCompleteRequest", BugCode::kMultipleIrpCompleteRequests, winsimSite);
  CheckCompletable(Irp, record, winsimSite);
  if (!WalkUp(Irp, winsimSite)) return;
  Irp->CurrentLocation++;  // past the top: a second completion is caught
  Irp->Tail.Overlay.CurrentStackLocation++;
  if (!record.threaded) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IRP " + winsim::Hex(Irp) +
                 " from IoAllocateIrp completed past its last stack location; its creator must take it back "
                 "with a completion routine returning STATUS_MORE_PROCESSING_REQUIRED",
             winsimSite);
  }
  winsim::FinishThreadedIrp(Irp, record, winsimSite);
}
