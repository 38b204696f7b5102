// `qav start` reads the started driver's filter back as a user-mode client
// and prints one line per pin.
#include <gtest/gtest.h>
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/qav/host_commands.h"
#include "tools/qav/pin_summary.h"

namespace {

using qav::PinSummary;
using qav::RangeSummary;

RangeSummary Audio(uint32_t channels, uint32_t minRate, uint32_t maxRate) {
  RangeSummary range;
  range.audio = true;
  range.channels = channels;
  range.minBits = 16;
  range.maxBits = 32;
  range.minRate = minRate;
  range.maxRate = maxRate;
  return range;
}

RangeSummary Other(const char *kind) {
  RangeSummary range;
  range.kind = kind;
  return range;
}

TEST(PinLines, SayRoleAndRangesOnceEach) {
  struct Case {
    PinSummary pin;
    const char *line;
  };
  const Case cases[] = {
      {{0, 1, 1, {Audio(2, 44100, 192000), Audio(2, 44100, 192000)}},
       "pin 0: render, streaming, 2 ch, 16-32 bit, 44100-192000 Hz"},
      {{2, 2, 1, {Audio(8, 44100, 96000), Audio(2, 48000, 48000)}},
       "pin 2: capture, streaming, 8 ch, 16-32 bit, 44100-96000 Hz; 2 ch, 16-32 bit, 48000-48000 Hz"},
      {{1, 2, 0, {Other("analog")}}, "pin 1: bridge out, analog"},
      {{5, 1, 0, {Other("MIDI bus")}}, "pin 5: bridge in, MIDI bus"},
      {{4, 2, 2, {Other("MIDI")}}, "pin 4: capture, MIDI"},
      {{3, 1, 1, {}}, "pin 3: render, streaming, no data ranges"},
  };
  for (const Case &c : cases) EXPECT_EQ(qav::DescribePin(c.pin), c.line);
}

std::vector<std::string> Lines(const qav::StartReport &report) {
  std::vector<std::string> lines;
  for (const PinSummary &pin : report.pins) lines.push_back(qav::DescribePin(pin));
  return lines;
}

TEST(StartPins, AStartedDriversFilterIsListedAsAClientReadsIt) {
  struct Case {
    const char *model;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"Maple", {"pin 0: render, streaming, 2 ch, 16-32 bit, 44100-192000 Hz", "pin 1: bridge out, analog"}},
      {"Cedar", {"pin 0: capture, streaming, 8 ch, 16-32 bit, 44100-96000 Hz", "pin 1: bridge in, analog"}},
      {"Rowan",
       {"pin 0: render, streaming, 6 ch, 16-32 bit, 44100-192000 Hz", "pin 1: bridge out, analog",
        "pin 2: capture, streaming, 8 ch, 16-32 bit, 44100-192000 Hz", "pin 3: bridge in, analog",
        "pin 4: render, streaming, MIDI", "pin 5: bridge out, MIDI bus", "pin 6: capture, streaming, MIDI",
        "pin 7: bridge in, MIDI bus"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.model);
    qav::SimDevice sim = qav::LoadSimDevice({c.model, false});
    ASSERT_TRUE(sim.ok) << sim.error;
    qav::StartReport report = qav::StartDevice(sim.definition, false);
    ASSERT_TRUE(report.verdict.started) << report.verdict.reason;
    EXPECT_EQ(report.pinsError, "");
    EXPECT_EQ(Lines(report), c.lines);
  }
}

TEST(StartPins, NoFilterIsReadWhenNoDriverStarted) {
  qav::SimDevice sim = qav::LoadSimDevice({"Ivy", false});
  ASSERT_TRUE(sim.ok) << sim.error;
  qav::StartReport report = qav::StartDevice(sim.definition, false);
  EXPECT_FALSE(report.verdict.started);
  EXPECT_TRUE(report.pins.empty());
  EXPECT_EQ(report.pinsError, "");
}

// An answer as the driver would give it: a header, then each range padded to 8.
std::vector<uint8_t> Answer(const std::vector<std::vector<uint8_t>> &ranges, int sizeSkew = 0, int countSkew = 0) {
  std::vector<uint8_t> bytes(sizeof(KSMULTIPLE_ITEM));
  for (const auto &range : ranges) {
    bytes.insert(bytes.end(), range.begin(), range.end());
    bytes.resize((bytes.size() + 7) & ~size_t{7});
  }
  KSMULTIPLE_ITEM header{static_cast<ULONG>(bytes.size() + sizeSkew), static_cast<ULONG>(ranges.size() + countSkew)};
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

std::vector<uint8_t> AudioRange(ULONG formatSize = sizeof(KSDATARANGE_AUDIO)) {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = formatSize;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range.MaximumChannels = 18;
  range.MinimumBitsPerSample = 16;
  range.MaximumBitsPerSample = 32;
  range.MinimumSampleFrequency = 44100;
  range.MaximumSampleFrequency = 96000;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&range);
  return std::vector<uint8_t>(bytes, bytes + std::min<size_t>(formatSize, sizeof range));
}

std::vector<uint8_t> MidiRange() {
  KSDATARANGE range{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI,
                    KSDATAFORMAT_SPECIFIER_NONE};
  const auto *bytes = reinterpret_cast<const uint8_t *>(&range);
  return std::vector<uint8_t>(bytes, bytes + sizeof range);
}

// What the driver answers is read only as far as it holds what it says.
TEST(StartPins, DataRangeAnswersAreReadWithinTheirOwnSize) {
  std::vector<RangeSummary> ranges;
  ASSERT_TRUE(qav::ParseDataRanges(Answer({AudioRange(), MidiRange()}), &ranges));
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_TRUE(ranges[0].audio);
  EXPECT_EQ(ranges[0].channels, 18u);
  EXPECT_EQ(ranges[0].maxRate, 96000u);
  EXPECT_EQ(ranges[1].kind, "MIDI");
  ASSERT_TRUE(qav::ParseDataRanges(Answer({AudioRange(sizeof(KSDATARANGE))}), &ranges));
  EXPECT_FALSE(ranges[0].audio) << "an audio range too short for its limits is not read as one";
  // Each answer's header tells the truth about its size unless said otherwise.
  auto withHeader = [](std::vector<uint8_t> bytes, ULONG count) {
    KSMULTIPLE_ITEM header{static_cast<ULONG>(bytes.size()), count};
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
  };
  std::vector<uint8_t> truncated = Answer({AudioRange()});
  truncated.resize(sizeof(KSMULTIPLE_ITEM) + 40);
  std::vector<uint8_t> overlong = Answer({AudioRange()});
  const ULONG tooLong = 4096;
  std::memcpy(overlong.data() + sizeof(KSMULTIPLE_ITEM), &tooLong, sizeof tooLong);
  std::vector<uint8_t> tiny = AudioRange();
  const ULONG tinySize = 8;
  std::memcpy(tiny.data(), &tinySize, sizeof tinySize);
  const struct {
    const char *what;
    std::vector<uint8_t> answer;
  } refused[] = {
      {"shorter than a header", std::vector<uint8_t>(4)},
      {"a size other than the answer's", Answer({AudioRange()}, 8)},
      {"more ranges than it holds", Answer({AudioRange()}, 0, 1000000)},
      {"a range shorter than a KSDATARANGE", Answer({tiny})},
      {"a range running past the end", overlong},
      {"cut inside a range", withHeader(truncated, 1)},
  };
  for (const auto &r : refused) {
    SCOPED_TRACE(r.what);
    ranges.assign(1, RangeSummary{});
    EXPECT_FALSE(qav::ParseDataRanges(r.answer, &ranges));
    EXPECT_TRUE(ranges.empty());
  }
}

// `qav list` shows the ranges an answer holds up to the first that does not
// hold what it says; a sub format without a name of its own shows its GUID.
TEST(StartPins, RangesAreKeptUpToTheFirstBadOneAndUnnamedFormatsShowTheirGuid) {
  std::vector<uint8_t> tiny = AudioRange();
  const ULONG tinySize = 8;
  std::memcpy(tiny.data(), &tinySize, sizeof tinySize);
  KSDATARANGE other{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC,
                    GUID{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}}, KSDATAFORMAT_SPECIFIER_NONE};
  const auto *otherBytes = reinterpret_cast<const uint8_t *>(&other);
  const std::vector<uint8_t> answer =
      Answer({AudioRange(), std::vector<uint8_t>(otherBytes, otherBytes + sizeof other), tiny, MidiRange()});
  std::vector<RangeSummary> ranges;
  EXPECT_FALSE(qav::ReadDataRanges(answer.data(), answer.size(), &ranges));
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_TRUE(ranges[0].audio);
  EXPECT_EQ(ranges[1].kind, "{12345678-9ABC-DEF0-0102-030405060708}");
  EXPECT_FALSE(qav::ParseDataRanges(answer, &ranges));
  EXPECT_TRUE(ranges.empty());
}

}  // namespace
