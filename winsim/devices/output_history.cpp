#include "winsim/devices/output_history.h"

#include <algorithm>
#include <cstring>

namespace winsim::devices {

void OutputHistory::Reset(uint32_t channels, uint32_t capacityFrames) {
  m_channels = channels;
  m_capacity = capacityFrames;
  m_samples.assign(static_cast<size_t>(channels) * capacityFrames, 0);
  m_end = 0;
}

bool OutputHistory::Holds(uint64_t index) const {
  return m_capacity != 0 && index < m_end && m_end - index <= m_capacity;
}

void OutputHistory::Write(uint64_t index, const int32_t *frame) {
  int32_t *slot = &m_samples[static_cast<size_t>(index % m_capacity) * m_channels];
  if (frame == nullptr) {
    std::memset(slot, 0, m_channels * sizeof(int32_t));
  } else {
    std::memcpy(slot, frame, m_channels * sizeof(int32_t));
  }
}

void OutputHistory::Append(uint64_t firstSample, const int32_t *frames, uint32_t count) {
  if (m_capacity == 0 || m_channels == 0) return;
  const uint64_t last = firstSample + count;
  if (last <= m_end) return;
  // Silence for the gap, of which only the part still held matters.
  const uint64_t gapFrom = std::max(m_end, firstSample > m_capacity ? firstSample - m_capacity : 0);
  for (uint64_t index = gapFrom; index < firstSample; ++index) Write(index, nullptr);
  const uint64_t from = std::max({m_end, firstSample, last > m_capacity ? last - m_capacity : 0});
  for (uint64_t index = from; index < last; ++index) {
    Write(index, frames + static_cast<size_t>(index - firstSample) * m_channels);
  }
  m_end = last;
}

int32_t OutputHistory::Sample(uint64_t index, uint32_t channel) const {
  if (channel >= m_channels || !Holds(index)) return 0;
  return m_samples[static_cast<size_t>(index % m_capacity) * m_channels + channel];
}

OutputFrames OutputHistory::Last(uint32_t frames) const {
  OutputFrames out;
  out.channels = m_channels;
  const uint64_t count = std::min<uint64_t>({frames, m_capacity, m_end});
  out.firstSample = m_end - count;
  out.samples.reserve(static_cast<size_t>(count) * m_channels);
  for (uint64_t index = out.firstSample; index < m_end; ++index) {
    const int32_t *slot = &m_samples[static_cast<size_t>(index % m_capacity) * m_channels];
    out.samples.insert(out.samples.end(), slot, slot + m_channels);
  }
  return out;
}

}  // namespace winsim::devices
