// The one wave format the ASIO driver opens pins with: WAVEFORMATEXTENSIBLE,
// PCM, 32-bit containers holding 24 valid bits, no channel mask.
#pragma once
#include "uac2common/directks/audpin.h"

// The format for `channels` channels at `rate`. nBlockAlign and
// nAvgBytesPerSec are left 0 when they would not fit their fields.
WAVEFORMATEXTENSIBLE MakeAsioPinFormat(WORD channels, ULONG rate);

// The largest MaximumChannels among the pin's audio data ranges, bounded to
// what a wave format can carry (0xFFFF); 0 without a pin.
WORD GetPinMaxChannels(const CKsAudPin *pin);
