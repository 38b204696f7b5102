// After a sample-rate change, the Windows audio endpoints of this device keep
// wave formats with the old rate in the MMDevices property store. This
// update rewrites the rate-dependent fields of the two format values of every
// endpoint whose device path names this device.
#pragma once
#include "kerneldriver/device/device.h"

// At PASSIVE_LEVEL the update runs at once. Above it, a work item does it
// later under the device's remove lock (no work item: nothing happens).
void UpdateEndpointFormats(UsbAudioDevice *device, ULONG rate);

// Changes the wave format at the start of `data` (`length` bytes) to `rate`:
// nSamplesPerSec, nBlockAlign = nChannels * (wBitsPerSample / 8) and
// nAvgBytesPerSec. Only when nSamplesPerSec is non-zero and differs from the
// rate, or (requireBits32) wBitsPerSample is not 32. Returns whether it
// changed anything; a buffer too short for a WAVEFORMATEX is left alone.
bool PatchWaveFormat(UCHAR *data, ULONG length, ULONG rate, bool requireBits32);
