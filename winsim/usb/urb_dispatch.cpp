// IRP_MJ_INTERNAL_DEVICE_CONTROL on a hub PDO: IOCTL_INTERNAL_USB_SUBMIT_URB
// checks the URB header against its function and routes it to its handler.
#include <usbioctl.h>

#include <iterator>

#include "winsim/kernel/pool.h"
#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {
namespace {

// Header lengths as the stack demands them: fixed-size requests must carry
// exactly their structure's size; 0 marks the variable-length ones, whose
// handlers check the length against their contents.
struct UrbRoute {
  USHORT function;
  USHORT length;
  UrbHandler handler;
};

constexpr USHORT kControlLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT kVendorLength = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr USHORT kPipeLength = sizeof(struct _URB_PIPE_REQUEST);

constexpr UrbRoute kRoutes[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, 0, HandleSelectConfiguration},
    {URB_FUNCTION_SELECT_INTERFACE, 0, HandleSelectInterface},
    {URB_FUNCTION_ABORT_PIPE, kPipeLength, HandleAbortPipe},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kPipeLength, HandleResetPipe},
    {URB_FUNCTION_SYNC_RESET_PIPE, kPipeLength, HandleResetPipe},
    {URB_FUNCTION_SYNC_CLEAR_STALL, kPipeLength, HandleResetPipe},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER), HandleCurrentFrame},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(struct _URB_CONTROL_TRANSFER), HandleControlTransfer},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), HandleBulkOrInterrupt},
    {URB_FUNCTION_ISOCH_TRANSFER, 0, HandleIsochTransfer},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kControlLength, HandleGetDescriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kControlLength, HandleGetDescriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, kControlLength, HandleGetDescriptor},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), HandleFeature},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), HandleGetStatus},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), HandleGetStatus},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), HandleGetStatus},
    {URB_FUNCTION_VENDOR_DEVICE, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_VENDOR_INTERFACE, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_VENDOR_ENDPOINT, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_VENDOR_OTHER, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_CLASS_DEVICE, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_CLASS_INTERFACE, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_CLASS_ENDPOINT, kVendorLength, HandleVendorOrClass},
    {URB_FUNCTION_CLASS_OTHER, kVendorLength, HandleVendorOrClass},
};

const UrbRoute *RouteOf(USHORT function) {
  for (const UrbRoute &route : kRoutes) {
    if (route.function == function) return &route;
  }
  return nullptr;
}

NTSTATUS SubmitUrb(UsbPdo &pdo, PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  // A device that has gone, or a stack the hub was told to remove, gets
  // nothing more on the bus.
  if (!pdo.AcceptsUrbs()) return CompleteUrbNow(irp, urb, USBD_STATUS_DEVICE_GONE);
  // A suspended device answers nothing: the hub fails the request at once.
  if (pdo.RefuseWhilePoweredDown()) return CompleteUrbNow(irp, urb, USBD_STATUS_DEVICE_GONE);
  // The controller writes the URB back at DISPATCH_LEVEL when it completes.
  RequireNonPaged(urb, sizeof(urb->UrbHeader), "URB", std::source_location::current());
  const UrbRoute *route = RouteOf(urb->UrbHeader.Function);
  if (route == nullptr) return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  if (route->length != 0 && urb->UrbHeader.Length != route->length) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  return route->handler(pdo, irp, urb);
}

// IOCTL_INTERNAL_USB_GET_PORT_STATUS: Argument1 points to a ULONG.
NTSTATUS PortStatus(UsbPdo &pdo, PIRP irp) {
  auto *bits = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (bits != nullptr) {
    *bits = pdo.Present() ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

uint8_t *UrbTransferData(PVOID buffer, PMDL mdl) {
  if (mdl != nullptr) return static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  if (buffer != nullptr) RequireNonPaged(buffer, 1, "URB transfer buffer", std::source_location::current());
  return static_cast<uint8_t *>(buffer);
}

NTSTATUS UsbPdo::DispatchInternalDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(*this, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return PortStatus(*this, irp);
    default: break;
  }
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace winsim::usb
