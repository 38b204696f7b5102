#include "ramp_checks.h"

#include <cstring>

namespace pintest {

std::function<void(uint64_t, uint8_t *)> RampWriter(const WaveShape &shape) {
  return [shape](uint64_t frame, uint8_t *out) {
    for (uint32_t c = 0; c < shape.channels; ++c) {
      if (shape.bits == 16) {
        const int16_t v = Ramp16(frame, c, shape.channels);
        std::memcpy(out + c * 2, &v, 2);
      } else {
        const int32_t v = Ramp32(frame, c, shape.channels);
        std::memcpy(out + c * 4, &v, 4);
      }
    }
  };
}

void ExpectPlayedRamp(const std::vector<int32_t> &played, uint32_t channels, const WaveShape &shape, uint64_t frames) {
  ASSERT_GT(channels, 0u);
  const size_t start = FirstSound(played, channels);
  ASSERT_GE(played.size() / channels, start + frames) << "the whole ramp was played";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      const int32_t expected = c < shape.channels ? DeviceWord(shape, f, c) : 0;
      if (played[(start + f) * channels + c] != expected && errors++ < 3) {
        ADD_FAILURE() << "frame " << f << " channel " << c << ": " << played[(start + f) * channels + c]
                      << " expected " << expected;
      }
    }
  }
  EXPECT_EQ(errors, 0u);
}

void ExpectCapturedRamp(const std::vector<uint8_t> &bytes, const WaveShape &shape, uint64_t minimumFrames) {
  const uint32_t width = shape.bits / 8;
  std::vector<int32_t> samples(bytes.size() / width);
  for (size_t i = 0; i < samples.size(); ++i) {
    if (width == 2) {
      int16_t v;
      std::memcpy(&v, bytes.data() + i * 2, 2);
      samples[i] = v;
    } else {
      std::memcpy(&samples[i], bytes.data() + i * 4, 4);
    }
  }
  const size_t start = FirstSound(samples, shape.channels);
  const size_t frames = samples.size() / shape.channels - start;
  ASSERT_GE(frames, minimumFrames) << "the ramp came back";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < shape.channels; ++c) {
      const int32_t expected = width == 2 ? Ramp16(f, c, shape.channels) : Ramp32(f, c, shape.channels);
      const int32_t got = samples[(start + f) * shape.channels + c];
      if (got != expected && got != 0 && errors++ < 3) {
        ADD_FAILURE() << "captured frame " << f << " channel " << c << ": " << got << " expected " << expected;
      }
      if (got == 0 && f < minimumFrames && errors++ < 3) ADD_FAILURE() << "gap at captured frame " << f;
    }
  }
  EXPECT_EQ(errors, 0u);
}

}  // namespace pintest
