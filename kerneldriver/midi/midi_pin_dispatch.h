// The dispatch of the MIDI streaming pins: Create attaches the pin to the
// cable recorded for its pin id, Close detaches it, SetDeviceState notes the
// USB frame at which it enters RUN, and Process moves KSMUSICFORMAT frames:
// capture pins fill them from their queue, render pins write them to their
// cable. The pins do not ask for dispatch-level processing: render writes
// wait for transfer buffers.
#pragma once
#include "kerneldriver/kernel_headers.h"

extern const KSPIN_DISPATCH kMidiPinDispatch;

struct UsbMidiPort;
// Forgets, under the device's midiLock, every pin attached to the port's
// cables: their Close and Process then find no cable. Called before the
// port is freed. PASSIVE_LEVEL.
void MidiPinsForgetPort(UsbMidiPort *port);
