// Collects the library's trace messages through its sink while alive, at a
// chosen threshold; restores the default (threshold 1, no sink) afterwards.
#pragma once
#include <string>
#include <vector>

#include "uac2common/directks/kstrace.h"

namespace kslibtest {

class TraceCapture {
 public:
  explicit TraceCapture(LONG level = 1);
  ~TraceCapture();
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;

  const std::vector<std::string> &Messages() const;
  bool Saw(const std::string &text) const;
  void Clear();
};

}  // namespace kslibtest
