#include "winsim/kernel/fault_injection.h"

#include <algorithm>
#include <cstdio>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

namespace winsim {

AllocationFaults &AllocationFaults::Instance() {
  static AllocationFaults faults;
  return faults;
}

void AllocationFaults::Arm(const AllocationFaultPlan &plan) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_armed = true;
  m_plan = plan;
  m_random.seed(plan.seed);
  m_counted = 0;
  m_failed = 0;
  m_lastFailure.clear();
}

void AllocationFaults::Disarm() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_armed = false;
}

bool AllocationFaults::Armed() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_armed;
}

bool AllocationFaults::MatchesLocked(ULONG tag, const std::source_location &site) const {
  std::string_view file = site.file_name();
  auto in = [&file](const std::string &fragment) { return file.find(fragment) != std::string_view::npos; };
  if (!m_plan.sites.empty() && std::none_of(m_plan.sites.begin(), m_plan.sites.end(), in)) return false;
  if (std::any_of(m_plan.excludedSites.begin(), m_plan.excludedSites.end(), in)) return false;
  return m_plan.tags.empty() || std::find(m_plan.tags.begin(), m_plan.tags.end(), tag) != m_plan.tags.end();
}

bool AllocationFaults::ShouldFail(ULONG tag, SIZE_T bytes, const std::source_location &site) {
  std::string note;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_armed || !MatchesLocked(tag, site)) return false;
    ++m_counted;
    bool fail = m_counted == m_plan.failNth;
    if (m_plan.probability > 0) fail |= std::uniform_real_distribution<double>(0, 1)(m_random) < m_plan.probability;
    if (!fail) return false;
    ++m_failed;
    m_lastFailure = "allocation " + std::to_string(m_counted) + " (tag '" + Pool::TagText(tag) + "', " +
                    std::to_string(bytes) + " bytes) at " + SiteText(site);
    note = "injected failure of " + m_lastFailure;
  }
  DebugLog::Append("faults", note);
  return true;
}

uint64_t AllocationFaults::Counted() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_counted;
}

uint64_t AllocationFaults::Failed() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_failed;
}

std::string AllocationFaults::Describe() const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_armed) return {};
  std::string text = "allocation faults armed:";
  if (m_plan.failNth != 0) text += " allocation " + std::to_string(m_plan.failNth) + " fails;";
  if (m_plan.probability > 0) {
    char random[96];
    std::snprintf(random, sizeof random, " each fails with p=%g, seed %llu;", m_plan.probability,
                  static_cast<unsigned long long>(m_plan.seed));
    text += random;
  }
  text += " " + std::to_string(m_counted) + " counted, " + std::to_string(m_failed) + " failed";
  if (!m_lastFailure.empty()) text += ", the last: " + m_lastFailure;
  return text;
}

}  // namespace winsim
