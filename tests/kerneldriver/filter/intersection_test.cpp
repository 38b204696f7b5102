// The audio streaming pins' data intersection: what a client that offers a
// data range gets proposed, for each kind of range, against each device
// shape and rate, and how the answer's size is negotiated.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "kerneldriver/ks/audio_intersection.h"

namespace {

struct Clock {
  ULONG rate = 48000;
  NTSTATUS status = STATUS_SUCCESS;
  int reads = 0;
};

NTSTATUS ReadClock(PVOID context, ULONG *rate) {
  auto *clock = static_cast<Clock *>(context);
  ++clock->reads;
  *rate = clock->rate;
  return clock->status;
}

enum class Specifier { WaveFormatEx, Dsound, None, Wildcard };

GUID SpecifierOf(Specifier specifier) {
  switch (specifier) {
    case Specifier::WaveFormatEx: return KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    case Specifier::Dsound: return KSDATAFORMAT_SPECIFIER_DSOUND;
    case Specifier::None: return KSDATAFORMAT_SPECIFIER_NONE;
    case Specifier::Wildcard: return KSDATAFORMAT_SPECIFIER_WILDCARD;
  }
  return GUID_NULL;
}

KSDATARANGE_AUDIO AudioRange(Specifier specifier, ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate,
                             ULONG maxRate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = SpecifierOf(specifier);
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

// A pin range as the descriptor holds it for a device with this many channels.
KSDATARANGE_AUDIO PinRange(ULONG channels) {
  return AudioRange(Specifier::WaveFormatEx, channels, 16, 32, 44100, 192000);
}

struct Expected {
  WORD channels;
  DWORD mask;
  WORD bits;
  WORD validBits;
  DWORD rate;
};

struct IntersectCase {
  const char *name;
  KSDATARANGE_AUDIO client;
  ULONG pinChannels;
  ULONG deviceRate;
  NTSTATUS status;
  std::optional<Expected> format;
};

class Intersection : public ::testing::TestWithParam<IntersectCase> {};

TEST_P(Intersection, ProposesTheFormatThePinTakesNow) {
  const IntersectCase &c = GetParam();
  KSDATARANGE_AUDIO pin = PinRange(c.pinChannels);
  Clock clock{c.deviceRate};
  std::vector<UCHAR> out(kIntersectDsoundSize + 16, 0xCD);
  ULONG size = 0;
  NTSTATUS status = IntersectAudioRange(&c.client.DataRange, &pin.DataRange, ReadClock, &clock,
                                        static_cast<ULONG>(out.size()), out.data(), &size);
  ASSERT_EQ(status, c.status);
  if (!c.format) return;
  const bool dsound = std::memcmp(&c.client.DataRange.Specifier, &KSDATAFORMAT_SPECIFIER_DSOUND, sizeof(GUID)) == 0;
  const ULONG expectedSize = dsound ? 112 : 104;
  EXPECT_EQ(size, expectedSize);
  KSDATAFORMAT format;
  std::memcpy(&format, out.data(), sizeof format);
  EXPECT_EQ(format.FormatSize, expectedSize);
  EXPECT_EQ(std::memcmp(&format.MajorFormat, &KSDATAFORMAT_TYPE_AUDIO, sizeof(GUID)), 0);
  EXPECT_EQ(std::memcmp(&format.SubFormat, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID)), 0);
  const GUID &specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  EXPECT_EQ(std::memcmp(&format.Specifier, &specifier, sizeof(GUID)), 0);
  size_t waveAt = 64;
  if (dsound) {
    EXPECT_EQ(std::vector<UCHAR>(out.begin() + 64, out.begin() + 72), std::vector<UCHAR>(8, 0))
        << "buffer description Flags and Control";
    waveAt = 72;
  }
  WAVEFORMATEXTENSIBLE w;
  std::memcpy(&w, out.data() + waveAt, sizeof w);
  const Expected &e = *c.format;
  const WORD blockAlign = static_cast<WORD>(e.channels * e.bits / 8);
  EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(w.Format.nChannels, e.channels);
  EXPECT_EQ(w.Format.nSamplesPerSec, e.rate);
  EXPECT_EQ(w.Format.nBlockAlign, blockAlign);
  EXPECT_EQ(w.Format.nAvgBytesPerSec, e.rate * blockAlign);
  EXPECT_EQ(w.Format.wBitsPerSample, e.bits);
  EXPECT_EQ(w.Format.cbSize, 22);
  EXPECT_EQ(w.Samples.wValidBitsPerSample, e.validBits);
  EXPECT_EQ(w.dwChannelMask, e.mask);
  EXPECT_EQ(std::memcmp(&w.SubFormat, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID)), 0);
  EXPECT_EQ(out[expectedSize], 0xCD) << "nothing written past the proposal";
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, Intersection,
    ::testing::Values(
        IntersectCase{"WideClientOnAStereoDevice", AudioRange(Specifier::WaveFormatEx, 8, 16, 32, 8000, 96000), 2, 48000,
                      STATUS_SUCCESS, Expected{2, 3, 32, 24, 48000}},
        IntersectCase{"DsoundClient", AudioRange(Specifier::Dsound, 8, 16, 32, 8000, 96000), 2, 44100, STATUS_SUCCESS,
                      Expected{2, 3, 32, 24, 44100}},
        IntersectCase{"WildcardSpecifierGetsWaveFormatEx", AudioRange(Specifier::Wildcard, 2, 16, 32, 8000, 96000), 2,
                      48000, STATUS_SUCCESS, Expected{2, 3, 32, 24, 48000}},
        IntersectCase{"Mono16", AudioRange(Specifier::WaveFormatEx, 1, 16, 16, 44100, 48000), 2, 48000, STATUS_SUCCESS,
                      Expected{1, 4, 16, 16, 48000}},
        IntersectCase{"AllChannelsOfAMultichannelDevice", AudioRange(Specifier::WaveFormatEx, 32, 16, 32, 8000, 192000),
                      18, 96000, STATUS_SUCCESS, Expected{18, 0, 32, 24, 96000}},
        // A client that takes fewer channels than the device has gets no more than it takes.
        IntersectCase{"FewerChannelsThanTheDevice", AudioRange(Specifier::WaveFormatEx, 4, 16, 32, 8000, 192000), 8,
                      48000, STATUS_SUCCESS, Expected{4, 0, 32, 24, 48000}},
        IntersectCase{"NoChannels", AudioRange(Specifier::WaveFormatEx, 0, 16, 32, 8000, 192000), 2, 48000,
                      STATUS_NO_MATCH, std::nullopt},
        // Packed 24-bit samples are refused by the pin: the largest container it takes is proposed instead.
        IntersectCase{"UpToTwentyFourBitsGetsSixteen", AudioRange(Specifier::WaveFormatEx, 2, 16, 24, 8000, 192000), 2,
                      48000, STATUS_SUCCESS, Expected{2, 3, 16, 16, 48000}},
        IntersectCase{"OnlyPackedTwentyFour", AudioRange(Specifier::WaveFormatEx, 2, 24, 24, 8000, 192000), 2, 48000,
                      STATUS_NO_MATCH, std::nullopt},
        IntersectCase{"BelowSixteenBits", AudioRange(Specifier::WaveFormatEx, 2, 8, 8, 8000, 192000), 2, 48000,
                      STATUS_NO_MATCH, std::nullopt},
        IntersectCase{"DeviceFasterThanTheClientAllows", AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 48000), 2,
                      96000, STATUS_NO_MATCH, std::nullopt},
        IntersectCase{"DeviceSlowerThanTheClientAllows", AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 48000, 96000),
                      2, 44100, STATUS_NO_MATCH, std::nullopt},
        IntersectCase{"RateOnTheClientsLimits", AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 96000, 96000), 2, 96000,
                      STATUS_SUCCESS, Expected{2, 3, 32, 24, 96000}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IntersectionRequests, OnlyAudioPcmRangesOfFullSizeAreRead) {
  KSDATARANGE_AUDIO pin = PinRange(2);
  Clock clock;
  UCHAR out[128];
  ULONG size = 0;
  KSDATARANGE_AUDIO midi = AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 96000);
  midi.DataRange.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
  KSDATARANGE_AUDIO floats = AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 96000);
  floats.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  for (const KSDATARANGE_AUDIO *client : {&midi, &floats}) {
    EXPECT_EQ(IntersectAudioRange(&client->DataRange, &pin.DataRange, ReadClock, &clock, sizeof out, out, &size),
              STATUS_INVALID_PARAMETER);
  }
  // A range that claims a specifier but ends after its header: exactly that
  // much memory, so reading an audio field would be caught.
  for (ULONG formatSize : {0u, 63u, 64u, 87u}) {
    SCOPED_TRACE(formatSize);
    KSDATARANGE_AUDIO full = AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 96000);
    full.DataRange.FormatSize = formatSize;
    std::vector<UCHAR> exact(sizeof(KSDATARANGE));
    std::memcpy(exact.data(), &full, exact.size());
    EXPECT_EQ(IntersectAudioRange(reinterpret_cast<const KSDATARANGE *>(exact.data()), &pin.DataRange, ReadClock,
                                  &clock, sizeof out, out, &size),
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(clock.reads, 0);
}

