// What the DAC put out, by device sample index: the last `capacity` frames of
// the output timeline. Feeds the loopback capture source (which reads it a
// fixed delay behind) and lets tests look at the most recent output.
#pragma once
#include <cstdint>
#include <vector>

namespace winsim::devices {

struct OutputFrames {
  uint64_t firstSample = 0;  // device sample index of the first frame
  uint32_t channels = 0;
  std::vector<int32_t> samples;  // interleaved, frames × channels

  uint32_t Frames() const { return channels == 0 ? 0 : static_cast<uint32_t>(samples.size() / channels); }
};

class OutputHistory {
 public:
  // Forgets everything; nothing has been output before sample 0.
  void Reset(uint32_t channels, uint32_t capacityFrames);

  uint32_t Channels() const { return m_channels; }
  // One past the last sample index written.
  uint64_t End() const { return m_end; }

  // Records frames from `firstSample` on. Samples skipped since the last
  // append were silence; samples before End() are not rewritten.
  void Append(uint64_t firstSample, const int32_t *frames, uint32_t count);
  // 0 for samples never written or no longer held.
  int32_t Sample(uint64_t index, uint32_t channel) const;
  // Up to `frames` of the most recent output.
  OutputFrames Last(uint32_t frames) const;

 private:
  bool Holds(uint64_t index) const;
  void Write(uint64_t index, const int32_t *frame);

  std::vector<int32_t> m_samples;
  uint32_t m_channels = 0;
  uint32_t m_capacity = 0;
  uint64_t m_end = 0;
};

}  // namespace winsim::devices
