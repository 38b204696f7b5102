// Device I/O control requests from user mode: the IRP the I/O manager builds
// for DeviceIoControl, the copies of the caller's buffers it works on, and
// what completion does for the caller (copy back, OVERLAPPED, event).
#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_file.h"
#include "winsim/kernel/io_irp_table.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/kernel32_objects.h"
#include "winsim/user/user_file.h"

namespace winsim {
namespace {

struct PendingRequest {
  PIRP irp = nullptr;
  PFILE_OBJECT file = nullptr;
  SimThread *thread = nullptr;
  ULONG method = 0;
  PVOID output = nullptr;  // the caller's
  ULONG outputLength = 0;
  // Exactly sized copies of the caller's buffers (METHOD_NEITHER input, and
  // the output of every method but buffered), so a size the caller got wrong
  // shows as an overrun of the caller's buffer here, not a silent success.
  std::unique_ptr<UCHAR[]> inputCopy;
  std::unique_ptr<UCHAR[]> outputCopy;
  LPOVERLAPPED overlapped = nullptr;
  std::shared_ptr<UserEvent> event;  // the OVERLAPPED's event, kept alive
  IO_STATUS_BLOCK result{};
  KEVENT done{};
  // Held while cancelling, so the IRP is not freed under IoCancelIrp;
  // recursive because a cancel routine may complete the IRP right there.
  std::recursive_mutex cancelLock;
  bool finished = false;
};

struct Requests {
  std::mutex lock;
  std::list<std::shared_ptr<PendingRequest>> inFlight;
};

Requests &InFlight() {
  static Requests requests;
  return requests;
}

std::shared_ptr<PendingRequest> Remove(PendingRequest *request) {
  std::lock_guard<std::mutex> guard(InFlight().lock);
  for (auto it = InFlight().inFlight.begin(); it != InFlight().inFlight.end(); ++it) {
    if (it->get() == request) {
      std::shared_ptr<PendingRequest> found = *it;
      InFlight().inFlight.erase(it);
      return found;
    }
  }
  return nullptr;
}

void CopyBack(PendingRequest *request, PIRP irp) {
  const IO_STATUS_BLOCK &status = irp->IoStatus;
  if (request->method == METHOD_BUFFERED) {
    if (NT_ERROR(status.Status) || status.Information == 0 || request->output == nullptr) return;
    if (status.Information > request->outputLength) {
      BugCheck(BugCode::kDriverVerifierDetectedViolation,
               "IRP " + Hex(irp) + " completed with Information " + std::to_string(status.Information) +
                   ", more than its " + std::to_string(request->outputLength) + "-byte output buffer",
               std::source_location::current());
    }
    std::memcpy(request->output, irp->AssociatedIrp.SystemBuffer, status.Information);
    return;
  }
  // The driver wrote straight into the caller's memory.
  if (request->outputCopy != nullptr) std::memcpy(request->output, request->outputCopy.get(), request->outputLength);
}

void ReleaseIrp(PIRP irp) {
  const std::source_location site = std::source_location::current();
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    Pool::Instance().Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, true, site);
  }
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl, site);
    IoFreeMdl(mdl, site);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
  IrpTable::Instance().Erase(irp);
  Pool::Instance().Free(irp, kIrpTag, true, site);
}

// A synchronous failure leaves the OVERLAPPED and its event alone, as the
// I/O manager does; everything else is reported through them.
void ReportToCaller(PendingRequest *request, bool pendingReturned) {
  if (NT_ERROR(request->result.Status) && !pendingReturned) return;
  if (request->overlapped != nullptr) {
    request->overlapped->InternalHigh = request->result.Information;
    __atomic_store_n(&request->overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(request->result.Status)),
                     __ATOMIC_RELEASE);
  }
  if (request->event != nullptr) {
    Scheduler::Active()->SetEvent(&request->event->header);
  } else {
    KeSetEvent(&request->file->Event, IO_NO_INCREMENT, FALSE);
  }
}

// Drops the request's reference on the file. The last one sends
// IRP_MJ_CLOSE, which Windows does from the requesting thread's completion
// APC, never inside the driver's IoCompleteRequest (the driver may hold its
// locks there): here a thread of its own sends it.
std::mutex g_closeThreadsLock;
std::vector<std::shared_ptr<SimThread>> g_closeThreads;

void DropFileReference(PFILE_OBJECT file) {
  if (DereferenceFileObjectUnlessLast(file)) return;
  std::shared_ptr<SimThread> thread = Scheduler::Active()->Spawn(
      "file close", ThreadKind::SystemWorker, kSystemProcessId, [file] { DereferenceFileObject(file); });
  std::lock_guard<std::mutex> guard(g_closeThreadsLock);
  g_closeThreads.push_back(std::move(thread));
}

}  // namespace

void WaitForDeferredCloses() {
  if (Scheduler::Current() == nullptr) return;
  for (;;) {
    std::vector<std::shared_ptr<SimThread>> threads;
    {
      std::lock_guard<std::mutex> guard(g_closeThreadsLock);
      threads.swap(g_closeThreads);
    }
    if (threads.empty()) return;
    for (const std::shared_ptr<SimThread> &thread : threads) {
      KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
    }
  }
}

