// Packing a cable's render bytes into USB-MIDI event packets, one message
// (parser piece) per call.
#pragma once
#include "kerneldriver/midi/midi_stream_parser.h"

// The CIN of a piece: a channel message's status >> 4; a system common
// message 5 (one byte) or its length; a SysEx chunk 4; a SysEx end of n
// bytes 4 + n; a real-time byte 15. 0 for no piece.
UCHAR MidiPieceCin(const MidiPiece &piece);

struct MidiEncodeResult {
  ULONG consumed;  // input bytes taken
  ULONG written;   // packet bytes written: 0 or kMidiPacketBytes
};

// Feeds `bytes` (count of them) to the cable's parser until it yields a
// piece, and writes that piece as one packet for `cable` (0-15) into `out`
// when its CIN is above 1. Takes nothing while `room` is below one packet.
// Everything fed is consumed, even when no packet results (stray bytes, or
// the input ended inside a message, which the parser keeps).
MidiEncodeResult MidiEncodeOneMessage(MidiStreamParser *parser, UCHAR cable, const UCHAR *bytes, ULONG count,
                                      UCHAR *out, ULONG room);
