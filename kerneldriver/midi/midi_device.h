// The device's MIDI ports: one per bulk pipe of each MIDI streaming
// interface, made at post start, following the device's power, released
// with its hardware. Each cable's streaming pin is recorded in the device
// context (midiPinCable, midiPinCount) for the MIDI pins and their names.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioDevice;
struct DynamicFilterDescriptor;
struct UsbMidiCable;

// Index of midiPinCount per endpoint direction.
inline constexpr ULONG kMidiPinsCapture = 0;  // cables of IN endpoints
inline constexpr ULONG kMidiPinsRender = 1;   // cables of OUT endpoints

// Creates the ports, gives each cable its pin pair (appended to `pins`, or,
// with null `pins`, the pair the existing filter descriptor holds for it in
// the same order) and starts the ports. PASSIVE_LEVEL.
void UsbAudioDeviceCreateMidiPorts(UsbAudioDevice *device, DynamicFilterDescriptor *pins);
// Stops and frees every port and forgets the pins' cables. PASSIVE_LEVEL.
void UsbAudioDeviceDestroyMidiPorts(UsbAudioDevice *device);
void UsbAudioDeviceStartMidiPorts(UsbAudioDevice *device);
void UsbAudioDeviceStopMidiPorts(UsbAudioDevice *device);

// The cable behind a MIDI streaming pin id; null for any other pin.
UsbMidiCable *UsbAudioDeviceMidiCable(const UsbAudioDevice *device, ULONG pinId);
