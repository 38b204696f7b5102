// MIDI 1.0 message lengths and the USB-MIDI 1.0 event packet: byte 0 is the
// cable number << 4 | the Code Index Number (CIN), bytes 1-3 carry as many
// MIDI bytes as the CIN says (the rest are padding).
#pragma once
#include "kerneldriver/kernel_headers.h"

inline constexpr ULONG kMidiPacketBytes = 4;
inline constexpr ULONG kMidiCableNumbers = 16;
// Storage of one captured message; a message this long or longer is refused.
inline constexpr ULONG kMidiMsgMaxData = 32;

inline constexpr UCHAR kMidiSysExStart = 0xF0;
inline constexpr UCHAR kMidiSysExEnd = 0xF7;
inline constexpr UCHAR kMidiFirstRealTime = 0xF8;

inline constexpr UCHAR kCinSysExChunk = 0x4;
inline constexpr UCHAR kCinSingleByteCommon = 0x5;
inline constexpr UCHAR kCinRealTime = 0xF;

inline bool MidiIsStatus(UCHAR byte) { return (byte & 0x80) != 0; }

// The MIDI bytes a packet with this CIN carries: 0 for the reserved CINs 0
// (miscellaneous) and 1 (cable events), else 1 to 3.
ULONG MidiCinByteCount(UCHAR cin);

// The length of the message a status byte starts, status included: 1 to 3;
// 0 for 0xF0 and the status bytes without a message of their own (0xF4,
// 0xF5, 0xF7) and for data bytes. Real-time bytes are 1.
ULONG MidiStatusLength(UCHAR status);

// One captured message: a decoded packet's MIDI bytes.
struct MidiMessage {
  ULONG length;
  UCHAR bytes[kMidiMsgMaxData];
};
