// The sample-rate change: clock, both streams, then the persisted rate, the
// audio endpoints' formats and the clients. Refused while audio pins are
// open. PASSIVE_LEVEL. The change holds the device's audio-pin gate, the one
// pin creation and close hold, so no pin can open between the check and the
// change; the event is raised after the gate is released.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/device/endpoint_formats.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/device/sample_rate.h"
#include "kerneldriver/device/settings.h"

namespace {

// A clock whose rate the host may not write (fixed, or external) refuses
// every write, even of the rate it runs at; a change to that rate needs no
// write.
bool ClockRunsAt(UsbAudioDevice *device, ULONG rate) {
  ULONG current = 0;
  return NT_SUCCESS(AudioControlReadRate(device->audioControl, &current)) && current == rate;
}

// The change without telling the clients.
NTSTATUS ChangeQuietly(UsbAudioDevice *device, ULONG rate) {
  if (device->openAudioPins != 0) return kStatusAudioPinsOpen;
  if (device->audioControl == nullptr) return STATUS_DEVICE_NOT_READY;
  // Nothing is rolled back after a failure: the clock may already run at the new rate.
  if (!NT_SUCCESS(AudioControlWriteRate(device->audioControl, rate)) && !ClockRunsAt(device, rate)) {
    return STATUS_INTERNAL_ERROR;
  }
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream != nullptr && !NT_SUCCESS(UsbAudioStreamPrepareForRate(stream, rate, true))) {
      return STATUS_INTERNAL_ERROR;
    }
  }
  device->sampleRate = rate;
  DriverKeyWriteDword(device, QAV_VALUE_SAMPLE_RATE, rate);
  UpdateEndpointFormats(device, rate);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS UsbAudioDeviceChangeSampleRate(UsbAudioDevice *device, ULONG rate) {
  KeWaitForSingleObject(&device->audioPinGate, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = ChangeQuietly(device, rate);
  KeSetEvent(&device->audioPinGate, IO_NO_INCREMENT, FALSE);
  if (NT_SUCCESS(status)) UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_SAMPLE_RATE_CHANGED, sizeof(rate), &rate);
  return status;
}

NTSTATUS UsbAudioDeviceOpenAudioPin(UsbAudioDevice *device, ULONG rate, bool *changed) {
  if (changed != nullptr) *changed = false;
  if (rate != device->sampleRate) {
    if (!NT_SUCCESS(ChangeQuietly(device, rate))) return STATUS_INSUFFICIENT_RESOURCES;
    if (changed != nullptr) *changed = true;
  }
  InterlockedIncrement(&device->openAudioPins);
  return STATUS_SUCCESS;
}

void UsbAudioDeviceCloseAudioPin(UsbAudioDevice *device) {
  for (;;) {
    LONG open = InterlockedCompareExchange(&device->openAudioPins, 0, 0);
    if (open <= 0) {
      QAV_LOG(PinCloseUnbalanced);
      return;
    }
    if (InterlockedCompareExchange(&device->openAudioPins, open - 1, open) == open) return;
  }
}
