#include "winsim/usb/urb_request.h"

#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY: return STATUS_DEVICE_BUSY;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS CompleteUrbNow(PIRP irp, PURB urb, USBD_STATUS status) {
  if (urb != nullptr) urb->UrbHeader.Status = status;
  NTSTATUS result = NtStatusFromUsbd(status);
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}

NTSTATUS UrbRequest::Send(std::unique_ptr<UrbRequest> owned) {
  UrbRequest *request = owned.release();
  UsbPdo &pdo = request->pdo;
  request->urb->UrbHeader.Status = USBD_STATUS_PENDING;
  request->m_references.store(2, std::memory_order_relaxed);  // this path and the host controller's callback
  request->transfer.onComplete = [request](Transfer &) { request->HostDone(); };
  request->irp->Tail.Overlay.DriverContext[0] = request;
  pdo.TransferStarted(request->transfer.endpoint);
  int32_t accepted = pdo.Controller().Submit(pdo.Port(), &request->transfer);
  if (accepted != USBD_STATUS_PENDING) {
    request->transfer.status = accepted;
    return request->Complete(false);
  }
  IoMarkIrpPending(request->irp);
  request->Arm();
  // A PnP removal that ran while the transfer was being queued has already
  // aborted the pipes: this one must not stay behind.
  if (!pdo.AcceptsUrbs()) pdo.Controller().Cancel(&request->transfer);
  request->Release();
  return STATUS_PENDING;
}

// The cancel routine goes in only while the host controller still holds the
// transfer; once its callback ran, the IRP is about to complete anyway.
void UrbRequest::Arm() {
  bool cancelNow = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hostDone) return;
    IoSetCancelRoutine(irp, &UrbRequest::CancelRoutine);
    m_armed = true;
    // IoCancelIrp that came before the routine was set only flagged the IRP.
    cancelNow = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
  }
  if (cancelNow) pdo.Controller().Cancel(&transfer);
}

// Cancel spin lock held on entry. The reference taken before the lock is
// released keeps the request alive: HostDone waits for that lock when it
// finds the routine already claimed.
void UrbRequest::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  auto *request = static_cast<UrbRequest *>(irp->Tail.Overlay.DriverContext[0]);
  request->m_references.fetch_add(1, std::memory_order_relaxed);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  request->pdo.Controller().Cancel(&request->transfer);
  request->Release();
}

void UrbRequest::HostDone() {
  bool armed;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hostDone = true;
    armed = m_armed;
  }
  if (armed && IoSetCancelRoutine(irp, nullptr) == nullptr) {
    // IoCancelIrp claimed the routine; once it lets go of the cancel spin
    // lock the routine holds its own reference.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  Release();
}

void UrbRequest::Release() {
  if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) Complete(true);
}

// The URB and IRP belong to the driver again after IoCompleteRequest, and the
// request is gone by then.
NTSTATUS UrbRequest::Complete(bool asynchronous) {
  USBD_STATUS status = finisher ? finisher(*this) : transfer.status;
  urb->UrbHeader.Status = status;
  NTSTATUS result = NtStatusFromUsbd(status);
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  PIRP done = irp;
  std::vector<PIRP> drained = pdo.TransferFinished(transfer.endpoint, asynchronous);
  delete this;
  // Completions of transfers that went over the bus reach drivers at
  // DISPATCH_LEVEL, whichever thread let go last.
  KIRQL irql = KeGetCurrentIrql();
  bool raise = asynchronous && irql < DISPATCH_LEVEL;
  if (raise) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  IoCompleteRequest(done, IO_NO_INCREMENT);
  UsbPdo::CompleteDrained(drained);
  if (raise) KeLowerIrql(irql);
  return result;
}

}  // namespace winsim::usb
