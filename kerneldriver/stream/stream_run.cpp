// Starting, stopping, pausing and resubmitting a stream, and the driver-wide
// start frame all streams share so that a device's capture and render URBs
// cover the same frames. Start, stop, pause and resume take the device's
// stream state lock; the recovery work item stops without it.
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/stream_internal.h"
#include "kerneldriver/stream/stream_sync.h"
#include "kerneldriver/usb/usb_configure.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kStartLeadFrames = 10;     // a fresh start frame lies this far ahead
// No URB names a start frame nearer than this: an xHCI controller refuses
// one inside its isochronous scheduling threshold, which with its
// interrupter latency reaches three frames. A reused shared start frame
// must be this far ahead, and a stream that fell behind skips ahead to it.
constexpr ULONG kMinLeadFrames = 4;
constexpr ULONG kStaleAheadFrames = 102;   // a reused one further ahead than this is stale
constexpr ULONG kInitialMinLateness = 16;
constexpr int kPauseLine = 392;
constexpr int kPauseFeedback = 16;
// How long Stop lets URBs drain before it takes one for held by the stack
// (hub or controller recovery) and aborts the pipes.
constexpr ULONG kDrainMinimumMs = 100;
constexpr ULONG kDrainGraceUrbPeriods = 3;
constexpr ULONG kAbortWaitMs = 1000;

// Driver-wide: streams with URBs outstanding, and the start frame they were
// started on with the bus context it belongs to. The lock serialises starts
// of different devices.
volatile LONG g_activeStreams = 0;
KSPIN_LOCK g_startFrameLock = 0;
ULONG g_sharedStartFrame = 0;
PVOID g_sharedBusContext = nullptr;

ULONG SharedStartFrame(ULONG current, PVOID busContext, ULONG framesPerUrb) {
  KIRQL irql;
  KeAcquireSpinLock(&g_startFrameLock, &irql);
  ULONG start = g_sharedStartFrame;
  const bool fresh = InterlockedCompareExchange(&g_activeStreams, 0, 0) == 0 || g_sharedBusContext != busContext ||
                     FrameBefore(current + kStaleAheadFrames, start);
  if (fresh) {
    start = current + kStartLeadFrames;
    g_sharedStartFrame = start;
    g_sharedBusContext = busContext;
  } else if (FrameBefore(start, current + kMinLeadFrames)) {
    // Whole URB periods past the lead, so the new stream stays on the grid
    // of the running ones.
    const ULONG behind = (current + kMinLeadFrames) - start;
    start += (behind + framesPerUrb - 1) / framesPerUrb * framesPerUrb;
  }
  KeReleaseSpinLock(&g_startFrameLock, irql);
  return start;
}

void TraceHistogram(const UsbAudioStream *stream) {
  const UrbTimingInfo &timing = stream->timing;
  QAV_LOG(StreamStopped, static_cast<unsigned>(stream->dataEndpoint),
            static_cast<unsigned>(timing.Count), static_cast<unsigned>(stream->minLateness),
            static_cast<unsigned>(stream->maxLateness));
  if (timing.Count == 0) return;
  for (ULONG bucket = 0; bucket < UAC_URB_TIMING_BUCKETS; ++bucket) {
    if (timing.Lateness[bucket] == 0) continue;
    QAV_LOG(StreamLatenessBucket, static_cast<unsigned>(bucket),
              static_cast<unsigned>(timing.Lateness[bucket]),
              static_cast<unsigned>(static_cast<ULONGLONG>(timing.Lateness[bucket]) * 100 / timing.Count));
  }
}

IO_WORKITEM_ROUTINE RecoveryWorkItem;

// PASSIVE_LEVEL. The stream stays stopped until its pins stop and start it
// again. Holders of the state lock (prepare, free, start) wait for this, so
// it must not take the lock.
void RecoveryWorkItem(PDEVICE_OBJECT, PVOID context) {
  auto *stream = static_cast<UsbAudioStream *>(context);
  UsbPipe *pipe = stream->dataPipe;
  if (pipe != nullptr) {
    NTSTATUS abort = UsbAbortPipe(&stream->device->config, pipe->pipeHandle);
    NTSTATUS reset = UsbResetPipe(&stream->device->config, pipe->pipeHandle);
    QAV_LOG(StreamPipeRecovered, static_cast<unsigned>(stream->dataEndpoint), static_cast<unsigned>(abort),
            static_cast<unsigned>(reset));
  }
  StreamStopUnlocked(stream);
  InterlockedExchange(&stream->recoveryQueued, 0);
  KeSetEvent(&stream->recoveryIdle, IO_NO_INCREMENT, FALSE);
}

// Until the last URB a stream can have sent has ended, plus a few URB
// periods, and at least kDrainMinimumMs: a stream schedules at most ten URBs
// (and one more period of lateness) ahead. Not from nextStartFrame, which a
// completion that passed its running check before the stop may still be
// moving on another processor.
ULONG DrainWaitMs(const UsbAudioStream *stream) {
  const ULONG period = stream->framesPerUrb;
  return QavMax((kIsoSlots + 1 + kDrainGraceUrbPeriods) * period, kDrainMinimumMs);
}

