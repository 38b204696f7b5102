#include "winsim/devices/render_stream.h"

#include <algorithm>

#include "winsim/devices/sample_codec.h"

namespace winsim::devices {

void RenderStream::Configure(uint32_t depthFrames, uint32_t startFrames, uint32_t startMicroseconds,
                             RenderUnderrunPolicy policy) {
  m_stats.fifoDepth = std::max<uint32_t>(depthFrames, 1);
  m_startFrames = startFrames;
  m_startMicroseconds = startMicroseconds;
  m_policy = policy;
  UpdateThreshold();
}

void RenderStream::SetRate(uint32_t rate) {
  if (rate == m_rate) return;
  m_rate = rate;
  UpdateThreshold();
}

void RenderStream::UpdateThreshold() {
  uint64_t threshold = m_stats.fifoDepth / 2;
  if (m_startFrames != 0) {
    threshold = m_startFrames;
  } else if (m_startMicroseconds != 0 && m_rate != 0) {
    threshold = (uint64_t{m_rate} * m_startMicroseconds + 999'999) / 1'000'000;
  }
  m_stats.startThreshold = static_cast<uint32_t>(std::clamp<uint64_t>(threshold, 1, m_stats.fifoDepth));
}

void RenderStream::Start(uint32_t channels, uint32_t subslot, uint32_t maxPacketBytes) {
  m_stats.active = true;
  m_stats.playing = false;
  m_stats.channels = channels;
  m_stats.subslot = subslot;
  m_stats.level = m_stats.minLevel = m_stats.maxLevel = 0;
  m_stats.playbackStartSample = 0;
  m_stats.startLevelSum = 0;
  m_stats.levelSum = m_stats.levelCount = 0;
  m_maxPacketBytes = maxPacketBytes;
  m_inUnderrun = false;
  m_repriming = false;
  m_fifo.Reset(channels, m_stats.fifoDepth);
}

void RenderStream::Stop() {
  m_stats.active = false;
  m_stats.playing = false;
  m_repriming = false;
  m_fifo.Clear();
  m_stats.level = 0;
}

bool RenderStream::WholeFrames(uint32_t length) const {
  const uint32_t frameBytes = m_stats.channels * m_stats.subslot;
  if (frameBytes == 0 || m_stats.subslot > kMaxSubslotBytes) return false;
  return length % frameBytes == 0 && length <= m_maxPacketBytes;
}

void RenderStream::Receive(const uint8_t *data, uint32_t length) {
  ++m_stats.packets;
  if (!WholeFrames(length)) {
    ++m_stats.packetSizeViolations;
    return;
  }
  const uint32_t samples = length / m_stats.subslot;
  m_decoded.resize(samples);
  for (uint32_t i = 0; i < samples; ++i) m_decoded[i] = DecodeSample(data + i * m_stats.subslot, m_stats.subslot);
  const uint32_t frames = samples / m_stats.channels;
  m_stats.framesReceived += frames;
  const uint32_t dropped = m_fifo.Push(m_decoded.data(), frames);
  if (dropped != 0) {
    ++m_stats.overrunEvents;
    m_stats.droppedFrames += dropped;
  }
  m_stats.level = m_fifo.Level();
  if (m_stats.playing) m_stats.maxLevel = std::max(m_stats.maxLevel, m_stats.level);
}

void RenderStream::Begin(uint64_t firstSample) {
  m_stats.playing = true;
  m_stats.playbackStartSample = firstSample;
  m_stats.minLevel = m_stats.maxLevel = m_fifo.Level();
}

// Silence while the FIFO fills again; every such microframe is still one
// the clock wanted samples for.
int32_t *RenderStream::Reprime(uint32_t count) {
  m_output.assign(static_cast<size_t>(count) * m_stats.channels, 0);
  ++m_stats.underrunMicroframes;
  m_stats.missingFrames += count;
  m_stats.playedFrames += count;
  return m_output.data();
}

int32_t *RenderStream::Play(uint64_t firstSample, uint32_t count) {
  if (!m_stats.active) return nullptr;
  if (!m_stats.playing) {
    if (m_fifo.Level() < m_stats.startThreshold) return nullptr;
    Begin(firstSample);
  }
  if (m_repriming) {
    if (m_fifo.Level() < m_stats.startThreshold) return Reprime(count);
    m_repriming = false;
  }
  m_output.assign(static_cast<size_t>(count) * m_stats.channels, 0);
  const uint32_t got = m_fifo.Pop(m_output.data(), count);
  if (got < count) {
    m_stats.underrunEvents += m_inUnderrun ? 0 : 1;
    ++m_stats.underrunMicroframes;
    m_stats.missingFrames += count - got;
    if (m_policy == RenderUnderrunPolicy::Reprime) {
      m_repriming = true;
      ++m_stats.reprimes;
    }
  }
  m_inUnderrun = got < count;
  m_stats.playedFrames += count;
  m_stats.level = m_fifo.Level();
  m_stats.minLevel = std::min(m_stats.minLevel, m_stats.level);
  if (m_stats.levelCount < RenderStats::kStartWindowMicroframes) m_stats.startLevelSum += m_stats.level;
  m_stats.levelSum += m_stats.level;
  ++m_stats.levelCount;
  return m_output.data();
}

}  // namespace winsim::devices
