#include "winsim/devices/capture_stream.h"

#include "winsim/devices/sample_codec.h"

namespace winsim::devices {

void CaptureStream::Start(uint32_t channels, uint32_t subslot, uint32_t maxPacketBytes) {
  m_stats.active = true;
  m_stats.started = false;
  m_stats.firstSample = 0;
  m_runPackets = 0;
  m_stats.channels = channels;
  m_stats.subslot = subslot;
  m_maxPacketBytes = maxPacketBytes;
}

void CaptureStream::SetSource(uint32_t channel, CaptureSource source) { m_sources[channel] = std::move(source); }

void CaptureStream::SetAllSources(CaptureSource source) {
  m_sources.clear();
  m_default = std::move(source);
}

const CaptureSource &CaptureStream::SourceOf(uint32_t channel) {
  auto found = m_sources.find(channel);
  if (found != m_sources.end()) return found->second;
  if (m_default) return *m_default;
  m_scratch.kind = CaptureSource::Kind::Loopback;
  m_scratch.outputChannel = channel;
  return m_scratch;
}

usb::TransferOutcome CaptureStream::Produce(uint64_t firstSample, uint32_t count, uint8_t *buffer, uint32_t capacity,
                                            const CaptureContext &context) {
  const uint32_t subslot = m_stats.subslot;
  const uint64_t bytes = uint64_t{count} * m_stats.channels * subslot;
  if (subslot == 0 || subslot > kMaxSubslotBytes || bytes > capacity || bytes > m_maxPacketBytes) {
    ++m_stats.overflows;  // babble: more data than the host made room for
    return {usb::Handshake::Error, 0, 0};
  }
  if (m_runPackets++ < m_emptyAtStart) {
    ++m_stats.packets;
    ++m_stats.emptyPackets;
    m_stats.skippedFrames += count;
    return {usb::Handshake::Ack, 0, 0};
  }
  if (count == 0) {
    ++m_stats.packets;
    ++m_stats.emptyPackets;
    return {usb::Handshake::Ack, 0, 0};
  }
  if (!m_stats.started) {
    m_stats.started = true;
    m_stats.firstSample = firstSample;
  }
  uint8_t *out = buffer;
  for (uint32_t frame = 0; frame < count; ++frame) {
    for (uint32_t channel = 0; channel < m_stats.channels; ++channel, out += subslot) {
      const int32_t heard = SourceSample(SourceOf(channel), channel, firstSample + frame, context);
      EncodeSample(context.adc.Sample(heard, channel), out, subslot);
    }
  }
  ++m_stats.packets;
  m_stats.frames += count;
  return {usb::Handshake::Ack, static_cast<uint32_t>(bytes), 0};
}

}  // namespace winsim::devices
