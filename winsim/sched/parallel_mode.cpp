#include "winsim/sched/parallel_mode.h"

#include <cstdlib>

namespace winsim {

std::optional<ParallelOptions> ParallelOptionsFromEnvironment() {
  const char *text = std::getenv("QAV_PARALLEL_SEED");
  if (text == nullptr || *text == 0) return std::nullopt;
  ParallelOptions options;
  options.seed = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  return options;
}

VTime QuantisedDelay(uint64_t draw, VTime maximum) {
  uint64_t step = draw % 8;
  if (step < 4 || maximum <= 0) return 0;
  return maximum * static_cast<VTime>(step - 3) / 4;
}

ParallelMode &ParallelMode::Instance() {
  static ParallelMode mode;
  return mode;
}

void ParallelMode::Configure(const std::optional<ParallelOptions> &options) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_on = options.has_value();
  m_options = options.value_or(ParallelOptions{});
  if (m_options.dpcThreads == 0) m_options.dpcThreads = 1;
  if (m_options.completionThreads == 0) m_options.completionThreads = 1;
  for (int i = 0; i < static_cast<int>(RandomStream::Count); ++i) {
    std::seed_seq seq{m_options.seed, static_cast<uint32_t>(i)};
    m_random[i].seed(seq);
  }
}

bool ParallelMode::On() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_on;
}

uint64_t ParallelMode::Draw(RandomStream stream) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_random[static_cast<int>(stream)]();
}

VTime ParallelMode::Delay(RandomStream stream, VTime maximum) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_on) return 0;
  return QuantisedDelay(m_random[static_cast<int>(stream)](), maximum);
}

VTime ParallelMode::WorkItemDelay() { return Delay(RandomStream::WorkItems, m_options.workItemJitter); }

VTime ParallelMode::DpcDelay() { return Delay(RandomStream::Dpcs, m_options.dpcJitter); }

std::string ParallelMode::Describe() const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_on) return {};
  return "parallel mode, seed " + std::to_string(m_options.seed);
}

}  // namespace winsim
