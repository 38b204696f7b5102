// Preparing and freeing a stream's transfers, and sending one slot. The ten
// data slots share one transfer buffer; slot j owns D = framesPerUrb × 8 ×
// maxPacket bytes from j × D, one packet per microframe at k × maxPacket.
// The feedback slot reads one frame of the feedback endpoint: 8, 4, 2 or 1
// packets of 4 bytes, as its interval says.
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/stream_internal.h"
#include "kerneldriver/usb/usb_configure.h"

namespace {

constexpr ULONG kUnsentStatus = 0xFFFFFFFF;

void FreeSlot(IsoTransferSlot *slot) {
  if (slot->irp != nullptr) IoFreeIrp(slot->irp);
  QavFree(slot->urb, kTagBuffer);
  QavZeroMemory(slot, sizeof(*slot));
}

// Pins still attached (an UrbSize change frees and replaces the buffer
// under running pins) are told first, so none keeps a region of it.
void FreeSlots(UsbAudioStream *stream) {
  if (stream->transferBuffer != nullptr) StreamDropPinRegions(stream);
  for (IsoTransferSlot &slot : stream->slots) FreeSlot(&slot);
  FreeSlot(&stream->feedbackSlot);
  QavFree(stream->transferBuffer, kTagBuffer);
  stream->transferBuffer = nullptr;
  stream->transferBufferSize = 0;
  stream->dataPipe = nullptr;
  stream->feedbackPipe = nullptr;
}

NTSTATUS AllocateSlot(UsbAudioStream *stream, IsoTransferSlot *slot, CCHAR stackSize, ULONG packets) {
  slot->stream = stream;
  slot->packetCount = packets;
  slot->irp = IoAllocateIrp(stackSize, FALSE);
  slot->urb = static_cast<PURB>(QavAllocateNonPaged(IsoUrbSize(packets), kTagBuffer));
  return slot->irp != nullptr && slot->urb != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void LayOutDataSlot(UsbAudioStream *stream, IsoTransferSlot *slot, ULONG index, ULONG slotBytes) {
  const bool in = UsbAudioStreamIsCapture(stream);
  slot->index = static_cast<UCHAR>(index);
  slot->in = in;
  slot->region = stream->transferBuffer + index * slotBytes;
  slot->regionLength = slotBytes;
  slot->pipeHandle = stream->dataPipe->pipeHandle;
  USBD_ISO_PACKET_DESCRIPTOR *packets = slot->urb->UrbIsochronousTransfer.IsoPacket;
  for (ULONG k = 0; k < slot->packetCount; ++k) {
    packets[k].Offset = k * stream->maxPacket;
    packets[k].Length = in ? 0 : stream->maxPacket;
  }
  slot->transferLength = slotBytes;
  slot->splitOffset = slotBytes;
  if (!in) {
    slot->transferLength = SizeRenderPackets(&stream->sampleAccumulator, stream->samplesPerMicroframe,
                                             stream->bytesPerFrame, stream->maxPacket, packets, slot->packetCount,
                                             &slot->splitOffset);
  }
}

void LayOutFeedbackSlot(UsbAudioStream *stream) {
  IsoTransferSlot *slot = &stream->feedbackSlot;
  slot->index = kFeedbackSlotIndex;
  slot->in = true;
  slot->region = stream->feedbackBuffer;
  slot->regionLength = slot->packetCount * kFeedbackBytes;
  slot->transferLength = slot->regionLength;
  slot->pipeHandle = stream->feedbackPipe->pipeHandle;
  for (ULONG k = 0; k < slot->packetCount; ++k) {
    slot->urb->UrbIsochronousTransfer.IsoPacket[k].Offset = k * kFeedbackBytes;
  }
}

UsbPipe *FindIsochronousPipe(UsbAudioStream *stream, UCHAR endpoint) {
  UsbPipe *pipe = endpoint != 0 ? UsbInterfaceFindPipe(stream->usbInterface, endpoint) : nullptr;
  return pipe != nullptr && pipe->pipeType == UsbdPipeTypeIsochronous ? pipe : nullptr;
}

void FindPipes(UsbAudioStream *stream) {
  stream->dataPipe = FindIsochronousPipe(stream, stream->dataEndpoint);
  stream->feedbackPipe = FindIsochronousPipe(stream, stream->feedbackEndpoint);
}

NTSTATUS AllocateTransfers(UsbAudioStream *stream, PDEVICE_OBJECT lower) {
  const ULONG packets = stream->framesPerUrb * kMicroframesPerFrame;
  const ULONG slotBytes = packets * stream->maxPacket;
  stream->transferBuffer = static_cast<PUCHAR>(QavAllocateNonPaged(stream->transferBufferSize, kTagBuffer));
  if (stream->transferBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const auto stackSize = static_cast<CCHAR>(lower->StackSize + 1);
  for (ULONG j = 0; j < kIsoSlots; ++j) {
    NTSTATUS status = AllocateSlot(stream, &stream->slots[j], stackSize, packets);
    if (!NT_SUCCESS(status)) return status;
    LayOutDataSlot(stream, &stream->slots[j], j, slotBytes);
  }
  if (stream->feedbackPipe == nullptr) return STATUS_SUCCESS;
  const ULONG feedbackPackets =
      QavMin(IsoPacketsPerFrame(stream->feedbackPipe->interval, UsbIsHighSpeed(&stream->device->config)),
             kMaxFeedbackPackets);
  NTSTATUS status = AllocateSlot(stream, &stream->feedbackSlot, stackSize, feedbackPackets);
  if (NT_SUCCESS(status)) LayOutFeedbackSlot(stream);
  return status;
}

// maxPacket × framesPerUrb × 80, or 0 when it is empty or would not fit.
ULONG TransferBufferSize(const UsbAudioStream *stream) {
  if (stream->framesPerUrb == 0 || stream->framesPerUrb > kMaxFramesPerUrb) return 0;
  const ULONGLONG size = static_cast<ULONGLONG>(stream->maxPacket) * stream->framesPerUrb * kMicroframesPerFrame * kIsoSlots;
  return size <= 0x7FFFFFFF ? static_cast<ULONG>(size) : 0;
}

NTSTATUS SelectAndFindPipes(UsbAudioStream *stream) {
  if (stream->altSetting == 0) return STATUS_INTERNAL_ERROR;
  NTSTATUS status = UsbSelectAlternateSetting(stream->usbInterface, stream->altSetting);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(AltSettingNotSelected, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(stream->altSetting), static_cast<unsigned>(status));
    return status;
  }
  FindPipes(stream);
  if (stream->dataPipe == nullptr) return STATUS_INTERNAL_ERROR;
  stream->maxPacket = stream->dataPipe->maximumPacketSize;
  stream->transferBufferSize = TransferBufferSize(stream);
  return stream->transferBufferSize != 0 ? STATUS_SUCCESS : STATUS_INTERNAL_ERROR;
}

NTSTATUS PrepareTransfersLocked(UsbAudioStream *stream) {
  if (StreamRunning(stream) || stream->outstanding != 0) return STATUS_DEVICE_BUSY;
  KeWaitForSingleObject(&stream->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
  FreeSlots(stream);
  NTSTATUS status = SelectAndFindPipes(stream);
  PDEVICE_OBJECT lower = UsbLowerDevice(&stream->device->config);
  if (NT_SUCCESS(status) && lower == nullptr) status = STATUS_DEVICE_REMOVED;
  if (NT_SUCCESS(status)) status = AllocateTransfers(stream, lower);
  if (!NT_SUCCESS(status)) {
    FreeSlots(stream);
    QAV_LOG(TransfersNotPrepared, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(status));
  }
  return status;
}

NTSTATUS FreeTransfersLocked(UsbAudioStream *stream) {
  if (StreamRunning(stream) || stream->outstanding != 0) return STATUS_INTERNAL_ERROR;
  KeWaitForSingleObject(&stream->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
  FreeSlots(stream);
  return UsbSelectAlternateSetting(stream->usbInterface, 0);
}

}  // namespace

NTSTATUS UsbAudioStreamPrepareTransfers(UsbAudioStream *stream) {
  UsbAudioStreamStateLock(stream->device);
  NTSTATUS status = PrepareTransfersLocked(stream);
  UsbAudioStreamStateUnlock(stream->device);
  return status;
}

NTSTATUS UsbAudioStreamFreeTransfers(UsbAudioStream *stream) {
  UsbAudioStreamStateLock(stream->device);
  NTSTATUS status = FreeTransfersLocked(stream);
  UsbAudioStreamStateUnlock(stream->device);
  return status;
}

void StreamReleaseTransfers(UsbAudioStream *stream) { FreeSlots(stream); }

NTSTATUS StreamSendSlot(IsoTransferSlot *slot, ULONG startFrame) {
  UsbAudioStream *stream = slot->stream;
  PDEVICE_OBJECT lower = UsbLowerDevice(&stream->device->config);
  if (lower == nullptr) return STATUS_DEVICE_REMOVED;
  struct _URB_ISOCH_TRANSFER &urb = slot->urb->UrbIsochronousTransfer;
  QavZeroMemory(&urb, FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket));
  urb.Hdr.Length = static_cast<USHORT>(IsoUrbSize(slot->packetCount));
  urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb.Hdr.Status = static_cast<USBD_STATUS>(kUnsentStatus);
  urb.PipeHandle = slot->pipeHandle;
  urb.TransferFlags = (slot->in ? USBD_TRANSFER_DIRECTION_IN : 0) | (startFrame == 0 ? USBD_START_ISO_TRANSFER_ASAP : 0);
  urb.TransferBuffer = slot->region;
  urb.TransferBufferLength = slot->in ? slot->regionLength : slot->transferLength;
  urb.StartFrame = startFrame;
  urb.NumberOfPackets = slot->packetCount;
  // IN: the stack reports each packet's length; what is left from the last
  // transfer must not pass for this one's.
  for (ULONG k = 0; k < slot->packetCount; ++k) {
    urb.IsoPacket[k].Status = static_cast<USBD_STATUS>(kUnsentStatus);
    if (slot->in) urb.IsoPacket[k].Length = 0;
  }
  PIRP irp = slot->irp;
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = slot->urb;
  IoSetCompletionRoutine(irp, StreamUrbCompleted, slot, TRUE, TRUE, TRUE);
  StreamCountOut(stream);
  return IoCallDriver(lower, irp);
}
