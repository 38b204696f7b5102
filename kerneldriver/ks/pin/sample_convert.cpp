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

// Walks the frames with the channels both sides have; equal widths run as
// one contiguous loop (the common case, which the compiler vectorises).
template <ULONG ClientBytes, typename Sample>
void ForEachSample(const SampleBlock &b, Sample sample) {
  const ULONG channels = QavMin(b.clientChannels, b.deviceChannels);
  if (b.clientChannels == b.deviceChannels) {
    const ULONG samples = b.frames * channels;
    for (ULONG i = 0; i < samples; ++i) sample(b.client + i * ClientBytes, b.device + i * 4);
    return;
  }
  const ULONG clientStride = b.clientChannels * ClientBytes;
  const ULONG deviceStride = b.deviceChannels * 4;
  for (ULONG f = 0; f < b.frames; ++f) {
    PUCHAR client = b.client + f * clientStride;
    PUCHAR device = b.device + f * deviceStride;
    for (ULONG c = 0; c < channels; ++c) sample(client + c * ClientBytes, device + c * 4);
  }
}

}  // namespace

void CaptureToClient16(const SampleBlock &block) {
  ForEachSample<2>(block, [](PUCHAR client, PUCHAR device) { Store16(client, UpperHalf(Load32(device))); });
}

void CaptureToClient32(const SampleBlock &block) {
  ForEachSample<4>(block, [](PUCHAR client, PUCHAR device) { Store32(client, Load32(device)); });
}

void MixFromClient16(const SampleBlock &block) {
  ForEachSample<2>(block, [](PUCHAR client, PUCHAR device) {
    Store32(device, SaturatingMix(Load32(device), FromUpperHalf(Load16(client))));
  });
}

void MixFromClient32(const SampleBlock &block) {
  ForEachSample<4>(block, [](PUCHAR client, PUCHAR device) {
    Store32(device, SaturatingMix(Load32(device), Load32(client)));
  });
}
