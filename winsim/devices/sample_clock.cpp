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
  m_origin = microframe;
  m_base = 0;
  m_phase = phase % kClockPhaseUnits;
  m_params = params;
}

void SampleClock::Retune(uint64_t microframe, ClockParams params) {
  if (microframe > m_origin) {
    const u128 total = Elapsed(microframe);
    m_base += static_cast<uint64_t>(total / kClockPhaseUnits);
    m_phase = static_cast<uint64_t>(total % kClockPhaseUnits);
    m_origin = microframe;
  }
  m_params = params;
}

u128 SampleClock::Elapsed(uint64_t microframe) const {
  const u128 elapsed = microframe - m_origin;
  return elapsed * DriftedMicroRate(m_params) + m_phase;
}

uint64_t SampleClock::SampleAt(uint64_t microframe) const {
  if (microframe <= m_origin) return m_base;
  return m_base + static_cast<uint64_t>(Elapsed(microframe) / kClockPhaseUnits);
}

uint32_t FeedbackHighSpeed(ClockParams params) { return FixedPoint(params, kMicroframesPerSecond, 16); }

uint32_t FeedbackFullSpeed(ClockParams params) { return FixedPoint(params, kFramesPerSecond, 14); }

}  // namespace winsim::devices
