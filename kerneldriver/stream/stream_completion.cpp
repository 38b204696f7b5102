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

// Explicit feedback: the mean of the read's plausible 16.16
// samples-per-microframe values (FeedbackReadValue). Render sizing reads it from the data completions, which on a
// multiprocessor may run beside this one.
void ApplyFeedback(UsbAudioStream *stream, const IsoTransferSlot *slot) {
  ULONG value = 0;
  if (!FeedbackReadValue(slot->urb->UrbIsochronousTransfer.IsoPacket, slot->packetCount, slot->region,
                           slot->regionLength, stream->nominalRate, &value)) {
    return;
  }
  InterlockedExchange(reinterpret_cast<volatile LONG *>(&stream->samplesPerMicroframe), static_cast<LONG>(value));
}

// Read again at once: a value taken once per start carries its rounding
// error (and the device's later corrections are never seen), which drifts
// the device FIFO into a glitch within an hour. A failed read (a refused or
// cancelled URB included) is not sent again from here, where a stack that
// refuses it at once would bring it straight back: the next data completion
// sends it (StreamRearmFeedback). The flag is set before the read is counted
// in, as the stream may be freed once it is.
void FeedbackCompleted(UsbAudioStream *stream, IsoTransferSlot *slot) {
  if (StreamRunning(stream) && Succeeded(slot)) {
    if (stream->feedbackFailures != 0) {
      QAV_LOG_RT(FeedbackRecovered, static_cast<unsigned>(stream->dataEndpoint),
                static_cast<unsigned>(stream->feedbackFailures));
    }
    stream->feedbackFailures = 0;
    ApplyFeedback(stream, slot);
    StreamSendSlot(slot, 0);
  } else if (StreamRunning(stream)) {
    if (stream->feedbackFailures++ == 0) {
      QAV_LOG_RT(FeedbackReadFailed, static_cast<unsigned>(stream->dataEndpoint),
                 static_cast<unsigned>(slot->irp->IoStatus.Status), static_cast<unsigned>(slot->urb->UrbHeader.Status));
    }
    InterlockedExchange(&stream->feedbackIdle, 1);
  }
  StreamCountIn(stream);
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
    QAV_LOG_RT(DataUrbFailed, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(slot->index), static_cast<unsigned>(slot->irp->IoStatus.Status),
              static_cast<unsigned>(slot->urb->UrbHeader.Status));
    StreamSetRunning(stream, false);
    StreamLeavePairing(stream);
    StreamSilenceAhead(slot);
    StreamQueueRecovery(stream);
    StreamCountIn(stream);
    return;
  }
  stream->failedPackets += QavMin(slot->urb->UrbIsochronousTransfer.ErrorCount, slot->packetCount);
  stream->maxLateness = QavMax(stream->maxLateness, lateness);
  stream->minLateness = QavMin(stream->minLateness, lateness);
  if (slot->in) slot->transferLength = QavMin(slot->urb->UrbIsochronousTransfer.TransferBufferLength, slot->regionLength);
  StreamRearmFeedback(stream);
  // A slot the pairing keeps is counted in by the pairing.
  if (stream->streamSync != nullptr && StreamSyncUrbCompleted(stream->streamSync, slot)) return;
  StreamProcessAlone(slot);
  StreamCountIn(stream);
}

}  // namespace

void StreamRearmFeedback(UsbAudioStream *stream) {
  if (stream->feedbackPipe == nullptr || InterlockedCompareExchange(&stream->feedbackIdle, 0, 1) != 1) return;
  if (StreamRunning(stream)) StreamSendSlot(&stream->feedbackSlot, 0);
}

NTSTATUS StreamUrbCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *slot = static_cast<IsoTransferSlot *>(context);
  UsbAudioStream *stream = slot->stream;
  if (slot->index == kFeedbackSlotIndex) {
    FeedbackCompleted(stream, slot);
  } else if (Ended(stream, irp)) {
    StreamSetRunning(stream, false);
    StreamLeavePairing(stream);
    StreamSilenceAhead(slot);
    StreamCountIn(stream);
  } else {
    HandleDataUrb(stream, slot);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
