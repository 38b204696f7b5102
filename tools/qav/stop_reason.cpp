#include "tools/qav/stop_reason.h"

#include <cstdio>
#include <functional>

namespace qav {
namespace {

constexpr uint32_t kStatusSuccess = 0x00000000;

std::string Format(const char *format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// A driver trace the start can stop on, and the words for it. The values
// are read with the trace's own format; `stops` says whether the trace
// ends the start or only explains something passed over.
struct TraceMeaning {
  const char *trace;  // sscanf format matching the whole trace
  int values;
  bool stops;
  std::function<std::string(const unsigned *)> words;
};

const std::vector<TraceMeaning> &Meanings() {
  static const std::vector<TraceMeaning> meanings = {
      {"vendor %x not served", 1, true,
       [](const unsigned *v) {
         return Format("the driver does not serve vendor id %04X: its hardware ids name vendors 2B5A and 1A2C "
                       "(--as-family runs the interface as if it carried the family's vendor id)",
                       v[0]);
       }},
      {"AudioControl interface %u: no class 2.0 AudioStreaming interface follows it", 1, true,
       [](const unsigned *v) {
         return Format("no AudioStreaming interface follows the AudioControl interface at position %u", v[0]);
       }},
      {"no AudioControl interface of the audio function", 0, true,
       [](const unsigned *) {
         return std::string("the configuration has no class 2.0 AudioControl interface followed by an "
                            "AudioStreaming interface");
       }},
      {"clock 0x00: sampling frequency not read %x", 1, true,
       [](const unsigned *) {
         return std::string("the AudioControl interface names no clock source the driver can address");
       }},
      {"clock 0x%x: sampling frequency not read %x", 2, true,
       [](const unsigned *v) {
         return Format("the clock 0x%02X refuses sampling-frequency requests (", v[0]) + StatusName(v[1]) + ")";
       }},
      {"select configuration failed %x", 1, true,
       [](const unsigned *v) { return "the USB stack refused to select the configuration (" + StatusName(v[0]) + ")"; }},
      {"SELECT_INTERFACE %u/%u attempt %u failed %x", 4, true,
       [](const unsigned *v) { return Format("the device refuses alternate setting %u of interface %u", v[1], v[0]); }},
      {"interface %u (subclass %u, protocol %x) is not of audio class 2.0: passed over", 3, false,
       [](const unsigned *v) {
         return Format("interface %u (audio subclass %u, protocol %02X) is not of audio class 2.0: passed over", v[0],
                       v[1], v[2]);
       }},
      {"alternate setting %u/%u: data endpoint %x with bInterval %u not served", 4, false,
       [](const unsigned *v) {
         return Format("alternate setting %u of interface %u: its data endpoint's bInterval is not served", v[1], v[0]);
       }},
  };
  return meanings;
}

// Whole-trace match: the format's last conversion must reach the end.
bool Matches(const TraceMeaning &meaning, const std::string &trace, unsigned *values) {
  std::string format = std::string(meaning.trace) + "%n";
  int consumed = -1;
  int got = 0;
  switch (meaning.values) {
    case 0: got = std::sscanf(trace.c_str(), format.c_str(), &consumed); break;
    case 1: got = std::sscanf(trace.c_str(), format.c_str(), &values[0], &consumed); break;
    case 2: got = std::sscanf(trace.c_str(), format.c_str(), &values[0], &values[1], &consumed); break;
    case 3: got = std::sscanf(trace.c_str(), format.c_str(), &values[0], &values[1], &values[2], &consumed); break;
    default:
      got = std::sscanf(trace.c_str(), format.c_str(), &values[0], &values[1], &values[2], &values[3], &consumed);
  }
  return got == meaning.values && consumed == static_cast<int>(trace.size());
}

std::string Streams(const std::vector<std::string> &traces) {
  std::string streams;
  for (const std::string &trace : traces) {
    if (trace.rfind("render stream:", 0) == 0 || trace.rfind("capture stream:", 0) == 0) {
      streams += (streams.empty() ? "" : "; ") + trace;
    }
  }
  return streams.empty() ? "no audio streams" : streams;
}

}  // namespace

std::string StatusName(uint32_t status) {
  static const struct {
    uint32_t code;
    const char *name;
  } kNames[] = {{0x00000000, "STATUS_SUCCESS"},          {0xC00000BB, "STATUS_NOT_SUPPORTED"},
                {0xC00000A3, "STATUS_DEVICE_NOT_READY"}, {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
                {0xC0000001, "STATUS_UNSUCCESSFUL"},     {0xC000000D, "STATUS_INVALID_PARAMETER"},
                {0xC0000184, "STATUS_INVALID_DEVICE_STATE"}, {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
                {0xC00002B6, "STATUS_DEVICE_REMOVED"},   {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
                {0xC00000B5, "STATUS_IO_TIMEOUT"},       {0xC0000120, "STATUS_CANCELLED"}};
  for (const auto &name : kNames) {
    if (name.code == status) return name.name;
  }
  return Format("status 0x%08X", status);
}

StartVerdict ExplainStart(uint32_t postStartStatus, const std::vector<std::string> &driverTraces) {
  StartVerdict verdict;
  verdict.started = postStartStatus == kStatusSuccess;
  std::string stop;
  for (const std::string &trace : driverTraces) {
    for (const TraceMeaning &meaning : Meanings()) {
      unsigned values[4] = {};
      if (!Matches(meaning, trace, values)) continue;
      if (meaning.stops && stop.empty()) {
        stop = meaning.words(values);
      } else if (!meaning.stops) {
        verdict.notes.push_back(meaning.words(values));
      }
      break;
    }
  }
  if (verdict.started) {
    verdict.reason = "started: " + Streams(driverTraces);
  } else if (!stop.empty()) {
    verdict.reason = "stopped (" + StatusName(postStartStatus) + "): " + stop;
  } else {
    std::string last;
    for (const std::string &trace : driverTraces) {
      if (trace.rfind("post start", 0) != 0) last = trace;
    }
    verdict.reason = "stopped (" + StatusName(postStartStatus) + ")" +
                     (last.empty() ? std::string() : "; the driver's last word before it: " + last);
  }
  return verdict;
}

}  // namespace qav
