#include "tools/qav/pin_summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "uac2common/directks/ksplatform.h"

namespace qav {
namespace {

QAV_DEFINE_GUID(kSubtypeMidi, 0x1d262760, 0xe957, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00);
QAV_DEFINE_GUID(kSubtypeMidiBus, 0x2ca15fa0, 0x6cfe, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00);
QAV_DEFINE_GUID(kSubtypeAnalog, 0x6dba3190, 0x67bd, 0x11cf, 0xa0, 0xf7, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4);

constexpr uint32_t kDataFlowIn = 1;
constexpr uint32_t kCommunicationNone = 0;
constexpr uint32_t kCommunicationSink = 1;

bool SameRange(const RangeSummary &a, const RangeSummary &b) {
  return a.audio == b.audio && a.channels == b.channels && a.minBits == b.minBits && a.maxBits == b.maxBits &&
         a.minRate == b.minRate && a.maxRate == b.maxRate && a.kind == b.kind;
}

std::string Role(const PinSummary &pin) {
  const bool in = pin.dataFlow == kDataFlowIn;
  if (pin.communication == kCommunicationNone) return in ? "bridge in" : "bridge out";
  std::string role = in ? "render" : "capture";
  if (pin.communication == kCommunicationSink) role += ", streaming";
  return role;
}

std::string Describe(const RangeSummary &range) {
  if (!range.audio) return range.kind;
  char text[96];
  std::snprintf(text, sizeof text, "%u ch, %u-%u bit, %u-%u Hz", range.channels, range.minBits, range.maxBits,
                range.minRate, range.maxRate);
  return text;
}

std::string GuidText(const GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

// One range of `size` bytes (at least a KSDATARANGE).
RangeSummary Summarize(const uint8_t *at, ULONG size) {
  KSDATARANGE range;
  std::memcpy(&range, at, sizeof range);
  RangeSummary summary;
  if (directks::GuidEquals(range.MajorFormat, directks::kFormatTypeAudio) &&
      directks::GuidEquals(range.SubFormat, directks::kSubtypePcm) && size >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, at, sizeof audio);
    summary.audio = true;
    summary.channels = audio.MaximumChannels;
    summary.minBits = audio.MinimumBitsPerSample;
    summary.maxBits = audio.MaximumBitsPerSample;
    summary.minRate = audio.MinimumSampleFrequency;
    summary.maxRate = audio.MaximumSampleFrequency;
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeAnalog)) {
    summary.kind = "analog";
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeMidi)) {
    summary.kind = "MIDI";
  } else if (directks::GuidEquals(range.SubFormat, kSubtypeMidiBus)) {
    summary.kind = "MIDI bus";
  } else {
    summary.kind = GuidText(range.SubFormat);
  }
  return summary;
}

}  // namespace

bool ReadDataRanges(const uint8_t *answer, size_t size, std::vector<RangeSummary> *ranges) {
  ranges->clear();
  if (answer == nullptr || size < sizeof(KSMULTIPLE_ITEM)) return false;
  KSMULTIPLE_ITEM header;
  std::memcpy(&header, answer, sizeof header);
  if (header.Size != size) return false;
  size_t at = sizeof header;
  // Every range takes at least a KSDATARANGE, which bounds the loop by the
  // answer's size whatever Count claims.
  for (ULONG i = 0; i < header.Count; ++i) {
    if (size - at < sizeof(KSDATARANGE)) return false;
    ULONG rangeSize = 0;
    std::memcpy(&rangeSize, answer + at, sizeof rangeSize);
    if (rangeSize < sizeof(KSDATARANGE) || rangeSize > size - at) return false;
    ranges->push_back(Summarize(answer + at, rangeSize));
    at = std::min(size, at + ((static_cast<size_t>(rangeSize) + 7) & ~size_t{7}));
  }
  return true;
}

bool ParseDataRanges(const std::vector<uint8_t> &answer, std::vector<RangeSummary> *ranges) {
  if (ReadDataRanges(answer.data(), answer.size(), ranges)) return true;
  ranges->clear();
  return false;
}

std::string DescribePin(const PinSummary &pin) {
  std::string line = "pin " + std::to_string(pin.id) + ": " + Role(pin);
  std::vector<const RangeSummary *> shown;
  for (const RangeSummary &range : pin.ranges) {
    bool seen = false;
    for (const RangeSummary *other : shown) seen = seen || SameRange(*other, range);
    if (seen) continue;
    shown.push_back(&range);
    line += (shown.size() == 1 ? ", " : "; ") + Describe(range);
  }
  if (shown.empty()) line += ", no data ranges";
  return line;
}

}  // namespace qav
