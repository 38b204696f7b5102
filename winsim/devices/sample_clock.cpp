#include "winsim/devices/sample_clock.h"

#include <algorithm>

namespace winsim::devices {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPpmScale = 1'000'000;
constexpr uint64_t kMicroframesPerSecond = 8000;
constexpr uint64_t kFramesPerSecond = 1000;

// rate × (1e6 + drift): the drifted rate in millionths of a sample per second.
u128 DriftedMicroRate(ClockParams params) {
  const int64_t factor = static_cast<int64_t>(kPpmScale) + ClampDrift(params.driftPpm);
  return static_cast<u128>(params.rate) * static_cast<uint64_t>(factor);
}

uint32_t FixedPoint(ClockParams params, uint64_t intervalsPerSecond, unsigned fractionBits) {
  const u128 denominator = static_cast<u128>(intervalsPerSecond) * kPpmScale;
  const u128 numerator = (DriftedMicroRate(params) << fractionBits) + denominator / 2;
  return static_cast<uint32_t>(numerator / denominator);
}

}  // namespace

int32_t ClampDrift(int32_t driftPpm) { return std::clamp(driftPpm, -kMaxDriftPpm, kMaxDriftPpm); }

void SampleClock::Start(uint64_t microframe, ClockParams params, uint64_t phase) {
  m_running = true;
  m_current = Segment{microframe, 0, phase % kClockPhaseUnits, params};
  m_previous = m_current;
}

void SampleClock::Retune(uint64_t microframe, ClockParams params) {
  if (microframe > m_current.origin) {
    const u128 total = m_current.Elapsed(microframe);
    m_previous = m_current;
    m_current.base += static_cast<uint64_t>(total / kClockPhaseUnits);
    m_current.phase = static_cast<uint64_t>(total % kClockPhaseUnits);
    m_current.origin = microframe;
  }
  m_current.params = params;
}

u128 SampleClock::Segment::Elapsed(uint64_t microframe) const {
  const u128 elapsed = microframe - origin;
  return elapsed * DriftedMicroRate(params) + phase;
}

uint64_t SampleClock::Segment::SampleAt(uint64_t microframe) const {
  if (microframe <= origin) return base;
  return base + static_cast<uint64_t>(Elapsed(microframe) / kClockPhaseUnits);
}

uint64_t SampleClock::SampleAt(uint64_t microframe) const {
  if (microframe >= m_current.origin) return m_current.SampleAt(microframe);
  return m_previous.SampleAt(std::min(microframe, m_current.origin));
}

uint32_t FeedbackHighSpeed(ClockParams params) { return FixedPoint(params, kMicroframesPerSecond, 16); }

uint32_t FeedbackFullSpeed(ClockParams params) { return FixedPoint(params, kFramesPerSecond, 14); }

}  // namespace winsim::devices
