// URBs that become control transfers on the default pipe: descriptor reads,
// vendor and class requests, raw control transfers, GET_STATUS and features.
#include <memory>

#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {
namespace {

constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;

// Recipient bits of bmRequestType for a URB function's target.
uint8_t RecipientOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE: return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT: return BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER: return BMREQUEST_TO_OTHER;
    default: return BMREQUEST_TO_DEVICE;
  }
}

bool IsClassFunction(USHORT function) {
  return function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_CLASS_INTERFACE ||
         function == URB_FUNCTION_CLASS_ENDPOINT || function == URB_FUNCTION_CLASS_OTHER;
}

// A control transfer with a data stage of *length bytes; *length receives
// the bytes that moved. wLength always follows the buffer, so a device can
// never write past it.
NTSTATUS SendControl(UsbPdo &pdo, PIRP irp, PURB urb, SetupPacket setup, PVOID buffer, PMDL mdl, ULONG *length) {
  uint8_t *data = UrbTransferData(buffer, mdl);
  if (*length > UINT16_MAX || (*length != 0 && data == nullptr)) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  setup.wLength = static_cast<uint16_t>(*length);
  auto request = std::make_unique<UrbRequest>(pdo, irp, urb);
  request->transfer.kind = TransferKind::Control;
  request->transfer.endpoint = 0;
  request->transfer.setup = setup;
  request->transfer.buffer = data;
  request->transfer.length = *length;
  request->finisher = [length](UrbRequest &r) {
    *length = r.transfer.actualLength;
    return r.transfer.status;
  };
  return UrbRequest::Send(std::move(request));
}

}  // namespace

NTSTATUS HandleGetDescriptor(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbControlDescriptorRequest;
  SetupPacket setup{static_cast<uint8_t>(0x80 | RecipientOf(urb->UrbHeader.Function)), USB_REQUEST_GET_DESCRIPTOR,
                    static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId, 0};
  return SendControl(pdo, irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
}

NTSTATUS HandleVendorOrClass(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbControlVendorClassRequest;
  uint8_t direction = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
  uint8_t type = IsClassFunction(urb->UrbHeader.Function) ? kTypeClass : kTypeVendor;
  SetupPacket setup{static_cast<uint8_t>(direction | type | RecipientOf(urb->UrbHeader.Function) |
                                         r.RequestTypeReservedBits),
                    r.Request, r.Value, r.Index, 0};
  return SendControl(pdo, irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
}

NTSTATUS HandleControlTransfer(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbControlTransfer;
  // Only the default pipe carries control transfers on these devices.
  if (r.PipeHandle != nullptr) {
    USBD_STATUS status = pdo.FindPipe(r.PipeHandle) ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_INVALID_PIPE_HANDLE;
    return CompleteUrbNow(irp, urb, status);
  }
  if ((r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  const UCHAR *bytes = r.SetupPacket;
  SetupPacket setup{bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
                    static_cast<uint16_t>(bytes[4] | bytes[5] << 8), 0};
  return SendControl(pdo, irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
}

NTSTATUS HandleGetStatus(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbControlGetStatusRequest;
  SetupPacket setup{static_cast<uint8_t>(0x80 | RecipientOf(urb->UrbHeader.Function)), USB_REQUEST_GET_STATUS, 0,
                    r.Index, 0};
  return SendControl(pdo, irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
}

NTSTATUS HandleFeature(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbControlFeatureRequest;
  USHORT function = urb->UrbHeader.Function;
  bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
             function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
  SetupPacket setup{RecipientOf(function), static_cast<uint8_t>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                    r.FeatureSelector, r.Index, 0};
  return SendNoDataRequest(pdo, irp, urb, setup, nullptr);
}

NTSTATUS SendNoDataRequest(UsbPdo &pdo, PIRP irp, PURB urb, const SetupPacket &setup,
                           std::function<USBD_STATUS(const Transfer &)> finisher) {
  auto request = std::make_unique<UrbRequest>(pdo, irp, urb);
  request->transfer.kind = TransferKind::Control;
  request->transfer.endpoint = 0;
  request->transfer.setup = setup;
  request->transfer.setup.wLength = 0;
  if (finisher) {
    request->finisher = [finisher = std::move(finisher)](UrbRequest &r) { return finisher(r.transfer); };
  }
  return UrbRequest::Send(std::move(request));
}

}  // namespace winsim::usb
