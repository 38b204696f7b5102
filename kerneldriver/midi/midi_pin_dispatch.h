// The dispatch of the MIDI streaming pins: Create attaches the pin to the
// cable recorded for its pin id, Close detaches it, SetDeviceState notes the
// USB frame at which it enters RUN, and Process moves KSMUSICFORMAT frames:
// capture pins fill them from their queue, render pins write them to their
// cable. The pins do not ask for dispatch-level processing: render writes
// wait for transfer buffers.
#pragma once
#include "kerneldriver/kernel_headers.h"

extern const KSPIN_DISPATCH kMidiPinDispatch;

struct UsbMidiCable;
struct UsbMidiPin;
struct UsbMidiPort;

// The pin's cable, its port held until UsbMidiCableRelease so destroying
// the port waits for the write in progress; null once the port forgot the
// pin. Every non-null result is released once. DISPATCH_LEVEL or below.
UsbMidiCable *UsbMidiPinHoldCable(UsbMidiPin *pin);
void UsbMidiCableRelease(UsbMidiPin *pin, UsbMidiCable *cable);

// Forgets, under the device's midiLock, every pin attached to the port's
// cables: their Close and Process then find no cable. Called before the
// port is freed. PASSIVE_LEVEL.
void MidiPinsForgetPort(UsbMidiPort *port);
