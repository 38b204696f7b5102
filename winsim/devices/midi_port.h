// The USB MIDI streaming interface's two bulk endpoints. OUT transfers carry
// 4-byte USB-MIDI event packets (byte 0: cable << 4 | code index number),
// recorded per cable for tests to read; IN transfers return the packets a
// test injected, as many whole packets as the transfer has room for.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "winsim/usb/usb_function.h"

namespace winsim::devices {

using MidiPacket = std::array<uint8_t, 4>;

inline constexpr uint8_t kMidiCableNumbers = 16;

struct MidiStats {
  uint64_t packetsReceived = 0;     // OUT, recorded
  uint64_t malformedTransfers = 0;  // OUT transfers not a multiple of four bytes, dropped whole
  uint64_t unknownCablePackets = 0; // OUT packets for a cable the device does not have (still recorded)
  uint64_t packetsSent = 0;         // IN
  uint64_t injectionsDropped = 0;   // injected beyond the IN queue's bound
  uint64_t pendingIn = 0;
};

class MidiPort {
 public:
  explicit MidiPort(uint8_t cables) : m_cables(cables) {}

  usb::TransferOutcome Receive(const uint8_t *data, uint32_t length);
  // Nak while nothing is queued.
  usb::TransferOutcome Send(uint8_t *buffer, uint32_t capacity);
  void Inject(std::span<const MidiPacket> packets);

  std::vector<MidiPacket> Received(uint8_t cable) const;
  void ClearReceived();
  MidiStats Stats() const;

 private:
  static constexpr size_t kMaxQueued = 1u << 16;
  static constexpr uint64_t kMaxRecorded = 1u << 22;

  const uint8_t m_cables;
  std::array<std::vector<MidiPacket>, kMidiCableNumbers> m_received;
  std::deque<MidiPacket> m_pending;
  MidiStats m_stats;
};

}  // namespace winsim::devices
