// The data path's arithmetic on its own: sample conversion and saturating
// mixing, allocator framing, time stamps across partial frames, and the
// format rules a pin applies to its connection format.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kerneldriver/ks/pin/pin_timing.h"
#include "kerneldriver/ks/pin/sample_convert.h"
#include "kerneldriver/ks/pin/wave_format.h"

namespace {

struct MixCase {
  LONG device;
  LONG client;
  LONG expected;
};

class SaturatingMixTable : public ::testing::TestWithParam<MixCase> {};

TEST_P(SaturatingMixTable, ClampsSymmetrically) {
  EXPECT_EQ(SaturatingMix(GetParam().device, GetParam().client), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ends, SaturatingMixTable,
                         ::testing::Values(MixCase{2147418112, 16384 << 16, 2147483647},
                                           MixCase{INT32_MIN, INT32_MIN, -2147483647},
                                           MixCase{0, INT32_MIN, -2147483647},
                                           MixCase{2147483647, 1, 2147483647},
                                           MixCase{-2147483647, -1, -2147483647},
                                           MixCase{2147483647, INT32_MIN, -1}, MixCase{-5, 3, -2},
                                           MixCase{0, 2147483647, 2147483647}));

// Every pair of edge values and a spread of others against the 64-bit sum clamped.
TEST(SaturatingMixEquivalence, MatchesTheClampedWideSum) {
  std::vector<LONG> values = {0, 1, -1, 2, -2, 65536, -65536, 0x3FFFFFFF, -0x40000000, 0x7FFFFFFE, 2147483647,
                              -2147483647, INT32_MIN, 0x40000000, -0x3FFFFFFF};
  for (uint32_t x = 12345; values.size() < 400; x = x * 1103515245u + 12345u) values.push_back(static_cast<LONG>(x));
  for (LONG a : values) {
    for (LONG b : values) {
      const LONGLONG wide = static_cast<LONGLONG>(a) + b;
      const LONGLONG expected = wide > 2147483647 ? 2147483647 : wide < -2147483647 ? -2147483647 : wide;
      ASSERT_EQ(SaturatingMix(a, b), expected) << a << " + " << b;
    }
  }
}

std::vector<uint8_t> Bytes32(std::initializer_list<int32_t> words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), std::data(words), bytes.size());
  return bytes;
}

std::vector<uint8_t> Bytes16(std::initializer_list<int16_t> samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), std::data(samples), bytes.size());
  return bytes;
}

template <typename T>
std::vector<T> As(const std::vector<uint8_t> &bytes) {
  std::vector<T> values(bytes.size() / sizeof(T));
  std::memcpy(values.data(), bytes.data(), bytes.size());
  return values;
}

TEST(SampleConversion, RenderMixesIntoTheDeviceWordsWithSaturation) {
  // 16-bit: the sample in the upper half; 16384 onto 2147418112 clips.
  auto device = Bytes32({2147418112, 5, 77});
  auto client = Bytes16({16384, -1});
  MixFromClient16({client.data(), 2, device.data(), 3, 1});
  EXPECT_EQ(As<int32_t>(device), (std::vector<int32_t>{2147483647, 5 - 65536, 77})) << "the extra device channel stays";
  // 32-bit: -2^31 onto -2^31 gives the symmetric floor.
  device = Bytes32({INT32_MIN, 100});
  client = Bytes32({INT32_MIN, 200, 999});
  MixFromClient32({client.data(), 3, device.data(), 2, 1});
  EXPECT_EQ(As<int32_t>(device), (std::vector<int32_t>{-2147483647, 300})) << "the extra client channel is ignored";
}

TEST(SampleConversion, CaptureDeliversTheUpperHalfOrTheWholeWord) {
  // An 8-channel device to a 16-bit stereo client: channels 1 and 2, upper halves.
  std::vector<uint8_t> device = Bytes32({0x12345678, -0x10000, 3, 4, 5, 6, 7, 8,  //
                                         0x7FFF0000, INT32_MIN, 3, 4, 5, 6, 7, 8});
  std::vector<uint8_t> client(2 * 2 * 2);
  CaptureToClient16({client.data(), 2, device.data(), 8, 2});
  EXPECT_EQ(As<int16_t>(client), (std::vector<int16_t>{0x1234, -1, 32767, -32768}));
  // A 4-channel 32-bit client from a stereo device: the extra channels are left alone.
  device = Bytes32({-7, 0x7FFFFF00});
  client = Bytes32({1, 2, 3, 4});
  CaptureToClient32({client.data(), 4, device.data(), 2, 1});
  EXPECT_EQ(As<int32_t>(client), (std::vector<int32_t>{-7, 0x7FFFFF00, 3, 4}));
}

