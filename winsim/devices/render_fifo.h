// The render FIFO between the USB OUT endpoint and the DAC: a bounded queue
// of sample frames (one int32 per channel). It only stores; the render
// stream decides what counts as an overrun or underrun.
#pragma once
#include <cstdint>
#include <vector>

namespace winsim::devices {

class RenderFifo {
 public:
  // Empties the FIFO and gives it a new shape.
  void Reset(uint32_t channels, uint32_t depthFrames);
  void Clear() { m_read = m_level = 0; }

  uint32_t Level() const { return m_level; }
  uint32_t Depth() const { return m_depth; }
  uint32_t Channels() const { return m_channels; }

  // Appends as many of `count` frames as fit; returns how many did not.
  uint32_t Push(const int32_t *frames, uint32_t count);
  // Moves up to `count` frames into `out`; returns how many it had.
  uint32_t Pop(int32_t *out, uint32_t count);

 private:
  std::vector<int32_t> m_samples;
  uint32_t m_channels = 0;
  uint32_t m_depth = 0;
  uint32_t m_read = 0;  // frame index of the oldest frame
  uint32_t m_level = 0;
};

}  // namespace winsim::devices
