// Changing UrbSize, the USB frames each isochronous transfer request covers.
// With the KS device acquired and then the stream state lock held (no pin
// changes state meanwhile) running streams stop, take the new size and
// start again.
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/device/settings.h"
#include "kerneldriver/stream/stream_internal.h"

namespace {

// The first failure of a sequence of steps is the one reported.
void Note(NTSTATUS *first, NTSTATUS status) {
  if (NT_SUCCESS(*first) && !NT_SUCCESS(status)) *first = status;
}

// Stops a running stream (true) and waits until one a failed URB ended is
// quiet as well: its URBs drained and its recovery run. Only then can its
// transfers go.
bool Quiesce(UsbAudioStream *stream) {
  const bool running = StreamRunning(stream);
  if (running) UsbAudioStreamStop(stream);
  KeWaitForSingleObject(&stream->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
  if (InterlockedCompareExchange(&stream->outstanding, 0, 0) != 0) UsbAudioStreamStop(stream);
  return running;
}

// The alternate setting may not go back to 0; the transfers are gone all
// the same, and only they hold the old size.
void Free(UsbAudioStream *stream) {
  if (!UsbAudioStreamHasPreparedTransfers(stream)) return;
  NTSTATUS status = UsbAudioStreamFreeTransfers(stream);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(UrbSizeFreeFailed, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(status));
  }
}

// Only what ran before runs again: a stream paused for power-down stays
// paused (with transfers of the new size) until power comes back.
NTSTATUS Restart(UsbAudioDevice *device, UsbAudioStream *stream, bool wasRunning) {
  NTSTATUS status = STATUS_SUCCESS;
  if (device->runningAudioPins > 0) status = UsbAudioStreamPrepareTransfers(stream);
  if (NT_SUCCESS(status) && wasRunning) status = UsbAudioStreamStart(stream);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(UrbSizeRestartFailed, static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(status));
  }
  return status;
}

// Under the state lock. The size is applied to every stream or to none.
NTSTATUS ChangeLocked(UsbAudioDevice *device, ULONG urbSize, bool *applied) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  bool wasRunning[QavCountOf(streams)] = {};
  for (ULONG i = 0; i < QavCountOf(streams); ++i) {
    if (streams[i] != nullptr) wasRunning[i] = Quiesce(streams[i]);
  }
  *applied = true;
  for (UsbAudioStream *stream : streams) {
    if (stream == nullptr) continue;
    Free(stream);
    if (UsbAudioStreamHasPreparedTransfers(stream)) *applied = false;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (*applied) {
    for (UsbAudioStream *stream : streams) {
      if (stream != nullptr) Note(&status, UsbAudioStreamSetFramesPerUrb(stream, urbSize));
    }
    device->urbSize = urbSize;
  } else {
    status = STATUS_DEVICE_BUSY;
    QAV_LOG(UrbSizeBusy, static_cast<unsigned>(urbSize));
  }
  for (ULONG i = 0; i < QavCountOf(streams); ++i) {
    if (streams[i] != nullptr) Note(&status, Restart(device, streams[i], wasRunning[i]));
  }
  return status;
}

}  // namespace

// Idle streams are left unprepared: the pins prepare them when they start,
// and a prepared stream would refuse the next sample-rate change. A size no
// URB can have is refused (STATUS_INVALID_PARAMETER) before anything stops:
// stored, it would keep every later start from streaming. Otherwise the
// result is the first failure of freeing, applying, preparing or
// restarting; a size that was applied is announced and stored even when a
// stream then failed to start again with it.
NTSTATUS UsbAudioDeviceSetUrbSize(UsbAudioDevice *device, ULONG urbSize) {
  if (urbSize == 0 || urbSize > kMaxFramesPerUrb) return STATUS_INVALID_PARAMETER;
  bool applied = false;
  KsAcquireDevice(device->device);
  UsbAudioStreamStateLock(device);
  NTSTATUS status = ChangeLocked(device, urbSize, &applied);
  UsbAudioStreamStateUnlock(device);
  if (applied) UsbAudioDeviceRaiseEventMutexHeld(device, KSEVENT_UAC_URB_SIZE_CHANGED, sizeof(urbSize), &urbSize);
  KsReleaseDevice(device->device);
  if (applied) DriverKeyWriteDword(device, QAV_VALUE_URB_SIZE, urbSize);
  return status;
}
