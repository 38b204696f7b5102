// The name of a MIDI streaming pin when a direction has several: the
// filter's "FriendlyName" followed by ": Port n" (n = cable number + 1).
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioDevice;
struct UsbMidiCable;

// Longest friendly name taken, and the whole name's bound, terminator included.
inline constexpr ULONG kMidiFriendlyNameBytes = 240;
inline constexpr ULONG kMidiPinNameBytes = 260;

// Writes the cable's pin name as a terminated UTF-16 string into `data`
// (dataLength bytes); *returned is the whole name's size, and
// STATUS_BUFFER_OVERFLOW (nothing written) tells a buffer shorter than
// that. The friendly name is read from the filter factory's device-interface
// key; without it the product name stands in. PASSIVE_LEVEL.
NTSTATUS MidiPinName(const UsbAudioDevice *device, const UsbMidiCable *cable, PVOID data, ULONG dataLength,
                     ULONG *returned);

// The name built from a friendly name of `chars` characters (cut to the
// bound) and a cable number, into `name` (kMidiPinNameBytes); returns its
// size in bytes, terminator included. Pure.
ULONG MidiComposePinName(const WCHAR *friendly, ULONG chars, ULONG cableNumber, WCHAR *name);
