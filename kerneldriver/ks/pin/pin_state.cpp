// The pin's device state: only entering and leaving RUN matter. The first
// pin of the device entering RUN prepares and starts both streams (capture
// first, so render packets can follow the captured frame counts); the last
// one leaving stops and frees them. Everything runs under the device's
// stream state lock, which also orders it against the UrbSize change and
// the power callbacks.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"

namespace {

// Steps of the streams' start and stop, as the trace names them.
enum StreamStep : ULONG { kStepPrepare = 0, kStepStart = 1, kStepFree = 2 };

void TraceFailure(StreamStep step, UsbAudioStream *stream, NTSTATUS status) {
  if (NT_SUCCESS(status)) return;
  QAV_LOG(PinStreamStepFailed, static_cast<ULONG>(step), static_cast<unsigned>(stream->dataEndpoint),
            static_cast<unsigned>(status));
}

// Failures are traced; the state change itself succeeds.
void StartStreams(UsbAudioDevice *device) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) TraceFailure(kStepPrepare, stream, UsbAudioStreamPrepareTransfers(stream));
  }
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) TraceFailure(kStepStart, stream, UsbAudioStreamStart(stream));
  }
}

void StopStreams(UsbAudioDevice *device) {
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr) UsbAudioStreamStop(stream);
  }
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr && UsbAudioStreamHasPreparedTransfers(stream)) {
      TraceFailure(kStepFree, stream, UsbAudioStreamFreeTransfers(stream));
    }
  }
}

// A pin the stream cannot take (its pins table is full) would wait for
// regions that never come; it stays out of RUN instead.
NTSTATUS EnterRun(AudioPin *pin) {
  AudioPinClearRegions(pin, false);
  UsbAudioDevice *device = pin->device;
  UsbAudioStreamStateLock(device);
  NTSTATUS status = UsbAudioStreamAttachPin(pin->stream, pin);
  if (NT_SUCCESS(status) && InterlockedIncrement(&device->runningAudioPins) == 1) StartStreams(device);
  UsbAudioStreamStateUnlock(device);
  if (!NT_SUCCESS(status)) QAV_LOG(PinNotAttached, static_cast<unsigned>(status));
  return status;
}

// ks.sys may run a Process pass beside this state change. Once detached the
// pin gets no new regions, and clearing its ring (under its region lock, which
// a pass holds while it touches a region) leaves none in the transfer buffer
// the last pin's stop frees.
void LeaveRun(AudioPin *pin) {
  UsbAudioDevice *device = pin->device;
  UsbAudioStreamStateLock(device);
  UsbAudioStreamDetachPin(pin->stream, pin);
  AudioPinClearRegions(pin, true);
  if (InterlockedDecrement(&device->runningAudioPins) == 0) StopStreams(device);
  UsbAudioStreamStateUnlock(device);
}

}  // namespace

NTSTATUS AudioPinSetDeviceState(PKSPIN ksPin, KSSTATE to, KSSTATE from) {
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  QAV_LOG(PinState, static_cast<unsigned>(from), static_cast<unsigned>(to));
  if (to == KSSTATE_RUN) return EnterRun(pin);
  if (from == KSSTATE_RUN) LeaveRun(pin);
  return STATUS_SUCCESS;
}
