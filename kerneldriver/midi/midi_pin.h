// UsbMidiPin: the context of a MIDI streaming pin on the filter, attached to
// its cable while it exists. A capture pin queues what its cable receives:
// EnqueueMidiMessage runs in the bulk IN completion (DISPATCH_LEVEL) and
// appends entries under the queue's spin lock; the pin's Process takes them.
//
// Ownership: the context, its lookaside list and every queued entry belong
// to the pin; UsbMidiPinFree (PASSIVE_LEVEL, the pin detached from its
// cable first) frees the entries and deletes the list.
#pragma once
#include "kerneldriver/midi/midi_message.h"

struct UsbAudioDevice;
struct UsbMidiCable;

// Entries beyond this many wait for nobody: a pin that is not read drops
// new messages instead of growing without bound.
inline constexpr ULONG kMidiPinQueueLimit = 4096;

struct MidiCaptureEntry {
  LIST_ENTRY link;
  ULONG time;      // USB frames (milliseconds) since the pin entered RUN
  ULONG length;
  ULONG consumed;  // bytes already delivered to the client
  UCHAR bytes[kMidiMsgMaxData - 1];
};

struct UsbMidiPin {
  PKSPIN pin;  // null for a context not (yet) tied to a KS pin
  UsbAudioDevice *device;
  UsbMidiCable *cable;  // under the device's midiLock; null once the cable is gone
  ULONG startFrame;
  KSPIN_LOCK queueLock;
  LIST_ENTRY queue;
  ULONG queued;
  volatile LONG dropped;  // messages refused: oversized, queue full or no memory
  NPAGED_LOOKASIDE_LIST entries;
};

// Null when pool runs out. PASSIVE_LEVEL.
UsbMidiPin *UsbMidiPinCreate(PKSPIN pin, UsbMidiCable *cable);
void UsbMidiPinFree(UsbMidiPin *pin);

// Queues each message with time = frame - the pin's start frame. A message
// of kMidiMsgMaxData bytes or more is refused (traced). Then asks KS to run
// the pin's processing. Returns the messages queued. DISPATCH_LEVEL or below.
ULONG EnqueueMidiMessage(UsbMidiPin *pin, const MidiMessage *messages, ULONG count, ULONG frame);

// The entry at the head of the queue, removed; null when empty. The caller
// gives it back with UsbMidiPinFreeEntry.
MidiCaptureEntry *UsbMidiPinTakeEntry(UsbMidiPin *pin);
// Puts a partly consumed entry back at the head.
void UsbMidiPinReturnEntry(UsbMidiPin *pin, MidiCaptureEntry *entry);
void UsbMidiPinFreeEntry(UsbMidiPin *pin, MidiCaptureEntry *entry);
// Entries queued now.
ULONG UsbMidiPinQueued(UsbMidiPin *pin);
