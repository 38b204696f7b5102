// The rate list read from a clock's RANGE answer: subranges in device order,
// a continuous one as the standard rates inside it, a repeated rate once, at
// most sixteen; an answer with no subranges, or too few bytes, stores nothing.
#include <gtest/gtest.h>

#include <vector>

#include "kerneldriver/control/audio_control.h"

namespace {

struct Subrange {
  uint32_t minimum, maximum, resolution;
};

std::vector<uint8_t> Answer(uint16_t count, const std::vector<Subrange> &subranges) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
  for (const Subrange &s : subranges) {
    for (uint32_t v : {s.minimum, s.maximum, s.resolution}) {
      for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
    }
  }
  return bytes;
}

std::vector<uint32_t> Stored(const ULONG (&rates)[kMaxRates]) {
  std::vector<uint32_t> out;
  for (ULONG rate : rates) {
    if (rate == 0) break;
    out.push_back(rate);
  }
  return out;
}

struct RangeCase {
  const char *what;
  std::vector<uint8_t> answer;
  bool stored;
  std::vector<uint32_t> rates;
};

TEST(RateRange, KeepsEveryRateUpToTheTableLimitWithContinuousSubrangesAsStandardRates) {
  std::vector<Subrange> seventeen;
  for (uint32_t i = 0; i < 17; ++i) seventeen.push_back({8000 + i * 1000, 8000 + i * 1000, 0});
  std::vector<uint32_t> firstSixteen;
  for (size_t i = 0; i < 16; ++i) firstSixteen.push_back(seventeen[i].minimum);
  const std::vector<RangeCase> cases = {
      {"two discrete then a continuous subrange",
       Answer(3, {{44100, 44100, 0}, {48000, 48000, 0}, {44100, 96000, 100}}), true, {44100, 48000, 64000, 88200, 96000}},
      {"device order is kept", Answer(2, {{96000, 96000, 0}, {44100, 44100, 0}}), true, {96000, 44100}},
      {"a continuous first subrange does not end the list",
       Answer(2, {{44100, 96000, 1}, {192000, 192000, 0}}), true, {44100, 48000, 64000, 88200, 96000, 192000}},
      {"only rates on the resolution grid", Answer(1, {{8000, 48000, 8000}}), true, {8000, 16000, 24000, 32000, 48000}},
      {"dRES 0 on a continuous subrange takes every standard rate inside",
       Answer(1, {{40000, 50000, 0}}), true, {44100, 48000}},
      {"a continuous subrange without standard rates adds nothing",
       Answer(2, {{47000, 47900, 1}, {48000, 48000, 0}}), true, {48000}},
      {"a reversed subrange adds nothing", Answer(2, {{96000, 44100, 1}, {48000, 48000, 0}}), true, {48000}},
      {"a repeated rate takes one entry", Answer(3, {{48000, 48000, 0}, {32000, 48000, 16000}, {48000, 48000, 0}}), true,
       {48000, 32000}},
      {"zero is no rate", Answer(2, {{0, 0, 0}, {48000, 48000, 0}}), true, {48000}},
      {"seventeen rates keep the first sixteen", Answer(17, seventeen), true, firstSixteen},
      {"a count above what was sent reads what was sent", Answer(40, {{48000, 48000, 0}}), true, {48000}},
      {"no subranges store nothing", Answer(0, {}), false, {}},
      {"one byte stores nothing", {1}, false, {}},
      {"a claim of three with one sent keeps the one", Answer(3, {{48000, 48000, 0}}), true, {48000}},
  };
  for (const auto &c : cases) {
    ULONG rates[kMaxRates];
    for (ULONG &r : rates) r = 7;  // marks "untouched"
    bool stored = ParseRateRange(c.answer.data(), static_cast<ULONG>(c.answer.size()), rates);
    EXPECT_EQ(stored, c.stored) << c.what;
    if (stored) {
      EXPECT_EQ(Stored(rates), c.rates) << c.what;
    } else {
      EXPECT_EQ(rates[0], 7u) << c.what;
    }
  }
}

}  // namespace