TEST(IntersectionRequests, AClientWithoutSpecifierGetsItsOwnHeaderAsAPlainFormat) {
  KSDATARANGE_AUDIO pin = PinRange(2);
  KSDATARANGE_AUDIO client = AudioRange(Specifier::None, 2, 16, 32, 8000, 96000);
  client.DataRange.SampleSize = 7;
  Clock clock;
  std::vector<UCHAR> out(80, 0xCD);
  ULONG size = 0;
  ASSERT_EQ(IntersectAudioRange(&client.DataRange, &pin.DataRange, ReadClock, &clock,
                                static_cast<ULONG>(out.size()), out.data(), &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 64u);
  KSDATAFORMAT format;
  std::memcpy(&format, out.data(), sizeof format);
  EXPECT_EQ(format.FormatSize, 64u) << "the size of what was returned, not of the client's range";
  EXPECT_EQ(format.SampleSize, 7u);
  EXPECT_EQ(std::memcmp(&format.Specifier, &KSDATAFORMAT_SPECIFIER_NONE, sizeof(GUID)), 0);
  EXPECT_EQ(out[64], 0xCD);
  EXPECT_EQ(clock.reads, 0);
}

struct SizeCase {
  Specifier specifier;
  ULONG needed;
};

class IntersectionSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(IntersectionSizes, ZeroAsksTheSizeAndAShortBufferIsRefusedBeforeTheClockIsRead) {
  const SizeCase &c = GetParam();
  KSDATARANGE_AUDIO pin = PinRange(2);
  KSDATARANGE_AUDIO client = AudioRange(c.specifier, 2, 16, 32, 8000, 96000);
  Clock clock;
  struct Step {
    ULONG bufferSize;
    NTSTATUS status;
  };
  for (Step step : {Step{0, STATUS_BUFFER_OVERFLOW}, Step{1, STATUS_BUFFER_TOO_SMALL},
                    Step{c.needed - 1, STATUS_BUFFER_TOO_SMALL}, Step{c.needed, STATUS_SUCCESS},
                    Step{c.needed + 40, STATUS_SUCCESS}}) {
    SCOPED_TRACE(step.bufferSize);
    std::vector<UCHAR> out(step.bufferSize, 0xCD);
    ULONG size = 0xFFFF;
    EXPECT_EQ(IntersectAudioRange(&client.DataRange, &pin.DataRange, ReadClock, &clock, step.bufferSize,
                                  step.bufferSize != 0 ? out.data() : nullptr, &size),
              step.status);
    EXPECT_EQ(size, c.needed);
    if (step.status != STATUS_SUCCESS) {
      EXPECT_EQ(out, std::vector<UCHAR>(step.bufferSize, 0xCD)) << "nothing written";
    }
  }
  EXPECT_EQ(clock.reads, c.specifier == Specifier::None ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(Answers, IntersectionSizes,
                         ::testing::Values(SizeCase{Specifier::None, 64}, SizeCase{Specifier::WaveFormatEx, 104},
                                           SizeCase{Specifier::Dsound, 112}));

TEST(IntersectionRequests, AClockThatCannotBeReadFailsTheIntersection) {
  KSDATARANGE_AUDIO pin = PinRange(2);
  KSDATARANGE_AUDIO client = AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 96000);
  Clock clock{48000, STATUS_DEVICE_REMOVED};
  UCHAR out[128];
  ULONG size = 0;
  EXPECT_EQ(IntersectAudioRange(&client.DataRange, &pin.DataRange, ReadClock, &clock, sizeof out, out, &size),
            STATUS_DEVICE_REMOVED);
}

TEST(IntersectionRequests, ABufferSizeWithoutABufferIsRefused) {
  KSDATARANGE_AUDIO pin = PinRange(2);
  KSDATARANGE_AUDIO client = AudioRange(Specifier::WaveFormatEx, 2, 16, 32, 8000, 96000);
  Clock clock;
  ULONG size = 0;
  EXPECT_EQ(IntersectAudioRange(&client.DataRange, &pin.DataRange, ReadClock, &clock, 104, nullptr, &size),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(AudioIntersectHandler(nullptr, nullptr, nullptr, &client.DataRange, &pin.DataRange, 104, &size, &size),
            STATUS_INVALID_PARAMETER)
      << "no device context";
}

}  // namespace
