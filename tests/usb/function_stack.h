// The test function driver ("QavUsbTest"): its device sits on a hub PDO and
// passes every IRP down, and the helpers send URBs and PnP IRPs through it
// the way drivers and the PnP manager do.
#pragma once
#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <functional>

#include "winsim/usb/usb_function.h"

namespace usbtest {

using winsim::usb::VTime;

// Loads the test driver; UnloadDriver it when done (that checks for leaks).
PDRIVER_OBJECT LoadFunctionDriver();

// The test function driver's device on top of a PDO: every IRP passes down.
class FunctionStack {
 public:
  FunctionStack(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  ~FunctionStack();

  PDEVICE_OBJECT Top() const { return m_fdo; }
  PDEVICE_OBJECT Pdo() const { return m_pdo; }

  // The driver's synchronous pattern: send, wait up to timeoutMs, on expiry
  // cancel, wait for the IRP to come back and return STATUS_TIMEOUT;
  // otherwise the IRP's status.
  NTSTATUS SubmitUrb(PURB urb, LONGLONG timeoutMs = 1000);
  // A PnP IRP down the stack; status preset to STATUS_NOT_SUPPORTED as the PnP manager does.
  NTSTATUS Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {},
               ULONG_PTR *information = nullptr);
  NTSTATUS Power(UCHAR minor);
  // REMOVE_DEVICE down the stack, then detach and delete the function device.
  void Remove();
  bool Removed() const { return m_fdo == nullptr; }

 private:
  PDEVICE_OBJECT m_pdo;
  PDEVICE_OBJECT m_fdo = nullptr;
  PDEVICE_OBJECT m_lower = nullptr;
};

// An IRP from IoAllocateIrp carrying one URB, whose completion routine
// records when, at which IRQL and how it came back.
class AsyncUrb {
 public:
  AsyncUrb(PDEVICE_OBJECT top, PURB urb);
  ~AsyncUrb();
  NTSTATUS Send();
  bool Done() const { return m_done.load(); }
  PIRP Irp() const { return m_irp; }
  NTSTATUS Status() const { return m_status; }
  VTime CompletedAt() const { return m_completedAt; }
  KIRQL Irql() const { return m_irql; }

 private:
  static NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT m_top;
  PURB m_urb;
  PIRP m_irp;
  std::atomic<bool> m_done{false};
  NTSTATUS m_status = STATUS_PENDING;
  VTime m_completedAt = -1;
  KIRQL m_irql = 0xFF;
};

}  // namespace usbtest
