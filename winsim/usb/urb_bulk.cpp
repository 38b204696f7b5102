// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER. An IN transfer that ends short of
// its buffer is an error unless the driver set USBD_SHORT_TRANSFER_OK; the
// bytes that did arrive are reported either way.
#include <memory>

#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {

NTSTATUS HandleBulkOrInterrupt(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbBulkOrInterruptTransfer;
  std::optional<PipeInfo> pipe = pdo.FindPipe(r.PipeHandle);
  if (!pipe) return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  uint8_t *data = UrbTransferData(r.TransferBuffer, r.TransferBufferMDL);
  bool bulkOrInterrupt = pipe->type == UsbdPipeTypeBulk || pipe->type == UsbdPipeTypeInterrupt;
  if (!bulkOrInterrupt || (r.TransferBufferLength != 0 && data == nullptr)) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  auto request = std::make_unique<UrbRequest>(pdo, irp, urb);
  Transfer &t = request->transfer;
  t.kind = pipe->type == UsbdPipeTypeBulk ? TransferKind::Bulk : TransferKind::Interrupt;
  t.endpoint = pipe->endpoint;
  t.buffer = data;
  t.length = r.TransferBufferLength;
  t.maxPacket = pipe->maxPacketBytes;
  t.intervalMicroframes = pipe->intervalMicroframes;
  const bool in = (pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  const bool shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  const ULONG requested = r.TransferBufferLength;
  request->finisher = [in, shortOk, requested](UrbRequest &done) {
    const Transfer &result = done.transfer;
    done.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = result.actualLength;
    if (USBD_SUCCESS(result.status) && in && !shortOk && result.actualLength < requested) {
      return USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
    return result.status;
  };
  return UrbRequest::Send(std::move(request));
}

}  // namespace winsim::usb
