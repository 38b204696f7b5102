// The data-intersection handler of the audio streaming pins. From a client's
// data range and the pin's matching range it proposes the one format the pin
// can take now: the rate the device's clock runs at, the channels both ranges
// allow, and the largest sample container both allow that the pin accepts
// (32 bits carrying 24 valid bits, or 16 bits).
#pragma once
#include "kerneldriver/kernel_headers.h"

// Sizes of the proposed formats: the client's plain KSDATAFORMAT when its
// range names no specifier; KSDATAFORMAT followed by WAVEFORMATEXTENSIBLE;
// the same with the DSOUND buffer description's Flags and Control between
// the two.
inline constexpr ULONG kIntersectPlainSize = sizeof(KSDATAFORMAT);
inline constexpr ULONG kIntersectWaveSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
inline constexpr ULONG kIntersectDsoundSize = kIntersectWaveSize + 2 * sizeof(ULONG);
static_assert(kIntersectPlainSize == 64 && kIntersectWaveSize == 104 && kIntersectDsoundSize == 112,
              "proposed format sizes");

// Reads the rate the device's clock runs at now. PASSIVE_LEVEL.
using ReadCurrentRate = NTSTATUS (*)(PVOID context, ULONG *rate);

// The intersection. `client` is trusted only for its 64-byte header: its
// FormatSize is checked before the audio fields behind it are read;
// `pinRange` is one of the pin's KSDATARANGE_AUDIO. *size always receives the
// proposal's size. A bufferSize of 0 asks for that size
// (STATUS_BUFFER_OVERFLOW); a smaller buffer gives STATUS_BUFFER_TOO_SMALL;
// both before the clock is read. A range other than audio PCM, or one too
// short for its fields, is STATUS_INVALID_PARAMETER; a rate, channel count or
// sample size outside the client's range is STATUS_NO_MATCH; a failed clock
// read is that read's status. PASSIVE_LEVEL.
NTSTATUS IntersectAudioRange(const KSDATARANGE *client, const KSDATARANGE *pinRange, ReadCurrentRate readRate,
                             PVOID rateContext, ULONG bufferSize, PVOID buffer, ULONG *size);

// PFNKSINTERSECTHANDLEREX of the audio streaming pins. The device is the
// context of the filter the IRP was sent to (set when the filter is
// created), whatever ks.sys passes as the context argument; the rate is read
// from its clock.
NTSTATUS AudioIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                               PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data, PULONG dataSize);
