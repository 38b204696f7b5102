// The USB method set: descriptor reads and raw control transfers on the
// default pipe for clients. The data stage of every request is the method's
// data buffer as the request brought it, never longer.
#include "kerneldriver/ks/private/private_properties.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/private/private_request.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kControlTransferTimeoutMs = 10000;
// Flags a client may pass down; anything else is not the client's to set.
constexpr ULONG kClientTransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_DEFAULT_PIPE_TRANSFER;

static_assert(UAC_TRANSFER_DIRECTION_IN == USBD_TRANSFER_DIRECTION_IN, "transfer flag values are USBD's");
static_assert(UAC_TRANSFER_DEFAULT_PIPE == USBD_DEFAULT_PIPE_TRANSFER, "transfer flag values are USBD's");

// The cached configuration descriptor: the size query without a buffer,
// else as much as fits (STATUS_BUFFER_OVERFLOW when that is not all of it).
NTSTATUS CopyConfiguration(PrivateRequest *request) {
  const UsbDeviceConfig &config = request->device->config;
  if (config.configDescriptor == nullptr || config.configLength == 0) return STATUS_INTERNAL_ERROR;
  if (request->valueLength == 0) {
    request->returned = config.configLength;
    return STATUS_BUFFER_OVERFLOW;
  }
  const ULONG copied = QavMin(request->valueLength, config.configLength);
  QavCopyMemory(request->value, config.configDescriptor, copied);
  request->returned = copied;
  return copied < config.configLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

const KSMETHOD_ITEM kPrivateMethodItems[kPrivateMethodCount] = {
    {KSMETHOD_UAC_GET_DESCRIPTOR, {PrivateMethod}, sizeof(KSM_UAC_DESCRIPTOR), 0, nullptr, KSMETHOD_TYPE_WRITE},
    {KSMETHOD_UAC_CONTROL_TRANSFER, {PrivateMethod}, sizeof(KSM_UAC_CONTROL_TRANSFER), 0, nullptr,
     KSMETHOD_TYPE_MODIFY},
};

// Other descriptor types are read from the device into the whole data
// buffer, which is answered whole: bytes the device did not send read as
// zeros.
NTSTATUS GetDescriptorMethod(PrivateRequest *request) {
  if (request->requestLength < sizeof(KSM_UAC_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;
  const auto *method = reinterpret_cast<const KSM_UAC_DESCRIPTOR *>(request->request);
  if (method->DescriptorType == kDescriptorTypeConfiguration) return CopyConfiguration(request);
  if (request->valueLength > kMaxControlDataBytes) return STATUS_INVALID_PARAMETER;
  if (request->valueLength != 0) QavZeroMemory(request->value, request->valueLength);
  NTSTATUS status = UsbGetDescriptor(&request->device->config, method->DescriptorType, method->DescriptorIndex,
                                     method->LanguageId, request->value, request->valueLength, nullptr);
  if (NT_SUCCESS(status)) request->returned = request->valueLength;
  return status;
}

NTSTATUS ControlTransferMethod(PrivateRequest *request) {
  if (request->requestLength < sizeof(KSM_UAC_CONTROL_TRANSFER)) return STATUS_INVALID_PARAMETER;
  const auto *method = reinterpret_cast<const KSM_UAC_CONTROL_TRANSFER *>(request->request);
  if (method->Reserved != 0 || (method->TransferFlags & UAC_TRANSFER_DEFAULT_PIPE) == 0) return STATUS_NOT_SUPPORTED;
  if (request->valueLength > kMaxControlDataBytes) return STATUS_INVALID_PARAMETER;
  URB urb;
  QavZeroMemory(&urb, sizeof(urb));
  struct _URB_CONTROL_TRANSFER &transfer = urb.UrbControlTransfer;
  transfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
  transfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
  transfer.TransferFlags = method->TransferFlags & kClientTransferFlags;
  transfer.TransferBufferLength = request->valueLength;
  transfer.TransferBuffer = request->value;
  QavCopyMemory(transfer.SetupPacket, method->SetupPacket, sizeof(transfer.SetupPacket));
  NTSTATUS status = UsbSubmitUrb(&request->device->config, &urb, kControlTransferTimeoutMs);
  if (NT_SUCCESS(status)) {
    const bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    request->returned = in ? QavMin(transfer.TransferBufferLength, request->valueLength) : 0;
  }
  return status;
}

NTSTATUS PrivateMethod(PIRP irp, PKSIDENTIFIER identifier, PVOID data) {
  PrivateRequest request;
  NTSTATUS status = PrivateRequestOpen(irp, identifier, data, sizeof(KSMETHOD), &request);
  if (NT_SUCCESS(status) && !PrivateRequestIsFor(identifier, KSMETHODSETID_UacUsb)) status = STATUS_NOT_IMPLEMENTED;
  if (NT_SUCCESS(status) && identifier->Id != KSMETHOD_UAC_GET_DESCRIPTOR &&
      identifier->Id != KSMETHOD_UAC_CONTROL_TRANSFER) {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) status = PrivateRequestBindDevice(&request);
  if (NT_SUCCESS(status)) {
    status = identifier->Id == KSMETHOD_UAC_GET_DESCRIPTOR ? GetDescriptorMethod(&request)
                                                           : ControlTransferMethod(&request);
  }
  return PrivateRequestClose(&request, status);
}
