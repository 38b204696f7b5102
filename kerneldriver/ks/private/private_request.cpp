#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/kernel_support.h"

NTSTATUS PrivateRequestOpen(PIRP irp, PKSIDENTIFIER identifier, PVOID value, ULONG minRequest,
                            PrivateRequest *request) {
  QavZeroMemory(request, sizeof(*request));
  if (irp == nullptr || identifier == nullptr) return STATUS_INVALID_PARAMETER;
  request->irp = irp;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  request->requestLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request->valueLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request->request = reinterpret_cast<const UCHAR *>(identifier);
  request->value = static_cast<PUCHAR>(value);
  if (request->requestLength < minRequest) return STATUS_INVALID_PARAMETER;
  if (request->valueLength != 0 && request->value == nullptr) return STATUS_INVALID_PARAMETER;
  if (request->valueLength == 0) request->value = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS PrivateRequestBindDevice(PrivateRequest *request) {
  PKSFILTER filter = KsGetFilterFromIrp(request->irp);
  if (filter == nullptr || filter->Context == nullptr) return STATUS_INVALID_PARAMETER;
  request->device = static_cast<UsbAudioDevice *>(filter->Context);
  return STATUS_SUCCESS;
}

bool PrivateRequestIsFor(const KSIDENTIFIER *identifier, const GUID &set) {
  const auto *a = reinterpret_cast<const UCHAR *>(&identifier->Set);
  const auto *b = reinterpret_cast<const UCHAR *>(&set);
  for (ULONG i = 0; i < sizeof(GUID); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

NTSTATUS PrivateRequestClose(PrivateRequest *request, NTSTATUS status) {
  if (request->irp != nullptr) request->irp->IoStatus.Information = NT_ERROR(status) ? 0 : request->returned;
  return status;
}

ULONG PrivateReadU32(const PrivateRequest *request) { return QavReadLe32(request->value); }

NTSTATUS PrivateReturnU32(PrivateRequest *request, ULONG value) {
  if (request->valueLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  QavCopyMemory(request->value, &value, sizeof(value));
  request->returned = sizeof(value);
  return STATUS_SUCCESS;
}

NTSTATUS PrivateReturnU32Array(PrivateRequest *request, const ULONG *values, ULONG count) {
  const ULONG needed = count * static_cast<ULONG>(sizeof(ULONG));
  if (request->valueLength == 0) {
    request->returned = needed;
    return needed == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
  }
  const ULONG fit = QavMin(count, request->valueLength / static_cast<ULONG>(sizeof(ULONG)));
  if (fit > 0) QavCopyMemory(request->value, values, fit * sizeof(ULONG));
  request->returned = fit * static_cast<ULONG>(sizeof(ULONG));
  return fit < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
