// Sample rate: the rate in use by open audio pins, the clock's discrete
// rates, the rate the clock reports now, and the rate change (refused while
// any audio pin is open).
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/device/sample_rate.h"
#include "kerneldriver/kernel_support.h"

NTSTATUS ActiveSampleRateGet(PrivateRequest *request) {
  UsbAudioDevice *device = request->device;
  const bool pinsOpen = InterlockedCompareExchange(&device->openAudioPins, 0, 0) > 0;
  return PrivateReturnU32(request, pinsOpen ? device->sampleRate : 0);
}

NTSTATUS SampleRatesGet(PrivateRequest *request) {
  const UsbAudioControl *control = request->device->audioControl;
  ULONG count = 0;
  if (control != nullptr) {
    while (count < kMaxRates && control->rates[count] != 0) ++count;
  }
  return PrivateReturnU32Array(request, control != nullptr ? control->rates : nullptr, count);
}

NTSTATUS SampleRateGet(PrivateRequest *request) {
  ULONG rate = 0;
  UsbAudioControl *control = request->device->audioControl;
  if (control != nullptr && !NT_SUCCESS(AudioControlReadRate(control, &rate))) rate = 0;
  return PrivateReturnU32(request, rate);
}

NTSTATUS SampleRateSet(PrivateRequest *request) {
  return UsbAudioDeviceChangeSampleRate(request->device, PrivateReadU32(request));
}
