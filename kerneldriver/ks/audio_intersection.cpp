#include "kerneldriver/ks/audio_intersection.h"

#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"

namespace {

QAV_DEFINE_GUID(kFormatTypeAudio, STATIC_KSDATAFORMAT_TYPE_AUDIO);
QAV_DEFINE_GUID(kSubtypePcm, STATIC_KSDATAFORMAT_SUBTYPE_PCM);
QAV_DEFINE_GUID(kSpecifierWaveFormatEx, STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
QAV_DEFINE_GUID(kSpecifierDsound, STATIC_KSDATAFORMAT_SPECIFIER_DSOUND);
QAV_DEFINE_GUID(kSpecifierNone, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

constexpr USHORT kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
// The containers the pins take: 32 bits with 24 valid bits, or 16 bits.
constexpr ULONG kWideContainerBits = 32;
constexpr ULONG kWideValidBits = 24;
constexpr ULONG kNarrowContainerBits = 16;

bool SameGuid(const GUID &a, const GUID &b) {
  const UCHAR *x = reinterpret_cast<const UCHAR *>(&a);
  const UCHAR *y = reinterpret_cast<const UCHAR *>(&b);
  for (ULONG i = 0; i < sizeof(GUID); ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

struct Proposal {
  ULONG rate;
  ULONG channels;
  ULONG channelMask;
  ULONG bits;
  ULONG validBits;
};

// The channels both ranges allow; the mask names mono and stereo only.
bool ChooseChannels(ULONG pinMaximum, ULONG clientMaximum, Proposal *p) {
  p->channels = QavMin(pinMaximum, clientMaximum);
  if (p->channels == 0) return false;
  p->channelMask = p->channels == 1 ? KSAUDIO_SPEAKER_MONO : p->channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
  return true;
}

// The largest container at most both maxima that the pin accepts: packed
// 24-bit and anything below 16 bits are refused by the pin's format check.
bool ChooseBits(ULONG pinMaximum, ULONG clientMinimum, ULONG clientMaximum, Proposal *p) {
  ULONG allowed = QavMin(pinMaximum, clientMaximum);
  if (allowed >= kWideContainerBits) {
    p->bits = kWideContainerBits;
    p->validBits = kWideValidBits;
  } else if (allowed >= kNarrowContainerBits) {
    p->bits = kNarrowContainerBits;
    p->validBits = kNarrowContainerBits;
  } else {
    return false;
  }
  return p->bits >= clientMinimum;
}

void WriteWaveFormat(const Proposal &p, bool dsound, PUCHAR out) {
  ULONG size = dsound ? kIntersectDsoundSize : kIntersectWaveSize;
  ULONG blockAlign = p.channels * p.bits / 8;
  KSDATAFORMAT format;
  QavZeroMemory(&format, sizeof(format));
  format.FormatSize = size;
  format.SampleSize = blockAlign;
  format.MajorFormat = kFormatTypeAudio;
  format.SubFormat = kSubtypePcm;
  format.Specifier = dsound ? kSpecifierDsound : kSpecifierWaveFormatEx;
  QavCopyMemory(out, &format, sizeof(format));
  ULONG offset = sizeof(format);
  if (dsound) {
    QavZeroMemory(out + offset, 2 * sizeof(ULONG));  // buffer description Flags and Control
    offset += 2 * sizeof(ULONG);
  }
  WAVEFORMATEXTENSIBLE wave;
  QavZeroMemory(&wave, sizeof(wave));
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = static_cast<WORD>(p.channels);
  wave.Format.nSamplesPerSec = p.rate;
  wave.Format.nAvgBytesPerSec = p.rate * blockAlign;
  wave.Format.nBlockAlign = static_cast<WORD>(blockAlign);
  wave.Format.wBitsPerSample = static_cast<WORD>(p.bits);
  wave.Format.cbSize = kExtensibleExtraBytes;
  wave.Samples.wValidBitsPerSample = static_cast<WORD>(p.validBits);
  wave.dwChannelMask = p.channelMask;
  wave.SubFormat = kSubtypePcm;
  QavCopyMemory(out + offset, &wave, sizeof(wave));
}

// The size protocol shared by every answer.
NTSTATUS CheckBuffer(ULONG needed, ULONG bufferSize, PVOID buffer, ULONG *size) {
  *size = needed;
  if (bufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (bufferSize < needed) return STATUS_BUFFER_TOO_SMALL;
  return buffer != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// A client that names no specifier gets its own header back, sized as what
// it is then: a plain KSDATAFORMAT.
NTSTATUS ProposePlain(const KSDATARANGE *client, ULONG bufferSize, PVOID buffer, ULONG *size) {
  NTSTATUS status = CheckBuffer(kIntersectPlainSize, bufferSize, buffer, size);
  if (!NT_SUCCESS(status)) return status;
  KSDATAFORMAT format;
  QavCopyMemory(&format, client, sizeof(format));
  format.FormatSize = kIntersectPlainSize;
  QavCopyMemory(buffer, &format, sizeof(format));
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IntersectAudioRange(const KSDATARANGE *client, const KSDATARANGE *pinRange, ReadCurrentRate readRate,
                             PVOID rateContext, ULONG bufferSize, PVOID buffer, ULONG *size) {
  *size = 0;
  if (client->FormatSize < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
  if (SameGuid(client->Specifier, kSpecifierNone)) return ProposePlain(client, bufferSize, buffer, size);
  if (!SameGuid(client->MajorFormat, kFormatTypeAudio) || !SameGuid(client->SubFormat, kSubtypePcm) ||
      client->FormatSize < sizeof(KSDATARANGE_AUDIO) || pinRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
    return STATUS_INVALID_PARAMETER;
  }
  bool dsound = SameGuid(client->Specifier, kSpecifierDsound);
  NTSTATUS status = CheckBuffer(dsound ? kIntersectDsoundSize : kIntersectWaveSize, bufferSize, buffer, size);
  if (!NT_SUCCESS(status)) return status;
  const auto *theirs = reinterpret_cast<const KSDATARANGE_AUDIO *>(client);
  const auto *ours = reinterpret_cast<const KSDATARANGE_AUDIO *>(pinRange);
  Proposal proposal{};
  status = readRate(rateContext, &proposal.rate);
  if (!NT_SUCCESS(status)) return status;
  if (proposal.rate < theirs->MinimumSampleFrequency || proposal.rate > theirs->MaximumSampleFrequency ||
      !ChooseChannels(ours->MaximumChannels, theirs->MaximumChannels, &proposal) ||
      !ChooseBits(ours->MaximumBitsPerSample, theirs->MinimumBitsPerSample, theirs->MaximumBitsPerSample,
                  &proposal)) {
    return STATUS_NO_MATCH;
  }
  WriteWaveFormat(proposal, dsound, static_cast<PUCHAR>(buffer));
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS ReadDeviceRate(PVOID context, ULONG *rate) {
  auto *device = static_cast<UsbAudioDevice *>(context);
  if (device->audioControl == nullptr) return STATUS_DEVICE_NOT_READY;
  return AudioControlReadRate(device->audioControl, rate);
}

}  // namespace

NTSTATUS AudioIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                               PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data, PULONG dataSize) {
  (void)context;
  (void)pin;
  if (irp == nullptr || dataRange == nullptr || matchingDataRange == nullptr || dataSize == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *dataSize = 0;
  // ks.sys hands the handler the filter object (its documentation speaks of
  // the filter's context); the IRP names the filter either way.
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == nullptr || filter->Context == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG size = 0;
  NTSTATUS status =
      IntersectAudioRange(dataRange, matchingDataRange, ReadDeviceRate, filter->Context, dataBufferSize, data, &size);
  *dataSize = size;
  return status;
}
