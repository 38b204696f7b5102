// Pipe requests: ABORT_PIPE, the reset-pipe family and the frame number.
#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {

// Every pending transfer of the pipe completes as cancelled; the abort
// itself completes once the last of them has, as the stack's does.
NTSTATUS HandleAbortPipe(UsbPdo &pdo, PIRP irp, PURB urb) {
  std::optional<PipeInfo> pipe = pdo.FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  bool queued = pdo.WaitForEndpointDrain(pipe->endpoint, irp);
  pdo.AbortEndpoints({pipe->endpoint});
  return queued ? STATUS_PENDING : CompleteUrbNow(irp, urb, USBD_STATUS_SUCCESS);
}

// Resets the host side of a pipe, and for the stall-clearing variants sends
// CLEAR_FEATURE(ENDPOINT_HALT) to a bulk or interrupt endpoint (isochronous
// endpoints cannot halt). The pipe must have no transfer pending.
NTSTATUS HandleResetPipe(UsbPdo &pdo, PIRP irp, PURB urb) {
  std::optional<PipeInfo> pipe = pdo.FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (pdo.InFlight(pipe->endpoint) != 0) return CompleteUrbNow(irp, urb, USBD_STATUS_ERROR_BUSY);
  // With nothing pending this only forgets where the next ASAP transfer goes.
  pdo.AbortEndpoints({pipe->endpoint});
  bool clearStall = urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE;
  if (!clearStall || pipe->type == UsbdPipeTypeIsochronous) return CompleteUrbNow(irp, urb, USBD_STATUS_SUCCESS);
  SetupPacket setup{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->endpoint, 0};
  return SendNoDataRequest(pdo, irp, urb, setup, nullptr);
}

NTSTATUS HandleCurrentFrame(UsbPdo &pdo, PIRP irp, PURB urb) {
  urb->UrbGetCurrentFrameNumber.FrameNumber = pdo.Controller().CurrentFrame();
  return CompleteUrbNow(irp, urb, USBD_STATUS_SUCCESS);
}

}  // namespace winsim::usb
