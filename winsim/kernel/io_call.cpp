// IoCallDriver: hands an IRP to the next lower driver.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/sched/scheduler.h"

using winsim::BugCheck;
using winsim::BugCode;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoCallDriver", winsimSite);
  winsim::RequireLiveIrp(Irp, "IoCallDriver", BugCode::kDriverVerifierDetectedViolation, winsimSite);
  if (!winsim::IsLiveDevice(DeviceObject)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoCallDriver to " + winsim::Hex(DeviceObject) + ", which is not a live device object", winsimSite);
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoCallDriver with IRP " + winsim::Hex(Irp) + " whose cancel routine is still set", winsimSite);
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoCallDriver with IRP " + winsim::Hex(Irp) + ", which has completed; IoReuseIrp it first", winsimSite);
  }
  if (Irp->CurrentLocation <= 1) {
    BugCheck(BugCode::kNoMoreIrpStackLocations,
             "IoCallDriver to a device of '" + winsim::Narrow(DeviceObject->DriverObject->DriverName) +
                 "' with no stack location left in IRP " + winsim::Hex(Irp) + ", which has " +
                 std::to_string(Irp->StackCount) + "; allocate IRPs with the top device's StackSize",
             winsimSite);
  }
  Irp->CurrentLocation--;
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoCallDriver with major function " + std::to_string(stack->MajorFunction), winsimSite);
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  KIRQL irql = KeGetCurrentIrql();
  const uint32_t locks = winsim::LocksHeld();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  winsim::RequireIrqlRestored("dispatch routine", irql, winsimSite, locks);
  return status;
}
