// What the rest of the driver sees of the audio streaming pins: their
// dispatch and automation tables, which the filter descriptor gives its
// audio streaming pins, and the removal hook.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioDevice;

extern const KSPIN_DISPATCH kAudioPinDispatch;
extern const KSAUTOMATION_TABLE kAudioPinAutomation;

// The device is gone (surprise removal): every audio pin of the device's
// filters gives its queued stream requests back at once instead of waiting
// for data that will not come, and any it gets later once it is processed
// (in RUN). Takes the KS device mutex and each filter's control mutex.
// PASSIVE_LEVEL.
void AudioPinsDeviceRemoved(UsbAudioDevice *device);
