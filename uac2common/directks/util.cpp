#include "uac2common/directks/util.h"

#include "uac2common/directks/kstrace.h"

ULONG GetWaveFormatSize(const WAVEFORMATEX *pwfx) {
  KS_ASSERT(pwfx != nullptr);
  if (pwfx == nullptr) return 0;
  if (pwfx->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
  return static_cast<ULONG>(sizeof(WAVEFORMATEX)) + pwfx->cbSize;
}
