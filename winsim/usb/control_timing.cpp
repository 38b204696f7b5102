#include "winsim/usb/control_timing.h"

namespace winsim::usb {
namespace {

constexpr VTime kMs = 10000;
constexpr VTime kUs = 10;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientInterface = 0x01;
constexpr uint8_t kRequestCur = 0x01;
constexpr uint8_t kSamplingFrequencyControl = 0x01;
constexpr uint16_t kSamplingFrequencyBytes = 4;

VTime Uniform(VTime low, VTime high, std::mt19937 &random) {
  if (high <= low) return low;
  return std::uniform_int_distribution<VTime>(low, high)(random);
}

}  // namespace

ControlTiming DefaultControlTiming(BusSpeed speed) {
  if (speed == BusSpeed::High) return {250 * kUs, 2 * kMs, 40 * kMs, 300 * kMs};
  return {500 * kUs, 3 * kMs, 10 * kMs, 60 * kMs};
}

bool IsSampleRateWrite(const SetupPacket &setup) {
  return (setup.bmRequestType & kRequestDirectionIn) == 0 && (setup.bmRequestType & kTypeMask) == kTypeClass &&
         (setup.bmRequestType & kRecipientMask) == kRecipientInterface && setup.bRequest == kRequestCur &&
         (setup.wValue >> 8) == kSamplingFrequencyControl && setup.wLength == kSamplingFrequencyBytes;
}

VTime ControlDuration(const ControlTiming &timing, const SetupPacket &setup, std::mt19937 &random) {
  if (IsSampleRateWrite(setup)) return Uniform(timing.rateChangeMin, timing.rateChangeMax, random);
  return Uniform(timing.requestMin, timing.requestMax, random);
}

}  // namespace winsim::usb
