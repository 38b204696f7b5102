// UsbAudioStream: one AudioStreaming interface of the device, the format
// chosen on it for the current rate, and the isochronous transfers that move
// its audio. The device keeps at most one capture stream (IN data endpoint)
// and one render stream (OUT).
//
// Ten data URBs, each covering framesPerUrb USB frames with one packet per
// microframe, stay in flight; each is resubmitted from its own completion at
// DISPATCH_LEVEL. Render packets are sized from a 16.16 accumulator (or, with
// a StreamSync, from the frames the device sends on the capture stream), and
// every completion hands regions of the one transfer buffer to the attached
// pins. Only isochronous data endpoints serving every microframe (bInterval
// 1 at high speed) are streamed; an explicit-feedback endpoint may have any
// interval and is read a frame's worth of packets at a time.
//
// Lifecycle: created → prepared (transfers allocated, alternate setting
// selected) → running → stopped (URBs drained) → freed (alternate setting 0).
// Create and destroy run at PASSIVE_LEVEL from the PnP callbacks. Prepare,
// start, stop, free, pause, resume and the frames-per-URB change take the
// device's stream state lock (stream_state_lock.h) themselves; a caller that
// runs several of them as one state change (a pin entering or leaving RUN,
// the UrbSize change) holds it around all of them. Nothing is allocated
// between start and stop.
#pragma once
#include "kerneldriver/device/device.h"

struct UsbAudioPin;

inline constexpr ULONG kIsoSlots = 10;
inline constexpr ULONG kMaxStreamPins = 4;
inline constexpr ULONG kMicroframesPerFrame = 8;
// The USB stack takes at most 1024 packets per high-speed isochronous URB.
inline constexpr ULONG kMaxFramesPerUrb = 128;
inline constexpr UCHAR kFeedbackSlotIndex = 255;
inline constexpr ULONG kFeedbackBytes = 4;  // one high-speed feedback value, 16.16
inline constexpr ULONG kMaxFeedbackPackets = kMicroframesPerFrame;  // one frame of an every-microframe endpoint

struct IsoTransferSlot {
  PIRP irp;                 // stack size of the lower device + 1, reused for every send
  UsbAudioStream *stream;
  PURB urb;                 // kTagBuffer, room for packetCount packets
  bool in;
  PUCHAR region;            // the slot's part of the transfer buffer
  ULONG regionLength;       // bytes the slot owns
  ULONG transferLength;     // render: bytes the packets carry; capture: bytes received
  ULONG splitOffset;        // render: offset of packet 16 (transferLength when fewer than 17 packets)
  ULONG packetCount;
  USBD_PIPE_HANDLE pipeHandle;
  UCHAR index;              // 0 to 9; kFeedbackSlotIndex for the feedback read
};

struct UsbAudioStream {
  UsbAudioDevice *device;
  UsbInterface *usbInterface;  // the AudioStreaming interface

  // Chosen by UsbAudioStreamSelectFormat.
  UCHAR altSetting;
  UCHAR dataEndpoint;      // bit 7 set: capture
  UCHAR feedbackEndpoint;  // 0: none
  ULONG channels;          // bNrChannels
  ULONG subslot;           // bSubslotSize, bytes per sample
  ULONG bytesPerFrame;     // channels * subslot
  const UCHAR *generalDescriptor;  // AudioStreaming general descriptor (iChannelNames), in the configuration

  // Set by UsbAudioStreamPrepareForRate; samplesPerMicroframe also by explicit feedback.
  ULONG nominalRate;           // Hz
  ULONG samplesPerMicroframe;  // 16.16 fixed point
  ULONG sampleAccumulator;     // 16.16 fixed point

  // Transfers, present between UsbAudioStreamPrepareTransfers and UsbAudioStreamFreeTransfers.
  ULONG framesPerUrb;  // the device's UrbSize when transfers were (or will be) prepared
  PUCHAR transferBuffer;  // kTagBuffer, maxPacket * framesPerUrb * 80 bytes
  ULONG transferBufferSize;
  ULONG maxPacket;
  UsbPipe *dataPipe;
  UsbPipe *feedbackPipe;
  IsoTransferSlot slots[kIsoSlots];
  // The feedback read: one frame's worth of packets of the feedback
  // endpoint, kFeedbackBytes each. It is sent again from its own completion;
  // a failed read is sent again by the next data completion instead
  // (feedbackIdle set), so a failing endpoint costs one read per URB period.
  IsoTransferSlot feedbackSlot;
  UCHAR feedbackBuffer[kMaxFeedbackPackets * kFeedbackBytes];
  volatile LONG feedbackIdle;  // 1: the read failed and waits for the next data completion
  ULONG feedbackFailures;      // failed reads in a row (the feedback completion's own)

  // Pins attached while running; free entries are null.
  KSPIN_LOCK pinLock;  // attach/detach against a completion calling the pins
  // Render pins of different filters process at once and mix into the same
  // regions: each mix holds this (taken inside the pin's own region lock,
  // never the other way round). DISPATCH_LEVEL.
  KSPIN_LOCK mixLock;
  UsbAudioPin *pins[kMaxStreamPins];
  ULONG pinSlotsUsed;  // highest used entry + 1
  ULONG pinCount;

