// What code at DISPATCH_LEVEL costs. Virtual time stands still while a
// routine runs, so a DPC or completion routine that burns milliseconds looks
// free on the virtual clock; on a real machine it delays every other DPC of
// its processor and the audio with them. The real CPU time of the thread
// (CLOCK_THREAD_CPUTIME_ID) while each DPC routine and each URB completion
// runs is therefore counted into a histogram per machine run. A budget, when
// set, makes a routine that overruns it a bug check, as the DPC watchdog
// would (sanitizer builds run several times slower: set budgets with room).
#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <source_location>
#include <string>

namespace winsim {

enum class DispatchWork : uint8_t { Dpc, UrbCompletion, Count };
const char *DispatchWorkName(DispatchWork work);

struct CpuHistogram {
  // Bucket 0 holds runs under 1 us; bucket i (1 .. kBuckets-2) runs of
  // [2^(i-1), 2^i) us; the last one runs of 2^(kBuckets-2) us and more.
  static constexpr int kBuckets = 18;
  std::array<uint64_t, kBuckets> counts{};
  uint64_t count = 0;
  uint64_t totalNs = 0;
  uint64_t maxNs = 0;

  void Add(uint64_t ns);
  // Lower and upper edge of a bucket in ns (the last one's upper edge is
  // UINT64_MAX).
  static uint64_t BucketLowNs(int bucket);
  static uint64_t BucketHighNs(int bucket);
  // Upper edge of the bucket in which the run at `fraction` (0..1) of all
  // runs, slowest last, falls; 0 when empty.
  uint64_t PercentileNs(double fraction) const;
  // A markdown table: range, runs, share, cumulative share; then count,
  // mean and maximum.
  std::string Format(const std::string &title) const;
};

class DispatchCpu {
 public:
  static DispatchCpu &Instance();

  // At boot: empties the histograms and sets the budget per routine in ns
  // (0: none).
  void Reset(uint64_t budgetNs);
  CpuHistogram Snapshot(DispatchWork work) const;
  // Counts one run. Over the budget it stops the machine naming `what`,
  // with `site` as the place.
  void Record(DispatchWork work, uint64_t ns, const std::string &what, const std::source_location &site);

 private:
  mutable std::mutex m_lock;
  uint64_t m_budgetNs = 0;
  std::array<CpuHistogram, static_cast<int>(DispatchWork::Count)> m_histograms;
};

// CPU time the calling thread has used, in ns.
uint64_t ThreadCpuNs();

}  // namespace winsim
