#include "uac2common/asiodriver/filter/pin_format.h"

#include <cstdint>

namespace {

constexpr WORD kContainerBits = 32;
constexpr WORD kValidBits = 24;
constexpr ULONG kContainerBytes = kContainerBits / 8;

}  // namespace

WAVEFORMATEXTENSIBLE MakeAsioPinFormat(WORD channels, ULONG rate) {
  WAVEFORMATEXTENSIBLE format = {};
  WAVEFORMATEX &wfx = format.Format;
  wfx.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  const ULONG blockAlign = kContainerBytes * channels;
  if (blockAlign <= 0xFFFFu) {
    wfx.nBlockAlign = static_cast<WORD>(blockAlign);
    const uint64_t perSecond = static_cast<uint64_t>(blockAlign) * rate;
    if (perSecond <= 0xFFFFFFFFu) wfx.nAvgBytesPerSec = static_cast<DWORD>(perSecond);
  }
  wfx.wBitsPerSample = kContainerBits;
  wfx.cbSize = static_cast<WORD>(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));
  format.Samples.wValidBitsPerSample = kValidBits;
  format.dwChannelMask = 0;
  format.SubFormat = directks::kSubtypePcm;
  return format;
}

WORD GetPinMaxChannels(const CKsAudPin *pin) {
  if (pin == nullptr) return 0;
  ULONG largest = 0;
  const TList<KSDATARANGE_AUDIO> &ranges = pin->GetDataRanges();
  for (TListNode<KSDATARANGE_AUDIO> *node = ranges.GetHead(); node != nullptr;
       node = TList<KSDATARANGE_AUDIO>::GetNext(node)) {
    const ULONG channels = TList<KSDATARANGE_AUDIO>::GetData(node)->MaximumChannels;
    if (channels > largest) largest = channels;
  }
  return static_cast<WORD>(largest > 0xFFFFu ? 0xFFFFu : largest);
}
