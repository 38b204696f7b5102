#include "winsim/kernel/io_threaded_irp.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

namespace winsim {
namespace {

PIRP AllocateThreaded(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb, const char *api,
                      const std::source_location &site) {
  RequirePassive(api, site);
  if (device == nullptr || device->Type != IO_TYPE_DEVICE) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, std::string(api) + " for " + Hex(device) +
                                                            ", which is not a device object", site);
  }
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE, site);
  if (irp == nullptr) return nullptr;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  return irp;
}

// A system buffer of `bytes` holding a copy of `input`; false when pool runs out.
bool AttachSystemBuffer(PIRP irp, const void *input, ULONG inputLength, ULONG bytes,
                        const std::source_location &site) {
  if (bytes == 0) return true;
  PVOID buffer = Pool::Instance().Allocate(NonPagedPoolNx, bytes, kSystemBufferTag, site);
  if (buffer == nullptr) return false;
  if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  return true;
}

bool AttachLockedMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation,
                     const std::source_location &site) {
  if (buffer == nullptr || length == 0) return true;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp, site);
  if (mdl == nullptr) return false;
  MmProbeAndLockPages(mdl, KernelMode, operation, site);
  return true;
}

void ReleaseBuffers(PIRP irp, const std::source_location &site) {
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    Pool::Instance().Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, true, site);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl, site);
    IoFreeMdl(mdl, site);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
}

// A build that ran out of pool half way gives back what it took.
PIRP Abandon(PIRP irp, const std::source_location &site) {
  ReleaseBuffers(irp, site);
  IoFreeIrp(irp, site);
  return nullptr;
}

void Register(PIRP irp, ULONG outputLength) {
  IrpTable::Instance().Insert(irp, IrpRecord{.fromPool = true, .threaded = true, .outputLength = outputLength});
}

}  // namespace

void FinishThreadedIrp(PIRP irp, const IrpRecord &record, const std::source_location &site) {
  if (record.finish != nullptr) {
    record.finish(irp, record.finishContext);
    return;
  }
  const IO_STATUS_BLOCK status = irp->IoStatus;
  bool copyOut = (irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status.Status) &&
                 status.Information != 0;
  if (copyOut) {
    if (status.Information > record.outputLength) {
      BugCheck(BugCode::kDriverVerifierDetectedViolation,
               "IRP " + Hex(irp) + " completed with Information " + std::to_string(status.Information) +
                   ", more than its " + std::to_string(record.outputLength) + "-byte output buffer",
               site);
    }
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, status.Information);
  }
  ReleaseBuffers(irp, site);
  if (irp->UserIosb != nullptr) *irp->UserIosb = status;
  PKEVENT event = irp->UserEvent;
  // The IRP goes before the event is signalled: a waiter that checks the
  // pool right after its wait must not find it.
  IrpTable::Instance().Erase(irp);
  Pool::Instance().Free(irp, kIrpTag, true, site);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace winsim

using winsim::AttachLockedMdl;
using winsim::AttachSystemBuffer;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                   const std::source_location &winsimSite) {
  PIRP irp = winsim::AllocateThreaded(DeviceObject, Event, IoStatusBlock, "IoBuildDeviceIoControlRequest", winsimSite);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  bool built = true;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
      built = AttachSystemBuffer(irp, InputBuffer, InputBufferLength,
                                 std::max(InputBufferLength, OutputBufferLength), winsimSite);
      if (OutputBuffer != nullptr && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
      irp->UserBuffer = OutputBuffer;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      built = AttachSystemBuffer(irp, InputBuffer, InputBufferLength, InputBufferLength, winsimSite) &&
              AttachLockedMdl(irp, OutputBuffer, OutputBufferLength,
                              METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess,
                              winsimSite);
      irp->UserBuffer = OutputBuffer;
      break;
    default:
      stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  if (!built) return winsim::Abandon(irp, winsimSite);
  winsim::Register(irp, OutputBufferLength);
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                  const std::source_location &winsimSite) {
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE && MajorFunction != IRP_MJ_FLUSH_BUFFERS &&
      MajorFunction != IRP_MJ_SHUTDOWN && MajorFunction != IRP_MJ_PNP) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
                     "IoBuildSynchronousFsdRequest for major function " + std::to_string(MajorFunction), winsimSite);
  }
  PIRP irp = winsim::AllocateThreaded(DeviceObject, Event, IoStatusBlock, "IoBuildSynchronousFsdRequest", winsimSite);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
  ULONG outputLength = 0;
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    bool read = MajorFunction == IRP_MJ_READ;
    stack->Parameters.Read.Length = Length;
    stack->Parameters.Read.ByteOffset.QuadPart = StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    irp->UserBuffer = Buffer;
    bool built = true;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      built = AttachSystemBuffer(irp, read ? nullptr : Buffer, read ? 0 : Length, Length, winsimSite);
      if (read) irp->Flags |= IRP_INPUT_OPERATION;
      outputLength = read ? Length : 0;
    } else if (DeviceObject->Flags & DO_DIRECT_IO) {
      built = AttachLockedMdl(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess, winsimSite);
    }
    if (!built) return winsim::Abandon(irp, winsimSite);
  }
  winsim::Register(irp, outputLength);
  return irp;
}
