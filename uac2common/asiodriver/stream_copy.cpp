#include "uac2common/asiodriver/stream_copy.h"

#include <cstddef>
#include <cstring>

// The copies are transpositions between channel-major host buffers and
// frame-major device buffers. They run in tiles of kTileFrames frames, so
// the part of the interleaved buffer a tile covers stays in the first-level
// cache while every channel group passes over it, and within a tile in
// groups of up to four channels and blocks of four frames: a block is read
// whole into locals and then written whole, which compilers turn into
// vector loads, shuffles and stores where the target has them. The block
// loops are unrolled by request because at -O2 they would otherwise stay
// loops over a local array and the block would go through memory.
namespace qavasio {
namespace {

constexpr uint32_t kTileFrames = 64;
constexpr uint32_t kBlockFrames = 4;
// Stereo devices (the most common shape) move 2 x kDenseFrames samples
// as one run.
constexpr uint32_t kDenseFrames = 8;

// The device channels that map to host channels, bounded by both lists.
uint32_t MappedChannels(const DeviceTransfer &device, uint32_t channelCount) {
  uint32_t mapped = device.listedChannels < device.formatChannels ? device.listedChannels : device.formatChannels;
  if (device.firstChannel >= channelCount) return 0;
  const uint32_t room = channelCount - device.firstChannel;
  return mapped < room ? mapped : room;
}

// `W` host channels (src[k], already at the tile's first frame) into W
// adjacent columns of an interleaved buffer of `stride` samples a frame.
template <uint32_t W>
void InterleaveGroup(const int32_t *const *src, int32_t *dst, size_t stride, uint32_t frames) {
  uint32_t j = 0;
  for (; j + kBlockFrames <= frames; j += kBlockFrames) {
    int32_t v[W][kBlockFrames];
#pragma GCC unroll 4
    for (uint32_t k = 0; k < W; ++k) {
#pragma GCC unroll 4
      for (uint32_t f = 0; f < kBlockFrames; ++f) v[k][f] = src[k][j + f];
    }
#pragma GCC unroll 4
    for (uint32_t f = 0; f < kBlockFrames; ++f) {
#pragma GCC unroll 4
      for (uint32_t k = 0; k < W; ++k) dst[f * stride + k] = v[k][f];
    }
    dst += kBlockFrames * stride;
  }
  for (; j < frames; ++j, dst += stride) {
    for (uint32_t k = 0; k < W; ++k) dst[k] = src[k][j];
  }
}

// The reverse: W adjacent columns of an interleaved buffer into W host
// channels (dst[k], already at the tile's first frame).
template <uint32_t W>
void DeinterleaveGroup(const int32_t *src, int32_t *const *dst, size_t stride, uint32_t frames) {
  uint32_t j = 0;
  for (; j + kBlockFrames <= frames; j += kBlockFrames) {
    int32_t v[kBlockFrames][W];
#pragma GCC unroll 4
    for (uint32_t f = 0; f < kBlockFrames; ++f) {
#pragma GCC unroll 4
      for (uint32_t k = 0; k < W; ++k) v[f][k] = src[f * stride + k];
    }
#pragma GCC unroll 4
    for (uint32_t k = 0; k < W; ++k) {
#pragma GCC unroll 4
      for (uint32_t f = 0; f < kBlockFrames; ++f) dst[k][j + f] = v[f][k];
    }
    src += kBlockFrames * stride;
  }
  for (; j < frames; ++j, src += stride) {
    for (uint32_t k = 0; k < W; ++k) dst[k][j] = src[k];
  }
}

void InterleaveStereo(const int32_t *left, const int32_t *right, int32_t *dst, uint32_t frames) {
  uint32_t j = 0;
  for (; j + kDenseFrames <= frames; j += kDenseFrames) {
    int32_t l[kDenseFrames], r[kDenseFrames], out[2 * kDenseFrames];
    std::memcpy(l, left + j, sizeof l);
    std::memcpy(r, right + j, sizeof r);
    for (uint32_t f = 0; f < kDenseFrames; ++f) {
      out[2 * f] = l[f];
      out[2 * f + 1] = r[f];
    }
    std::memcpy(dst + 2 * static_cast<size_t>(j), out, sizeof out);
  }
  for (; j < frames; ++j) {
    dst[2 * static_cast<size_t>(j)] = left[j];
    dst[2 * static_cast<size_t>(j) + 1] = right[j];
  }
}

void DeinterleaveStereo(const int32_t *src, int32_t *left, int32_t *right, uint32_t frames) {
  uint32_t j = 0;
  for (; j + kDenseFrames <= frames; j += kDenseFrames) {
    int32_t in[2 * kDenseFrames], l[kDenseFrames], r[kDenseFrames];
    std::memcpy(in, src + 2 * static_cast<size_t>(j), sizeof in);
    for (uint32_t f = 0; f < kDenseFrames; ++f) {
      l[f] = in[2 * f];
      r[f] = in[2 * f + 1];
    }
    std::memcpy(left + j, l, sizeof l);
    std::memcpy(right + j, r, sizeof r);
  }
  for (; j < frames; ++j) {
    left[j] = src[2 * static_cast<size_t>(j)];
    right[j] = src[2 * static_cast<size_t>(j) + 1];
  }
}

// What a format channel no host channel feeds sends: a tile's worth of
// silence, read like a host channel.
constexpr int32_t kSilence[kTileFrames] = {};

// One tile of one device: its host channels halves[0..mapped) from frame
// `at`, `frames` (at most kTileFrames) frames, to the device buffer from
// `dst` (that frame) on; the format's other channels get silence.
void OutputTile(int32_t *const *halves, uint32_t mapped, size_t stride, int32_t *dst, uint32_t at, uint32_t frames) {
  auto source = [&](size_t c) -> const int32_t * { return c < mapped ? halves[c] + at : kSilence; };
  size_t c = 0;
  for (; c + 4 <= stride; c += 4) {
    const int32_t *const src[4] = {source(c), source(c + 1), source(c + 2), source(c + 3)};
    InterleaveGroup<4>(src, dst + c, stride, frames);
  }
  if (stride - c >= 2) {
    const int32_t *const src[2] = {source(c), source(c + 1)};
    InterleaveGroup<2>(src, dst + c, stride, frames);
    c += 2;
  }
  if (c < stride) {
    const int32_t *const src[1] = {source(c)};
    InterleaveGroup<1>(src, dst + c, stride, frames);
  }
}

// The reverse, without the silence: unlisted format channels are dropped.
void InputTile(int32_t *const *halves, uint32_t mapped, size_t stride, const int32_t *src, uint32_t at,
               uint32_t frames) {
  uint32_t c = 0;
  for (; c + 4 <= mapped; c += 4) {
    int32_t *const dst[4] = {halves[c] + at, halves[c + 1] + at, halves[c + 2] + at, halves[c + 3] + at};
    DeinterleaveGroup<4>(src + c, dst, stride, frames);
  }
  if (mapped - c >= 2) {
    int32_t *const dst[2] = {halves[c] + at, halves[c + 1] + at};
    DeinterleaveGroup<2>(src + c, dst, stride, frames);
    c += 2;
  }
  if (c < mapped) {
    int32_t *const dst[1] = {halves[c] + at};
    DeinterleaveGroup<1>(src + c, dst, stride, frames);
  }
}

}  // namespace

void CopyOutput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
                uint32_t frames) {
  for (uint32_t d = 0; d < deviceCount; ++d) {
    const DeviceTransfer &device = devices[d];
    const size_t stride = device.formatChannels;
    if (device.buffer == nullptr || stride == 0) continue;
    const uint32_t mapped = MappedChannels(device, channelCount);
    // A device with no channel on the host's list only has silence to send.
    int32_t *const *own = mapped != 0 ? halves + device.firstChannel : halves;
    if (stride == 2 && mapped == 2) {
      InterleaveStereo(own[0], own[1], device.buffer, frames);
      continue;
    }
    for (uint32_t at = 0; at < frames;) {
      const uint32_t tile = frames - at < kTileFrames ? frames - at : kTileFrames;
      OutputTile(own, mapped, stride, device.buffer + at * stride, at, tile);
      at += tile;
    }
  }
}

void CopyInput(int32_t *const *halves, uint32_t channelCount, const DeviceTransfer *devices, uint32_t deviceCount,
               uint32_t frames) {
  for (uint32_t d = 0; d < deviceCount; ++d) {
    const DeviceTransfer &device = devices[d];
    const size_t stride = device.formatChannels;
    if (device.buffer == nullptr || stride == 0) continue;
    const uint32_t mapped = MappedChannels(device, channelCount);
    if (mapped == 0) continue;
    int32_t *const *own = halves + device.firstChannel;
    if (stride == 2 && mapped == 2) {
      DeinterleaveStereo(device.buffer, own[0], own[1], frames);
      continue;
    }
    for (uint32_t at = 0; at < frames;) {
      const uint32_t tile = frames - at < kTileFrames ? frames - at : kTileFrames;
      InputTile(own, mapped, stride, device.buffer + at * stride, at, tile);
      at += tile;
    }
  }
}

}  // namespace qavasio
