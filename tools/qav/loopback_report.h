// The rows of `qav asio loopback` and their three forms: the table on the
// console, CSV, and a small SVG chart of measured and reported latency.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qav {

struct LoopbackRow {
  uint32_t rate = 0;
  uint32_t urbSize = 0;  // the USB performance mode, ms per transfer
  uint32_t buffer = 0;
  bool found = false;      // the impulses came back and agree
  std::string problem;     // why not, or another thing wrong with the row
  int64_t measured = 0;    // round trip in samples, output written to input read
  int64_t reportedInput = 0, reportedOutput = 0;
  int64_t design = 0;      // the design's figure for the round trip
  uint32_t switches = 0, overloads = 0;
  uint64_t underruns = 0, overruns = 0;  // the device's, during the run

  int64_t Reported() const { return reportedInput + reportedOutput; }
  double Ms(int64_t frames) const { return rate == 0 ? 0.0 : static_cast<double>(frames) * 1000.0 / rate; }
};

std::vector<std::string> LoopbackTable(const std::vector<LoopbackRow> &rows);
std::string LoopbackCsv(const std::vector<LoopbackRow> &rows);
// Latency in ms against buffer size at `rate`: measured (solid) and
// reported (dashed) per mode. Rows of other rates and rows without a
// measurement are left out.
std::string LoopbackSvg(const std::vector<LoopbackRow> &rows, uint32_t rate);

}  // namespace qav
