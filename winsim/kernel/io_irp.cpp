// IRP allocation and stack-location set-up: IoAllocateIrp, IoFreeIrp,
// IoInitializeIrp, IoReuseIrp, IoSetNextIrpStackLocation and the completion
// routine setters.
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

using winsim::BugCheck;
using winsim::BugCode;

namespace {

// CurrentLocation is a CHAR that must hold StackSize + 1.
constexpr CCHAR kMaxStackSize = 126;

void RequireStackSize(const char *api, CCHAR stackSize, const std::source_location &site) {
  if (stackSize < 1 || stackSize > kMaxStackSize) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " with a stack size of " + std::to_string(stackSize), site);
  }
}

void RequireNextLocation(PIRP irp, const char *api, const std::source_location &site) {
  if (irp->CurrentLocation <= 1) {
    BugCheck(BugCode::kNoMoreIrpStackLocations,
             std::string(api) + ": IRP " + winsim::Hex(irp) + " has no stack location below the current one (" +
                 std::to_string(irp->StackCount) + " in all)",
             site);
  }
}

}  // namespace

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoAllocateIrp", winsimSite);
  RequireStackSize("IoAllocateIrp", StackSize, winsimSite);
  USHORT size = IoSizeOfIrp(StackSize);
  auto irp = static_cast<PIRP>(winsim::Pool::Instance().Allocate(NonPagedPoolNx, size, winsim::kIrpTag, winsimSite));
  if (irp == nullptr) return nullptr;
  winsim::InitializeIrpFields(irp, size, StackSize);
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE | (ChargeQuota ? IRP_QUOTA_CHARGED : 0);
  winsim::IrpTable::Instance().Insert(irp, winsim::IrpRecord{.fromPool = true});
  return irp;
}

void IoFreeIrp(PIRP Irp, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoFreeIrp", winsimSite);
  winsim::IrpRecord record = winsim::RequireLiveIrp(Irp, "IoFreeIrp", BugCode::kBadPoolCaller, winsimSite);
  if (!record.fromPool) {
    BugCheck(BugCode::kBadPoolCaller, "IoFreeIrp of IRP " + winsim::Hex(Irp) + ", which IoAllocateIrp did not allocate",
             winsimSite);
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoFreeIrp of IRP " + winsim::Hex(Irp) + " with a cancel routine still set", winsimSite);
  }
  winsim::IrpTable::Instance().Erase(Irp);
  winsim::Pool::Instance().Free(Irp, winsim::kIrpTag, true, winsimSite);
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize, const std::source_location &winsimSite) {
  RequireStackSize("IoInitializeIrp", StackSize, winsimSite);
  // An IRP is completed, and so touched, at DISPATCH_LEVEL.
  winsim::RequireNonPaged(Irp, PacketSize, "IRP", winsimSite);
  if (PacketSize < IoSizeOfIrp(StackSize)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoInitializeIrp of a " + std::to_string(PacketSize) + "-byte packet with " + std::to_string(StackSize) +
                 " stack locations, which need " + std::to_string(IoSizeOfIrp(StackSize)),
             winsimSite);
  }
  winsim::IrpRecord record;
  bool known = winsim::IrpTable::Instance().Find(Irp, &record) == winsim::IrpTable::State::Live;
  UCHAR allocationFlags = known ? Irp->AllocationFlags : 0;
  winsim::InitializeIrpFields(Irp, PacketSize, StackSize);
  Irp->AllocationFlags = allocationFlags;
  winsim::IrpTable::Instance().Insert(Irp, winsim::IrpRecord{.fromPool = known && record.fromPool});
}

void IoReuseIrp(PIRP Irp, NTSTATUS Status, const std::source_location &winsimSite) {
  winsim::IrpRecord record =
      winsim::RequireLiveIrp(Irp, "IoReuseIrp", BugCode::kDriverVerifierDetectedViolation, winsimSite);
  if (record.threaded) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoReuseIrp of IRP " + winsim::Hex(Irp) + ", which the I/O manager built and owns", winsimSite);
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoReuseIrp of IRP " + winsim::Hex(Irp) + " with a cancel routine still set", winsimSite);
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  winsim::InitializeIrpFields(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Status;
}

void IoSetNextIrpStackLocation(PIRP Irp, const std::source_location &winsimSite) {
  RequireNextLocation(Irp, "IoSetNextIrpStackLocation", winsimSite);
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel,
                            const std::source_location &winsimSite) {
  if (CompletionRoutine == nullptr && (InvokeOnSuccess || InvokeOnError || InvokeOnCancel)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoSetCompletionRoutine asks for a NULL routine to be invoked", winsimSite);
  }
  RequireNextLocation(Irp, "IoSetCompletionRoutine", winsimSite);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = (InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                  (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0);
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel, const std::source_location &winsimSite) {
  (void)DeviceObject;  // Windows uses it to keep the driver loaded; winsim never unloads code
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel,
                         winsimSite);
  return STATUS_SUCCESS;
}
