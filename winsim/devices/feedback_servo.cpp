#include "winsim/devices/feedback_servo.h"

#include <algorithm>

namespace winsim::devices {
namespace {

constexpr int64_t kMaxCorrectionDivisor = 100;  // ±1 % of the rate

}  // namespace

uint32_t SteerFeedback(uint32_t roundedRate, uint32_t level, uint32_t threshold) {
  const int64_t limit = roundedRate / kMaxCorrectionDivisor;
  const int64_t correction = std::clamp(int64_t{threshold} - int64_t{level}, -limit, limit);
  return static_cast<uint32_t>(int64_t{roundedRate} + correction);
}

}  // namespace winsim::devices
