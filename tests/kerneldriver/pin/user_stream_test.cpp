// Audio pins reached the way the user-mode components reach them: the
// filter opened by its interface path, pins created with KsCreatePin, state
// set through IOCTL_KS_PROPERTY, frames moved by overlapped stream requests.
// What reaches the simulated device and what comes back is compared sample
// by sample.
#include <cstdlib>
#include <cstring>

#include "kerneldriver/device/sample_rate.h"
#include "pin_fixture.h"
#include "winsim/kernel/pool.h"

namespace pintest {
namespace {

constexpr WaveSpec kPcm16{2, 48000, 16, 16, false};
constexpr WaveSpec kExtensible24In32{2, 48000, 32, 24, true};

// Minutes of soak for a figure run (QAV_PIN_SOAK_SECONDS); a second otherwise.
uint32_t SoakMilliseconds() {
  const char *seconds = std::getenv("QAV_PIN_SOAK_SECONDS");
  return seconds != nullptr ? static_cast<uint32_t>(std::atoi(seconds)) * 1000u : 1000u;
}

std::function<void(uint64_t, uint8_t *)> RampWriter(const WaveSpec &spec) {
  return [spec](uint64_t frame, uint8_t *out) {
    for (uint32_t c = 0; c < spec.channels; ++c) {
      if (spec.bits == 16) {
        const int16_t v = Ramp16(frame, c, spec.channels);
        std::memcpy(out + c * 2, &v, 2);
      } else {
        const int32_t v = Ramp32(frame, c, spec.channels);
        std::memcpy(out + c * 4, &v, 4);
      }
    }
  };
}

// The client's ramp, frames 0..frames-1, as the device's words on its
// first channels (the rest silent), starting at the first sound.
void ExpectPlayedRamp(const std::vector<int32_t> &played, uint32_t channels, const WaveSpec &spec, uint64_t frames) {
  ASSERT_GT(channels, 0u);
  const size_t start = FirstSound(played, channels);
  ASSERT_GE(played.size() / channels, start + frames) << "the whole ramp was played";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      const int32_t expected = c < spec.channels ? DeviceWord(spec, f, c) : 0;
      if (played[(start + f) * channels + c] != expected && errors++ < 3) {
        ADD_FAILURE() << "frame " << f << " channel " << c << ": " << played[(start + f) * channels + c]
                      << " expected " << expected;
      }
    }
  }
  EXPECT_EQ(errors, 0u);
}

// Captured client frames hold the ramp, unaltered, from their first sound on.
void ExpectCapturedRamp(const std::vector<uint8_t> &bytes, const WaveSpec &spec, uint64_t minimumFrames) {
  const uint32_t width = spec.bits / 8;
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
  const size_t start = FirstSound(samples, spec.channels);
  const size_t frames = samples.size() / spec.channels - start;
  ASSERT_GE(frames, minimumFrames) << "the ramp came back";
  uint64_t errors = 0;
  for (uint64_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < spec.channels; ++c) {
      const int32_t expected = width == 2 ? Ramp16(f, c, spec.channels) : Ramp32(f, c, spec.channels);
      const int32_t got = samples[(start + f) * spec.channels + c];
      if (got != expected && got != 0 && errors++ < 3) {
        ADD_FAILURE() << "captured frame " << f << " channel " << c << ": " << got << " expected " << expected;
      }
      if (got == 0 && f < minimumFrames && errors++ < 3) ADD_FAILURE() << "gap at captured frame " << f;
    }
  }
  EXPECT_EQ(errors, 0u);
}

struct Exactness {
  WaveSpec spec;
  ULONG urbSize;
};

class UserStreamExactness : public PinTest, public ::testing::WithParamInterface<Exactness> {};

TEST_P(UserStreamExactness, ARampWrittenReachesTheDeviceAndItsLoopbackComesBackUnaltered) {
  PlugLoopback("Birch");
  ASSERT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), GetParam().urbSize), STATUS_SUCCESS);
  RecordPlayed();
  const WaveSpec spec = GetParam().spec;
  CPinClient &render = OpenClient(false, spec);
  CPinClient &capture = OpenClient(true, spec);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(spec)};
  Flow record{&capture, true, {}};
  const uint32_t milliseconds = SoakMilliseconds();
  Pump({&play, &record}, milliseconds);
  ASSERT_TRUE(render.SetState(KSSTATE_STOP));
  ASSERT_TRUE(capture.SetState(KSSTATE_STOP));
  uint32_t channels = 0;
  std::vector<int32_t> played = Played(&channels);
  ExpectPlayedRamp(played, channels, spec, play.framesSent);
  ExpectCapturedRamp(record.captured, spec, static_cast<uint64_t>(spec.rate) * milliseconds / 1000 / 2);
  for (ULONG flags : record.flags) EXPECT_EQ(flags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  EXPECT_FALSE(play.failed);
  EXPECT_FALSE(record.failed);
}

INSTANTIATE_TEST_SUITE_P(Formats, UserStreamExactness,
                         ::testing::Values(Exactness{kPcm16, 1}, Exactness{kPcm16, 3}, Exactness{kPcm16, 5},
                                           Exactness{kExtensible24In32, 1}, Exactness{kExtensible24In32, 3},
                                           Exactness{kExtensible24In32, 5}));

}  // namespace
}  // namespace pintest
