// `qav trace`: the driver's binary trace records of a run on a simulated
// machine that has the logger device, decoded through the message catalogue.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/qav/sim_source.h"
#include "winsim/kernel/trace_logger_decode.h"

namespace qav {

// Which records to print: 0 means no restriction.
struct TraceFilter {
  uint32_t level = 0;  // one level bit
  uint32_t areas = 0;  // a record passes when it has any of these area bits
  bool Passes(uint32_t flags) const {
    return (level == 0 || (flags & level) != 0) && (areas == 0 || (flags & areas) != 0);
  }
};

// "[   12.345 ms] event  device         text": one decoded record.
std::string DescribeTraceRecord(const winsim::LoggedRecord &logged);

// Parses `--level NAME` and `--area NAME[,NAME]` into the filter; false with
// *error set for an unknown name.
bool ParseTraceFilter(const std::string &option, const std::string &value, TraceFilter *filter, std::string *error);

// Runs the scenario ("start", or "stream" for `seconds` of streaming) on a
// machine with the logger and returns its records in time order.
std::vector<winsim::LoggedRecord> CollectTrace(const winsim::devices::DeviceDefinition &definition,
                                               const std::string &scenario, uint32_t seconds);

// `qav trace start|stream [SECONDS] [--level L] [--area A]`: args are the words after "trace".
int RunTrace(const SimSource &source, const std::vector<std::string> &args);

}  // namespace qav
