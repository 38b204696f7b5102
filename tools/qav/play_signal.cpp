#include "tools/qav/play_signal.h"

#include <cstring>

namespace qav {
namespace {

// A 64-bit mix of the sample's position: a different value for every frame
// and channel, stable from run to run.
uint64_t Mix(uint64_t frame, uint32_t channel) {
  uint64_t x = frame * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(channel) + 1) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return x;
}

int32_t ReadSample(const PlayFormat &format, const uint8_t *at) {
  if (format.containerBits == 16) {
    int16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  int32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

bool FrameMatches(const PlayFormat &format, const uint8_t *frame, uint64_t signalFrame) {
  const uint32_t bytes = format.containerBits / 8u;
  for (uint32_t c = 0; c < format.channels; ++c) {
    if (ReadSample(format, frame + c * bytes) != SignalSample(format, signalFrame, c)) return false;
  }
  return true;
}

}  // namespace

int32_t SignalSample(const PlayFormat &format, uint64_t frame, uint32_t channel) {
  const uint64_t mixed = Mix(frame, channel);
  if (format.containerBits == 16) {
    uint16_t value = static_cast<uint16_t>(mixed);
    if (value == 0 || value == 0x8000) value ^= 0x1234;
    return static_cast<int16_t>(value);
  }
  uint32_t value = static_cast<uint32_t>(mixed) & 0xFFFFFFu;
  if (value == 0 || value == 0x800000) value ^= 0x123456;
  return static_cast<int32_t>(value << 8);
}

void WriteSignal(const PlayFormat &format, uint64_t firstFrame, uint32_t frames, uint8_t *out) {
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < format.channels; ++c) {
      const int32_t sample = SignalSample(format, firstFrame + f, c);
      if (format.containerBits == 16) {
        const auto narrow = static_cast<int16_t>(sample);
        std::memcpy(out, &narrow, sizeof narrow);
        out += sizeof narrow;
      } else {
        std::memcpy(out, &sample, sizeof sample);
        out += sizeof sample;
      }
    }
  }
}

PlayComparison CompareCapture(const PlayFormat &format, uint64_t framesSent, const std::vector<uint8_t> &captured) {
  PlayComparison result;
  const uint32_t block = format.BlockAlign();
  if (block == 0) return result;
  result.framesReceived = captured.size() / block;
  for (uint64_t f = 0; f < result.framesReceived && !result.found; ++f) {
    if (FrameMatches(format, captured.data() + f * block, 0)) {
      result.found = true;
      result.delayFrames = f;
    }
  }
  if (!result.found) return result;
  const uint64_t available = result.framesReceived - result.delayFrames;
  const uint64_t compared = framesSent < available ? framesSent : available;
  result.framesMissing = framesSent - compared;
  const uint32_t bytes = format.containerBits / 8u;
  bool inBreak = false;
  for (uint64_t f = 0; f < compared; ++f) {
    const uint8_t *frame = captured.data() + (result.delayFrames + f) * block;
    uint64_t wrong = 0;
    for (uint32_t c = 0; c < format.channels; ++c) {
      if (ReadSample(format, frame + c * bytes) != SignalSample(format, f, c)) ++wrong;
    }
    result.samplesCompared += format.channels;
    result.mismatches += wrong;
    if (wrong != 0 && !inBreak) ++result.breaks;
    inBreak = wrong != 0;
  }
  return result;
}

}  // namespace qav
