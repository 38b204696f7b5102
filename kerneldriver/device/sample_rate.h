// Changing the device's sample rate (the sample-rate property, and the first
// audio pin opened on an idle device).
#pragma once
#include "kerneldriver/device/device.h"

// The status a rate change gets while any audio pin is open.
inline constexpr NTSTATUS kStatusAudioPinsOpen = static_cast<NTSTATUS>(0xC0000708);

// Sets the clock to `rate` and prepares both streams for it (selecting their
// formats on the device). On success the rate is stored as "SampleRate", the
// endpoint formats are updated and KSEVENT_UAC_SAMPLE_RATE_CHANGED is raised.
// The device's rate list is not consulted: the device decides. Failures after
// the pin check: STATUS_DEVICE_NOT_READY without AudioControl, else
// STATUS_INTERNAL_ERROR. PASSIVE_LEVEL.
NTSTATUS UsbAudioDeviceChangeSampleRate(UsbAudioDevice *device, ULONG rate);

// The rate rule of audio pin creation: a pin whose format runs at the
// device's rate, or at a rate the change above accepts (only while no audio
// pin is open), is counted in openAudioPins; any other gets
// STATUS_INSUFFICIENT_RESOURCES. After power was lost (sampleRate 0) the
// next pin sets its rate again. The caller serialises pin creation across
// the device's filters. A rate change made here raises no event (pin
// creation holds a filter's control mutex, which must not be held when the
// KS device mutex is taken): *changed (may be null) tells the caller to
// raise KSEVENT_UAC_SAMPLE_RATE_CHANGED itself. PASSIVE_LEVEL.
NTSTATUS UsbAudioDeviceOpenAudioPin(UsbAudioDevice *device, ULONG rate, bool *changed = nullptr);
// A pin counted by the call above closed. openAudioPins counts open pins and
// never goes below 0: an unmatched close is traced and ignored.
void UsbAudioDeviceCloseAudioPin(UsbAudioDevice *device);
