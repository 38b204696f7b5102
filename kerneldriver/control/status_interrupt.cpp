// The AudioControl interface's status interrupt: one interrupt IN transfer at
// a time, handled by a work item at PASSIVE_LEVEL (class requests, event
// raise), which then sends the next one. A failed transfer ends the chain.
//
// interruptBusy covers a transfer in flight and its work item; it changes
// under interruptLock together with the check of interruptPipe, so once Stop
// has cleared the pipe no new transfer starts. interruptIdle is cleared with
// the busy flag and set after it drops, as the chain's last touch of the
// object; Stop waits for it before freeing anything.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

constexpr ULONG kStopWaitMs = 1000;
constexpr ULONG kMessageBytes = 6;
constexpr UCHAR kInfoInterface = 0x00;
constexpr UCHAR kAttributeCur = 0x01;

IO_WORKITEM_ROUTINE InterruptWorkItem;
IO_COMPLETION_ROUTINE InterruptCompleted;

// The idle event is the chain's last touch of the object: once it is
// signalled, Stop may free everything.
void MarkIdle(UsbAudioControl *control) {
  KIRQL irql;
  KeAcquireSpinLock(&control->interruptLock, &irql);
  control->interruptBusy = false;
  KeReleaseSpinLock(&control->interruptLock, irql);
  KeSetEvent(&control->interruptIdle, IO_NO_INCREMENT, FALSE);
}

// The pipe to send on, with the chain marked busy; null (chain idle) once
// the status interrupt was stopped.
UsbPipe *ClaimPipe(UsbAudioControl *control) {
  KIRQL irql;
  KeAcquireSpinLock(&control->interruptLock, &irql);
  UsbPipe *pipe = control->interruptPipe;
  if (pipe != nullptr) {
    control->interruptBusy = true;
    KeClearEvent(&control->interruptIdle);
  }
  KeReleaseSpinLock(&control->interruptLock, irql);
  if (pipe == nullptr) MarkIdle(control);
  return pipe;
}

void SendTransfer(UsbAudioControl *control) {
  UsbPipe *pipe = ClaimPipe(control);
  if (pipe == nullptr) return;
  PDEVICE_OBJECT lower = UsbLowerDevice(&control->device->config);
  if (lower == nullptr) {
    MarkIdle(control);
    return;
  }
  PURB urb = control->interruptUrb;
  QavZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->pipeHandle,
                                         control->interruptBuffer, nullptr, control->interruptBufferSize,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  PIRP irp = control->interruptIrp;
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  stack->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, InterruptCompleted, control, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
}

// DISPATCH_LEVEL or below. The IRP stays with the driver.
NTSTATUS InterruptCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *control = static_cast<UsbAudioControl *>(context);
  NTSTATUS status = irp->IoStatus.Status;
  USBD_STATUS urbStatus = control->interruptUrb->UrbHeader.Status;
  if (NT_SUCCESS(status) && USBD_SUCCESS(urbStatus)) {
    IoQueueWorkItem(control->interruptWorkItem, InterruptWorkItem, DelayedWorkQueue, control);
  } else {
    QAV_LOG(StatusInterruptEnded, static_cast<unsigned>(status),
              static_cast<unsigned>(urbStatus));
    MarkIdle(control);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL.
void InterruptWorkItem(PDEVICE_OBJECT, PVOID context) {
  auto *control = static_cast<UsbAudioControl *>(context);
  ULONG length = QavMin(control->interruptUrb->UrbBulkOrInterruptTransfer.TransferBufferLength,
                        control->interruptBufferSize);
  AudioControlHandleInterruptMessage(control, control->interruptBuffer, length);
  SendTransfer(control);
}

NTSTATUS AllocateInterruptResources(UsbAudioControl *control, const UsbPipe *pipe) {
  PDEVICE_OBJECT lower = UsbLowerDevice(&control->device->config);
  if (lower == nullptr) return STATUS_DEVICE_REMOVED;
  if (pipe->maximumPacketSize == 0) return STATUS_INVALID_DEVICE_STATE;
  control->interruptBufferSize = pipe->maximumPacketSize;
  control->interruptBuffer = static_cast<PUCHAR>(QavAllocateNonPaged(control->interruptBufferSize, kTagBuffer));
  control->interruptUrb =
      static_cast<PURB>(QavAllocateNonPaged(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagBuffer));
  control->interruptIrp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
  control->interruptWorkItem = IoAllocateWorkItem(control->device->device->FunctionalDeviceObject);
  bool complete = control->interruptBuffer != nullptr && control->interruptUrb != nullptr &&
                  control->interruptIrp != nullptr && control->interruptWorkItem != nullptr;
  return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void FreeInterruptResources(UsbAudioControl *control) {
  QavFree(control->interruptBuffer, kTagBuffer);
  QavFree(control->interruptUrb, kTagBuffer);
  if (control->interruptIrp != nullptr) IoFreeIrp(control->interruptIrp);
  if (control->interruptWorkItem != nullptr) IoFreeWorkItem(control->interruptWorkItem);
  control->interruptBuffer = nullptr;
  control->interruptUrb = nullptr;
  control->interruptIrp = nullptr;
  control->interruptWorkItem = nullptr;
}

}  // namespace

NTSTATUS AudioControlStartStatusInterrupt(UsbAudioControl *control) {
  UsbPipe *pipe = control->interruptPipe;
  if (pipe == nullptr) return STATUS_DEVICE_NOT_READY;
  if (control->interruptIrp == nullptr) {
    NTSTATUS status = AllocateInterruptResources(control, pipe);
    if (!NT_SUCCESS(status)) {
      FreeInterruptResources(control);
      control->interruptPipe = nullptr;
      return status;
    }
  }
  SendTransfer(control);
  return STATUS_SUCCESS;
}

void AudioControlStopStatusInterrupt(UsbAudioControl *control) {
  KIRQL irql;
  KeAcquireSpinLock(&control->interruptLock, &irql);
  control->interruptPipe = nullptr;
  bool busy = control->interruptBusy;
  KeReleaseSpinLock(&control->interruptLock, irql);
  if (busy) IoCancelIrp(control->interruptIrp);
  // A work item may be resubmitting right now and so miss the cancel: cancel
  // again each second until the chain is idle. Freeing under a transfer or
  // work item still running would corrupt memory.
  LARGE_INTEGER timeout = QavRelativeMilliseconds(kStopWaitMs);
  while (KeWaitForSingleObject(&control->interruptIdle, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    QAV_LOG(StatusInterruptBusy, static_cast<unsigned>(kStopWaitMs));
    IoCancelIrp(control->interruptIrp);
  }
  FreeInterruptResources(control);
}

void AudioControlHandleInterruptMessage(UsbAudioControl *control, const UCHAR *message, ULONG length) {
  if (length >= kMessageBytes && message[0] == kInfoInterface && message[1] == kAttributeCur) {
    AudioControlRefreshValidity(control, message[5]);
  }
  UsbAudioDeviceRaiseEvent(control->device, KSEVENT_UAC_STATUS_INTERRUPT, length, const_cast<UCHAR *>(message));
}
