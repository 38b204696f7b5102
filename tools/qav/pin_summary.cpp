#include "tools/qav/pin_summary.h"

#include <cstdio>

namespace qav {
namespace {

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

}  // namespace

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
