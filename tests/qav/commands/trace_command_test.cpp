// `qav trace` as a user runs it: the driver's records of a start or a short
// stream, decoded and in time order; the level and area filters print
// exactly the records of the whole trace that match them; a level or area
// it does not know is a usage error before any machine runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "command_run.h"

#ifdef QAV_TOOL_PATH

namespace {

// "[   12.345 ms] STND event  device         text"
struct TraceLine {
  std::string whole;
  double ms = 0;
  std::string buffer, level, area, text;
};

struct ParsedTrace {
  std::vector<TraceLine> lines;
  bool wellFormed = true;
  unsigned shown = 0, total = 0;  // from the closing "qav trace: N of M records"
};

ParsedTrace Parse(const std::string &out) {
  ParsedTrace trace;
  std::istringstream stream(out);
  std::string line;
  bool closed = false;
  while (std::getline(stream, line)) {
    if (closed) trace.wellFormed = false;  // nothing after the count
    if (std::sscanf(line.c_str(), "qav trace: %u of %u records", &trace.shown, &trace.total) == 2) {
      closed = true;
      continue;
    }
    TraceLine parsed;
    parsed.whole = line;
    const size_t close = line.find(" ms] ");
    std::istringstream fields(close == std::string::npos ? std::string() : line.substr(close + 5));
    if (line.empty() || line[0] != '[' || close == std::string::npos ||
        std::sscanf(line.c_str() + 1, "%lf", &parsed.ms) != 1 ||
        !(fields >> parsed.buffer >> parsed.level >> parsed.area)) {
      trace.wellFormed = false;
      continue;
    }
    std::getline(fields >> std::ws, parsed.text);
    trace.lines.push_back(parsed);
  }
  if (!closed) trace.wellFormed = false;
  return trace;
}

bool HasArea(const TraceLine &line, const std::string &name) {
  return ("+" + line.area + "+").find("+" + name + "+") != std::string::npos;
}

double TimeOf(const ParsedTrace &trace, const std::string &text) {
  for (const TraceLine &line : trace.lines) {
    if (line.text.find(text) != std::string::npos) return line.ms;
  }
  return -1;
}

struct ScenarioCase {
  const char *args;
  std::vector<const char *> inOrder;  // texts that appear, in this order
};

TEST(TraceCommandTest, StartAndStreamPrintTheDecodedRecordsInTimeOrder) {
  const ScenarioCase cases[] = {
      {"trace start",
       {"driver entry, version", "device added: UrbSize 3", "clock 0x28 in use (selector input 1), 48000 Hz",
        "latency probe: 1 frames", "post start 00000000: rate 48000", "unloaded"}},
      {"trace stream 1",
       {"driver entry, version", "post start 00000000", "audio pin created: render, 48000 Hz", "audio pin PAUSE -> RUN",
        "audio pin RUN -> PAUSE", "stream 01 stopped:", "unloaded"}},
  };
  for (const ScenarioCase &c : cases) {
    SCOPED_TRACE(c.args);
    qavtest::CStateFolder state;
    const qavtest::ProcessResult result = qavtest::RunQav(state, "--state " + state.Path() + " " + c.args);
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const ParsedTrace trace = Parse(result.out);
    EXPECT_TRUE(trace.wellFormed) << result.out;
    EXPECT_EQ(trace.shown, trace.total);
    EXPECT_EQ(trace.lines.size(), trace.shown);
    for (size_t i = 1; i < trace.lines.size(); ++i) {
      EXPECT_LE(trace.lines[i - 1].ms, trace.lines[i].ms) << trace.lines[i].whole;
    }
    for (const TraceLine &line : trace.lines) {
      EXPECT_EQ(line.text.find("unknown message"), std::string::npos) << line.whole;
      EXPECT_TRUE(line.buffer == "STND" || line.buffer == "REAL") << line.whole;
    }
    size_t next = 0;
    for (const TraceLine &line : trace.lines) {
      if (next < c.inOrder.size() && line.text.find(c.inOrder[next]) != std::string::npos) ++next;
    }
    EXPECT_EQ(next, c.inOrder.size()) << "missing or out of order: " << (next < c.inOrder.size() ? c.inOrder[next] : "")
                                      << "\n" << result.out;
  }
  // The stream ran the second it was asked for.
  qavtest::CStateFolder state;
  const ParsedTrace stream = Parse(qavtest::RunQav(state, "--state " + state.Path() + " trace stream 1").out);
  EXPECT_GE(TimeOf(stream, "audio pin RUN -> PAUSE") - TimeOf(stream, "audio pin PAUSE -> RUN"), 1000.0);
}

struct FilterCase {
  const char *filter;
  std::function<bool(const TraceLine &)> passes;
  bool any;  // a healthy stream has such records
};

TEST(TraceCommandTest, LevelAndAreaFiltersPrintExactlyTheMatchingRecords) {
  const FilterCase cases[] = {
      {"--level event", [](const TraceLine &l) { return l.level == "event"; }, true},
      {"--level detail --area clock", [](const TraceLine &l) { return l.level == "detail" && HasArea(l, "clock"); }, true},
      {"--area clock,latency", [](const TraceLine &l) { return HasArea(l, "clock") || HasArea(l, "latency"); }, true},
      {"--area stream --level event", [](const TraceLine &l) { return l.level == "event" && HasArea(l, "stream"); }, true},
      {"--level fail", [](const TraceLine &l) { return l.level == "fail"; }, false},
  };
  qavtest::CStateFolder state;
  const std::string options = "--state " + state.Path() + " ";
  const ParsedTrace whole = Parse(qavtest::RunQav(state, options + "trace stream 1").out);
  ASSERT_TRUE(whole.wellFormed);
  ASSERT_GT(whole.total, 0u);
  for (const FilterCase &c : cases) {
    SCOPED_TRACE(c.filter);
    const qavtest::ProcessResult result = qavtest::RunQav(state, options + "trace stream 1 " + c.filter);
    ASSERT_EQ(result.code, 0) << result.err;
    const ParsedTrace filtered = Parse(result.out);
    EXPECT_TRUE(filtered.wellFormed) << result.out;
    EXPECT_EQ(filtered.total, whole.total) << "the same run: virtual time makes it repeat exactly";
    std::vector<std::string> expected, printed;
    for (const TraceLine &line : whole.lines) {
      if (c.passes(line)) expected.push_back(line.whole);
    }
    for (const TraceLine &line : filtered.lines) printed.push_back(line.whole);
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(!expected.empty(), c.any);
    EXPECT_LT(expected.size(), whole.lines.size());
    EXPECT_EQ(filtered.shown, expected.size());
  }
}

struct UsageCase {
  const char *args;
  const char *err;  // the start of stderr
};

TEST(TraceCommandTest, AnUnknownLevelOrAreaOrAMisplacedWordIsAUsageError) {
  const UsageCase cases[] = {
      {"trace start --level loud", "qav: unknown level 'loud' (fail, refuse, event, detail)\nusage: "},
      {"trace start --area device,nowhere", "qav: unknown area 'nowhere' (device, clock"},
      {"trace start --area device,", "qav: unknown area ''"},
      {"trace start --color red", "qav: unknown option --color\nusage: "},
      {"trace start --level", "usage: "},
      {"trace", "usage: "},
      {"trace replay", "usage: "},
      {"trace start 5", "usage: "},
      {"trace stream 0", "usage: "},
      {"trace stream 601", "usage: "},
  };
  for (const UsageCase &c : cases) {
    SCOPED_TRACE(c.args);
    qavtest::CStateFolder state;
    const qavtest::ProcessResult result = qavtest::RunQav(state, "--state " + state.Path() + " " + c.args);
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.out, "") << "no machine ran";
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
  }
}

}  // namespace

#endif
