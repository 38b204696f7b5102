// The wave format inside a pin's connection format, and the rules a format
// must meet for the pin's sample conversions. Pure; any IRQL.
#pragma once
#include "kerneldriver/kernel_headers.h"

// What the pin keeps of its format: the wave format itself (18 bytes for
// PCM and the compressed tags the pin accepts, 40 for WAVEFORMATEXTENSIBLE,
// the rest zero) and what the data path derives from it.
struct PinWaveFormat {
  UCHAR bytes[sizeof(WAVEFORMATEXTENSIBLE)];
  ULONG channels;
  ULONG blockAlign;
  ULONG sampleBytes;     // 2 or 4 once the format is accepted
  ULONG bitsPerSample;
  ULONG validBits;       // wValidBitsPerSample, or wBitsPerSample without the extensible part
  ULONG rate;
  ULONG bytesPerSecond;  // nChannels * wBitsPerSample / 8 * nSamplesPerSec: the time base of the stamps
};

// Copies the wave format the connection format carries (after the
// KSDATAFORMAT for the WAVEFORMATEX specifier, after it and the 8 bytes of
// Flags and Control for DSOUND) by its tag: PCM, 0x92 and 0x164 copy 18
// bytes, WAVE_FORMAT_EXTENSIBLE 40. Nothing past format->FormatSize is
// read: a format too short for what its tag needs is refused like an
// unknown tag, with STATUS_INSUFFICIENT_RESOURCES; so is another specifier.
NTSTATUS CopyWaveFormat(const KSDATAFORMAT *format, PinWaveFormat *out);

// The pin's format rules, every refusal STATUS_NO_MATCH: PCM subtype with
// the WAVEFORMATEX or DSOUND specifier; bytes per sample (nBlockAlign /
// nChannels) not a multiple of 3 (packed 24-bit, 0); at least 16 bits, and
// not 32 valid bits in 32; the range's bit and rate limits. Beyond those,
// what the conversions need to be safe: channels present, 2 or 4 bytes per
// sample matching wBitsPerSample, valid bits within the container.
NTSTATUS CheckPinFormat(const KSDATAFORMAT *format, const KSDATARANGE_AUDIO *range);
