// A stand-in for the driver's audio pin: it implements the four operations a
// stream calls and nothing else. A render pin writes a ramp into every region
// it is given; a capture pin checks what arrives against the same ramp. Both
// note when each region reached them, for latency figures.
//
// A deferred pin keeps its regions when kicked, as a pin whose client has
// not yet sent data (render) or room (capture) does, and uses them only when
// the test calls ProcessNow. Each region is checked against the stream's
// transfer buffer as it was when the region arrived: a region of a buffer
// that was freed or replaced since is counted as stale (and, under
// AddressSanitizer, touched all the same, so the use after free is
// reported).
//
// The ramp: frame f (counted from 1) carries f × 32 + c on channel c in the
// top 24 bits (the bits a 24-bit converter keeps), so a frame of all zeros is
// silence and anything else names its position. Frame numbers wrap at 2^19
// (about 11 s at 48 kHz); the checker compares them modulo that.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/stream/pin_operations.h"

namespace sttest {

inline constexpr unsigned kRampShift = 8;

inline int32_t RampSample(uint64_t frame, uint32_t channel) {
  return static_cast<int32_t>(static_cast<uint32_t>(frame * 32 + channel) << kRampShift);
}

// The ramp frame a channel-0 sample names.
inline uint64_t RampFrameOf(int32_t sample) { return (static_cast<uint32_t>(sample) >> kRampShift) / 32; }

// Follows a stream of interleaved 32-bit frames: silence, then the ramp
// without a gap, then silence again. Anything else is counted as an error.
class RampChecker {
 public:
  explicit RampChecker(uint32_t channels = 0) : m_channels(channels) {}
  void SetChannels(uint32_t channels) { m_channels = channels; }
  void Feed(const int32_t *samples, uint64_t frames);

  uint64_t LeadingSilence() const { return m_leading; }
  uint64_t RampFrames() const { return m_ramp; }
  uint64_t FirstRampFrame() const { return m_first; }
  uint64_t Errors() const { return m_errors; }
  // Position (frames fed before it) and channel-0 value of the first error.
  uint64_t FirstErrorAt() const { return m_firstErrorAt; }
  // Frames that are neither silence nor any ramp frame: garbage, not a gap.
  uint64_t Foreign() const { return m_foreign; }
  int32_t FirstErrorValue() const { return m_firstErrorValue; }
  // Ramp frame expected next (0 before the ramp began).
  uint64_t NextFrame() const { return m_expected; }
  // Breaks in the ramp once it began: a frame that does not follow the last
  // ramp frame, or silence the ramp resumes after. Unlike Errors, which
  // counts every frame off the original timeline, each break counts once.
  uint64_t Glitches() const { return m_glitches; }

 private:
  enum class Phase { Leading, Ramp, Trailing };
  bool Silent(const int32_t *frame) const;
  bool IsRamp(const int32_t *frame, uint64_t f) const;
  uint64_t FrameOf(const int32_t *frame) const;

  uint32_t m_channels;
  Phase m_phase = Phase::Leading;
  uint64_t m_leading = 0;
  uint64_t m_ramp = 0;
  uint64_t m_first = 0;
  uint64_t m_expected = 0;
  uint64_t m_errors = 0;
  uint64_t m_foreign = 0;
  uint64_t m_fed = 0;
  uint64_t m_firstErrorAt = 0;
  int32_t m_firstErrorValue = 0;
  uint64_t m_glitches = 0;
  uint64_t m_lastRampFrame = 0;  // 0: none yet
  bool m_inGap = false;
  void Error(const int32_t *frame);
  void TrackBreaks(const int32_t *frame, bool silent);
};

struct RegionArrival {
  uint64_t microframe;  // bus microframe when the region reached the pin
  uint64_t firstFrame;  // ramp frame of its first sample (0: silence)
  uint32_t frames;
};

class TestPin : public UsbAudioPin {
 public:
  enum class Kind { Render, Capture };
  // clock: the bus microframe now (for arrival records).
  TestPin(Kind kind, UsbAudioStream *stream, std::function<uint64_t()> clock);

  Kind PinKind() const { return m_kind; }
  UsbAudioStream *Stream() const { return m_stream; }
  // Render: stop writing the ramp (regions stay as the stream zeroed them).
  void SetSilent(bool silent) { m_silent = silent; }
  // Keep arrival records (off by default: long runs would grow them).
  void RecordArrivals(bool on) { m_record = on; }
  void SetDeferred(bool deferred);
  // Uses up the regions the pin holds now (a deferred pin's client acting).
  void ProcessNow();
  // Capture: check from here on as if the stream began now.
  void ResetChecker();

  uint64_t FramesMoved() const;
  uint64_t Kicks() const;
  uint64_t StaleRegions() const;
  RampChecker Checker() const;
  std::vector<RegionArrival> Arrivals() const;

 private:
  static void DropPending(UsbAudioPin *pin);
  static void QueueRegion(UsbAudioPin *pin, PUCHAR region, ULONG length);
  static void Kick(UsbAudioPin *pin);
  static HANDLE ClientProcessId(UsbAudioPin *pin);
  static const UsbAudioPinOperations kOperations;

  void Process();

  const Kind m_kind;
  UsbAudioStream *const m_stream;
  const std::function<uint64_t()> m_clock;
  bool m_silent = false;
  bool m_record = false;
  bool m_deferred = false;
  mutable std::mutex m_lock;
  struct Pending {
    PUCHAR region;
    ULONG length;
    PUCHAR buffer;  // the stream's transfer buffer when the region arrived
    ULONG bufferSize;
  };
  bool Live(const Pending &region) const;
  std::vector<Pending> m_pending;
  uint64_t m_nextFrame = 1;
  uint64_t m_moved = 0;
  uint64_t m_kicks = 0;
  uint64_t m_stale = 0;
  RampChecker m_checker;
  std::vector<RegionArrival> m_arrivals;
};

}  // namespace sttest
