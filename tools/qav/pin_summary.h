// A filter's pins as a user-mode client reads them (KSPROPSETID_Pin's data
// flow, communication and data ranges), and one line of text for each. The
// same on Windows and on the host build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qav {

// One data range, reduced to what a reader of the line wants.
struct RangeSummary {
  bool audio = false;  // an audio PCM range with channel, bit and rate limits
  uint32_t channels = 0;
  uint32_t minBits = 0, maxBits = 0;
  uint32_t minRate = 0, maxRate = 0;
  std::string kind;  // for other ranges: "analog", "MIDI", "MIDI bus" or the sub format's GUID
};

// The ranges of a KSPROPERTY_PIN_DATARANGES answer of `size` bytes: a
// KSMULTIPLE_ITEM of ranges, each padded to 8 bytes. Read only as far as the
// answer holds what it says; false when it does not (a Size other than
// `size`, a range shorter than a KSDATARANGE or running past the end, more
// ranges counted than it holds), with the ranges read before that kept.
bool ReadDataRanges(const uint8_t *answer, size_t size, std::vector<RangeSummary> *ranges);
// The same, all or nothing: false, with nothing kept, when the answer does
// not hold what it says.
bool ParseDataRanges(const std::vector<uint8_t> &answer, std::vector<RangeSummary> *ranges);

struct PinSummary {
  uint32_t id = 0;
  uint32_t dataFlow = 0;       // KSPIN_DATAFLOW_IN (1) or KSPIN_DATAFLOW_OUT (2)
  uint32_t communication = 0;  // KSPIN_COMMUNICATION_NONE (0), SINK (1) ...
  std::vector<RangeSummary> ranges;
};

// "pin 0: render, streaming, 2 ch, 16-32 bit, 44100-192000 Hz"; identical
// ranges (the same limits under two specifiers) are named once.
std::string DescribePin(const PinSummary &pin);

}  // namespace qav
