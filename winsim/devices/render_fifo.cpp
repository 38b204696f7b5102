#include "winsim/devices/render_fifo.h"

#include <algorithm>
#include <cstring>

namespace winsim::devices {

void RenderFifo::Reset(uint32_t channels, uint32_t depthFrames) {
  m_channels = channels;
  m_depth = depthFrames;
  m_samples.assign(static_cast<size_t>(channels) * depthFrames, 0);
  Clear();
}

uint32_t RenderFifo::Push(const int32_t *frames, uint32_t count) {
  const uint32_t accepted = std::min(count, m_depth - m_level);
  for (uint32_t i = 0; i < accepted; ++i) {
    const uint32_t slot = (m_read + m_level + i) % m_depth;
    std::memcpy(&m_samples[static_cast<size_t>(slot) * m_channels], frames + static_cast<size_t>(i) * m_channels,
                m_channels * sizeof(int32_t));
  }
  m_level += accepted;
  return count - accepted;
}

uint32_t RenderFifo::Pop(int32_t *out, uint32_t count) {
  const uint32_t taken = std::min(count, m_level);
  for (uint32_t i = 0; i < taken; ++i) {
    const uint32_t slot = (m_read + i) % m_depth;
    std::memcpy(out + static_cast<size_t>(i) * m_channels, &m_samples[static_cast<size_t>(slot) * m_channels],
                m_channels * sizeof(int32_t));
  }
  if (m_depth != 0) m_read = (m_read + taken) % m_depth;
  m_level -= taken;
  return taken;
}

}  // namespace winsim::devices
