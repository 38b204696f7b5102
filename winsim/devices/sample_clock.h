// The device's sample clock, counted on the bus microframe counter.
//
// The clock runs at rate × (1 + driftPpm / 1e6) samples per second. The
// number of samples produced before microframe m is
//   base + floor((m − origin) × rate × (1e6 + driftPpm) / 8e9)
// in exact integer arithmetic, so every packet size follows the drifted
// clock and a run of any length never accumulates rounding error. A change of
// rate or drift starts a new segment (origin, base) without losing samples.
#pragma once
#include <cstdint>

namespace winsim::devices {

inline constexpr int32_t kMaxDriftPpm = 100000;  // drifts are clamped to ±10 %

struct ClockParams {
  uint32_t rate = 0;  // nominal Hz
  int32_t driftPpm = 0;

  bool operator==(const ClockParams &) const = default;
};

class SampleClock {
 public:
  bool Running() const { return m_running; }
  const ClockParams &Params() const { return m_current.params; }

  // Sample 0 is produced in `microframe`; `phase` as above, reduced modulo
  // one sample period.
  void Start(uint64_t microframe, ClockParams params, uint64_t phase = 0);
  void Stop() { m_running = false; }
  // New parameters from `microframe` on; the samples counted before stay.
  void Retune(uint64_t microframe, ClockParams params);

  // Device sample index of the first sample produced in `microframe`, i.e.
  // the samples produced before it. The segment before the current one is
  // kept (a capture packet asks about the interval before its microframe);
  // microframes before both answer the earlier one's start.
  uint64_t SampleAt(uint64_t microframe) const;

 private:
  struct Segment {
    uint64_t origin = 0;
    uint64_t base = 0;
    uint64_t phase = 0;
    ClockParams params;

    // (microframe − origin) × drifted rate + phase, for microframe ≥ origin.
    unsigned __int128 Elapsed(uint64_t microframe) const;
    uint64_t SampleAt(uint64_t microframe) const;
  };

  bool m_running = false;
  Segment m_current;
  Segment m_previous;
};

int32_t ClampDrift(int32_t driftPpm);

// One sample period in the clock's phase units.
inline constexpr uint64_t kClockPhaseUnits = 8'000ull * 1'000'000ull;

// Explicit feedback values (USB 2.0 §5.12.4.2), rounded to nearest:
// high speed: samples per microframe, 16.16 fixed point in four bytes;
// full speed: samples per frame, 10.14 fixed point in three bytes.
// The plain clock rate: the engine steers it by the render FIFO's fill while
// the DAC plays (feedback_servo.h).
uint32_t FeedbackHighSpeed(ClockParams params);
uint32_t FeedbackFullSpeed(ClockParams params);

}  // namespace winsim::devices
