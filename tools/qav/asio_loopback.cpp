#include "tools/qav/asio_loopback.h"

#include <algorithm>

namespace qav {

CImpulseTrain::CImpulseTrain(uint64_t first, uint32_t spacing, uint32_t count)
    : m_first(first), m_spacing(spacing == 0 ? 1 : spacing), m_count(std::min(count, kMaxImpulses)) {}

int32_t CImpulseTrain::Sample(uint64_t frame) const {
  if (frame < m_first || (frame - m_first) % m_spacing != 0) return 0;
  const uint64_t impulse = (frame - m_first) / m_spacing;
  return impulse < m_count ? Amplitude(static_cast<uint32_t>(impulse)) : 0;
}

EchoFinding FindEchoes(const CImpulseTrain &train, const std::vector<int32_t> &heard, uint64_t longest,
                       uint32_t needed) {
  EchoFinding finding;
  std::vector<int64_t> delays(train.Count(), -1);
  for (size_t t = 0; t < heard.size(); ++t) {
    const int32_t value = heard[t];
    if (value == 0) continue;
    const uint32_t number = static_cast<uint32_t>(value) >> 20;
    const bool impulse = value > 0 && (value & 0xFFFFF) == 0 && number >= 1 && number <= train.Count();
    if (!impulse || delays[number - 1] >= 0 || t < train.Frame(number - 1)) {
      ++finding.strays;
      continue;
    }
    delays[number - 1] = static_cast<int64_t>(t - train.Frame(number - 1));
  }
  uint32_t expected = 0;
  bool first = true;
  finding.agree = true;
  for (uint32_t k = 0; k < train.Count(); ++k) {
    if (train.Frame(k) + longest <= heard.size()) ++expected;
    if (delays[k] < 0) continue;
    ++finding.found;
    if (first) {
      finding.delay = finding.minDelay = finding.maxDelay = delays[k];
      first = false;
    }
    finding.minDelay = std::min(finding.minDelay, delays[k]);
    finding.maxDelay = std::max(finding.maxDelay, delays[k]);
  }
  finding.agree = finding.found > 0 && finding.minDelay == finding.maxDelay;
  if (finding.found == 0) {
    finding.problem = "signal not found";
  } else if (finding.found < std::max(needed, expected)) {
    finding.problem = "only " + std::to_string(finding.found) + " of " + std::to_string(std::max(needed, expected)) +
                      " impulses came back";
  } else if (!finding.agree) {
    finding.problem = "round trips differ: " + std::to_string(finding.minDelay) + " to " +
                      std::to_string(finding.maxDelay) + " samples";
  } else if (finding.strays > 0) {
    finding.problem = std::to_string(finding.strays) + " stray samples on the input";
  }
  return finding;
}

}  // namespace qav
