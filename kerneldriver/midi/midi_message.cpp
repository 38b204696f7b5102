#include "kerneldriver/midi/midi_message.h"

ULONG MidiCinByteCount(UCHAR cin) {
  static const UCHAR kBytes[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
  return kBytes[cin & 0x0F];
}

ULONG MidiStatusLength(UCHAR status) {
  if (!MidiIsStatus(status)) return 0;
  if (status < 0xF0) {
    const UCHAR kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
  }
  switch (status) {
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    case 0xF6: return 1;
    case 0xF0:
    case 0xF4:
    case 0xF5:
    case 0xF7: return 0;
    default: return 1;  // real-time
  }
}
