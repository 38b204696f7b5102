// Timing of short calls for the benchmarks: the median over many batches,
// each long enough to rise above the clock's grain.
#pragma once
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace qavbench {

// Median nanoseconds of one call of `body`.
inline double MedianNs(const std::function<void()> &body) {
  constexpr int kRepetitions = 2001;
  constexpr int kBatch = 16;
  std::vector<double> samples;
  samples.reserve(kRepetitions);
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    for (int j = 0; j < kBatch; ++j) body();
    const auto end = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::nano>(end - start).count() / kBatch);
  }
  std::nth_element(samples.begin(), samples.begin() + kRepetitions / 2, samples.end());
  return samples[kRepetitions / 2];
}

}  // namespace qavbench
