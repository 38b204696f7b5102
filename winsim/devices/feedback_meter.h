// What an asynchronous interface reports on its explicit feedback endpoint.
//
// Most devices measure: a counter of the converter's master clock (256 ticks
// a sample) is latched at every start of frame, and the value is the ticks
// counted over the feedback endpoint's service interval, scaled to the
// feedback's fixed point (USB 2.0 §5.12.4.2). Nothing corrects for the FIFO:
// the value only tells the host how fast the clock runs, quantised to one
// tick per interval (256/N units of 16.16 for an interval of N microframes)
// and jittered by the latch's timing. The values telescope, so their long-run
// mean is the clock's true rate.
//
// Other devices report a constant (the nominal rate rounded, blind to their
// own drift), or zero until their DAC has started; the FIFO servo of
// feedback_servo.h is kept as one more mode.
#pragma once
#include <cstdint>

#include "winsim/devices/device_model.h"
#include "winsim/devices/sample_clock.h"

namespace winsim::devices {

inline constexpr uint32_t kMasterClockTicksPerSample = 256;

// The master-clock count latched at bus microframe `microframe`, with the
// latch jittered by up to ±jitterTicks (a deterministic function of the
// microframe, so a run can be repeated).
uint64_t MasterClockTicks(ClockParams clock, uint64_t microframe, uint32_t jitterTicks);

// The measured value for the window of `windowMicroframes` ending at
// `microframe`: 16.16 samples per microframe at high speed, 10.14 samples
// per frame at full speed.
uint32_t MeasuredFeedback(ClockParams clock, UsbSpeed speed, uint64_t microframe, uint32_t windowMicroframes,
                          uint32_t jitterTicks);

}  // namespace winsim::devices
