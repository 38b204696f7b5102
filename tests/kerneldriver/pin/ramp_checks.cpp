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

namespace {

// The first frame of a ramp whose samples at `subslot` resolution are not
// all silent: where its first sound falls.
uint64_t FirstAudibleFrame(const std::function<int32_t(uint64_t, uint32_t)> &sample, uint32_t channels) {
  for (uint64_t f = 0; f < 1024; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      if (sample(f, c) != 0) return f;
    }
  }
  return 0;
}

}  // namespace

void ExpectPlayedRamp(const std::vector<int32_t> &played, uint32_t channels, const WaveShape &shape, uint64_t frames,
                      uint32_t subslot) {
  ASSERT_GT(channels, 0u);
  auto word = [&](uint64_t f, uint32_t c) {
    return c < shape.channels ? AtDeviceResolution(DeviceWord(shape, f, c), subslot) : 0;
  };
  const size_t heard = FirstSound(played, channels);
  const uint64_t lead = FirstAudibleFrame(word, channels);
  ASSERT_GE(heard, lead);
  const size_t start = heard - lead;
  ASSERT_GE(played.size() / channels, start + frames) << "the whole ramp was played";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      const int32_t expected = word(f, c);
      if (played[(start + f) * channels + c] != expected && errors++ < 3) {
        ADD_FAILURE() << "frame " << f << " channel " << c << ": " << played[(start + f) * channels + c]
                      << " expected " << expected;
      }
    }
  }
  EXPECT_EQ(errors, 0u);
}

void ExpectCapturedRamp(const std::vector<uint8_t> &bytes, const WaveShape &shape, uint64_t minimumFrames,
                        uint32_t subslot) {
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
  auto ramp = [&](uint64_t f, uint32_t c) -> int32_t {
    if (width == 2) return Ramp16(f, c, shape.channels);  // 16 bits fit every subslot
    return AtDeviceResolution(Ramp32(f, c, shape.channels), subslot);
  };
  const size_t heard = FirstSound(samples, shape.channels);
  const uint64_t lead = FirstAudibleFrame(ramp, shape.channels);
  ASSERT_GE(heard, lead);
  const size_t start = heard - lead;
  const size_t frames = samples.size() / shape.channels - start;
  ASSERT_GE(frames, minimumFrames) << "the ramp came back";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < shape.channels; ++c) {
      const int32_t expected = ramp(f, c);
      const int32_t got = samples[(start + f) * shape.channels + c];
      if (got != expected && got != 0 && errors++ < 3) {
        ADD_FAILURE() << "captured frame " << f << " channel " << c << ": " << got << " expected " << expected;
      }
      if (got == 0 && expected != 0 && f < minimumFrames && errors++ < 3) {
        ADD_FAILURE() << "gap at captured frame " << f;
      }
    }
  }
  EXPECT_EQ(errors, 0u);
}

}  // namespace pintest
