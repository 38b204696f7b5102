#include "winsim/devices/midi_port.h"

#include <algorithm>

namespace winsim::devices {

usb::TransferOutcome MidiPort::Receive(const uint8_t *data, uint32_t length) {
  if (m_outHeld) {
    ++m_stats.outNaks;
    return {usb::Handshake::Nak, 0, 0};
  }
  if (length % 4 != 0) {
    ++m_stats.malformedTransfers;
    return {usb::Handshake::Ack, length, 0};
  }
  for (uint32_t offset = 0; offset < length && m_stats.packetsReceived < kMaxRecorded; offset += 4) {
    const MidiPacket packet{data[offset], data[offset + 1], data[offset + 2], data[offset + 3]};
    const uint8_t cable = packet[0] >> 4;
    if (cable >= m_cables) ++m_stats.unknownCablePackets;
    m_received[cable].push_back(packet);
    ++m_stats.packetsReceived;
    if (m_loopback) Inject(std::span<const MidiPacket>(&packet, 1));
  }
  return {usb::Handshake::Ack, length, 0};
}

usb::TransferOutcome MidiPort::Send(uint8_t *buffer, uint32_t capacity) {
  if (m_pending.empty()) return {usb::Handshake::Nak, 0, 0};
  const size_t count = std::min<size_t>(m_pending.size(), capacity / 4);
  if (count == 0) return {usb::Handshake::Error, 0, 0};  // babble: no room for one packet
  for (size_t i = 0; i < count; ++i) {
    std::copy(m_pending.front().begin(), m_pending.front().end(), buffer + 4 * i);
    m_pending.pop_front();
  }
  m_stats.packetsSent += count;
  return {usb::Handshake::Ack, static_cast<uint32_t>(4 * count), 0};
}

void MidiPort::Inject(std::span<const MidiPacket> packets) {
  for (const MidiPacket &packet : packets) {
    if (m_pending.size() >= kMaxQueued) {
      ++m_stats.injectionsDropped;
      continue;
    }
    m_pending.push_back(packet);
  }
}

std::vector<MidiPacket> MidiPort::Received(uint8_t cable) const {
  return cable < kMidiCableNumbers ? m_received[cable] : std::vector<MidiPacket>{};
}

void MidiPort::ClearReceived() {
  for (auto &packets : m_received) packets.clear();
}

MidiStats MidiPort::Stats() const {
  MidiStats stats = m_stats;
  stats.pendingIn = m_pending.size();
  return stats;
}

}  // namespace winsim::devices