  // Running state. `running` (0 or 1) is read by completions at
  // DISPATCH_LEVEL and changed with interlocked operations only.
  volatile LONG running;
  bool paused;
  volatile LONG outstanding;  // URBs sent and not yet completed
  KEVENT allReturned;         // notification; signalled while outstanding is 0
  ULONG nextStartFrame;
  ULONG maxLateness;
  ULONG minLateness;
  UrbTimingInfo timing;       // completions and lateness histogram of the current or last run
  // Packets of completed data URBs the stack reported failed (not sent in
  // time, missed, damaged) in the current or last run: their frames never
  // reached the device or the pins. Written by the stream's completions only.
  ULONG failedPackets;
  StreamSync *streamSync;     // set while both streams exist

  // Error recovery at PASSIVE_LEVEL: abort and reset the data pipe, stop.
  PIO_WORKITEM recoveryWorkItem;
  volatile LONG recoveryQueued;
  KEVENT recoveryIdle;  // notification; signalled while no recovery is queued or running
};

// A stream for the interface with `urbSize` frames per URB; null when pool runs out.
UsbAudioStream *UsbAudioStreamCreate(UsbAudioDevice *device, UsbInterface *usbInterface, ULONG urbSize);
// Stops the stream, waits for its recovery work, frees its transfers and the stream.
void UsbAudioStreamDestroy(UsbAudioStream *stream);

bool UsbAudioStreamIsCapture(const UsbAudioStream *stream);
bool UsbAudioStreamHasPreparedTransfers(const UsbAudioStream *stream);

// Chooses the first alternate setting, in descriptor order, that has a data
// endpoint, a general descriptor and a Type I format that may carry `rate`
// (0: any rate). Only an isochronous endpoint with bInterval 1 counts as a
// data endpoint (a setting whose isochronous data endpoint has another
// interval is skipped, traced), and only an isochronous IN endpoint as an
// explicit-feedback endpoint. When no setting qualifies, the earlier choice
// stays and the result is success only if a general descriptor was ever seen.
NTSTATUS UsbAudioStreamSelectFormat(UsbAudioStream *stream, ULONG rate);
// The channel count the setting the call above would choose for `rate`
// carries; 0 when none qualifies. Reads descriptors only. PASSIVE_LEVEL.
ULONG UsbAudioStreamChannelsAtRate(const UsbAudioStream *stream, ULONG rate);

// Chooses the format for `rate`, optionally selects its alternate setting
// (so the device learns the format), returns the interface to alternate
// setting 0 and sets the nominal rate. STATUS_DEVICE_BUSY while transfers
// are prepared.
NTSTATUS UsbAudioStreamPrepareForRate(UsbAudioStream *stream, ULONG rate, bool select);

// Selects the stream's alternate setting, finds its pipes and allocates the
// transfer buffer and the ten slots (replacing earlier ones when not
// running). STATUS_INTERNAL_ERROR without an alternate setting or data pipe,
// STATUS_INSUFFICIENT_RESOURCES when pool runs out.
NTSTATUS UsbAudioStreamPrepareTransfers(UsbAudioStream *stream);
// Frees slots and buffer and selects alternate setting 0. Refused
// (STATUS_INTERNAL_ERROR) while running or while URBs are outstanding.
NTSTATUS UsbAudioStreamFreeTransfers(UsbAudioStream *stream);

// Waits for a queued or running error recovery, then sends the ten data
// URBs on the driver-wide start frame, and the feedback read.
NTSTATUS UsbAudioStreamStart(UsbAudioStream *stream);
// Ends resubmission and waits until every URB is back; a paused stream
// stops being paused (its pins stopped it, nothing resumes it). URBs drain within
// ten URB periods; one the USB stack still holds a few URB periods after
// the last URB's end (at least 100 ms) is aborted with its pipe, and the
// wait goes on (traced). Also drains a stream that a failure ended. Not at
// DISPATCH_LEVEL.
void UsbAudioStreamStop(UsbAudioStream *stream);

// Power-down stop that remembers a running stream; Resume starts it again.
void UsbAudioStreamPause(UsbAudioStream *stream);
// The status of the start, or success when the stream was not paused.
NTSTATUS UsbAudioStreamResume(UsbAudioStream *stream);
// Resume at D0: the device may have lost power and with it its alternate
// settings, so the stream's setting is selected again (the slots take the
// new pipe handles) before it starts.
NTSTATUS UsbAudioStreamResumeAfterPowerUp(UsbAudioStream *stream);
// STATUS_DEVICE_BUSY (nothing changes) while transfers are prepared.
NTSTATUS UsbAudioStreamSetFramesPerUrb(UsbAudioStream *stream, ULONG framesPerUrb);

// The device's stream state lock (see stream_state_lock.h). PASSIVE_LEVEL;
// balance each lock with an unlock on the same thread.
void UsbAudioStreamStateLock(UsbAudioDevice *device);
void UsbAudioStreamStateUnlock(UsbAudioDevice *device);

// The pins table: a pin goes into the first free entry; a fifth is not
// attached (STATUS_INSUFFICIENT_RESOURCES). Detaching an unknown pin does
// nothing. PASSIVE_LEVEL, serialised by the pins' state changes. Before the
// transfer buffer is freed or replaced, every attached pin is told to drop
// the regions it holds in it.
NTSTATUS UsbAudioStreamAttachPin(UsbAudioStream *stream, UsbAudioPin *pin);
void UsbAudioStreamDetachPin(UsbAudioStream *stream, UsbAudioPin *pin);

// The smallest UrbSize the machine sustains on this (render) stream, 1 to 10;
// 0 when it could not be measured.
ULONG UsbAudioStreamLatencyProbe(UsbAudioStream *stream);

// Driver-wide: streams with URBs outstanding (for tests and diagnostics).
LONG UsbAudioActiveStreamCount();
