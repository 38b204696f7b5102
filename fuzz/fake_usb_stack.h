// The USB stack below the driver in device_model_fuzzer: a device object of
// a small bus driver ("QavFuzzUsb") that answers IOCTL_INTERNAL_USB_SUBMIT_URB
// and the USB bus interface query at once, from a UsbFunction, without a
// host controller, a PnP manager or virtual time passing — except for a
// request the device never answers (Handshake::Nak), which stays pending
// until the driver cancels it.
//
// It holds the driver to what the Windows USB stack checks: URB header
// lengths, transfer buffers, configuration and interface selections whose
// interface information matches the configuration descriptor the driver
// passes (winsim's PipeTable describes the settings and issues the
// handles), pipe handles of the selected settings only. After a run it
// reports what the driver left behind: pending requests, bus interface
// references, a configuration not undone.
//
// A second device of the same driver stands in for the driver's functional
// device object (work items are allocated against it).
//
// Threading: PASSIVE_LEVEL, one run at a time, on the thread that created it
// (a simulated thread of the running Machine); only IoCancelIrp may come from
// elsewhere.
#pragma once
#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/usb/pipe_table.h"
#include "winsim/usb/usb_function.h"

namespace qavfuzz {

struct StackOptions {
  bool completeInline = false;    // complete without STATUS_PENDING (a real stack always pends)
  uint8_t busInterfaceVersions = 0x7;  // bit n: version n of the bus interface is granted
};

class FakeUsbStack {
 public:
  FakeUsbStack();
  ~FakeUsbStack();
  FakeUsbStack(const FakeUsbStack &) = delete;
  FakeUsbStack &operator=(const FakeUsbStack &) = delete;

  // The device the driver sends its requests to.
  PDEVICE_OBJECT LowerDevice() const { return m_lower; }
  // Stands in for the driver's functional device object.
  PDEVICE_OBJECT FunctionDevice() const { return m_function; }

  // The device answering from now on; fresh state (unconfigured, no
  // references).
  void Plug(winsim::usb::UsbFunction *device, StackOptions options);
  // What the driver left behind; empty when nothing.
  std::string Leftovers() const;
  // Completes whatever is still pending (cancelled) and forgets the device.
  void Unplug();

  // Every SELECT_CONFIGURATION the stack accepted in this run gave it a
  // configuration descriptor whose isochronous endpoints all have bInterval
  // of at most this; 0 when there was none.
  uint8_t HighestIsochronousInterval() const { return m_highestIsoInterval; }

 private:
  struct BusContext {
    uint32_t magic;
    FakeUsbStack *stack;
  };

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static void CancelPending(PDEVICE_OBJECT device, PIRP irp);
  static VOID Reference(PVOID context);
  static VOID Dereference(PVOID context);
  static BOOLEAN IsHighSpeed(PVOID context);
  static FakeUsbStack *FromContext(PVOID context);

  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS QueryInterface(PIRP irp);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS SelectInterface(PIRP irp, PURB urb);
  NTSTATUS Control(PIRP irp, PURB urb, const winsim::usb::SetupPacket &setup, PVOID buffer, PMDL mdl,
                   ULONG *length);
  NTSTATUS BulkOrInterrupt(PIRP irp, PURB urb);
  NTSTATUS PipeRequest(PIRP irp, PURB urb);
  // Ends a request the stack answered now: pending first unless inline.
  NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS status);
  // Keeps the request until it is cancelled.
  NTSTATUS Hold(PIRP irp, PURB urb);
  // A standard request without data (SET_CONFIGURATION, SET_INTERFACE).
  winsim::usb::Handshake NoDataRequest(uint8_t recipient, uint8_t request, uint16_t value, uint16_t index);
  bool HighSpeed() const;
  bool PipeOpen(USBD_PIPE_HANDLE handle) const;
  void NoteIsochronousIntervals(const std::vector<uint8_t> &configuration);

  PDRIVER_OBJECT m_driver = nullptr;
  PDEVICE_OBJECT m_lower = nullptr;
  PDEVICE_OBJECT m_function = nullptr;
  BusContext m_busContext{};

  winsim::usb::UsbFunction *m_device = nullptr;
  StackOptions m_options;
  winsim::usb::PipeTable m_pipes;
  std::atomic<LONG> m_references{0};
  uint8_t m_highestIsoInterval = 0;

  mutable std::mutex m_lock;  // m_held against a cancel routine
  std::vector<PIRP> m_held;
};

}  // namespace qavfuzz
