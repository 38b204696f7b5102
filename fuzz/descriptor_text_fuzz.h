// The text files `qav --sim FILE` reads, from the input: parsed, and when
// they parse, made into a simulated device definition. Anything may be
// refused; crashes, sanitizer reports and a refusal without a line number
// are findings.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "winsim/devices/raw_model.h"

namespace qavfuzz {

// A parser's refusal names the line at fault; anything else is a finding.
inline void RequireLineNumber(bool ok, const std::string &error) {
  if (!ok && error.rfind("line ", 0) != 0) std::abort();
}

inline void BuildFrom(const winsim::devices::RawDescriptors &raw) {
  winsim::devices::RawParseResult built = winsim::devices::ParseRawDevice(raw);
  (void)built;
}

}  // namespace qavfuzz
