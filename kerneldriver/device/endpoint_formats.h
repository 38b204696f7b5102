// After a sample-rate change, the Windows audio endpoints of this device keep
// wave formats with the old rate in the MMDevices property store. This
// update rewrites the rate-dependent fields of the two format values of every
// endpoint whose device path names this device.
#pragma once
#include "kerneldriver/device/device.h"

// At PASSIVE_LEVEL the update runs at once. Above it, a work item does it
// later under the device's remove lock (no work item: nothing happens).
void UpdateEndpointFormats(UsbAudioDevice *device, ULONG rate);

enum class FormatPatch { Changed, Unchanged, Refused };

// Changes the wave format stored in `data` (`length` bytes: the whole
// value) to `rate`: nSamplesPerSec, nBlockAlign = nChannels *
// (wBitsPerSample / 8) and nAvgBytesPerSec. Windows stores the format as a
// serialized property value (type VT_BLOB and the blob's size, 4 bytes each,
// then the format); a value without that header is taken as a bare format.
// Only when nSamplesPerSec is non-zero and differs from the rate, or
// (requireBits32) wBitsPerSample is not 32. Refused, and left untouched:
// anything that is not a plausible PCM, IEEE-float or EXTENSIBLE format
// lying wholly inside the value.
FormatPatch PatchWaveFormat(UCHAR *data, ULONG length, ULONG rate, bool requireBits32);
