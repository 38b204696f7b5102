// An independent reading of a MIDI 1.0 byte stream into complete messages,
// and the way back from USB-MIDI packets to messages, for checking the
// driver's parser, encoder and decoder against each other. A SysEx is one
// message from F0 to F7; one ended by another status byte gets F7 and the
// status byte is dropped. Real-time bytes are messages where they stand.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace midiref {

using Bytes = std::vector<uint8_t>;
using Packet = std::array<uint8_t, 4>;

// Bytes a complete message of this status has; 0 when it starts none.
inline size_t ExpectedSize(uint8_t status) {
  switch (status >> 4) {
    case 0x8: case 0x9: case 0xA: case 0xB: case 0xE: return 3;
    case 0xC: case 0xD: return 2;
    default: break;
  }
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  if (status == 0xF6 || status >= 0xF8) return 1;
  return 0;
}

inline std::vector<Bytes> ReadStream(const Bytes &stream) {
  std::vector<Bytes> messages;
  Bytes sysex;
  bool inSysex = false;
  uint8_t running = 0;  // channel status that data bytes may repeat
  Bytes current;        // message being collected, status first
  for (uint8_t b : stream) {
    if (b >= 0xF8) {
      messages.push_back({b});
    } else if (inSysex) {
      if (b & 0x80) {
        sysex.push_back(0xF7);
        messages.push_back(sysex);
        inSysex = false;
      } else {
        sysex.push_back(b);
      }
    } else if (b == 0xF0) {
      inSysex = true;
      sysex = {b};
      running = 0;
      current.clear();
    } else if (b & 0x80) {
      if (ExpectedSize(b) == 0) continue;  // F4, F5, F7: nothing
      current = {b};
      running = b < 0xF0 ? b : 0;
      if (ExpectedSize(b) == 1) {
        messages.push_back(current);
        current.clear();
      }
    } else {
      if (current.empty() && running != 0) current = {running};
      if (current.empty()) continue;
      current.push_back(b);
      if (current.size() == ExpectedSize(current[0])) {
        messages.push_back(current);
        current.clear();
      }
    }
  }
  return messages;
}

// Bytes per Code Index Number, from the USB MIDI 1.0 table.
inline size_t CinBytes(uint8_t cin) {
  static const uint8_t kBytes[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
  return kBytes[cin & 15];
}

// Messages carried by one cable's packets: SysEx packets (CIN 4, and 5-7
// when they hold F7) are joined up to their end.
inline std::vector<Bytes> JoinPackets(const std::vector<Bytes> &pieces, const std::vector<uint8_t> &cins) {
  std::vector<Bytes> messages;
  Bytes sysex;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const uint8_t cin = cins[i];
    const Bytes &piece = pieces[i];
    const bool sysexEnd = cin >= 5 && cin <= 7 && piece.back() == 0xF7;
    if (cin == 4 || sysexEnd) {
      sysex.insert(sysex.end(), piece.begin(), piece.end());
      if (sysexEnd) {
        messages.push_back(sysex);
        sysex.clear();
      }
    } else {
      messages.push_back(piece);
    }
  }
  return messages;
}

}  // namespace midiref
