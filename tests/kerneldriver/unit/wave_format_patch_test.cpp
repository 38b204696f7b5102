// The rate rewrite applied to an audio endpoint's stored wave formats, as
// Windows stores them (a serialized VT_BLOB: type and size, then the format)
// and as a bare format; anything that is not a plausible format is left
// exactly as it was.
#include <cstddef>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

std::vector<UCHAR> Bare(const WAVEFORMATEXTENSIBLE &f, size_t bytes = sizeof(WAVEFORMATEXTENSIBLE)) {
  std::vector<UCHAR> value(bytes);
  std::memcpy(value.data(), &f, std::min(bytes, sizeof f));
  return value;
}

// What Windows stores: VT_BLOB (0x41) and the blob's size, then the format.
std::vector<UCHAR> Blob(const WAVEFORMATEXTENSIBLE &f, size_t formatBytes = sizeof(WAVEFORMATEXTENSIBLE),
                        uint32_t declared = 0) {
  std::vector<UCHAR> value = {0x41, 0, 0, 0};
  uint32_t size = declared != 0 ? declared : static_cast<uint32_t>(formatBytes);
  for (int i = 0; i < 4; ++i) value.push_back(static_cast<UCHAR>(size >> (8 * i)));
  std::vector<UCHAR> format = Bare(f, formatBytes);
  value.insert(value.end(), format.begin(), format.end());
  return value;
}

WAVEFORMATEX FormatAt(const std::vector<UCHAR> &value, size_t offset) {
  WAVEFORMATEX f;
  std::memcpy(&f, value.data() + offset, sizeof f);
  return f;
}

struct PatchCase {
  const char *what;
  std::vector<UCHAR> value;
  size_t formatOffset;  // where the format lies in the value
  bool requireBits32;
  FormatPatch expected;
};

WAVEFORMATEXTENSIBLE With(WAVEFORMATEXTENSIBLE f, const std::function<void(WAVEFORMATEX &)> &change) {
  change(f.Format);
  return f;
}

TEST(WaveFormatPatch, RewritesRateBlockAlignAndByteRateOfTheFormatBehindTheHeader) {
  const uint32_t rate = 96000;
  const std::vector<PatchCase> cases = {
      {"stored value, another rate", Blob(Extensible(2, 24, 48000)), 8, false, FormatPatch::Changed},
      {"stored value, the same rate", Blob(Extensible(2, 24, 96000)), 8, false, FormatPatch::Unchanged},
      {"stored value, mix format at the same rate but 24 bits", Blob(Extensible(2, 24, 96000)), 8, true,
       FormatPatch::Changed},
      {"stored value, mix format at the same rate and 32 bits", Blob(Extensible(2, 32, 96000)), 8, true,
       FormatPatch::Unchanged},
      {"stored value, zero rate", Blob(Extensible(2, 24, 0)), 8, false, FormatPatch::Unchanged},
      {"stored PCM WAVEFORMATEX", Blob(With(Extensible(1, 16, 44100), [](auto &f) {
         f.wFormatTag = WAVE_FORMAT_PCM;
         f.cbSize = 0;
       }), sizeof(WAVEFORMATEX)),
       8, false, FormatPatch::Changed},
      {"stored IEEE float", Blob(With(Extensible(2, 32, 48000), [](auto &f) {
         f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
         f.cbSize = 0;
       }), sizeof(WAVEFORMATEX)),
       8, false, FormatPatch::Changed},
      {"bare format, another rate", Bare(Extensible(2, 24, 48000)), 0, false, FormatPatch::Changed},
      {"bare format, mix format at the same rate but 16 bits", Bare(Extensible(2, 16, 96000)), 0, true,
       FormatPatch::Changed},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<UCHAR> value = c.value;
    ASSERT_EQ(PatchWaveFormat(value.data(), static_cast<ULONG>(value.size()), rate, c.requireBits32), c.expected);
    EXPECT_EQ(std::memcmp(value.data(), c.value.data(), c.formatOffset), 0) << "the header is kept";
    if (c.expected != FormatPatch::Changed) {
      EXPECT_EQ(value, c.value);
      continue;
    }
    const WAVEFORMATEX before = FormatAt(c.value, c.formatOffset), after = FormatAt(value, c.formatOffset);
    EXPECT_EQ(after.nSamplesPerSec, rate);
    EXPECT_EQ(after.nBlockAlign, before.nChannels * (before.wBitsPerSample / 8));
    EXPECT_EQ(after.nAvgBytesPerSec, rate * after.nBlockAlign);
    EXPECT_EQ(after.wFormatTag, before.wFormatTag);
    EXPECT_EQ(after.nChannels, before.nChannels);
    EXPECT_EQ(after.wBitsPerSample, before.wBitsPerSample);
    const size_t tail = c.formatOffset + offsetof(WAVEFORMATEX, wBitsPerSample);
    EXPECT_TRUE(std::equal(value.begin() + static_cast<std::ptrdiff_t>(tail), value.end(),
                           c.value.begin() + static_cast<std::ptrdiff_t>(tail)))
        << "nothing after nBlockAlign changes";
  }
}

TEST(WaveFormatPatch, RefusesAnythingThatIsNotAPlausibleFormatAndLeavesItAlone) {
  const WAVEFORMATEXTENSIBLE good = Extensible(2, 24, 48000);
  const std::vector<std::pair<const char *, std::vector<UCHAR>>> cases = {
      {"unknown format tag", Blob(With(good, [](auto &f) { f.wFormatTag = 0x0002; }))},
      {"no channels", Blob(With(good, [](auto &f) { f.nChannels = 0; }))},
      {"absurd channel count", Blob(With(good, [](auto &f) { f.nChannels = 4000; }))},
      {"bits not a multiple of eight", Blob(With(good, [](auto &f) { f.wBitsPerSample = 20; }))},
      {"zero bits", Blob(With(good, [](auto &f) { f.wBitsPerSample = 0; }))},
      {"bits above 32", Blob(With(good, [](auto &f) { f.wBitsPerSample = 40; }))},
      {"EXTENSIBLE without its extra bytes", Blob(With(good, [](auto &f) { f.cbSize = 0; }))},
      {"extra bytes beyond the value", Blob(With(good, [](auto &f) { f.cbSize = 40; }))},
      {"EXTENSIBLE cut short", Blob(good, 30)},
      {"blob shorter than a WAVEFORMATEX", Blob(good, 12)},
      {"blob size not that of the value", Blob(good, sizeof good, 24)},
      {"bare value shorter than a WAVEFORMATEX", Bare(good, sizeof(WAVEFORMATEX) - 1)},
  };
  for (const auto &[what, stored] : cases) {
    SCOPED_TRACE(what);
    std::vector<UCHAR> value = stored;
    EXPECT_EQ(PatchWaveFormat(value.data(), static_cast<ULONG>(value.size()), 96000, true), FormatPatch::Refused);
    EXPECT_EQ(value, stored);
  }
}

}  // namespace
