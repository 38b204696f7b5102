// Turning trace records into text (user-mode tools only): the catalogue's
// conversions applied to a record's arguments, and the names of levels and
// areas.
#pragma once
#include <cstdio>
#include <string>

#include "uac2common/tracelog/trace_catalog_text.h"

namespace tracetext {

// Parses one conversion at text[at] (just after '%'). Sets *words to the
// arguments it takes and *end past it; false for a malformed conversion.
inline bool ParseConversion(const std::string &text, size_t at, size_t *end, unsigned int *words, std::string *conversion,
                            char *kind) {
  if (at < text.size() && text[at] == '%') {
    *end = at + 1;
    *words = 0;
    *kind = '%';
    return true;
  }
  if (at < text.size() && text[at] == '{') {
    size_t close = text.find('}', at);
    if (close == std::string::npos) return false;
    *conversion = text.substr(at + 1, close - at - 1);
    *end = close + 1;
    *words = 1;
    *kind = '{';
    return true;
  }
  size_t p = at;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
  bool wide = text.compare(p, 2, "ll") == 0;
  if (wide) p += 2;
  if (p >= text.size()) return false;
  const char c = text[p];
  if (c != 'u' && c != 'd' && c != 'x' && c != 'X') return false;
  *conversion = "%" + text.substr(at, p - at) + c;
  *words = wide ? 2 : 1;
  *kind = c;
  *end = p + 1;
  return true;
}

// Arguments the text takes; -1 when a conversion is malformed.
inline int ArgumentCount(const std::string &text) {
  int total = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t end;
    unsigned int words;
    std::string conversion;
    char kind;
    if (!ParseConversion(text, i + 1, &end, &words, &conversion, &kind)) return -1;
    total += static_cast<int>(words);
    i = end - 1;
  }
  return total;
}

// The word `index` of "a|b|c", or the number when there is no such word.
inline std::string Choice(const std::string &words, unsigned int index) {
  size_t start = 0;
  for (unsigned int i = 0; i < index; ++i) {
    start = words.find('|', start);
    if (start == std::string::npos) return std::to_string(index);
    ++start;
  }
  size_t end = words.find('|', start);
  return words.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The text with the arguments put in; arguments past `count` read as 0.
inline std::string Format(const std::string &text, const unsigned int *arguments, unsigned int count) {
  std::string out;
  unsigned int next = 0;
  auto take = [&]() -> unsigned int { return next < count ? arguments[next++] : (++next, 0u); };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    size_t end;
    unsigned int words;
    std::string conversion;
    char kind;
    if (!ParseConversion(text, i + 1, &end, &words, &conversion, &kind)) {
      out += text.substr(i);
      break;
    }
    char buffer[64];
    if (kind == '%') {
      out += '%';
    } else if (kind == '{') {
      out += Choice(conversion, take());
    } else if (words == 2) {
      unsigned long long low = take();
      unsigned long long value = low | (static_cast<unsigned long long>(take()) << 32);
      if (kind == 'd') {
        std::snprintf(buffer, sizeof buffer, conversion.c_str(), static_cast<long long>(value));
      } else {
        std::snprintf(buffer, sizeof buffer, conversion.c_str(), value);
      }
      out += buffer;
    } else if (kind == 'd') {
      std::snprintf(buffer, sizeof buffer, conversion.c_str(), static_cast<int>(take()));
      out += buffer;
    } else {
      std::snprintf(buffer, sizeof buffer, conversion.c_str(), take());
      out += buffer;
    }
    i = end - 1;
  }
  return out;
}

inline const char *LevelName(unsigned int flags) {
  switch (flags & kTraceLevelMask) {
    case kTraceLevelFailure: return "fail";
    case kTraceLevelRefusal: return "refuse";
    case kTraceLevelEvent: return "event";
    case kTraceLevelDetail: return "detail";
    default: return "?";
  }
}

struct AreaName {
  unsigned int bit;
  const char *name;
};
inline constexpr AreaName kAreaNames[] = {
    {kTraceAreaDevice, "device"}, {kTraceAreaAudioControl, "clock"}, {kTraceAreaLatency, "latency"},
    {kTraceAreaStream, "stream"}, {kTraceAreaRender, "render"},     {kTraceAreaUserMode, "asio"},
};

// "device", "stream+render", ...
inline std::string AreaNames(unsigned int flags) {
  std::string out;
  for (const AreaName &area : kAreaNames) {
    if ((flags & area.bit) == 0) continue;
    if (!out.empty()) out += '+';
    out += area.name;
  }
  return out.empty() ? "-" : out;
}

// The level bit of a name ("fail", "refuse", "event", "detail"), 0 for another.
inline unsigned int LevelBit(const std::string &name) {
  for (unsigned int bit : {kTraceLevelFailure, kTraceLevelRefusal, kTraceLevelEvent, kTraceLevelDetail}) {
    if (name == LevelName(bit)) return bit;
  }
  return 0;
}

// The area bit of a name, 0 for another.
inline unsigned int AreaBit(const std::string &name) {
  for (const AreaName &area : kAreaNames) {
    if (name == area.name) return area.bit;
  }
  return 0;
}

}  // namespace tracetext
