// The completion routine of a stream's URBs, at DISPATCH_LEVEL. A stream's
// own completions arrive one at a time in the order the bus served them;
// the capture and render streams' completions may run concurrently, which
// the StreamSync serialises where they meet.
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/stream_internal.h"
#include "kerneldriver/stream/stream_sync.h"

namespace {

bool Ended(const UsbAudioStream *stream, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  return !StreamRunning(const_cast<UsbAudioStream *>(stream)) || irp->Cancel || status == STATUS_CANCELLED ||
         status == STATUS_DEVICE_NOT_CONNECTED;
}

bool Succeeded(const IsoTransferSlot *slot) {
  return NT_SUCCESS(slot->irp->IoStatus.Status) && USBD_SUCCESS(slot->urb->UrbHeader.Status);
}

// Explicit feedback: 16.16 samples per microframe, taken when plausible.
void ApplyFeedback(UsbAudioStream *stream) {
  const ULONG value = QavReadLe32(stream->feedbackValue);
  if (value == 0) return;
  // Render sizing reads it from the data completions, which on a
  // multiprocessor may run beside this one.
  if (FeedbackPlausible(value, stream->nominalRate)) {
    InterlockedExchange(reinterpret_cast<volatile LONG *>(&stream->samplesPerMicroframe), static_cast<LONG>(value));
  }
}

ULONG RecordLateness(UsbAudioStream *stream, const IsoTransferSlot *slot) {
  const ULONG due = slot->urb->UrbIsochronousTransfer.StartFrame + stream->framesPerUrb;
  ULONG current = due;
  StreamCurrentFrame(stream, &current);
  const LONG late = static_cast<LONG>(current - due);
  const ULONG lateness = late > 0 ? static_cast<ULONG>(late) : 0;
  stream->timing.Lateness[QavMin(lateness, UAC_URB_TIMING_BUCKETS - 1)]++;
  stream->timing.Count++;
  return lateness;
}

void HandleDataUrb(UsbAudioStream *stream, IsoTransferSlot *slot) {
  const ULONG lateness = RecordLateness(stream, slot);
  if (!Succeeded(slot)) {
    QAV_TRACE("stream %02x: URB %u failed: IRP %08x URB %08x", static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(slot->index), static_cast<unsigned>(slot->irp->IoStatus.Status),
              static_cast<unsigned>(slot->urb->UrbHeader.Status));
    StreamSetRunning(stream, false);
    StreamQueueRecovery(stream);
    StreamCountIn(stream);
    return;
  }
  stream->maxLateness = QavMax(stream->maxLateness, lateness);
  stream->minLateness = QavMin(stream->minLateness, lateness);
  if (slot->in) slot->transferLength = QavMin(slot->urb->UrbIsochronousTransfer.TransferBufferLength, slot->regionLength);
  // A slot the pairing keeps is counted in by the pairing.
  if (stream->streamSync != nullptr && StreamSyncUrbCompleted(stream->streamSync, slot)) return;
  StreamProcessAlone(slot);
  StreamCountIn(stream);
}

}  // namespace

NTSTATUS StreamUrbCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *slot = static_cast<IsoTransferSlot *>(context);
  UsbAudioStream *stream = slot->stream;
  if (Ended(stream, irp)) {
    StreamSetRunning(stream, false);
    StreamCountIn(stream);
  } else if (slot->index == kFeedbackSlotIndex) {
    // Read again at once: a value taken once per start carries its rounding
    // error (and the device's later corrections are never seen), which
    // drifts the device FIFO into a glitch within an hour. The new read is
    // counted out before this one is counted in.
    if (Succeeded(slot)) {
      ApplyFeedback(stream);
      StreamSendSlot(slot, 0);
    }
    StreamCountIn(stream);
  } else {
    HandleDataUrb(stream, slot);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
