// A port's two bulk transfers: each buffer has its IRP and URB, reused for
// every transfer on it. An IN buffer is read again as soon as what it
// received is decoded; a failed, cancelled or refused transfer ends that
// buffer's cycle until the port is started again. An OUT buffer is free
// (its event signalled) while no transfer uses it.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_decode.h"
#include "kerneldriver/midi/midi_pin.h"
#include "kerneldriver/midi/midi_port.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kStopRetryMs = 100;

IO_COMPLETION_ROUTINE MidiTransferCompleted;

void CountOut(UsbMidiPort *port) {
  if (InterlockedIncrement(&port->outstanding) == 1) KeClearEvent(&port->allReturned);
}

void CountIn(UsbMidiPort *port) {
  if (InterlockedDecrement(&port->outstanding) == 0) KeSetEvent(&port->allReturned, IO_NO_INCREMENT, FALSE);
}

void ReleaseBuffer(UsbMidiPort *port, ULONG index) {
  InterlockedExchange(&port->bufferBusy[index], 0);
  KeSetEvent(&port->bufferFree[index], IO_NO_INCREMENT, FALSE);
}

}  // namespace

bool MidiSendTransfer(MidiTransfer *t, ULONG length) {
  UsbMidiPort *port = t->port;
  PDEVICE_OBJECT lower = UsbLowerDevice(&port->device->config);
  if (lower == nullptr) return false;
  if (port->in && InterlockedCompareExchange(&port->running, 0, 0) == 0) return false;
  QavZeroMemory(t->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(t->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         port->pipe->pipeHandle, t->buffer, nullptr, length,
                                         port->in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0,
                                         nullptr);
  InterlockedExchange(&port->bufferBusy[t->index], 1);
  KeClearEvent(&port->bufferFree[t->index]);
  IoReuseIrp(t->irp, STATUS_NOT_SUPPORTED);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(t->irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  stack->Parameters.Others.Argument1 = t->urb;
  IoSetCompletionRoutine(t->irp, MidiTransferCompleted, t, TRUE, TRUE, TRUE);
  CountOut(port);
  IoCallDriver(lower, t->irp);
  return true;
}

namespace {

// DISPATCH_LEVEL or below. The IRP stays with the port.
NTSTATUS MidiTransferCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *t = static_cast<MidiTransfer *>(context);
  UsbMidiPort *port = t->port;
  const NTSTATUS status = irp->IoStatus.Status;
  const USBD_STATUS urbStatus = t->urb->UrbHeader.Status;
  const bool ok = !irp->Cancel && NT_SUCCESS(status) && USBD_SUCCESS(urbStatus);
  if (ok && port->in) {
    const ULONG received = QavMin(t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength, port->maxPacket);
    UsbMidiPortDecode(port, t->buffer, received);
    if (MidiSendTransfer(t, port->maxPacket)) {
      CountIn(port);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  }
  if (!ok) {
    QAV_LOG(MidiTransferEnded, static_cast<unsigned>(port->pipe->endpointAddress), static_cast<unsigned>(t->index),
              static_cast<unsigned>(status), static_cast<unsigned>(urbStatus));
  }
  ReleaseBuffer(port, t->index);
  CountIn(port);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void AppendToBatch(void *context, UCHAR cableNumber, const UCHAR *bytes, ULONG length) {
  auto *port = static_cast<UsbMidiPort *>(context);
  UsbMidiCable *cable = port->cableByNumber[cableNumber & 0x0F];
  if (cable == nullptr || cable->batchCount >= kMidiBatchMessages) return;
  MidiMessage &message = cable->batch[cable->batchCount++];
  message.length = QavMin(length, kMidiMsgMaxData);
  QavCopyMemory(message.bytes, bytes, message.length);
  ++port->packetsDecoded;
}

bool CurrentFrame(const UsbMidiPort *port, ULONG *frame) {
  const USB_BUS_INTERFACE_USBDI_V2 &bus = port->device->config.busInterface;
  *frame = 0;
  return bus.Size != 0 && bus.QueryBusTime != nullptr && NT_SUCCESS(bus.QueryBusTime(bus.BusContext, frame));
}

void DeliverBatch(UsbMidiPort *port, UsbMidiCable *cable) {
  KIRQL irql;
  KeAcquireSpinLock(&cable->lock, &irql);
  ULONG frame = 0;
  CurrentFrame(port, &frame);
  for (UsbMidiPin *pin : cable->pins) {
    if (pin != nullptr) EnqueueMidiMessage(pin, cable->batch, cable->batchCount, frame);
  }
  cable->batchCount = 0;
  KeReleaseSpinLock(&cable->lock, irql);
}

}  // namespace

void UsbMidiPortDecode(UsbMidiPort *port, const UCHAR *payload, ULONG length) {
  KIRQL irql;
  KeAcquireSpinLock(&port->decodeLock, &irql);
  // A batch holds more packets than a transfer buffer of up to 1024 bytes;
  // longer payloads are decoded in parts so no packet is lost.
  constexpr ULONG kPart = kMidiBatchMessages * kMidiPacketBytes;
  for (ULONG offset = 0; offset < length; offset += kPart) {
    MidiDecodePackets(payload + offset, QavMin(length - offset, kPart), AppendToBatch, port);
    for (ULONG i = 0; i < port->cableCount; ++i) {
      if (port->cables[i]->batchCount != 0) DeliverBatch(port, port->cables[i]);
    }
  }
  KeReleaseSpinLock(&port->decodeLock, irql);
}

NTSTATUS UsbMidiPortStart(UsbMidiPort *port) {
  if (InterlockedCompareExchange(&port->running, 0, 0) != 0) return STATUS_SUCCESS;
  NTSTATUS status = UsbResetPipe(&port->device->config, port->pipe->pipeHandle);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(MidiPipeNotReset, static_cast<unsigned>(port->pipe->endpointAddress),
              static_cast<unsigned>(status));
  }
  ExAcquireFastMutex(&port->writeLock);
  InterlockedExchange(&port->running, 1);
  ExReleaseFastMutex(&port->writeLock);
  for (MidiTransfer &t : port->transfers) {
    if (!port->in || !MidiSendTransfer(&t, port->maxPacket)) ReleaseBuffer(port, t.index);
  }
  return STATUS_SUCCESS;
}

void UsbMidiPortStop(UsbMidiPort *port) {
  // A pump waiting for a buffer wakes at once, finds the port stopped and
  // lets go of writeLock: a stop or removal does not wait out its time-out.
  InterlockedExchange(&port->running, 0);
  for (KEVENT &event : port->bufferFree) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  ExAcquireFastMutex(&port->writeLock);
  ExReleaseFastMutex(&port->writeLock);
  // A completion that saw the port running may send again after the abort:
  // abort again until every transfer is back.
  UsbDeviceConfig *config = &port->device->config;
  for (;;) {
    UsbAbortPipe(config, port->pipe->pipeHandle);
    LARGE_INTEGER timeout = QavRelativeMilliseconds(kStopRetryMs);
    KeWaitForSingleObject(&port->allReturned, Executive, KernelMode, FALSE, &timeout);
    if (InterlockedCompareExchange(&port->outstanding, 0, 0) == 0) break;
    QAV_LOG(MidiTransfersHeld, static_cast<unsigned>(port->pipe->endpointAddress));
  }
  for (KEVENT &event : port->bufferFree) KeClearEvent(&event);
}
