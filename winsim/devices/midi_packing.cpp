// MIDI 1.0 bytes to and from USB-MIDI event packets, as the firmware of a
// device's MIDI jacks does it.
#include "winsim/devices/midi_port.h"

namespace winsim::devices {
namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kCinSysExChunk = 0x4;
constexpr uint8_t kCinSingleByte = 0xF;

// Bytes of a complete message starting with this status; 0 for none.
size_t MessageSize(uint8_t status) {
  switch (status >> 4) {
    case 0x8: case 0x9: case 0xA: case 0xB: case 0xE: return 3;
    case 0xC: case 0xD: return 2;
    default: break;
  }
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  if (status == 0xF6) return 1;
  return 0;
}

uint8_t CinOf(const std::vector<uint8_t> &message) {
  const uint8_t status = message[0];
  if (status < 0xF0) return status >> 4;
  return message.size() == 1 ? 0x5 : static_cast<uint8_t>(message.size());  // system common
}

class CPacker {
 public:
  explicit CPacker(uint8_t cable) : m_header(static_cast<uint8_t>(cable << 4)) {}

  void Feed(uint8_t byte) {
    if (byte >= 0xF8) return Emit(kCinSingleByte, {byte});
    if (m_inSysEx) return FeedSysEx(byte);
    if (byte == kSysExStart) {
      m_inSysEx = true;
      m_chunk = {byte};
      return;
    }
    if (byte & 0x80) {
      m_running = MessageSize(byte) != 0 && byte < 0xF0 ? byte : 0;
      m_message = {byte};
    } else if (m_message.empty() && m_running != 0) {
      m_message = {m_running, byte};
    } else if (!m_message.empty()) {
      m_message.push_back(byte);
    }
    if (!m_message.empty() && m_message.size() == MessageSize(m_message[0])) {
      Emit(CinOf(m_message), m_message);
      m_message.clear();
    } else if (!m_message.empty() && MessageSize(m_message[0]) == 0) {
      m_message.clear();  // F4, F5 or a stray F7: nothing to carry
    }
  }

  std::vector<MidiPacket> Take() { return std::move(m_packets); }

 private:
  void FeedSysEx(uint8_t byte) {
    if (byte & 0x80 && byte != kSysExEnd) byte = kSysExEnd;  // another status ends it; the status is lost
    m_chunk.push_back(byte);
    if (byte == kSysExEnd) {
      Emit(static_cast<uint8_t>(kCinSysExChunk + m_chunk.size()), m_chunk);
      m_chunk.clear();
      m_inSysEx = false;
    } else if (m_chunk.size() == 3) {
      Emit(kCinSysExChunk, m_chunk);
      m_chunk.clear();
    }
  }

  void Emit(uint8_t cin, const std::vector<uint8_t> &bytes) {
    MidiPacket packet{static_cast<uint8_t>(m_header | cin), 0, 0, 0};
    for (size_t i = 0; i < bytes.size() && i < 3; ++i) packet[i + 1] = bytes[i];
    m_packets.push_back(packet);
  }

  const uint8_t m_header;
  uint8_t m_running = 0;
  bool m_inSysEx = false;
  std::vector<uint8_t> m_message;
  std::vector<uint8_t> m_chunk;
  std::vector<MidiPacket> m_packets;
};

// USB MIDI 1.0: MIDI bytes per code index number.
constexpr uint8_t kBytesPerCin[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

}  // namespace

std::vector<MidiPacket> PackMidiBytes(uint8_t cable, std::span<const uint8_t> bytes) {
  CPacker packer(cable & 0x0F);
  for (uint8_t byte : bytes) packer.Feed(byte);
  return packer.Take();
}

std::vector<uint8_t> UnpackMidiBytes(std::span<const MidiPacket> packets) {
  std::vector<uint8_t> bytes;
  for (const MidiPacket &packet : packets) {
    const uint8_t count = kBytesPerCin[packet[0] & 0x0F];
    bytes.insert(bytes.end(), packet.begin() + 1, packet.begin() + 1 + count);
  }
  return bytes;
}

}  // namespace winsim::devices
