// UsbMidiPort: one bulk endpoint of a USB MIDI streaming interface, with one
// UsbMidiCable per embedded MIDI jack the endpoint's class-specific
// descriptor lists (cable n = USB-MIDI cable number n). An IN port keeps a
// read in flight on each of its two buffers and hands what arrives, per
// cable, to the capture pins attached to the cable; an OUT port packs the
// bytes written to its cables into its two buffers in turn.
//
// Lifetime: created and started at post start, stopped at D3 and started
// again at D0, destroyed (stopped first) when the device's hardware is
// released. Pins attach to a cable from their creation to their close.
//
// Locks: decodeLock (spin) covers a whole payload's decoding and delivery,
// inside it each cable's spin lock covers the cable's pin entries. A
// cable's writeMutex serialises writes to the cable; the port's writeLock
// (taken inside it) serialises the write pump and guards the cables'
// pending bytes and writeIndex. The device's midiLock guards the pins'
// cable pointers and the port's holds: a render pin holds its cable's port
// for the length of a write, and destroying the port waits for the holds.
#pragma once
#include "kerneldriver/midi/midi_stream_parser.h"
#include "kerneldriver/usb/usb_config.h"

struct UsbAudioDevice;
struct UsbMidiPin;
struct UsbMidiPort;

inline constexpr ULONG kMidiPinsPerCable = 16;
inline constexpr ULONG kMidiBatchMessages = 256;
inline constexpr ULONG kMidiBuffers = 2;

struct UsbMidiCable {
  ULONG number;
  UsbMidiPort *port;
  FAST_MUTEX writeMutex;
  KSPIN_LOCK lock;
  UsbMidiPin *pins[kMidiPinsPerCable];
  const UCHAR *pending;  // render bytes waiting to be packed; the writer's buffer
  ULONG pendingCount;
  MidiStreamParser parser;
  ULONG batchCount;
  MidiMessage batch[kMidiBatchMessages];
};

struct MidiTransfer {
  UsbMidiPort *port;
  ULONG index;
  PIRP irp;
  PURB urb;
  PUCHAR buffer;
};

struct UsbMidiPort {
  UsbAudioDevice *device;
  UsbPipe *pipe;
  bool in;
  ULONG maxPacket;
  ULONG cableCount;
  UsbMidiCable *cables[kMidiCableNumbers];
  UsbMidiCable *cableByNumber[kMidiCableNumbers];
  MidiTransfer transfers[kMidiBuffers];
  volatile LONG bufferBusy[kMidiBuffers];
  KEVENT bufferFree[kMidiBuffers];
  ULONG writeIndex;
  volatile LONG running;
  volatile LONG outstanding;
  KEVENT allReturned;
  FAST_MUTEX writeLock;
  KSPIN_LOCK decodeLock;
  ULONG packetsDecoded;  // under decodeLock
  ULONG holds;           // writers using a cable of the port; under the device's midiLock
  KEVENT holdsGone;      // signalled while holds is 0
};

// The cables an endpoint carries: bNumEmbMIDIJack of the class-specific
// MS_GENERAL endpoint descriptor right after it, bounded by the jack ids
// that descriptor really holds and by 16. 0 when there is no such
// descriptor.
ULONG MidiEndpointCableCount(DescriptorBytes bytes, const USB_ENDPOINT_DESCRIPTOR *endpoint);

// A port for a bulk or interrupt pipe with at least one cable and room for
// a packet; null otherwise (the pipe is passed over) or when pool runs out.
// PASSIVE_LEVEL.
UsbMidiPort *UsbMidiPortCreate(UsbAudioDevice *device, UsbPipe *pipe);
// Stops the port and frees it with its cables. PASSIVE_LEVEL.
void UsbMidiPortDestroy(UsbMidiPort *port);

// Resets the pipe; IN: a read on each buffer; OUT: both buffers free.
// PASSIVE_LEVEL.
NTSTATUS UsbMidiPortStart(UsbMidiPort *port);
// Aborts the pipe and waits until no transfer is in flight; buffers are no
// longer free for writing. PASSIVE_LEVEL.
void UsbMidiPortStop(UsbMidiPort *port);

// Hands a received payload (length bytes) to the cables' pins. DISPATCH_LEVEL or below.
void UsbMidiPortDecode(UsbMidiPort *port, const UCHAR *payload, ULONG length);

// Writes a render byte stream to an OUT port's cable: packed by the cable's
// parser into the port's buffers until all is sent, or three runs of the
// write pump in a row made no progress (the rest is dropped). Returns the
// bytes taken. PASSIVE_LEVEL.
ULONG UsbMidiCableWrite(UsbMidiCable *cable, const UCHAR *bytes, ULONG count);

// One run of the write pump over all cables of the port: true when bytes
// were taken. PASSIVE_LEVEL, with the port's writeLock not held.
bool UsbMidiPortWritePump(UsbMidiPort *port);

// Attaches the pin to the first free entry of the cable (nothing when it is
// there already); false when all 16 are taken. Detach removes it. Any IRQL
// up to DISPATCH_LEVEL.
bool UsbMidiCableAttachPin(UsbMidiCable *cable, UsbMidiPin *pin);
void UsbMidiCableDetachPin(UsbMidiCable *cable, UsbMidiPin *pin);

// Sends `length` bytes of the transfer's buffer (IN: reads up to `length`)
// and marks the buffer busy. False when nothing was sent: the device is
// gone, or an IN port no longer runs. DISPATCH_LEVEL or below.
bool MidiSendTransfer(MidiTransfer *transfer, ULONG length);
