// The rate rewrite applied to an audio endpoint's stored wave formats.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kerneldriver/device/endpoint_formats.h"

namespace {

WAVEFORMATEXTENSIBLE Extensible(uint16_t channels, uint16_t bits, uint32_t rate) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = 22;
  return f;
}

struct PatchCase {
  const char *what;
  WAVEFORMATEXTENSIBLE format;
  bool requireBits32;
  bool changed;
};

TEST(WaveFormatPatch, RewritesRateBlockAlignAndByteRateOnlyWhenNeeded) {
  const uint32_t rate = 96000;
  const std::vector<PatchCase> cases = {
      {"another rate", Extensible(2, 24, 48000), false, true},
      {"the same rate", Extensible(2, 24, 96000), false, false},
      {"a zero rate is left alone", Extensible(2, 24, 0), false, false},
      {"the mix format at the same rate but 24 bits", Extensible(2, 24, 96000), true, true},
      {"the mix format at the same rate and 32 bits", Extensible(2, 32, 96000), true, false},
      {"the mix format with a zero rate", Extensible(2, 24, 0), true, false},
  };
  for (const auto &c : cases) {
    WAVEFORMATEXTENSIBLE f = c.format;
    EXPECT_EQ(PatchWaveFormat(reinterpret_cast<UCHAR *>(&f), sizeof(f), rate, c.requireBits32), c.changed) << c.what;
    if (!c.changed) {
      EXPECT_EQ(std::memcmp(&f, &c.format, sizeof(f)), 0) << c.what;
      continue;
    }
    EXPECT_EQ(f.Format.nSamplesPerSec, rate) << c.what;
    EXPECT_EQ(f.Format.nBlockAlign, c.format.Format.nChannels * (c.format.Format.wBitsPerSample / 8)) << c.what;
    EXPECT_EQ(f.Format.nAvgBytesPerSec, rate * f.Format.nBlockAlign) << c.what;
    EXPECT_EQ(f.Format.wBitsPerSample, c.format.Format.wBitsPerSample) << c.what << ": bits are kept";
  }
}

TEST(WaveFormatPatch, LeavesAValueShorterThanAWaveFormatAlone) {
  WAVEFORMATEXTENSIBLE f = Extensible(2, 16, 44100);
  EXPECT_FALSE(PatchWaveFormat(reinterpret_cast<UCHAR *>(&f), sizeof(WAVEFORMATEX) - 1, 48000, false));
  EXPECT_EQ(f.Format.nSamplesPerSec, 44100u);
}

}  // namespace
