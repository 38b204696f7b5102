// KSEVENT_UAC_SAMPLE_RATE_CHANGED for a rate the first audio pin set: pin
// creation runs under its filter's control mutex, and raising walks the
// device's filters under the KS device mutex, which AVStream orders before
// every filter's. So the event is raised from a work item, which the
// device's remove lock keeps ahead of removal.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioDevice;

// Queues the raise; nothing happens when the work item or its context
// cannot be had or the device is being removed (traced). PASSIVE_LEVEL.
void QueueRateChangedEvent(UsbAudioDevice *device, ULONG rate);
