// The time a device takes over control requests: the time from SETUP to the
// end of the status stage, which is what a driver waiting on the request
// sees. Most requests end within a few milliseconds; a SET_CUR of a clock's
// sampling frequency makes the device re-lock its clock first, which takes
// tens to hundreds of milliseconds.
#pragma once
#include <random>

#include "winsim/usb/usb_function.h"

namespace winsim::usb {

struct ControlTiming {
  // Uniform in [min, max]; all zero: only the controller's fixed duration.
  VTime requestMin = 0;
  VTime requestMax = 0;
  VTime rateChangeMin = 0;  // SET_CUR of a sampling frequency
  VTime rateChangeMax = 0;

  // Every request in one microframe, as the controller did at first.
  static ControlTiming Instant() { return {}; }
  // Every request takes exactly `duration` (rate changes too).
  static ControlTiming Fixed(VTime duration) { return {duration, duration, duration, duration}; }
};

// A high-speed interface (a DSP or FPGA that reprograms a PLL on a rate
// change): requests 0.25-2 ms, a rate change 40-300 ms. A full-speed one (a
// codec chip on a small controller): requests 0.5-3 ms, a rate change
// 10-60 ms. Both stay well inside the 1 s a driver gives a request.
ControlTiming DefaultControlTiming(BusSpeed speed);

// A class SET_CUR of control selector 1 with four bytes to an interface
// entity: the sampling frequency of a clock source.
bool IsSampleRateWrite(const SetupPacket &setup);

// The time the request takes under `timing`.
VTime ControlDuration(const ControlTiming &timing, const SetupPacket &setup, std::mt19937 &random);

}  // namespace winsim::usb
