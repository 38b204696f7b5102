#include "kerneldriver/midi/midi_encode.h"

UCHAR MidiPieceCin(const MidiPiece &piece) {
  switch (piece.kind) {
    case MidiPieceKind::Message:
      if (piece.bytes[0] < 0xF0) return static_cast<UCHAR>(piece.bytes[0] >> 4);
      return piece.length == 1 ? kCinSingleByteCommon : piece.length;
    case MidiPieceKind::SysExChunk: return kCinSysExChunk;
    case MidiPieceKind::SysExEnd: return static_cast<UCHAR>(kCinSysExChunk + piece.length);
    case MidiPieceKind::RealTime: return kCinRealTime;
    case MidiPieceKind::None: break;
  }
  return 0;
}

MidiEncodeResult MidiEncodeOneMessage(MidiStreamParser *parser, UCHAR cable, const UCHAR *bytes, ULONG count,
                                      UCHAR *out, ULONG room) {
  MidiEncodeResult result{0, 0};
  if (room < kMidiPacketBytes) return result;
  MidiPiece piece{MidiPieceKind::None, 0, {0, 0, 0}};
  while (result.consumed < count && piece.kind == MidiPieceKind::None) {
    piece = MidiStreamParserFeed(parser, bytes[result.consumed++]);
  }
  const UCHAR cin = MidiPieceCin(piece);
  if (cin <= 1) return result;
  out[0] = static_cast<UCHAR>((cable & 0x0F) << 4 | cin);
  for (ULONG i = 0; i < 3; ++i) out[1 + i] = i < piece.length ? piece.bytes[i] : 0;
  result.written = kMidiPacketBytes;
  return result;
}
