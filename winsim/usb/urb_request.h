// One URB on its way through the host controller: the Transfer built from it,
// the IRP that carries it, and the bookkeeping that completes the IRP exactly
// once whichever of the host controller, IoCancelIrp and the submitting
// dispatch routine gets there last.
//
// Ownership: Send takes the request. It stays alive until the IRP has been
// completed: the submitting path, the host controller's callback and a
// running cancel routine each hold a reference, and the last one to let go
// completes the IRP and frees the request.
#pragma once
#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "winsim/usb/host_controller.h"

namespace winsim::usb {

class UsbPdo;

// The IRP status a function driver sees for a URB status, as the Windows USB
// stack maps them: success, cancellation and a vanished device keep their
// meaning, bad requests become STATUS_INVALID_PARAMETER, and bus errors
// (stall, no answer, bad start frame …) STATUS_UNSUCCESSFUL.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

// Completes a URB that never reaches the bus, in the dispatch routine.
// Returns the IRP's status.
NTSTATUS CompleteUrbNow(PIRP irp, PURB urb, USBD_STATUS status);

class UrbRequest {
 public:
  // Writes the transfer's results into the URB and returns the URB's final
  // USBD status. Runs once, before the IRP completes; at DISPATCH_LEVEL when
  // the transfer went through the bus.
  using Finisher = std::function<USBD_STATUS(UrbRequest &)>;

  UrbRequest(UsbPdo &pdo, PIRP irp, PURB urb) : pdo(pdo), irp(irp), urb(urb) {}
  UrbRequest(const UrbRequest &) = delete;
  UrbRequest &operator=(const UrbRequest &) = delete;

  // Hands the transfer to the host controller. STATUS_PENDING when the IRP
  // will complete later (it is marked pending); otherwise the IRP has been
  // completed already with the returned status (refused at submission).
  static NTSTATUS Send(std::unique_ptr<UrbRequest> request);

  UsbPdo &pdo;
  const PIRP irp;
  const PURB urb;
  Transfer transfer;
  Finisher finisher;  // null: the URB status is the transfer's

 private:
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void Arm();
  void HostDone();
  void Release();
  NTSTATUS Complete(bool asynchronous);

  std::atomic<int> m_references{0};
  std::mutex m_lock;  // orders arming the cancel routine against the host controller's callback
  bool m_armed = false;
  bool m_hostDone = false;
};

}  // namespace winsim::usb
