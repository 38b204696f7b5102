// Reading a bulk IN payload of USB-MIDI event packets.
#pragma once
#include "kerneldriver/midi/midi_message.h"

// Receives each packet's MIDI bytes (1 to 3) with its cable number. Called
// at the decoder's IRQL.
typedef void MidiPacketSink(void *context, UCHAR cable, const UCHAR *bytes, ULONG length);

// Splits `length` bytes at `payload` into 4-byte packets (a trailing partial
// packet is ignored) and hands every packet whose CIN carries bytes to
// `sink`; packets with CIN 0 or 1 are skipped. Returns the packets handed on.
ULONG MidiDecodePackets(const UCHAR *payload, ULONG length, MidiPacketSink *sink, void *context);
