// The test signal of `qav play` and its search in a capture: a capture
// holding the signal behind some silence is found and judged exact, and
// every kind of damage the round trip could do is counted.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "tools/qav/play_signal.h"

namespace {

using qav::CompareCapture;
using qav::PlayComparison;
using qav::PlayFormat;

constexpr PlayFormat kPcm16{2, 48000, 16, 16};
constexpr PlayFormat kWide{18, 48000, 32, 24};

TEST(PlaySignalTest, SamplesAreNeverSilenceNorTheValueTheMixLiftsAndFitTheirFormat) {
  for (const PlayFormat &format : {kPcm16, kWide}) {
    std::set<int32_t> seen;
    for (uint64_t frame = 0; frame < 4000; ++frame) {
      for (uint32_t c = 0; c < format.channels; ++c) {
        const int32_t sample = qav::SignalSample(format, frame, c);
        EXPECT_NE(sample, 0);
        if (format.containerBits == 16) {
          EXPECT_GT(sample, -32768);
          EXPECT_LE(sample, 32767);
        } else {
          EXPECT_NE(sample, INT32_MIN);
          EXPECT_EQ(sample & 0xFF, 0) << "24 valid bits";
        }
        seen.insert(sample);
      }
    }
    EXPECT_GT(seen.size(), 4000u * format.channels * 9 / 10) << "neighbouring samples differ";
  }
}

// The signal's first `frames` frames behind `silence` silent frames.
std::vector<uint8_t> Capture(const PlayFormat &format, uint32_t silence, uint32_t frames) {
  std::vector<uint8_t> bytes((silence + frames) * format.BlockAlign());
  qav::WriteSignal(format, 0, frames, bytes.data() + silence * format.BlockAlign());
  return bytes;
}

struct DamageCase {
  const char *name;
  std::function<void(const PlayFormat &, std::vector<uint8_t> &)> damage;
  bool found;
  uint64_t mismatches;  // UINT64_MAX: many
  uint64_t missing;
  uint64_t breaks;
};

TEST(PlaySignalTest, TheCaptureIsFoundBehindItsDelayAndEveryDamageCounted) {
  constexpr uint32_t kSilence = 37, kFrames = 500;
  const DamageCase cases[] = {
      {"untouched", [](const PlayFormat &, std::vector<uint8_t> &) {}, true, 0, 0, 0},
      {"one bit flipped", [](const PlayFormat &f, std::vector<uint8_t> &b) { b[(kSilence + 100) * f.BlockAlign() + 1] ^= 0x40; },
       true, 1, 0, 1},
      {"two separate frames altered",
       [](const PlayFormat &f, std::vector<uint8_t> &b) {
         b[(kSilence + 10) * f.BlockAlign() + 1] ^= 1;
         b[(kSilence + 300) * f.BlockAlign() + 1] ^= 1;
       },
       true, 2, 0, 2},
      {"a frame dropped",
       [](const PlayFormat &f, std::vector<uint8_t> &b) {
         const size_t at = (kSilence + 200) * f.BlockAlign();
         b.erase(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + f.BlockAlign()));
       },
       true, UINT64_MAX, 1, 1},
      {"capture ends early, half a frame left",
       [](const PlayFormat &f, std::vector<uint8_t> &b) { b.resize(b.size() - 50 * f.BlockAlign() - f.BlockAlign() / 2); },
       true, 0, 51, 0},
      {"channels swapped",
       [](const PlayFormat &f, std::vector<uint8_t> &b) {
         const uint32_t bytes = f.containerBits / 8u;
         for (size_t at = kSilence * f.BlockAlign(); at + f.BlockAlign() <= b.size(); at += f.BlockAlign()) {
           for (uint32_t i = 0; i < bytes; ++i) std::swap(b[at + i], b[at + bytes + i]);
         }
       },
       false, 0, 0, 0},
      {"nothing came back", [](const PlayFormat &, std::vector<uint8_t> &b) { std::fill(b.begin(), b.end(), 0); },
       false, 0, 0, 0},
  };
  for (const PlayFormat &format : {kPcm16, kWide}) {
    for (const DamageCase &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (format.containerBits == 16 ? ", 16-bit" : ", 24-in-32"));
      std::vector<uint8_t> captured = Capture(format, kSilence, kFrames);
      c.damage(format, captured);
      const PlayComparison result = CompareCapture(format, kFrames, captured);
      ASSERT_EQ(result.found, c.found);
      EXPECT_EQ(result.framesReceived, captured.size() / format.BlockAlign());
      if (!c.found) continue;
      EXPECT_EQ(result.delayFrames, kSilence);
      if (c.mismatches == UINT64_MAX) {
        EXPECT_GT(result.mismatches, 100u);
      } else {
        EXPECT_EQ(result.mismatches, c.mismatches);
      }
      EXPECT_EQ(result.framesMissing, c.missing);
      EXPECT_EQ(result.breaks, c.breaks);
      EXPECT_EQ(result.samplesCompared, (kFrames - c.missing) * format.channels);
    }
  }
}

}  // namespace