namespace {

void FinishUserRequest(PIRP irp, void *context) {
  auto *request = static_cast<PendingRequest *>(context);
  std::shared_ptr<PendingRequest> keep = Remove(request);
  PFILE_OBJECT file = request->file;
  {
    std::lock_guard<std::recursive_mutex> guard(request->cancelLock);
    request->result = irp->IoStatus;
    const bool pendingReturned = irp->PendingReturned != FALSE;
    CopyBack(request, irp);
    ReleaseIrp(irp);
    request->irp = nullptr;
    request->finished = true;
    ReportToCaller(request, pendingReturned);
  }
  KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
  DropFileReference(file);
}

bool AttachBuffers(PendingRequest *request, PIRP irp, PVOID input, ULONG inputLength) {
  const std::source_location site = std::source_location::current();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (request->method == METHOD_BUFFERED || request->method == METHOD_IN_DIRECT ||
      request->method == METHOD_OUT_DIRECT) {
    ULONG bytes = request->method == METHOD_BUFFERED ? std::max(inputLength, request->outputLength) : inputLength;
    if (bytes != 0) {
      PVOID buffer = Pool::Instance().Allocate(NonPagedPoolNx, bytes, kSystemBufferTag, site);
      if (buffer == nullptr) return false;
      std::memset(buffer, 0, bytes);
      if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (request->method == METHOD_BUFFERED && request->output != nullptr && request->outputLength != 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
    }
  } else if (input != nullptr && inputLength != 0) {
    request->inputCopy.reset(new UCHAR[inputLength]);
    std::memcpy(request->inputCopy.get(), input, inputLength);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = request->inputCopy.get();
  } else {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
  }
  irp->UserBuffer = request->output;
  if (request->method != METHOD_BUFFERED && request->output != nullptr && request->outputLength != 0) {
    request->outputCopy.reset(new UCHAR[request->outputLength]);
    std::memcpy(request->outputCopy.get(), request->output, request->outputLength);
    irp->UserBuffer = request->outputCopy.get();
    if (request->method != METHOD_NEITHER) {
      PMDL mdl = IoAllocateMdl(irp->UserBuffer, request->outputLength, FALSE, FALSE, irp, site);
      if (mdl == nullptr) return false;
      MmProbeAndLockPages(mdl, UserMode, request->method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess, site);
    }
  }
  return true;
}

}  // namespace

NTSTATUS SendUserDeviceControl(const std::shared_ptr<UserFile> &file, ULONG code, PVOID input, ULONG inputLength,
                               PVOID output, ULONG outputLength, LPOVERLAPPED overlapped, ULONG_PTR *information) {
  *information = 0;
  auto request = std::make_shared<PendingRequest>();
  request->file = file->File();
  request->thread = Scheduler::Current();
  request->method = METHOD_FROM_CTL_CODE(code);
  request->output = output;
  request->outputLength = outputLength;
  KeInitializeEvent(&request->done, NotificationEvent, FALSE);
  if (overlapped != nullptr) {
    // The lowest bit of the event handle only keeps the completion from a
    // completion port; the event is signalled either way.
    auto bits = reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1);
    if (bits != 0) {
      request->event = HandleTable::Instance().LookupAs<UserEvent>(reinterpret_cast<HANDLE>(bits));
      if (request->event == nullptr) return STATUS_INVALID_HANDLE;
      Scheduler::Active()->ResetEvent(&request->event->header);
    }
    request->overlapped = overlapped;
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
  }
  if (request->event == nullptr) KeClearEvent(&request->file->Event);
  PDEVICE_OBJECT target = FileTargetDevice(request->file);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  request->irp = irp;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = request->file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = request->file;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  if (!AttachBuffers(request.get(), irp, input, inputLength)) {
    ReleaseIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IrpTable::Instance().Insert(irp, IrpRecord{.fromPool = true, .threaded = true, .finish = FinishUserRequest,
                                             .finishContext = request.get(), .inputCopy = request->inputCopy.get(),
                                             .callerInput = input, .outputCopy = request->outputCopy.get(),
                                             .callerOutput = output});
  ReferenceFileObject(request->file);
  {
    std::lock_guard<std::mutex> guard(InFlight().lock);
    InFlight().inFlight.push_back(request);
  }
  NTSTATUS status = IoCallDriver(target, irp);
  if (status == STATUS_PENDING && overlapped != nullptr && file->Overlapped()) return STATUS_PENDING;
  KeWaitForSingleObject(&request->done, UserRequest, UserMode, FALSE, nullptr);
  *information = request->result.Information;
  return request->result.Status;
}

void CancelThreadRequests(SimThread *thread, PFILE_OBJECT file) {
  std::vector<std::shared_ptr<PendingRequest>> mine;
  {
    std::lock_guard<std::mutex> guard(InFlight().lock);
    for (const auto &request : InFlight().inFlight) {
      if (request->thread == thread && (file == nullptr || request->file == file)) mine.push_back(request);
    }
  }
  for (const auto &request : mine) {
    std::lock_guard<std::recursive_mutex> guard(request->cancelLock);
    if (!request->finished) IoCancelIrp(request->irp);
  }
  for (const auto &request : mine) KeWaitForSingleObject(&request->done, UserRequest, UserMode, FALSE, nullptr);
}

size_t UserRequestsInFlight() {
  std::lock_guard<std::mutex> guard(InFlight().lock);
  return InFlight().inFlight.size();
}

}  // namespace winsim
