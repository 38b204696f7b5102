// Cost of the driver's trace points on this machine, in ns per trace point
// (median of batches):
//   disabled     the logger is absent: one load and compare
//   masked       the logger is open but the record's flags are not enabled
//   standard     an enabled record with four arguments into "STND"
//   real-time    the same into "REAL"
// KeQueryInterruptTime is winsim's on the host build, not the HAL's.
//
//   build/host/bench/trace_figures
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "kerneldriver/trace/trace_log.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/machine.h"

namespace {

constexpr int kRepetitions = 501;
constexpr int kBatch = 1000;

double MedianNs(const std::function<void(int)> &batch) {
  std::vector<double> samples;
  samples.reserve(kRepetitions);
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    batch(i);
    const auto end = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::nano>(end - start).count() / kBatch);
  }
  std::nth_element(samples.begin(), samples.begin() + kRepetitions / 2, samples.end());
  return samples[kRepetitions / 2];
}

void Standard(int seed) {
  for (int j = 0; j < kBatch; ++j) QAV_LOG(StreamStopped, seed, j, 3, 4);
}

void RealTime(int seed) {
  for (int j = 0; j < kBatch; ++j) QAV_LOG_RT(DataUrbFailed, seed, j, 3, 4);
}

}  // namespace

int main() {
  winsim::Machine machine;
  const double disabled = MedianNs(Standard);
  machine.StartTraceLogger();
  if (TraceLogOpen() != STATUS_SUCCESS) {
    std::fprintf(stderr, "trace_figures: the logger did not open\n");
    return 1;
  }
  machine.TraceLog()->SetMasks(kTraceLevelEvent | kTraceAreaDevice, 0);
  const double masked = MedianNs(Standard);
  machine.TraceLog()->SetMasks(0xFFFFFFFFu, 0xFFFFFFFFu);
  const double standard = MedianNs(Standard);
  const double realTime = MedianNs(RealTime);
  TraceLogClose();
  std::printf("| trace point | ns |\n|---|---|\n");
  std::printf("| disabled (no logger) | %.2f |\n| masked out | %.2f |\n| standard record | %.2f |\n"
              "| real-time record | %.2f |\n",
              disabled, masked, standard, realTime);
  return 0;
}
