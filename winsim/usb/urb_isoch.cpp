// URB_FUNCTION_ISOCH_TRANSFER: the URB's own packet array goes to the host
// controller as it is, which writes each packet's status (and, for IN, the
// bytes received) into it as the packet's microframe is served.
#include <cstddef>
#include <memory>

#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {

static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == sizeof(IsoPacket) &&
                  offsetof(USBD_ISO_PACKET_DESCRIPTOR, Offset) == offsetof(IsoPacket, offset) &&
                  offsetof(USBD_ISO_PACKET_DESCRIPTOR, Length) == offsetof(IsoPacket, length) &&
                  offsetof(USBD_ISO_PACKET_DESCRIPTOR, Status) == offsetof(IsoPacket, status),
              "the host controller serves a URB's packet descriptors in place");

namespace {

constexpr size_t kPacketsOffset = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);

// Packets the bus never reached (the transfer was cancelled or the device
// left) carry the transfer's status; ErrorCount counts every failed packet.
USBD_STATUS FinishIsoch(UrbRequest &request) {
  Transfer &t = request.transfer;
  auto &r = request.urb->UrbIsochronousTransfer;
  ULONG errors = 0;
  for (uint32_t i = 0; i < t.packetCount; ++i) {
    if (t.packets[i].status == USBD_STATUS_PENDING) t.packets[i].status = USBD_SUCCESS(t.status) ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : t.status;
    if (!USBD_SUCCESS(t.packets[i].status)) ++errors;
  }
  r.StartFrame = t.startFrame;
  r.ErrorCount = errors;
  r.TransferBufferLength = t.actualLength;
  return t.status;
}

}  // namespace

NTSTATUS HandleIsochTransfer(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbIsochronousTransfer;
  size_t needed = kPacketsOffset + size_t{r.NumberOfPackets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  if (urb->UrbHeader.Length < kPacketsOffset || r.NumberOfPackets == 0 || urb->UrbHeader.Length < needed) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  std::optional<PipeInfo> pipe = pdo.FindPipe(r.PipeHandle);
  if (!pipe) return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  uint8_t *data = UrbTransferData(r.TransferBuffer, r.TransferBufferMDL);
  if (pipe->type != UsbdPipeTypeIsochronous || data == nullptr) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  auto request = std::make_unique<UrbRequest>(pdo, irp, urb);
  Transfer &t = request->transfer;
  t.kind = TransferKind::Isochronous;
  t.endpoint = pipe->endpoint;
  t.buffer = data;
  t.length = r.TransferBufferLength;
  t.maxPacket = pipe->maxPacketBytes;
  t.intervalMicroframes = pipe->intervalMicroframes;
  t.asap = (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0;
  t.startFrame = r.StartFrame;
  t.packets = reinterpret_cast<IsoPacket *>(r.IsoPacket);
  t.packetCount = r.NumberOfPackets;
  request->finisher = FinishIsoch;
  return UrbRequest::Send(std::move(request));
}

}  // namespace winsim::usb
