#include "kerneldriver/usb/usb_transport.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}: USB_BUS_INTERFACE_USBDI_GUID, held
// here so the driver needs no GUID definitions from a library.
QAV_DEFINE_GUID(kUsbBusInterfaceGuid, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6);

constexpr USBD_STATUS kUrbStatusUnset = static_cast<USBD_STATUS>(0xFFFFFFFF);

NTSTATUS WaitForRequest(PKEVENT event, PIRP irp, ULONG timeoutMs) {
  if (timeoutMs == kNoTimeout) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
  }
  LARGE_INTEGER timeout = QavRelativeMilliseconds(timeoutMs);
  NTSTATUS waited = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
  if (waited != STATUS_TIMEOUT) return STATUS_SUCCESS;
  IoCancelIrp(irp);
  KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
  return STATUS_IO_TIMEOUT;
}

// Completion of the driver's own synchronous requests: the waiter keeps the IRP.
NTSTATUS RequestCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PipeRequest(UsbDeviceConfig *config, USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb;
  QavZeroMemory(&urb, sizeof(urb));
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return UsbSubmitUrb(config, &urb, kUsbTimeoutMs);
}

}  // namespace

// The IRP is the driver's own and comes back to it through RequestCompleted
// whatever happens, so a time-out can cancel it without racing its
// completion: it is freed only after the completion has signalled.
NTSTATUS UsbSubmitUrb(UsbDeviceConfig *config, PURB urb, ULONG timeoutMs) {
  PDEVICE_OBJECT lower = UsbLowerDevice(config);
  if (lower == nullptr) return STATUS_DEVICE_REMOVED;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, RequestCompleted, &event, TRUE, TRUE, TRUE);
  urb->UrbHeader.Status = kUrbStatusUnset;

  const NTSTATUS called = IoCallDriver(lower, irp);
  NTSTATUS status = WaitForRequest(&event, irp, timeoutMs);
  if (status != STATUS_IO_TIMEOUT) {
    if (called != STATUS_PENDING) {
      status = called;
    } else {
      status = UsbFailureStatus(irp->IoStatus.Status, urb->UrbHeader.Status);
    }
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS UsbFailureStatus(NTSTATUS irpStatus, USBD_STATUS urbStatus) {
  if (NT_SUCCESS(irpStatus)) return irpStatus;
  if (USBD_ERROR(urbStatus) && urbStatus != kUrbStatusUnset) return static_cast<NTSTATUS>(urbStatus);
  return irpStatus;
}

NTSTATUS UsbGetDescriptor(UsbDeviceConfig *config, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                          ULONG length, ULONG *transferred) {
  URB urb;
  QavZeroMemory(&urb, sizeof(urb));
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer,
                               nullptr, length, nullptr);
  NTSTATUS status = UsbSubmitUrb(config, &urb, kUsbTimeoutMs);
  if (transferred != nullptr) {
    *transferred = NT_SUCCESS(status) ? QavMin(urb.UrbControlDescriptorRequest.TransferBufferLength, length) : 0;
  }
  return status;
}

NTSTATUS CopyStringDescriptor(const UCHAR *descriptor, ULONG received, WCHAR *text, ULONG bytes) {
  QavZeroMemory(text, bytes);
  if (received < 2 || bytes < 2) return STATUS_SUCCESS;
  ULONG declared = descriptor[0] >= 2 ? descriptor[0] - 2u : 0;
  // Whole characters only, and never more than the device actually sent.
  ULONG copy = QavMin(QavMin(declared, bytes - 2), received - 2) & ~1u;
  QavCopyMemory(text, descriptor + 2, copy);
  return declared > bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS UsbGetString(UsbDeviceConfig *config, UCHAR index, USHORT language, WCHAR *text, ULONG bytes) {
  QavZeroMemory(text, bytes);
  auto *descriptor = static_cast<PUCHAR>(QavAllocateNonPaged(bytes, kTagBuffer));
  if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received = 0;
  NTSTATUS status = UsbGetDescriptor(config, kDescriptorTypeString, index, language, descriptor, bytes, &received);
  if (NT_SUCCESS(status)) status = CopyStringDescriptor(descriptor, received, text, bytes);
  QavFree(descriptor, kTagBuffer);
  return status;
}

NTSTATUS UsbClassRequest(const UsbInterface *controlInterface, const ClassRequest &request, PVOID buffer,
                         ULONG length, ULONG timeoutMs, ULONG *transferred) {
  UsbDeviceConfig *config = controlInterface->owner;
  URB urb;
  QavZeroMemory(&urb, sizeof(urb));
  USHORT value = static_cast<USHORT>((request.controlSelector << 8) | request.channel);
  USHORT index = static_cast<USHORT>((request.entity << 8) | controlInterface->interfaceNumber);
  ULONG flags = request.in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags,
                        0, request.request, value, index, buffer, nullptr, length, nullptr);
  NTSTATUS status = UsbSubmitUrb(config, &urb, timeoutMs);
  if (transferred != nullptr) {
    *transferred = NT_SUCCESS(status) ? QavMin(urb.UrbControlVendorClassRequest.TransferBufferLength, length) : 0;
  }
  return status;
}

NTSTATUS UsbAbortPipe(UsbDeviceConfig *config, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(config, URB_FUNCTION_ABORT_PIPE, pipe);
}

NTSTATUS UsbResetPipe(UsbDeviceConfig *config, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(config, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

NTSTATUS UsbQueryBusInterface(UsbDeviceConfig *config, USHORT size, USHORT version) {
  PDEVICE_OBJECT lower = UsbLowerDevice(config);
  if (lower == nullptr) return STATUS_DEVICE_REMOVED;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &kUsbBusInterfaceGuid;
  stack->Parameters.QueryInterface.Size = size;
  stack->Parameters.QueryInterface.Version = version;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&config->busInterface);
  stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, RequestCompleted, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}
