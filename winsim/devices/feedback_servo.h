// The explicit feedback value of an asynchronous render stream, steered by
// the render FIFO's fill.
//
// Reporting only the clock's rate rounded to the feedback's fixed point
// leaves the host sending up to half a unit too much or too little for as
// long as it streams: at high speed up to 0.5/65536 sample per microframe,
// about 220 frames an hour, which in time runs any FIFO over or dry. A real
// asynchronous interface therefore servos the value on its FIFO: while the
// DAC plays, every frame the FIFO holds below its start threshold adds one
// unit of the fixed point (1/65536 sample per microframe at high speed,
// 1/16384 sample per frame at full speed) and every frame above takes one
// away. A host that sizes its packets from the value then sends, on long-term
// average, exactly what the DAC takes, and the FIFO stays centred on the
// threshold. The loop's time constant is about 8 s at high speed and 16 s at
// full speed: far slower than a host's sizing loop (tens of milliseconds), so
// the two never fight, yet fast enough to hold the rounding error to a frame.
//
// The correction is clamped so the value stays within ±1 % of the rounded
// rate: a host that sanity-checks the value against the nominal rate keeps
// accepting it, and a FIFO run dry or full cannot make the host burst.
// Exact integer arithmetic, no state: the same fill always gives the same
// value.
#pragma once
#include <cstdint>

namespace winsim::devices {

// `roundedRate`: the drifted rate in the feedback's fixed point;
// `level` and `threshold`: the FIFO's fill and start threshold in frames.
// Answers roundedRate + (threshold − level), clamped to ±roundedRate / 100.
uint32_t SteerFeedback(uint32_t roundedRate, uint32_t level, uint32_t threshold);

}  // namespace winsim::devices
