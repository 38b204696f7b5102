#include "kerneldriver/ks/pin/wave_format.h"

#include "kerneldriver/kernel_support.h"

namespace {

QAV_DEFINE_GUID(kSubtypePcm, STATIC_KSDATAFORMAT_SUBTYPE_PCM);
QAV_DEFINE_GUID(kSpecifierWaveFormatEx, STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
QAV_DEFINE_GUID(kSpecifierDsound, STATIC_KSDATAFORMAT_SPECIFIER_DSOUND);

constexpr USHORT kTagPcm = 0x0001;
constexpr USHORT kTagOtherShort1 = 0x0092;
constexpr USHORT kTagOtherShort2 = 0x0164;
constexpr USHORT kTagExtensible = 0xFFFE;
constexpr ULONG kDsoundPrefix = 8;  // KSDSOUND_BUFFERDESC Flags and Control

bool SameGuid(const GUID &a, const GUID &b) { return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0; }

// Offset of the wave format in the connection format; 0 for another specifier.
ULONG WaveOffset(const KSDATAFORMAT *format) {
  if (SameGuid(format->Specifier, kSpecifierWaveFormatEx)) return sizeof(KSDATAFORMAT);
  if (SameGuid(format->Specifier, kSpecifierDsound)) return sizeof(KSDATAFORMAT) + kDsoundPrefix;
  return 0;
}

ULONG CopyLengthOf(USHORT tag) {
  if (tag == kTagPcm || tag == kTagOtherShort1 || tag == kTagOtherShort2) return sizeof(WAVEFORMATEX);
  if (tag == kTagExtensible) return sizeof(WAVEFORMATEXTENSIBLE);
  return 0;
}

void Derive(PinWaveFormat *out) {
  WAVEFORMATEXTENSIBLE wave;
  __builtin_memcpy(&wave, out->bytes, sizeof(wave));
  out->channels = wave.Format.nChannels;
  out->blockAlign = wave.Format.nBlockAlign;
  out->sampleBytes = out->channels != 0 ? out->blockAlign / out->channels : 0;
  out->bitsPerSample = wave.Format.wBitsPerSample;
  out->validBits = wave.Format.wFormatTag == kTagExtensible ? wave.Samples.wValidBitsPerSample : out->bitsPerSample;
  out->rate = wave.Format.nSamplesPerSec;
  const ULONGLONG perSecond = static_cast<ULONGLONG>(out->channels) * (out->bitsPerSample / 8) * out->rate;
  out->bytesPerSecond = perSecond > 0xFFFFFFFFull ? 0 : static_cast<ULONG>(perSecond);
}

}  // namespace

NTSTATUS CopyWaveFormat(const KSDATAFORMAT *format, PinWaveFormat *out) {
  QavZeroMemory(out, sizeof(*out));
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG offset = WaveOffset(format);
  if (offset == 0 || format->FormatSize < offset + sizeof(USHORT)) return STATUS_INSUFFICIENT_RESOURCES;
  const UCHAR *wave = reinterpret_cast<const UCHAR *>(format) + offset;
  const ULONG length = CopyLengthOf(QavReadLe16(wave));
  if (length == 0 || format->FormatSize - offset < length) return STATUS_INSUFFICIENT_RESOURCES;
  QavCopyMemory(out->bytes, wave, length);
  Derive(out);
  return STATUS_SUCCESS;
}

NTSTATUS CheckPinFormat(const KSDATAFORMAT *format, const KSDATARANGE_AUDIO *range) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) return STATUS_NO_MATCH;
  if (!SameGuid(format->SubFormat, kSubtypePcm) || WaveOffset(format) == 0) return STATUS_NO_MATCH;
  PinWaveFormat wave;
  if (!NT_SUCCESS(CopyWaveFormat(format, &wave))) return STATUS_NO_MATCH;
  if (wave.channels == 0 || wave.sampleBytes == 0 || wave.sampleBytes % 3 == 0) return STATUS_NO_MATCH;
  if (wave.bitsPerSample < 16 || (wave.bitsPerSample == 32 && wave.validBits == 32)) return STATUS_NO_MATCH;
  if (wave.sampleBytes != 2 && wave.sampleBytes != 4) return STATUS_NO_MATCH;
  if (wave.blockAlign != wave.channels * wave.sampleBytes || wave.bitsPerSample != wave.sampleBytes * 8) {
    return STATUS_NO_MATCH;
  }
  if (wave.validBits == 0 || wave.validBits > wave.bitsPerSample) return STATUS_NO_MATCH;
  if (range != nullptr) {
    if (wave.bitsPerSample < range->MinimumBitsPerSample || wave.validBits > range->MaximumBitsPerSample) {
      return STATUS_NO_MATCH;
    }
    if (wave.rate < range->MinimumSampleFrequency || wave.rate > range->MaximumSampleFrequency) {
      return STATUS_NO_MATCH;
    }
  }
  return STATUS_SUCCESS;
}
