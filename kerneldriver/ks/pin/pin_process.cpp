// Process: moves samples between the client's frames (through the leading
// edge stream pointer) and the regions the stream queued, stamping frames
// with their presentation time and counting the position. Called by ks.sys
// at DISPATCH_LEVEL, one pass at a time per pin, whenever the stream kicks
// the pin. Allocates nothing.
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"
#include "kerneldriver/ks/pin/pin_timing.h"
#include "kerneldriver/ks/pin/sample_convert.h"

namespace {

// Every step finishes a region or a frame; a pass ends after this many so a
// client queuing endless empty frames cannot hold the processor.
constexpr ULONG kMaxStepsPerPass = kPinRegionCapacity + 256;

// With regionLock held: makes a region current, skipping any too short for
// one device frame. False when none is left.
bool CurrentRegionLocked(AudioPin *pin, ULONG bytesPerFrame) {
  while (pin->regionRemaining < bytesPerFrame || pin->regionRemaining == 0) {
    pin->regionRemaining = 0;
    if (pin->regionCount == 0) return false;
    const PinRegion region = pin->regions[pin->regionHead];
    pin->regionHead = (pin->regionHead + 1) % kPinRegionCapacity;
    pin->regionCount--;
    pin->currentRegion = region.start;
    pin->regionRemaining = region.length;
  }
  return true;
}

bool HasRegion(AudioPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  const bool has = pin->stream->bytesPerFrame != 0 && CurrentRegionLocked(pin, pin->stream->bytesPerFrame);
  KeReleaseSpinLock(&pin->regionLock, irql);
  return has;
}

// With regionLock held (DISPATCH_LEVEL).
void Move(const AudioPin *pin, PUCHAR client, ULONG frames) {
  const UsbAudioStream *stream = pin->stream;
  // A subslot the conversions do not serve leaves both sides untouched.
  SampleBlock block{client, pin->format->channels, pin->currentRegion, stream->channels, frames, stream->subslot};
  if (pin->capture) {
    if (pin->format->sampleBytes == 2) {
      CaptureToClient16(block);
    } else {
      CaptureToClient32(block);
    }
    return;
  }
  // Another filter's render pin may be mixing into the same region.
  KeAcquireSpinLockAtDpcLevel(&pin->stream->mixLock);
  if (pin->format->sampleBytes == 2) {
    MixFromClient16(block);
  } else {
    MixFromClient32(block);
  }
  KeReleaseSpinLockFromDpcLevel(&pin->stream->mixLock);
}

// One step on a locked frame: the client bytes moved, or that no region is
// left, or that the frame's tail is too short for a sample frame and the
// frame is to be passed with it.
struct Step {
  ULONG used;
  bool noRegion;
  bool tail;
};

Step MoveLocked(AudioPin *pin, PKSSTREAM_POINTER leading) {
  const ULONG bytesPerFrame = pin->stream->bytesPerFrame;
  if (bytesPerFrame == 0 || !CurrentRegionLocked(pin, bytesPerFrame)) return Step{0, true, false};
  KSSTREAM_POINTER_OFFSET *offset = leading->Offset;
  KSSTREAM_HEADER *header = leading->StreamHeader;
  const PinWaveFormat &format = *pin->format;
  if (pin->capture && pin->discontinuity) {
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    pin->discontinuity = false;
  }
  StampFrame(pin->bytesProcessed, &pin->nextStampOffset, offset->Count, format.bytesPerSecond, header);
  const ULONG frames = QavMin(offset->Remaining / format.blockAlign, pin->regionRemaining / bytesPerFrame);
  if (frames == 0) {
    // A tail shorter than one sample frame: render consumes it, capture leaves it empty.
    const ULONG tail = offset->Remaining;
    pin->bytesProcessed += tail;
    return Step{pin->capture ? 0 : tail, false, true};
  }
  Move(pin, offset->Data, frames);
  pin->regionRemaining -= frames * bytesPerFrame;
  pin->currentRegion += frames * bytesPerFrame;
  if (pin->regionRemaining < bytesPerFrame) pin->regionRemaining = 0;
  const ULONG used = frames * format.blockAlign;
  pin->bytesProcessed += used;
  return Step{used, false, false};
}

}  // namespace

void AudioPinGiveBackFrames(PKSPIN ksPin) {
  for (ULONG i = 0; i < kMaxStepsPerPass; ++i) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(ksPin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return;
    KsStreamPointerUnlock(leading, TRUE);
  }
}

NTSTATUS AudioPinProcess(PKSPIN ksPin) {
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return STATUS_PENDING;
  if (InterlockedCompareExchange(&pin->removed, 0, 0) != 0) {
    AudioPinGiveBackFrames(ksPin);
    return STATUS_SUCCESS;
  }
  for (ULONG step = 0; step < kMaxStepsPerPass; ++step) {
    if (!HasRegion(pin)) return STATUS_PENDING;
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(ksPin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&pin->regionLock, &irql);
    const Step moved = MoveLocked(pin, leading);
    KeReleaseSpinLock(&pin->regionLock, irql);
    if (moved.noRegion) {
      KsStreamPointerUnlock(leading, FALSE);
      return STATUS_PENDING;
    }
    KsStreamPointerAdvanceOffsetsAndUnlock(leading, pin->capture ? 0 : moved.used, pin->capture ? moved.used : 0,
                                           moved.tail);
  }
  return STATUS_SUCCESS;
}
