// The four operations the stream calls on an audio pin (pin_operations.h),
// all from its URB completion at DISPATCH_LEVEL under the stream's pinLock:
// the pin's ring of regions is filled and emptied here, and nothing is
// allocated. The removal hook reaches the running pins the same way.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"
#include "kerneldriver/ks/pin/audio_pin_dispatch.h"

namespace {

AudioPin *Of(UsbAudioPin *pin) { return static_cast<AudioPin *>(pin); }

// Capture data that goes unread once the client has read some is a loss the
// client is told about; render regions left unfilled just stay silent.
void ForgetLocked(AudioPin *pin) {
  if (pin->capture && pin->bytesProcessed > 0 && (pin->regionCount > 0 || pin->regionRemaining > 0)) {
    pin->discontinuity = true;
  }
  pin->regionHead = 0;
  pin->regionCount = 0;
  pin->currentRegion = nullptr;
  pin->regionRemaining = 0;
}

void DropPending(UsbAudioPin *base) {
  AudioPin *pin = Of(base);
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  ForgetLocked(pin);
  KeReleaseSpinLock(&pin->regionLock, irql);
}

void QueueRegion(UsbAudioPin *base, PUCHAR region, ULONG length) {
  AudioPin *pin = Of(base);
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  if (pin->regionCount < kPinRegionCapacity) {
    pin->regions[(pin->regionHead + pin->regionCount) % kPinRegionCapacity] = PinRegion{region, length};
    pin->regionCount++;
  } else if (pin->capture && pin->bytesProcessed > 0) {
    pin->discontinuity = true;
  }
  KeReleaseSpinLock(&pin->regionLock, irql);
}

void Kick(UsbAudioPin *base) { KsPinAttemptProcessing(Of(base)->pin, FALSE); }

HANDLE ClientProcessId(UsbAudioPin *base) { return Of(base)->clientProcessId; }

void MarkRemoved(UsbAudioStream *stream) {
  if (stream == nullptr) return;
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  for (ULONG i = 0; i < kMaxStreamPins; ++i) {
    UsbAudioPin *pin = stream->pins[i];
    if (pin == nullptr || pin->operations != &kAudioPinOperations) continue;
    InterlockedExchange(&Of(pin)->removed, 1);
    KsPinAttemptProcessing(Of(pin)->pin, TRUE);
  }
  KeReleaseSpinLock(&stream->pinLock, irql);
}

}  // namespace

const UsbAudioPinOperations kAudioPinOperations = {DropPending, QueueRegion, Kick, ClientProcessId};

void AudioPinClearRegions(AudioPin *pin, bool clearPosition) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  ForgetLocked(pin);
  pin->discontinuity = false;
  if (clearPosition) {
    pin->bytesProcessed = 0;
    pin->nextStampOffset = 0;
  }
  KeReleaseSpinLock(&pin->regionLock, irql);
}

void AudioPinsDeviceRemoved(UsbAudioDevice *device) {
  if (device == nullptr) return;
  MarkRemoved(device->captureStream);
  MarkRemoved(device->renderStream);
}
