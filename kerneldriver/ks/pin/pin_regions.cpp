// The four operations the stream calls on an audio pin (pin_operations.h),
// all from its URB completion at DISPATCH_LEVEL under the stream's pinLock:
// the pin's ring of regions is filled and emptied here, and nothing is
// allocated. The removal hook reaches every audio pin of the device.
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

// A pin outside RUN is not processed (its descriptor says so), so its
// frames are given back here, under its processing mutex; a running pin
// gives them back from its next pass.
void MarkRemoved(PKSPIN ksPin) {
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return;
  InterlockedExchange(&pin->removed, 1);
  if (ksPin->DeviceState == KSSTATE_RUN) {
    KsPinAttemptProcessing(ksPin, TRUE);
    return;
  }
  KsPinAcquireProcessingMutex(ksPin);
  AudioPinGiveBackFrames(ksPin);
  KsPinReleaseProcessingMutex(ksPin);
}

// With the filter's control mutex held, which keeps its pin lists and their
// states still.
void MarkFilterPins(PKSFILTER filter) {
  const ULONG pinIds = filter->Descriptor != nullptr ? filter->Descriptor->PinDescriptorsCount : 0;
  for (ULONG id = 0; id < pinIds; ++id) {
    for (PKSPIN pin = KsFilterGetFirstChildPin(filter, id); pin != nullptr; pin = KsPinGetNextSiblingPin(pin)) {
      // Only audio pins carry an AudioPin context (MIDI pins have their own).
      if (pin->Descriptor != nullptr && pin->Descriptor->Dispatch == &kAudioPinDispatch) MarkRemoved(pin);
    }
  }
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
  if (device == nullptr || device->device == nullptr) return;
  KsAcquireDevice(device->device);
  for (PKSFILTERFACTORY factory = KsDeviceGetFirstChildFilterFactory(device->device); factory != nullptr;
       factory = KsFilterFactoryGetNextSiblingFilterFactory(factory)) {
    for (PKSFILTER filter = KsFilterFactoryGetFirstChildFilter(factory); filter != nullptr;
         filter = KsFilterGetNextSiblingFilter(filter)) {
      KsFilterAcquireControl(filter);
      MarkFilterPins(filter);
      KsFilterReleaseControl(filter);
    }
  }
  KsReleaseDevice(device->device);
}
