#include "kerneldriver/midi/midi_stream_parser.h"

namespace {

MidiPiece Piece(MidiPieceKind kind, const UCHAR *bytes, ULONG length) {
  MidiPiece piece{kind, static_cast<UCHAR>(length), {0, 0, 0}};
  for (ULONG i = 0; i < length && i < 3; ++i) piece.bytes[i] = bytes[i];
  return piece;
}

MidiPiece Nothing() { return MidiPiece{MidiPieceKind::None, 0, {0, 0, 0}}; }

MidiPiece EndSysEx(MidiStreamParser *p) {
  p->sysEx[p->sysExFill++] = kMidiSysExEnd;
  MidiPiece piece = Piece(MidiPieceKind::SysExEnd, p->sysEx, p->sysExFill);
  p->inSysEx = false;
  p->sysExFill = 0;
  return piece;
}

MidiPiece SysExData(MidiStreamParser *p, UCHAR byte) {
  p->sysEx[p->sysExFill++] = byte;
  if (p->sysExFill < 3) return Nothing();
  p->sysExFill = 0;
  return Piece(MidiPieceKind::SysExChunk, p->sysEx, 3);
}

MidiPiece Status(MidiStreamParser *p, UCHAR byte) {
  const ULONG length = MidiStatusLength(byte);
  if (length == 0 && byte != kMidiSysExStart) return Nothing();
  p->firstData = kMidiNoData;
  if (byte == kMidiSysExStart) {
    p->status = 0;
    p->inSysEx = true;
    p->sysEx[0] = byte;
    p->sysExFill = 1;
    return Nothing();
  }
  if (byte < 0xF0) {
    p->status = byte;
    return Nothing();
  }
  p->status = length == 1 ? 0 : byte;
  return length == 1 ? Piece(MidiPieceKind::Message, &byte, 1) : Nothing();
}

MidiPiece Data(MidiStreamParser *p, UCHAR byte) {
  const UCHAR status = p->status;
  const ULONG length = MidiStatusLength(status);
  if (length < 2) return Nothing();
  if (length == 3 && p->firstData == kMidiNoData) {
    p->firstData = byte;
    return Nothing();
  }
  const UCHAR two[] = {status, byte};
  const UCHAR three[] = {status, p->firstData, byte};
  p->firstData = kMidiNoData;
  // System common messages have no running status.
  if (status >= 0xF0) p->status = 0;
  return length == 2 ? Piece(MidiPieceKind::Message, two, 2) : Piece(MidiPieceKind::Message, three, 3);
}

}  // namespace

void MidiStreamParserReset(MidiStreamParser *parser) {
  parser->status = 0;
  parser->firstData = kMidiNoData;
  parser->inSysEx = false;
  parser->sysExFill = 0;
}

MidiPiece MidiStreamParserFeed(MidiStreamParser *parser, UCHAR byte) {
  if (byte >= kMidiFirstRealTime) return Piece(MidiPieceKind::RealTime, &byte, 1);
  if (parser->inSysEx) return MidiIsStatus(byte) ? EndSysEx(parser) : SysExData(parser, byte);
  return MidiIsStatus(byte) ? Status(parser, byte) : Data(parser, byte);
}
