// DynamicFilterDescriptor: the KS filter descriptor of the device's filter
// factory, assembled while the device starts: one streaming and one bridge
// pin plus an ADC or DAC node per audio direction present, one MIDI
// streaming and one MIDI bridge pin per MIDI cable, and the audio data
// ranges that take the device's channel counts and rate limits. It is filled
// before the filter factory is created and not changed afterwards (a later
// start, after a stop, leaves it as the factory has it), except for the rate
// limits, which follow a clock-source change; it lives in
// nonpaged pool (kTagObject), since ks.sys reads it at DISPATCH_LEVEL while
// the pins process, and is freed with the device context.
//
// Pin ids follow the order of the additions. The tables hold 32 pins, 32
// nodes and 32 connections; an addition that does not fit whole is not made.
//
// The filter carries its Create dispatch and automation table
// (filter_automation.h); the audio streaming pins carry the audio
// intersection handler (audio_intersection.h) and the audio pin's dispatch
// and automation tables (pin/audio_pin_dispatch.h). The MIDI pins' dispatch
// tables are supplied by the MIDI code; until they are set here those pins
// carry none.
#pragma once
#include "kerneldriver/kernel_headers.h"

inline constexpr ULONG kFilterMaxPins = 32;
inline constexpr ULONG kFilterMaxNodes = 32;
inline constexpr ULONG kFilterMaxConnections = 32;
inline constexpr ULONG kFilterCategories = 4;
// What FilterDescriptorAddMidiCable returns when the tables are full.
inline constexpr ULONG kNoFilterPin = 0xFFFFFFFF;

enum class AudioDirection { Capture, Render };
// The direction of the USB endpoint behind a MIDI cable: an IN endpoint
// brings MIDI from the device (the pin's data flows out of the filter).
enum class MidiEndpointDirection { In, Out };

struct DynamicFilterDescriptor {
  KSFILTER_DESCRIPTOR filter;
  GUID categories[kFilterCategories];
  KSPIN_DESCRIPTOR_EX pins[kFilterMaxPins];
  KSNODE_DESCRIPTOR nodes[kFilterMaxNodes];
  KSTOPOLOGY_CONNECTION connections[kFilterMaxConnections];
  KSDATARANGE_AUDIO captureRanges[2];  // WAVEFORMATEX, DSOUND
  KSDATARANGE_AUDIO renderRanges[2];
  KSDATARANGE_AUDIO bridgeRange;
  KSDATARANGE_MUSIC midiRange;
  KSDATARANGE midiBridgeRange;
  PKSDATARANGE captureRangeList[2];
  PKSDATARANGE renderRangeList[2];
  PKSDATARANGE bridgeRangeList[1];
  PKSDATARANGE midiRangeList[1];
  PKSDATARANGE midiBridgeRangeList[1];
};

// Allocated and filled with the defaults: no pins, four categories, 2
// channels, 44100 to 48000 Hz. Null when pool runs out. PASSIVE_LEVEL.
DynamicFilterDescriptor *FilterDescriptorCreate();
// Back to those defaults, as before the first start. Only while no filter
// factory uses the descriptor.
void FilterDescriptorReset(DynamicFilterDescriptor *descriptor);
void FilterDescriptorFree(DynamicFilterDescriptor *descriptor);

// Appends the direction's streaming pin (id P) and bridge pin (P + 1), its
// ADC (capture) or DAC (render) node and the two connections through it.
// False, and nothing added, when the tables are full.
bool FilterDescriptorAddAudioDirection(DynamicFilterDescriptor *descriptor, AudioDirection direction);
// Appends a MIDI streaming pin (id P, data flow from the endpoint's
// direction), its bridge pin (P + 1) and the direct connection between them.
// Returns P; kNoFilterPin, and nothing added, when the tables are full.
ULONG FilterDescriptorAddMidiCable(DynamicFilterDescriptor *descriptor, MidiEndpointDirection endpoint);
// MaximumChannels of the direction's two ranges.
void FilterDescriptorSetChannels(DynamicFilterDescriptor *descriptor, AudioDirection direction, ULONG channels);
// Minimum and maximum sample frequency of all four audio ranges.
void FilterDescriptorSetRateLimits(DynamicFilterDescriptor *descriptor, ULONG lowest, ULONG highest);
