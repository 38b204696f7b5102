// The test signal `qav play` sends through a render pin and looks for in
// what a capture pin brings back, and the comparison of the two. Every
// sample of the signal differs from its neighbours in time and across
// channels, so a slip, a swapped channel or a changed bit shows up, and
// its first frame can be found in the capture without ambiguity.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qav {

// A client format the driver's pins take: 16-bit PCM, or 24 valid bits in a
// 32-bit container.
struct PlayFormat {
  uint16_t channels = 2;
  uint32_t rate = 48000;
  uint16_t containerBits = 16;  // 16 or 32
  uint16_t validBits = 16;      // 16, or 24 in a 32-bit container

  uint32_t BlockAlign() const { return channels * containerBits / 8u; }
};

// One sample of the signal, as the container holds it (sign-extended for
// 16-bit). Never silence, and never the most negative value, which the
// driver's symmetric mix lifts by one.
int32_t SignalSample(const PlayFormat &format, uint64_t frame, uint32_t channel);

// Writes `frames` frames of the signal from `firstFrame` on into `out`
// (frames * BlockAlign() bytes).
void WriteSignal(const PlayFormat &format, uint64_t firstFrame, uint32_t frames, uint8_t *out);

struct PlayComparison {
  uint64_t framesReceived = 0;
  bool found = false;        // the signal's first frame is in the capture
  uint64_t delayFrames = 0;  // capture frames before it
  uint64_t samplesCompared = 0;
  uint64_t mismatches = 0;     // samples that came back different
  uint64_t framesMissing = 0;  // sent frames the capture ended before
  uint64_t breaks = 0;         // runs of frames that differ from the signal
};

// Finds the first `framesSent` frames of the signal in `captured`
// (interleaved client frames) and compares them sample by sample. The
// search for the start looks at whole frames only; a capture holding a
// partial frame at its end has it ignored.
PlayComparison CompareCapture(const PlayFormat &format, uint64_t framesSent, const std::vector<uint8_t> &captured);

}  // namespace qav
