#include "tools/qav/host_trace.h"

#include <cstdio>
#include <cstdlib>

#include "tools/qav/host_commands.h"
#include "uac2common/tracelog/trace_text.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/sched/scheduler.h"

namespace qav {

std::string DescribeTraceRecord(const winsim::LoggedRecord &logged) {
  char head[96];
  std::snprintf(head, sizeof head, "[%10.3f ms] %-4s %-6s %-14s ",
                static_cast<double>(logged.record.InterruptTime) / winsim::kTicksPerMillisecond,
                logged.tag == kLoggerTagRealTime ? "REAL" : "STND", tracetext::LevelName(logged.record.Flags),
                tracetext::AreaNames(logged.record.Flags).c_str());
  return head + winsim::RecordText(logged.record);
}

bool ParseTraceFilter(const std::string &option, const std::string &value, TraceFilter *filter, std::string *error) {
  if (option == "--level") {
    filter->level = tracetext::LevelBit(value);
    if (filter->level == 0) *error = "unknown level '" + value + "' (fail, refuse, event, detail)";
    return filter->level != 0;
  }
  if (option == "--area") {
    size_t start = 0;
    while (start <= value.size()) {
      size_t comma = value.find(',', start);
      const std::string name = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const uint32_t bit = tracetext::AreaBit(name);
      if (bit == 0) {
        *error = "unknown area '" + name + "' (device, clock, latency, stream, render, asio)";
        return false;
      }
      filter->areas |= bit;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return true;
  }
  *error = "unknown option " + option;
  return false;
}

std::vector<winsim::LoggedRecord> CollectTrace(const winsim::devices::DeviceDefinition &definition,
                                               const std::string &scenario, uint32_t seconds) {
  std::vector<winsim::LoggedRecord> records;
  winsim::TraceLoggerOptions options;
  options.onShutdown = [&records](winsim::TraceLogger &logger) { records = winsim::ReadLogger(logger); };
  winsim::SetDefaultTraceLogger(options);
  if (scenario == "stream") {
    (void)PlayDevice(definition, seconds * 1000u);
  } else {
    (void)StartDevice(definition, false);
  }
  winsim::SetDefaultTraceLogger(std::nullopt);
  return records;
}

namespace {

int TraceUsage() {
  std::fprintf(stderr,
               "usage: qav [--sim MODEL|FILE] trace start|stream [SECONDS] [--level L] [--area A[,A]]\n"
               "  levels: fail, refuse, event, detail; areas: device, clock, latency, stream, render, asio\n");
  return 2;
}

}  // namespace

int RunTrace(const SimSource &source, const std::vector<std::string> &args) {
  if (args.empty() || (args[0] != "start" && args[0] != "stream")) return TraceUsage();
  uint32_t seconds = 1;
  TraceFilter filter;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) == 0) {
      std::string error;
      if (i + 1 >= args.size() || !ParseTraceFilter(args[i], args[i + 1], &filter, &error)) {
        if (!error.empty()) std::fprintf(stderr, "qav: %s\n", error.c_str());
        return TraceUsage();
      }
      ++i;
    } else if (args[0] == "stream" && i == 1) {
      char *end = nullptr;
      const unsigned long long value = std::strtoull(args[i].c_str(), &end, 10);
      if (*end != '\0' || value < 1 || value > 600) return TraceUsage();
      seconds = static_cast<uint32_t>(value);
    } else {
      return TraceUsage();
    }
  }
  SimDevice sim = LoadSimDevice(source);
  if (!sim.ok) {
    std::fprintf(stderr, "qav: %s\n", sim.error.c_str());
    return 2;
  }
  const std::vector<winsim::LoggedRecord> records = CollectTrace(sim.definition, args[0], seconds);
  size_t shown = 0;
  for (const winsim::LoggedRecord &logged : records) {
    if (!filter.Passes(logged.record.Flags)) continue;
    std::printf("%s\n", DescribeTraceRecord(logged).c_str());
    ++shown;
  }
  std::printf("qav trace: %zu of %zu records\n", shown, records.size());
  return records.empty() ? 1 : 0;
}

}  // namespace qav
