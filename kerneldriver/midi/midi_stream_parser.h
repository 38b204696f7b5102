// MidiStreamParser: reads a MIDI 1.0 byte stream (what a client writes to a
// render pin) one byte at a time and yields the pieces a USB-MIDI packet
// carries: complete channel and system common messages, SysEx in chunks of
// three bytes and its end, and real-time bytes.
//
// Reading rules:
// - 0xF8-0xFF (real-time) come out at once as one-byte pieces, wherever they
//   stand (inside a message or a SysEx), and change nothing else.
// - Inside a SysEx, data bytes collect until three make a chunk. Any status
//   byte ends it: 0xF7 is appended to what was collected and that comes out
//   as the SysEx end; the status byte that ended it is not kept (a message it
//   started is lost, its data bytes are stray).
// - 0xF0 starts a SysEx and cancels running status.
// - 0x80-0xEF become the running status: data bytes that follow make one
//   message per 1 or 2 bytes, as the status needs, until another status.
// - 0xF1-0xF3 and 0xF6 (system common) cancel running status and make one
//   message; data bytes after it are stray. 0xF4, 0xF5 and a 0xF7 outside a
//   SysEx are ignored altogether (a message in progress goes on). Stray data
//   bytes are ignored.
// One parser per cable; it holds no pointers and needs no teardown.
#pragma once
#include "kerneldriver/midi/midi_message.h"

enum class MidiPieceKind : UCHAR { None, Message, SysExChunk, SysExEnd, RealTime };

struct MidiPiece {
  MidiPieceKind kind;
  UCHAR length;  // 1 to 3 for every kind but None
  UCHAR bytes[3];
};

struct MidiStreamParser {
  UCHAR status;     // running status or the system common status awaiting its data; 0: none
  UCHAR firstData;  // first data byte of a 3-byte message, kMidiNoData when none
  bool inSysEx;
  UCHAR sysExFill;  // bytes in sysEx, 0 to 2 between calls
  UCHAR sysEx[3];
};

inline constexpr UCHAR kMidiNoData = 0xFF;

void MidiStreamParserReset(MidiStreamParser *parser);

// Takes one byte; the piece it completed, or kind None.
MidiPiece MidiStreamParserFeed(MidiStreamParser *parser, UCHAR byte);
