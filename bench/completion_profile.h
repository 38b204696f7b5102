// The completion-latency profile the streaming figures run under: nine
// completions in ten are reported 0.1 ms after their transfer ended, the
// tenth 3 to 6 ms after (a DPC queued behind another driver's slow one).
#pragma once
#include <random>

#include "winsim/usb/usb_function.h"

namespace sttest {

inline winsim::usb::VTime BurstyLatency(std::mt19937 &r) {
  return std::uniform_int_distribution<int>(0, 9)(r) == 0
             ? std::uniform_int_distribution<winsim::usb::VTime>(30000, 60000)(r)
             : winsim::usb::VTime{1000};
}

inline constexpr const char *kBurstyLatencyName = "90% 0.1 ms, 10% 3-6 ms";

}  // namespace sttest
