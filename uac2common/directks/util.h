// Helpers of the KS client library: wave format sizes and the walk over a
// pin's data-range list.
#pragma once
#include "uac2common/directks/ksplatform.h"

// 18 for WAVE_FORMAT_PCM, else 18 + cbSize.
ULONG GetWaveFormatSize(const WAVEFORMATEX *pwfx);

namespace directks {

// Calls visit(range) for each whole range of a KSMULTIPLE_ITEM of data
// ranges, in order, while it returns true. Ranges follow each other on 8-byte
// boundaries; the walk stops at the list's Count, at its Size, and at a range
// whose FormatSize is smaller than a KSDATARANGE or runs past the list.
template <class Visit>
void WalkDataRanges(const KSMULTIPLE_ITEM *list, Visit visit) {
  if (list == nullptr || list->Size < sizeof(KSMULTIPLE_ITEM)) return;
  const UCHAR *at = reinterpret_cast<const UCHAR *>(list + 1);
  size_t left = list->Size - sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < list->Count && left >= sizeof(KSDATARANGE); ++i) {
    const auto *range = reinterpret_cast<const KSDATARANGE *>(at);
    if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > left) return;
    if (!visit(range)) return;
    size_t step = (static_cast<size_t>(range->FormatSize) + 7u) & ~static_cast<size_t>(7);
    if (step >= left) return;
    at += step;
    left -= step;
  }
}

}  // namespace directks
