#include "kerneldriver/midi/midi_decode.h"

ULONG MidiDecodePackets(const UCHAR *payload, ULONG length, MidiPacketSink *sink, void *context) {
  ULONG handed = 0;
  for (ULONG offset = 0; offset < length && length - offset >= kMidiPacketBytes; offset += kMidiPacketBytes) {
    const UCHAR *packet = payload + offset;
    const ULONG bytes = MidiCinByteCount(packet[0]);
    if (bytes == 0) continue;
    sink(context, static_cast<UCHAR>(packet[0] >> 4), packet + 1, bytes);
    ++handed;
  }
  return handed;
}
