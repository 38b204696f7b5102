// Creating and closing an audio pin, with the rule that keeps one sample
// rate on the device: the first pin of an idle device sets the rate, every
// later pin must use it.
#include "kerneldriver/device/device.h"
#include "kerneldriver/device/sample_rate.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"
#include "kerneldriver/ks/pin/audio_pin_dispatch.h"
#include "kerneldriver/ks/pin/rate_event.h"

namespace {

void LockGate(UsbAudioDevice *device) {
  KeWaitForSingleObject(&device->audioPinGate, Executive, KernelMode, FALSE, nullptr);
}

void UnlockGate(UsbAudioDevice *device) { KeSetEvent(&device->audioPinGate, IO_NO_INCREMENT, FALSE); }

// Frees the pin and what it owns; the object bag's free routine.
void FreePin(PVOID context) {
  auto *pin = static_cast<AudioPin *>(context);
  if (pin == nullptr) return;
  if (pin->regions != nullptr) QavFree(pin->regions, kTagPinRegions);
  if (pin->format != nullptr) QavFree(pin->format, kTagWaveFormat);
  pin->signature = 0;
  QavFree(pin, kTagObject);
}

AudioPin *AllocatePin() {
  auto *pin = static_cast<AudioPin *>(QavAllocateNonPaged(sizeof(AudioPin), kTagObject));
  if (pin == nullptr) return nullptr;
  pin->regions = static_cast<PinRegion *>(QavAllocateNonPaged(sizeof(PinRegion) * kPinRegionCapacity, kTagPinRegions));
  pin->format = static_cast<PinWaveFormat *>(QavAllocateNonPaged(sizeof(PinWaveFormat), kTagWaveFormat));
  if (pin->regions == nullptr || pin->format == nullptr) {
    FreePin(pin);
    return nullptr;
  }
  KeInitializeSpinLock(&pin->regionLock);
  pin->operations = &kAudioPinOperations;
  return pin;
}

// The rate rule, serialised across the device's filters.
NTSTATUS CountOpenPin(UsbAudioDevice *device, ULONG rate) {
  bool changed = false;
  LockGate(device);
  NTSTATUS status = UsbAudioDeviceOpenAudioPin(device, rate, &changed);
  UnlockGate(device);
  if (changed) QueueRateChangedEvent(device, rate);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(PinRateRefused, static_cast<unsigned>(rate),
              static_cast<unsigned>(device->sampleRate), static_cast<int>(device->openAudioPins));
  }
  return status;
}

}  // namespace

UsbAudioDevice *AudioPinDeviceOf(PKSPIN pin) {
  PKSFILTER filter = KsPinGetParentFilter(pin);
  PKSFILTERFACTORY factory = filter != nullptr ? KsFilterGetParentFilterFactory(filter) : nullptr;
  PKSDEVICE device = factory != nullptr ? KsFilterFactoryGetParentDevice(factory) : nullptr;
  return AudioDeviceFromKs(device);
}

AudioPin *AudioPinOf(PKSPIN pin) {
  if (pin == nullptr) return nullptr;
  auto *context = static_cast<AudioPin *>(pin->Context);
  return context != nullptr && context->signature == kAudioPinSignature ? context : nullptr;
}

NTSTATUS AudioPinCreate(PKSPIN ksPin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  UsbAudioDevice *device = AudioPinDeviceOf(ksPin);
  if (device == nullptr) return STATUS_INTERNAL_ERROR;
  AudioPin *pin = AllocatePin();
  if (pin == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(CopyWaveFormat(ksPin->ConnectionFormat, pin->format))) {
    FreePin(pin);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pin->capture = ksPin->DataFlow == KSPIN_DATAFLOW_OUT;
  pin->stream = pin->capture ? device->captureStream : device->renderStream;
  if (pin->stream == nullptr) {
    FreePin(pin);
    return STATUS_INTERNAL_ERROR;
  }
  NTSTATUS status = CountOpenPin(device, pin->format->rate);
  if (!NT_SUCCESS(status)) {
    FreePin(pin);
    return status;
  }
  pin->device = device;
  pin->pin = ksPin;
  pin->clientProcessId = PsGetCurrentProcessId();
  pin->signature = kAudioPinSignature;
  status = KsAddItemToObjectBag(ksPin->Bag, pin, FreePin);
  if (!NT_SUCCESS(status)) {
    FreePin(pin);
    UsbAudioDeviceCloseAudioPin(device);
    return status;
  }
  ksPin->Context = pin;
  QAV_LOG(PinCreated, static_cast<unsigned>(pin->capture),
            static_cast<unsigned>(pin->format->rate), static_cast<unsigned>(pin->format->channels),
            static_cast<unsigned>(pin->format->sampleBytes));
  return STATUS_SUCCESS;
}

// ks.sys has taken the pin out of RUN and given its queued frames back; the
// context goes with the pin's object bag.
NTSTATUS AudioPinClose(PKSPIN ksPin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  LockGate(pin->device);
  UsbAudioDeviceCloseAudioPin(pin->device);
  UnlockGate(pin->device);
  return STATUS_SUCCESS;
}