// One sample through a (client width x device subslot) pair. Client values
// are 16-bit samples or 32-bit containers; device bytes are the subslot as
// it travels on the bus.
struct SubslotCase {
  ULONG clientBytes;
  std::vector<uint8_t> device;  // render: before the mix; capture: what arrived
  int32_t client;
  std::vector<uint8_t> expected;  // render: the device bytes after the mix
  int32_t captured;               // capture: the client's sample
};

std::vector<uint8_t> ClientSample(ULONG bytes, int32_t value) {
  std::vector<uint8_t> out(bytes);
  if (bytes == 2) {
    const auto v = static_cast<int16_t>(value);
    std::memcpy(out.data(), &v, 2);
  } else {
    std::memcpy(out.data(), &value, 4);
  }
  return out;
}

int32_t ClientValue(const std::vector<uint8_t> &bytes) {
  if (bytes.size() == 2) {
    int16_t v;
    std::memcpy(&v, bytes.data(), 2);
    return v;
  }
  int32_t v;
  std::memcpy(&v, bytes.data(), 4);
  return v;
}

class SubslotConversion : public ::testing::TestWithParam<SubslotCase> {};

TEST_P(SubslotConversion, RenderMixesAt32BitsThenNarrowsToTheSubslot) {
  const SubslotCase &c = GetParam();
  std::vector<uint8_t> device = c.device;
  std::vector<uint8_t> client = ClientSample(c.clientBytes, c.client);
  const SampleBlock block{client.data(), 1, device.data(), 1, 1, static_cast<ULONG>(device.size())};
  c.clientBytes == 2 ? MixFromClient16(block) : MixFromClient32(block);
  EXPECT_EQ(device, c.expected);
}

TEST_P(SubslotConversion, CaptureWidensTheSubslotToTheClientFormat) {
  const SubslotCase &c = GetParam();
  std::vector<uint8_t> device = c.device;
  std::vector<uint8_t> client(c.clientBytes, 0xAA);
  const SampleBlock block{client.data(), 1, device.data(), 1, 1, static_cast<ULONG>(device.size())};
  c.clientBytes == 2 ? CaptureToClient16(block) : CaptureToClient32(block);
  EXPECT_EQ(ClientValue(client), c.captured);
  EXPECT_EQ(device, c.device) << "capture leaves the device side alone";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SubslotConversion,
    ::testing::Values(
        // 3-byte subslots: the top 24 bits.
        SubslotCase{2, {0x56, 0x34, 0x12}, 0x0101, {0x56, 0x35, 0x13}, 0x1234},
        SubslotCase{4, {0x56, 0x34, 0x12}, 0x01020304, {0x59, 0x36, 0x13}, 0x12345600},
        SubslotCase{2, {0xFF, 0xFF, 0x7F}, 1, {0xFF, 0xFF, 0x7F}, 32767},           // ceiling
        SubslotCase{4, {0x00, 0x00, 0x80}, INT32_MIN, {0x00, 0x00, 0x80}, INT32_MIN},  // floor
        SubslotCase{2, {0x00, 0x00, 0x80}, -1, {0x00, 0x00, 0x80}, -32768},
        SubslotCase{4, {0xFF, 0xFF, 0x7F}, 0x7FFFFFFF, {0xFF, 0xFF, 0x7F}, 0x7FFFFF00},
        // 2-byte subslots: the top 16 bits; a 24-in-32 client's low bits are below the device's resolution.
        SubslotCase{2, {0x05, 0x00}, -1, {0x04, 0x00}, 5},
        SubslotCase{4, {0x00, 0x00}, 0x123456FF, {0x34, 0x12}, 0},
        SubslotCase{4, {0x34, 0x12}, 0, {0x34, 0x12}, 0x12340000},
        SubslotCase{2, {0xFF, 0x7F}, 0x7FFF, {0xFF, 0x7F}, 32767},
        SubslotCase{4, {0x00, 0x80}, -0x10000, {0x00, 0x80}, INT32_MIN},
        // 4-byte subslots, the word path.
        SubslotCase{2, {0x00, 0x00, 0xFF, 0x7F}, 16384, {0xFF, 0xFF, 0xFF, 0x7F}, 32767},
        SubslotCase{4, {0x00, 0x00, 0x00, 0x80}, INT32_MIN, {0x01, 0x00, 0x00, 0x80}, INT32_MIN}));

