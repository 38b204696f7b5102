#include "winsim/sched/dispatch_cpu.h"

#include <time.h>

#include <cstdio>

#include "winsim/kernel/bugcheck.h"

namespace winsim {
namespace {

constexpr uint64_t kNsPerUs = 1000;

int BucketOf(uint64_t ns) {
  uint64_t us = ns / kNsPerUs;
  int bucket = 0;
  while (us != 0 && bucket < CpuHistogram::kBuckets - 1) {
    us >>= 1;
    ++bucket;
  }
  return bucket;
}

std::string Microseconds(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f us", static_cast<double>(ns) / kNsPerUs);
  return text;
}

std::string RangeText(int bucket) {
  if (bucket == 0) return "< 1 us";
  uint64_t low = CpuHistogram::BucketLowNs(bucket) / kNsPerUs;
  if (bucket == CpuHistogram::kBuckets - 1) return ">= " + std::to_string(low) + " us";
  return std::to_string(low) + "-" + std::to_string(CpuHistogram::BucketHighNs(bucket) / kNsPerUs) + " us";
}

}  // namespace

const char *DispatchWorkName(DispatchWork work) {
  switch (work) {
    case DispatchWork::Dpc: return "DPC";
    case DispatchWork::UrbCompletion: return "URB completion";
    case DispatchWork::Count: break;
  }
  return "?";
}

uint64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

void CpuHistogram::Add(uint64_t ns) {
  ++counts[BucketOf(ns)];
  ++count;
  totalNs += ns;
  if (ns > maxNs) maxNs = ns;
}

uint64_t CpuHistogram::BucketLowNs(int bucket) { return bucket == 0 ? 0 : (uint64_t{1} << (bucket - 1)) * kNsPerUs; }

uint64_t CpuHistogram::BucketHighNs(int bucket) {
  return bucket == kBuckets - 1 ? UINT64_MAX : (uint64_t{1} << bucket) * kNsPerUs;
}

uint64_t CpuHistogram::PercentileNs(double fraction) const {
  if (count == 0) return 0;
  auto rank = static_cast<uint64_t>(fraction * static_cast<double>(count));
  if (rank >= count) rank = count - 1;
  uint64_t seen = 0;
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    seen += counts[bucket];
    if (seen > rank) return BucketHighNs(bucket);
  }
  return BucketHighNs(kBuckets - 1);
}

std::string CpuHistogram::Format(const std::string &title) const {
  std::string text = "| " + title + " CPU | runs | share | cumulative |\n|---|---|---|---|\n";
  uint64_t seen = 0;
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    if (counts[bucket] == 0) continue;
    seen += counts[bucket];
    char row[128];
    std::snprintf(row, sizeof row, "| %s | %llu | %.2f %% | %.2f %% |\n", RangeText(bucket).c_str(),
                  static_cast<unsigned long long>(counts[bucket]), 100.0 * static_cast<double>(counts[bucket]) / count,
                  100.0 * static_cast<double>(seen) / count);
    text += row;
  }
  text += "runs " + std::to_string(count) + ", mean " + Microseconds(count ? totalNs / count : 0) + ", max " +
          Microseconds(maxNs) + "\n";
  return text;
}

DispatchCpu &DispatchCpu::Instance() {
  static DispatchCpu meter;
  return meter;
}

void DispatchCpu::Reset(uint64_t budgetNs) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_budgetNs = budgetNs;
  m_histograms = {};
}

CpuHistogram DispatchCpu::Snapshot(DispatchWork work) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_histograms[static_cast<int>(work)];
}

void DispatchCpu::Record(DispatchWork work, uint64_t ns, const std::string &what, const std::source_location &site) {
  uint64_t budget;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_histograms[static_cast<int>(work)].Add(ns);
    budget = m_budgetNs;
  }
  if (budget == 0 || ns <= budget) return;
  BugCheck(BugCode::kDpcWatchdogViolation,
           what + " ran " + Microseconds(ns) + " of CPU at DISPATCH_LEVEL; the budget per routine is " +
               Microseconds(budget),
           site);
}

}  // namespace winsim