bool WaitForUrbs(UsbAudioStream *stream, ULONG milliseconds) {
  LARGE_INTEGER timeout = QavRelativeMilliseconds(milliseconds);
  return KeWaitForSingleObject(&stream->allReturned, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
}

void AbortPipes(UsbAudioStream *stream) {
  const UsbPipe *pipes[] = {stream->dataPipe, stream->feedbackPipe};
  for (const UsbPipe *pipe : pipes) {
    if (pipe == nullptr) continue;
    NTSTATUS status = UsbAbortPipe(&stream->device->config, pipe->pipeHandle);
    QAV_LOG(StreamPipeAborted, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(pipe->endpointAddress), static_cast<unsigned>(status));
  }
}

// A URB the stack keeps past its frames (hub or controller recovery) would
// hold the caller (a pin state change, the power IRP) for as long as the
// stack likes; after the drain time the pipes are aborted, which hands every
// URB back. Only a stack that does not honour the abort is waited for
// without limit.
void DrainUrbs(UsbAudioStream *stream) {
  if (InterlockedCompareExchange(&stream->outstanding, 0, 0) == 0) return;
  const ULONG drainMs = DrainWaitMs(stream);
  if (WaitForUrbs(stream, drainMs)) return;
  QAV_LOG(StreamDrainTimeout, static_cast<unsigned>(stream->dataEndpoint),
            static_cast<int>(stream->outstanding), static_cast<unsigned>(drainMs));
  AbortPipes(stream);
  if (WaitForUrbs(stream, kAbortWaitMs)) return;
  QAV_LOG(StreamHeldAfterAbort, static_cast<unsigned>(stream->dataEndpoint), static_cast<int>(stream->outstanding));
  KeWaitForSingleObject(&stream->allReturned, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS StartLocked(UsbAudioStream *stream) {
  if (stream->nominalRate == 0 || stream->transferBuffer == nullptr || stream->dataPipe == nullptr) {
    return STATUS_INTERNAL_ERROR;
  }
  // Slots of a run still draining cannot be sent again.
  if (StreamRunning(stream) || InterlockedCompareExchange(&stream->outstanding, 0, 0) != 0) return STATUS_DEVICE_BUSY;
  QavZeroMemory(&stream->timing, sizeof(stream->timing));
  ULONG current = 0;
  if (!StreamCurrentFrame(stream, &current)) return STATUS_DEVICE_NOT_READY;
  const ULONG n = stream->framesPerUrb;
  const ULONG start = SharedStartFrame(current, stream->device->config.busInterface.BusContext, n);
  stream->nextStartFrame = start + kIsoSlots * n;
  stream->maxLateness = 0;
  stream->minLateness = kInitialMinLateness;
  stream->failedPackets = 0;
  stream->feedbackIdle = 0;
  stream->feedbackFailures = 0;
  StreamSetRunning(stream, true);
  for (ULONG i = 0; i < kIsoSlots; ++i) {
    NTSTATUS status = StreamSendSlot(&stream->slots[i], start + i * n);
    if (!NT_SUCCESS(status)) {
      // What was sent drains by itself once the stream no longer runs.
      StreamSetRunning(stream, false);
      return status;
    }
  }
  if (stream->streamSync != nullptr) StreamSyncStarted(stream->streamSync, stream);
  if (stream->feedbackPipe != nullptr) StreamSendSlot(&stream->feedbackSlot, 0);
  return STATUS_SUCCESS;
}

// A device that lost power is back at alternate setting 0, and the stack
// issues new pipe handles for a selection: the paused stream's setting is
// selected again and its slots take the new handles. The setting is the
// same, so its packet size and the prepared slots still fit.
NTSTATUS ReselectLocked(UsbAudioStream *stream) {
  if (stream->altSetting == 0 || stream->dataPipe == nullptr) return STATUS_INTERNAL_ERROR;
  // The interface remembers its setting and would not ask for it again:
  // through setting 0, the device hears SET_INTERFACE for the stream's.
  NTSTATUS status = UsbSelectAlternateSetting(stream->usbInterface, 0);
  if (NT_SUCCESS(status)) status = UsbSelectAlternateSetting(stream->usbInterface, stream->altSetting);
  if (!NT_SUCCESS(status)) return status;
  UsbPipe *data = UsbInterfaceFindPipe(stream->usbInterface, stream->dataEndpoint);
  UsbPipe *feedback =
      stream->feedbackPipe != nullptr ? UsbInterfaceFindPipe(stream->usbInterface, stream->feedbackEndpoint) : nullptr;
  if (data == nullptr || data->maximumPacketSize != stream->maxPacket) return STATUS_INTERNAL_ERROR;
  if (stream->feedbackPipe != nullptr && feedback == nullptr) return STATUS_INTERNAL_ERROR;
  stream->dataPipe = data;
  for (IsoTransferSlot &slot : stream->slots) slot.pipeHandle = data->pipeHandle;
  if (feedback != nullptr) {
    stream->feedbackPipe = feedback;
    stream->feedbackSlot.pipeHandle = feedback->pipeHandle;
  }
  return STATUS_SUCCESS;
}

}  // namespace

LONG UsbAudioActiveStreamCount() { return InterlockedCompareExchange(&g_activeStreams, 0, 0); }

void StreamSetRunning(UsbAudioStream *stream, bool running) {
  InterlockedExchange(&stream->running, running ? 1 : 0);
}

bool StreamCurrentFrame(const UsbAudioStream *stream, ULONG *frame) {
  const USB_BUS_INTERFACE_USBDI_V2 &bus = stream->device->config.busInterface;
  if (bus.Size == 0 || bus.QueryBusTime == nullptr) return false;
  return NT_SUCCESS(bus.QueryBusTime(bus.BusContext, frame));
}

void StreamCountOut(UsbAudioStream *stream) {
  if (InterlockedIncrement(&stream->outstanding) == 1) {
    KeClearEvent(&stream->allReturned);
    InterlockedIncrement(&g_activeStreams);
  }
}

void StreamCountIn(UsbAudioStream *stream) {
  if (InterlockedDecrement(&stream->outstanding) == 0) {
    InterlockedDecrement(&g_activeStreams);
    KeSetEvent(&stream->allReturned, IO_NO_INCREMENT, FALSE);
  }
}

void StreamQueueRecovery(UsbAudioStream *stream) {
  if (stream->recoveryWorkItem == nullptr || InterlockedCompareExchange(&stream->recoveryQueued, 1, 0) != 0) return;
  KeClearEvent(&stream->recoveryIdle);
  IoQueueWorkItem(stream->recoveryWorkItem, RecoveryWorkItem, DelayedWorkQueue, stream);
}

// A queued or running recovery would abort and stop what the start sends:
// it is waited for first.
NTSTATUS UsbAudioStreamStart(UsbAudioStream *stream) {
  UsbAudioStreamStateLock(stream->device);
  KeWaitForSingleObject(&stream->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = StartLocked(stream);
  UsbAudioStreamStateUnlock(stream->device);
  return status;
}

void StreamStopUnlocked(UsbAudioStream *stream) {
  StreamSetRunning(stream, false);
  // A slot waiting in the pairing is handed back first, or the wait below
  // would never end.
  if (stream->streamSync != nullptr) StreamSyncStopped(stream->streamSync, stream);
  DrainUrbs(stream);
  TraceHistogram(stream);
}

// A stream its pins stop is no longer paused: the next power-up must not
// start it again.
void UsbAudioStreamStop(UsbAudioStream *stream) {
  UsbAudioStreamStateLock(stream->device);
  stream->paused = false;
  StreamStopUnlocked(stream);
  UsbAudioStreamStateUnlock(stream->device);
}

void UsbAudioStreamPause(UsbAudioStream *stream) {
  DbgPrint("Called in %s() line %d feedback %d  \n", "UsbAudioStream::Pause", kPauseLine, kPauseFeedback);
  UsbAudioStreamStateLock(stream->device);
  if (StreamRunning(stream)) {
    stream->paused = true;
    StreamStopUnlocked(stream);
  }
  UsbAudioStreamStateUnlock(stream->device);
}

namespace {

NTSTATUS ResumeWith(UsbAudioStream *stream, bool reselect) {
  UsbAudioStreamStateLock(stream->device);
  NTSTATUS status = STATUS_SUCCESS;
  if (stream->paused) {
    stream->paused = false;
    if (reselect) status = ReselectLocked(stream);
    if (NT_SUCCESS(status)) status = UsbAudioStreamStart(stream);
    if (!NT_SUCCESS(status)) {
      QAV_LOG(StreamNotResumed, static_cast<unsigned>(stream->dataEndpoint),
                static_cast<unsigned>(status));
    }
  }
  UsbAudioStreamStateUnlock(stream->device);
  return status;
}

}  // namespace

NTSTATUS UsbAudioStreamResume(UsbAudioStream *stream) { return ResumeWith(stream, false); }

NTSTATUS UsbAudioStreamResumeAfterPowerUp(UsbAudioStream *stream) { return ResumeWith(stream, true); }

NTSTATUS StreamResubmit(IsoTransferSlot *slot, ULONG forcedFrame) {
  if (slot == nullptr) return STATUS_INTERNAL_ERROR;
  UsbAudioStream *stream = slot->stream;
  if (!StreamRunning(stream)) return STATUS_DEVICE_NOT_READY;
  const ULONG n = stream->framesPerUrb;
  ULONG current = 0;
  if (!StreamCurrentFrame(stream, &current)) current = stream->nextStartFrame - n;
  const ULONG earliest = current + QavMax(n, kMinLeadFrames);
  if (forcedFrame != kForcedFrameNone) stream->nextStartFrame = forcedFrame;
  if (FrameBefore(stream->nextStartFrame, current + kMinLeadFrames)) stream->nextStartFrame = earliest;
  NTSTATUS status = StreamSendSlot(slot, stream->nextStartFrame);
  if (!NT_SUCCESS(status)) StreamSetRunning(stream, false);
  stream->nextStartFrame += n;
  return status;
}
