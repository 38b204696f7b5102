#include "winsim/devices/feedback_meter.h"

#include <algorithm>

namespace winsim::devices {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPpmScale = 1'000'000;
constexpr uint64_t kMicroframesPerSecond = 8000;
constexpr uint64_t kMicroframesPerFrame = 8;

// A fixed scramble of the microframe number (splitmix64's finaliser).
uint64_t Scramble(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

uint64_t MasterClockTicks(ClockParams clock, uint64_t microframe, uint32_t jitterTicks) {
  const int64_t factor = static_cast<int64_t>(kPpmScale) + ClampDrift(clock.driftPpm);
  const u128 perSecond = static_cast<u128>(clock.rate) * kMasterClockTicksPerSample * static_cast<uint64_t>(factor);
  const auto ticks = static_cast<uint64_t>(microframe * perSecond / (kMicroframesPerSecond * kPpmScale));
  if (jitterTicks == 0) return ticks;
  const auto offset = static_cast<int64_t>(Scramble(microframe) % (2ull * jitterTicks + 1)) - int64_t{jitterTicks};
  return static_cast<uint64_t>(std::max<int64_t>(static_cast<int64_t>(ticks) + offset, 0));
}

uint32_t MeasuredFeedback(ClockParams clock, UsbSpeed speed, uint64_t microframe, uint32_t windowMicroframes,
                          uint32_t jitterTicks) {
  constexpr uint64_t kMaxWindow = 1u << 15;  // bInterval 16
  const uint64_t window = std::clamp<uint64_t>(windowMicroframes, 1, kMaxWindow);
  if (microframe < window) return speed == UsbSpeed::High ? FeedbackHighSpeed(clock) : FeedbackFullSpeed(clock);
  const uint64_t end = MasterClockTicks(clock, microframe, jitterTicks);
  const uint64_t start = MasterClockTicks(clock, microframe - window, jitterTicks);
  const uint64_t counted = end > start ? end - start : 0;
  // ticks / 256 samples over `window` microframes, in 16.16 per microframe or
  // 10.14 per frame, rounded to nearest.
  const bool high = speed == UsbSpeed::High;
  const uint64_t scale = high ? (uint64_t{1} << 16) : (uint64_t{1} << 14) * kMicroframesPerFrame;
  const u128 numerator = static_cast<u128>(counted) * scale;
  const u128 denominator = static_cast<u128>(window) * kMasterClockTicksPerSample;
  return static_cast<uint32_t>((numerator + denominator / 2) / denominator);
}

}  // namespace winsim::devices
