// AudioPin: the context of one client's audio streaming pin. It connects the
// client's KS stream to the device's capture stream (data flow out of the
// filter) or render stream (into it): the stream hands the pin regions of
// its transfer buffer through the four pin operations (pin_operations.h), and
// the pin's Process copies captured samples into the client's frames or
// mixes the client's samples into the regions.
//
// Lifetime: created by the pin's Create dispatch and released through the
// KS pin's object bag (with its region table and format copy). The pin
// counts in the device's openAudioPins from creation to close, and in
// runningAudioPins and its stream's pins table while in RUN.
//
// Locking: regionLock (spin lock) guards the region table, the current
// region, the position and the data-path copy of the format; Process holds
// it while it moves samples, so once dropPending, a detach or a leave from
// RUN has taken it the pin touches none of the regions it held. State
// changes run at PASSIVE_LEVEL under the filter's control mutex and take
// the device's stream state lock for the streams.
#pragma once
#include "kerneldriver/ks/pin/wave_format.h"
#include "kerneldriver/pool_tags.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/stream/pin_operations.h"

inline constexpr ULONG kAudioPinSignature = QavPoolTag('p', 'a', 'u', 'f');
// One completion hands a pin at most a region per packet of a URB (capture)
// or two (render).
inline constexpr ULONG kPinRegionCapacity = kMaxFramesPerUrb * kMicroframesPerFrame + 2;

struct PinRegion {
  PUCHAR start;
  ULONG length;
};

struct AudioPin : UsbAudioPin {
  ULONG signature;  // kAudioPinSignature while the pin is alive
  UsbAudioDevice *device;
  UsbAudioStream *stream;
  PKSPIN pin;
  bool capture;
  HANDLE clientProcessId;
  ULONG channelConfig;  // KSPROPERTY_AUDIO_CHANNEL_CONFIG, stored only

  KSPIN_LOCK regionLock;
  PinWaveFormat *format;  // kTagWaveFormat
  PinRegion *regions;     // kTagPinRegions, a ring of kPinRegionCapacity
  ULONG regionHead;
  ULONG regionCount;
  PUCHAR currentRegion;
  ULONG regionRemaining;
  ULONGLONG bytesProcessed;   // client bytes moved; KSAUDIO_POSITION.PlayOffset
  ULONGLONG nextStampOffset;  // where the next frame stamp falls; KSAUDIO_POSITION.WriteOffset
  // Capture data was dropped before the client read it: the next frame the
  // pin fills says so with KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY.
  bool discontinuity;
  // The device is gone: Process gives every queued frame back.
  volatile LONG removed;
};

extern const UsbAudioPinOperations kAudioPinOperations;

// The live pin context of a KS pin, or null.
AudioPin *AudioPinOf(PKSPIN pin);
// The device context above a KS pin (through its filter and factory), or null.
UsbAudioDevice *AudioPinDeviceOf(PKSPIN pin);

// Dispatch routines (audio_pin_dispatch.h lists the table).
NTSTATUS AudioPinCreate(PKSPIN pin, PIRP irp);
NTSTATUS AudioPinClose(PKSPIN pin, PIRP irp);
NTSTATUS AudioPinProcess(PKSPIN pin);
NTSTATUS AudioPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                               const KSDATARANGE *range, const KSATTRIBUTE_LIST *attributeRange);
NTSTATUS AudioPinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);

// The device is gone: the pin's queued frames go back as they are (a
// bounded number per call). From Process, or with the pin's processing
// mutex held while the pin is not processed. At most DISPATCH_LEVEL.
void AudioPinGiveBackFrames(PKSPIN ksPin);

// Forgets every region and the position (under regionLock). Any IRQL up to
// DISPATCH_LEVEL.
void AudioPinClearRegions(AudioPin *pin, bool clearPosition);
