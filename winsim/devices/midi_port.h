// The USB MIDI streaming interface's two bulk endpoints. OUT transfers carry
// 4-byte USB-MIDI event packets (byte 0: cable << 4 | code index number),
// recorded per cable for tests to read; IN transfers return the packets a
// test injected, as many whole packets as the transfer has room for.
//
// Tests and tools play the device's MIDI IN jacks with Inject (packets) or
// InjectBytes (a MIDI 1.0 byte stream, packed as the device's firmware
// would) and read its MIDI OUT jacks with Received or ReceivedBytes. With
// loopback on, every packet that reaches a cable's OUT jack comes back in
// on the same cable. With the OUT jacks held, OUT transfers are NAKed (a
// device whose output is busy) until released.
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
  uint64_t outNaks = 0;             // OUT transfers refused while the OUT jacks were held
};

// A MIDI 1.0 byte stream as USB-MIDI event packets of `cable`: channel
// messages with running status, system common, real-time bytes wherever
// they stand, SysEx in 3-byte chunks ended by F7. Data bytes without a
// status are dropped.
std::vector<MidiPacket> PackMidiBytes(uint8_t cable, std::span<const uint8_t> bytes);
// The MIDI bytes a cable's packets carry, in order (the USB MIDI 1.0 byte
// count of each code index number).
std::vector<uint8_t> UnpackMidiBytes(std::span<const MidiPacket> packets);

class MidiPort {
 public:
  explicit MidiPort(uint8_t cables) : m_cables(cables) {}

  usb::TransferOutcome Receive(const uint8_t *data, uint32_t length);
  // Nak while nothing is queued.
  usb::TransferOutcome Send(uint8_t *buffer, uint32_t capacity);
  void Inject(std::span<const MidiPacket> packets);
  void InjectBytes(uint8_t cable, std::span<const uint8_t> bytes) { Inject(PackMidiBytes(cable, bytes)); }
  void SetLoopback(bool on) { m_loopback = on; }
  void SetOutHeld(bool held) { m_outHeld = held; }

  std::vector<MidiPacket> Received(uint8_t cable) const;
  std::vector<uint8_t> ReceivedBytes(uint8_t cable) const { return UnpackMidiBytes(Received(cable)); }
  void ClearReceived();
  MidiStats Stats() const;

 private:
  static constexpr size_t kMaxQueued = 1u << 16;
  static constexpr uint64_t kMaxRecorded = 1u << 22;

  const uint8_t m_cables;
  std::array<std::vector<MidiPacket>, kMidiCableNumbers> m_received;
  std::deque<MidiPacket> m_pending;
  MidiStats m_stats;
  bool m_loopback = false;
  bool m_outHeld = false;
};

}  // namespace winsim::devices