TEST(SubslotConversion, NarrowFramesKeepTheirStrideAcrossChannelCounts) {
  // A 4-channel 3-byte device against a stereo 16-bit client, two frames.
  std::vector<uint8_t> device(2 * 4 * 3, 0x11);
  auto client = Bytes16({0x0100, 0x0200, 0x0300, 0x0400});
  MixFromClient16({client.data(), 2, device.data(), 4, 2, 3});
  for (ULONG f = 0; f < 2; ++f) {
    for (ULONG c = 0; c < 4; ++c) {
      const uint8_t *s = device.data() + (f * 4 + c) * 3;
      const uint8_t expectedHigh = c < 2 ? static_cast<uint8_t>(0x11 + 1 + f * 2 + c) : 0x11;
      EXPECT_EQ(s[2], expectedHigh) << "frame " << f << " channel " << c;
      EXPECT_EQ(s[0], 0x11);
    }
  }
  // Capture into a 4-channel 32-bit client from a stereo 2-byte device: the extra channels stay.
  std::vector<uint8_t> narrow = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00};
  auto wide = Bytes32({9, 9, 9, 9, 9, 9, 9, 9});
  CaptureToClient32({wide.data(), 4, narrow.data(), 2, 2, 2});
  EXPECT_EQ(As<int32_t>(wide), (std::vector<int32_t>{0x10000, 0x20000, 9, 9, 0x30000, 0x40000, 9, 9}));
}

TEST(SubslotConversion, AnUnservedSubslotLeavesBothSidesAlone) {
  for (ULONG bytes : {1u, 5u, 8u}) {
    EXPECT_FALSE(SubslotServed(bytes));
    std::vector<uint8_t> device(16, 0x22);
    auto client = Bytes32({7, 8});
    MixFromClient32({client.data(), 2, device.data(), 2, 1, bytes});
    CaptureToClient32({client.data(), 2, device.data(), 2, 1, bytes});
    EXPECT_EQ(device, std::vector<uint8_t>(16, 0x22));
    EXPECT_EQ(As<int32_t>(client), (std::vector<int32_t>{7, 8}));
  }
  for (ULONG bytes : {2u, 3u, 4u}) EXPECT_TRUE(SubslotServed(bytes));
}

struct FramingCase {
  ULONG urbSize;
  ULONG rate;
  ULONG blockAlign;
  ULONG expected;
};

class AllocatorFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(AllocatorFraming, IsUrbSizeMillisecondsOfFramesPlusOneForFractionalRates) {
  const FramingCase &c = GetParam();
  EXPECT_EQ(AllocatorFrameSize(c.urbSize, c.rate, c.blockAlign), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, AllocatorFraming,
                         ::testing::Values(FramingCase{3, 44100, 8, 1064}, FramingCase{3, 48000, 4, 576},
                                           FramingCase{1, 44100, 4, 180}, FramingCase{5, 96000, 64, 480 * 64},
                                           FramingCase{2, 88200, 8, 177 * 8}, FramingCase{1, 192000, 8, 1536}));

TEST(TimeStamps, AFrameEnteredAgainAfterAPartialPassIsNotStampedTwice) {
  const ULONG bytesPerSecond = 48000 * 4;  // stereo 16-bit
  ULONGLONG next = 0;
  ULONGLONG processed = 0;
  KSSTREAM_HEADER first{};
  ASSERT_TRUE(StampFrame(processed, &next, 1920, bytesPerSecond, &first));
  EXPECT_EQ(first.PresentationTime.Time, 0);
  EXPECT_EQ(first.Duration, 100000);
  EXPECT_EQ(first.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
  processed += 1000;  // a partial pass: the region ran out
  KSSTREAM_HEADER again{};
  EXPECT_FALSE(StampFrame(processed, &next, 1920, bytesPerSecond, &again));
  EXPECT_EQ(again.OptionsFlags, 0u);
  processed += 920;
  KSSTREAM_HEADER second{};
  ASSERT_TRUE(StampFrame(processed, &next, 960, bytesPerSecond, &second));
  EXPECT_EQ(second.PresentationTime.Time, 100000);
  EXPECT_EQ(second.Duration, 50000);
  EXPECT_EQ(next, 2880u);
}

TEST(TimeStamps, DoNotOverflowForLongRuns) {
  const ULONGLONG bytes = 1ull << 62;
  const ULONG perSecond = 96000 * 32 * 4;
  const auto expected = static_cast<LONGLONG>(static_cast<unsigned __int128>(bytes) * 10000000u / perSecond);
  EXPECT_EQ(ClientBytesToTime(bytes, perSecond), expected);
  EXPECT_EQ(ClientBytesToTime(123, 0), 0);
}

// A connection format built as a client sends it, in a buffer of exactly
// its FormatSize (so a read past it is caught by the address sanitizer).
struct FormatRule {
  const char *name;
  USHORT tag = 1;
  USHORT channels = 2;
  ULONG rate = 48000;
  USHORT blockAlign = 4;
  USHORT bits = 16;
  USHORT validBits = 16;
  bool dsound = false;
  GUID subFormat = KSDATAFORMAT_SUBTYPE_PCM;
  ULONG trim = 0;  // bytes cut from the end of the format
  NTSTATUS check = STATUS_SUCCESS;
};

std::unique_ptr<uint8_t[]> BuildFormat(const FormatRule &s, ULONG *size) {
  const ULONG prefix = sizeof(KSDATAFORMAT) + (s.dsound ? 8 : 0);
  const ULONG waveBytes = s.tag == 0xFFFE ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
  *size = prefix + waveBytes - s.trim;
  auto bytes = std::make_unique<uint8_t[]>(*size);
  std::memset(bytes.get(), 0, *size);
  KSDATAFORMAT format{};
  format.FormatSize = *size;
  format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.SubFormat = s.subFormat;
  format.Specifier = s.dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  std::memcpy(bytes.get(), &format, sizeof(format));
  WAVEFORMATEXTENSIBLE wave{};
  wave.Format.wFormatTag = s.tag;
  wave.Format.nChannels = s.channels;
  wave.Format.nSamplesPerSec = s.rate;
  wave.Format.nBlockAlign = s.blockAlign;
  wave.Format.wBitsPerSample = s.bits;
  wave.Samples.wValidBitsPerSample = s.validBits;
  std::memcpy(bytes.get() + prefix, &wave, waveBytes - s.trim);
  return bytes;
}

KSDATARANGE_AUDIO Range() {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof(range);
  range.MaximumChannels = 8;
  range.MinimumBitsPerSample = 16;
  range.MaximumBitsPerSample = 24;
  range.MinimumSampleFrequency = 44100;
  range.MaximumSampleFrequency = 96000;
  return range;
}

class PinFormatRules : public ::testing::TestWithParam<FormatRule> {};

TEST_P(PinFormatRules, AcceptWhatTheConversionsServeAndRefuseTheRest) {
  ULONG size = 0;
  auto bytes = BuildFormat(GetParam(), &size);
  KSDATARANGE_AUDIO range = Range();
  EXPECT_EQ(CheckPinFormat(reinterpret_cast<const KSDATAFORMAT *>(bytes.get()), &range), GetParam().check);
}

FormatRule Rule(const char *name, NTSTATUS check) {
  FormatRule s;
  s.name = name;
  s.check = check;
  return s;
}

std::vector<FormatRule> FormatCases() {
  std::vector<FormatRule> cases;
  cases.push_back(Rule("Pcm16Stereo", STATUS_SUCCESS));
  FormatRule s = Rule("Extensible24In32", STATUS_SUCCESS);
  s.tag = 0xFFFE, s.blockAlign = 8, s.bits = 32, s.validBits = 24;
  cases.push_back(s);
  s = Rule("DsoundPcm16", STATUS_SUCCESS);
  s.dsound = true;
  cases.push_back(s);
  s = Rule("Packed24", STATUS_NO_MATCH);
  s.blockAlign = 6, s.bits = 24, s.validBits = 24;
  cases.push_back(s);
  s = Rule("ThirtyTwoValidInThirtyTwo", STATUS_NO_MATCH);
  s.tag = 0xFFFE, s.blockAlign = 8, s.bits = 32, s.validBits = 32;
  cases.push_back(s);
  s = Rule("Pcm32", STATUS_NO_MATCH);
  s.blockAlign = 8, s.bits = 32, s.validBits = 32;
  cases.push_back(s);
  s = Rule("EightBit", STATUS_NO_MATCH);
  s.blockAlign = 2, s.bits = 8;
  cases.push_back(s);
  s = Rule("NoChannels", STATUS_NO_MATCH);
  s.channels = 0;
  cases.push_back(s);
  s = Rule("BlockAlignDisagreesWithBits", STATUS_NO_MATCH);
  s.blockAlign = 8;
  cases.push_back(s);
  s = Rule("RateAboveRange", STATUS_NO_MATCH);
  s.rate = 192000;
  cases.push_back(s);
  s = Rule("RateBelowRange", STATUS_NO_MATCH);
  s.rate = 32000;
  cases.push_back(s);
  s = Rule("ValidBitsAboveContainer", STATUS_NO_MATCH);
  s.tag = 0xFFFE, s.validBits = 20;
  cases.push_back(s);
  s = Rule("NotPcm", STATUS_NO_MATCH);
  s.subFormat = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  cases.push_back(s);
  s = Rule("ExtensibleCutShort", STATUS_NO_MATCH);
  s.tag = 0xFFFE, s.blockAlign = 8, s.bits = 32, s.validBits = 24, s.trim = 22;
  cases.push_back(s);
  s = Rule("UnknownTag", STATUS_NO_MATCH);
  s.tag = 0x55;
  cases.push_back(s);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, PinFormatRules, ::testing::ValuesIn(FormatCases()),
                         [](const ::testing::TestParamInfo<FormatRule> &info) { return std::string(info.param.name); });

TEST(WaveFormatCopy, TakesEighteenOrFortyBytesByTagAndNothingPastTheFormat) {
  struct Case {
    USHORT tag;
    ULONG trim;
    NTSTATUS status;
  } cases[] = {{1, 0, STATUS_SUCCESS},      {0x92, 0, STATUS_SUCCESS},   {0x164, 0, STATUS_SUCCESS},
               {0xFFFE, 0, STATUS_SUCCESS}, {0xFFFE, 1, STATUS_INSUFFICIENT_RESOURCES},
               {1, 17, STATUS_INSUFFICIENT_RESOURCES}, {3, 0, STATUS_INSUFFICIENT_RESOURCES}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "tag " << c.tag << " trim " << c.trim);
    FormatRule shape;
    shape.tag = c.tag;
    shape.trim = c.trim;
    ULONG size = 0;
    auto bytes = BuildFormat(shape, &size);
    PinWaveFormat copy;
    std::memset(&copy, 0xAA, sizeof copy);
    EXPECT_EQ(CopyWaveFormat(reinterpret_cast<const KSDATAFORMAT *>(bytes.get()), &copy), c.status);
    if (c.status != STATUS_SUCCESS) continue;
    const ULONG copied = c.tag == 0xFFFE ? 40 : 18;
    EXPECT_EQ(std::memcmp(copy.bytes, bytes.get() + sizeof(KSDATAFORMAT), copied), 0);
    for (ULONG i = copied; i < sizeof copy.bytes; ++i) EXPECT_EQ(copy.bytes[i], 0) << i;
    EXPECT_EQ(copy.rate, 48000u);
    EXPECT_EQ(copy.bytesPerSecond, 48000u * 4);
  }
}

}  // namespace
