// `qav start` reads the started driver's filter back as a user-mode client
// and prints one line per pin.
#include <gtest/gtest.h>

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
        "pin 2: capture, streaming, 8 ch, 16-32 bit, 44100-192000 Hz", "pin 3: bridge in, analog"}},
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

}  // namespace
