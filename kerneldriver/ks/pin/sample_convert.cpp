#include "kerneldriver/ks/pin/sample_convert.h"

#include "kerneldriver/kernel_support.h"

namespace {

inline LONG Load32(const UCHAR *p) {
  LONG value;
  __builtin_memcpy(&value, p, sizeof(value));
  return value;
}

inline void Store32(UCHAR *p, LONG value) { __builtin_memcpy(p, &value, sizeof(value)); }

inline SHORT Load16(const UCHAR *p) {
  SHORT value;
  __builtin_memcpy(&value, p, sizeof(value));
  return value;
}

inline void Store16(UCHAR *p, SHORT value) { __builtin_memcpy(p, &value, sizeof(value)); }

// Upper half of a device word, and a client sample placed there.
inline SHORT UpperHalf(LONG word) { return static_cast<SHORT>(static_cast<ULONG>(word) >> 16); }
inline LONG FromUpperHalf(SHORT sample) { return static_cast<LONG>(static_cast<ULONG>(static_cast<USHORT>(sample)) << 16); }

// Equal channel counts, the common case: one contiguous run of samples over
// restrict-qualified buffers, which the compiler vectorises (this file is
// built with the vectoriser on).
void CaptureRun16(const UCHAR *__restrict device, UCHAR *__restrict client, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) Store16(client + 2 * i, UpperHalf(Load32(device + 4 * i)));
}

void CaptureRun32(const UCHAR *__restrict device, UCHAR *__restrict client, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) Store32(client + 4 * i, Load32(device + 4 * i));
}

void MixRun16(PUCHAR __restrict client, UCHAR *__restrict device, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) {
    Store32(device + 4 * i, SaturatingMix(Load32(device + 4 * i), FromUpperHalf(Load16(client + 2 * i))));
  }
}

void MixRun32(PUCHAR __restrict client, UCHAR *__restrict device, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) {
    Store32(device + 4 * i, SaturatingMix(Load32(device + 4 * i), Load32(client + 4 * i)));
  }
}

// Narrow subslots (2 or 3 bytes): the sample is the top of a 32-bit value,
// so loading shifts it up and storing keeps the top DeviceBytes bytes.
template <ULONG DeviceBytes>
inline LONG LoadNarrow(const UCHAR *p) {
  ULONG word = 0;
  for (ULONG i = 0; i < DeviceBytes; ++i) word |= static_cast<ULONG>(p[i]) << (8 * (4 - DeviceBytes + i));
  return static_cast<LONG>(word);
}

template <ULONG DeviceBytes>
inline void StoreNarrow(UCHAR *p, LONG value) {
  const auto word = static_cast<ULONG>(value);
  for (ULONG i = 0; i < DeviceBytes; ++i) p[i] = static_cast<UCHAR>(word >> (8 * (4 - DeviceBytes + i)));
}

template <ULONG ClientBytes>
inline LONG LoadClient(const UCHAR *p) {
  if constexpr (ClientBytes == 2) {
    return FromUpperHalf(Load16(p));
  } else {
    return Load32(p);
  }
}

template <ULONG ClientBytes>
inline void StoreClient(UCHAR *p, LONG value) {
  if constexpr (ClientBytes == 2) {
    Store16(p, UpperHalf(value));
  } else {
    Store32(p, value);
  }
}

template <ULONG ClientBytes, ULONG DeviceBytes>
void CaptureRunNarrow(PUCHAR __restrict client, PUCHAR __restrict device, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) {
    StoreClient<ClientBytes>(client + ClientBytes * i, LoadNarrow<DeviceBytes>(device + DeviceBytes * i));
  }
}

// Mixed at 32 bits, then narrowed: the clamp's bounds narrow to the
// subslot's own extremes.
template <ULONG ClientBytes, ULONG DeviceBytes>
void MixRunNarrow(PUCHAR __restrict client, PUCHAR __restrict device, ULONG samples) {
  for (SIZE_T i = 0; i < samples; ++i) {
    const LONG mixed =
        SaturatingMix(LoadNarrow<DeviceBytes>(device + DeviceBytes * i), LoadClient<ClientBytes>(client + ClientBytes * i));
    StoreNarrow<DeviceBytes>(device + DeviceBytes * i, mixed);
  }
}

using Run = void (*)(PUCHAR client, PUCHAR device, ULONG samples);

// Different channel counts: frame by frame over the channels both sides have.
void ForEachFrame(const SampleBlock &b, ULONG clientBytes, Run run) {
  const ULONG channels = QavMin(b.clientChannels, b.deviceChannels);
  if (b.clientChannels == b.deviceChannels) {
    run(b.client, b.device, b.frames * channels);
    return;
  }
  for (ULONG f = 0; f < b.frames; ++f) {
    run(b.client + f * b.clientChannels * clientBytes, b.device + f * b.deviceChannels * b.deviceBytes, channels);
  }
}

// The run for a client width and the block's subslot; null for a subslot
// the conversions do not serve.
template <ULONG ClientBytes>
Run NarrowRun(ULONG deviceBytes, bool capture) {
  if (deviceBytes == 3) return capture ? CaptureRunNarrow<ClientBytes, 3> : MixRunNarrow<ClientBytes, 3>;
  if (deviceBytes == 2) return capture ? CaptureRunNarrow<ClientBytes, 2> : MixRunNarrow<ClientBytes, 2>;
  return nullptr;
}

template <ULONG ClientBytes>
void Convert(const SampleBlock &b, Run wordRun, bool capture) {
  Run run = b.deviceBytes == 4 ? wordRun : NarrowRun<ClientBytes>(b.deviceBytes, capture);
  if (run != nullptr) ForEachFrame(b, ClientBytes, run);
}

}  // namespace

bool SubslotServed(ULONG deviceBytes) { return deviceBytes >= 2 && deviceBytes <= 4; }

void CaptureToClient16(const SampleBlock &block) {
  Convert<2>(
      block, [](PUCHAR client, PUCHAR device, ULONG samples) { CaptureRun16(device, client, samples); }, true);
}

void CaptureToClient32(const SampleBlock &block) {
  Convert<4>(
      block, [](PUCHAR client, PUCHAR device, ULONG samples) { CaptureRun32(device, client, samples); }, true);
}

void MixFromClient16(const SampleBlock &block) { Convert<2>(block, MixRun16, false); }

void MixFromClient32(const SampleBlock &block) { Convert<4>(block, MixRun32, false); }
