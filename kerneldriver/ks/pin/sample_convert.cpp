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

// Different channel counts: frame by frame over the channels both sides have.
template <ULONG ClientBytes>
void ForEachFrame(const SampleBlock &b, void (*run)(PUCHAR client, PUCHAR device, ULONG samples)) {
  const ULONG channels = QavMin(b.clientChannels, b.deviceChannels);
  if (b.clientChannels == b.deviceChannels) {
    run(b.client, b.device, b.frames * channels);
    return;
  }
  for (ULONG f = 0; f < b.frames; ++f) {
    run(b.client + f * b.clientChannels * ClientBytes, b.device + f * b.deviceChannels * 4, channels);
  }
}

}  // namespace

void CaptureToClient16(const SampleBlock &block) {
  ForEachFrame<2>(block, [](PUCHAR client, PUCHAR device, ULONG samples) { CaptureRun16(device, client, samples); });
}

void CaptureToClient32(const SampleBlock &block) {
  ForEachFrame<4>(block, [](PUCHAR client, PUCHAR device, ULONG samples) { CaptureRun32(device, client, samples); });
}

void MixFromClient16(const SampleBlock &block) { ForEachFrame<2>(block, MixRun16); }

void MixFromClient32(const SampleBlock &block) { ForEachFrame<4>(block, MixRun32); }
