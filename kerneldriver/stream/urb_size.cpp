// Changing UrbSize, the USB frames each isochronous transfer request covers.
// With the KS device acquired (no pin changes state meanwhile) running
// streams stop, take the new size and start again.
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/device/settings.h"

namespace {

void ForEachStream(UsbAudioDevice *device, void (*action)(UsbAudioStream *, ULONG), ULONG value) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) action(stream, value);
  }
}

void Pause(UsbAudioStream *stream, ULONG) { UsbAudioStreamPause(stream); }
void Resume(UsbAudioStream *stream, ULONG) { UsbAudioStreamResume(stream); }
void SetFrames(UsbAudioStream *stream, ULONG frames) { UsbAudioStreamSetFramesPerUrb(stream, frames); }

void Free(UsbAudioStream *stream, ULONG) {
  if (UsbAudioStreamHasPreparedTransfers(stream)) UsbAudioStreamFreeTransfers(stream);
}

void Prepare(UsbAudioStream *stream, ULONG) {
  NTSTATUS status = UsbAudioStreamPrepareTransfers(stream);
  if (!NT_SUCCESS(status)) {
    QAV_TRACE("UrbSize change: stream %02x not prepared %08x", static_cast<unsigned>(stream->dataEndpoint),
              static_cast<unsigned>(status));
  }
}

}  // namespace

// Idle streams are left unprepared: the pins prepare them when they start,
// and a prepared stream would refuse the next sample-rate change.
NTSTATUS UsbAudioDeviceSetUrbSize(UsbAudioDevice *device, ULONG urbSize) {
  KsAcquireDevice(device->device);
  ForEachStream(device, Pause, 0);
  ForEachStream(device, Free, 0);
  ForEachStream(device, SetFrames, urbSize);
  device->urbSize = urbSize;
  UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_URB_SIZE_CHANGED, sizeof(urbSize), &urbSize);
  if (device->runningAudioPins > 0) ForEachStream(device, Prepare, 0);
  ForEachStream(device, Resume, 0);
  KsReleaseDevice(device->device);
  DriverKeyWriteDword(device, QAV_VALUE_URB_SIZE, urbSize);
  return STATUS_SUCCESS;
}
