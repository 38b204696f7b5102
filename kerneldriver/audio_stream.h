// UsbAudioStream: one AudioStreaming interface of the device and the audio
// format chosen on it for the current rate. The device keeps at most one
// capture stream (IN data endpoint) and one render stream (OUT).
//
// This object is created while the device model is built and prepared for
// the device's rate at post start and on every rate change. The isochronous
// transfers (slots, transfer buffer, start/stop, pins) belong to the
// streaming engine, which adds its state below the transfer fields; the
// functions here treat "transfers prepared" as transferBuffer != null.
//
// All functions run at PASSIVE_LEVEL under the caller's serialisation (PnP
// callbacks, or the sample-rate change refused while pins are open).
#pragma once
#include "kerneldriver/device.h"

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

  // Set by UsbAudioStreamPrepareForRate.
  ULONG nominalRate;           // Hz
  ULONG samplesPerMicroframe;  // 16.16 fixed point
  ULONG sampleAccumulator;     // 16.16 fixed point

  // Transfers.
  ULONG framesPerUrb;  // the device's UrbSize when transfers were (or will be) prepared
  PUCHAR transferBuffer;
  ULONG transferBufferSize;
  UsbPipe *dataPipe;
  UsbPipe *feedbackPipe;
  bool running;
  bool paused;
  StreamSync *streamSync;
};

// A stream for the interface with `urbSize` frames per URB; null when pool runs out.
UsbAudioStream *UsbAudioStreamCreate(UsbAudioDevice *device, UsbInterface *usbInterface, ULONG urbSize);
// Stops the stream and frees it and everything it holds.
void UsbAudioStreamDestroy(UsbAudioStream *stream);

bool UsbAudioStreamIsCapture(const UsbAudioStream *stream);
bool UsbAudioStreamHasPreparedTransfers(const UsbAudioStream *stream);

// Chooses the first alternate setting, in descriptor order, that has a data
// endpoint, a general descriptor and a Type I format that may carry `rate`
// (0: any rate). When none does, the earlier choice stays and the result is
// success only if a general descriptor was ever seen.
NTSTATUS UsbAudioStreamSelectFormat(UsbAudioStream *stream, ULONG rate);

// Chooses the format for `rate`, optionally selects its alternate setting
// (so the device learns the format), returns the interface to alternate
// setting 0 and sets the nominal rate. STATUS_DEVICE_BUSY while transfers
// are prepared.
NTSTATUS UsbAudioStreamPrepareForRate(UsbAudioStream *stream, ULONG rate, bool select);

// Power-down stop that remembers a running stream; Resume starts it again.
void UsbAudioStreamPause(UsbAudioStream *stream);
void UsbAudioStreamResume(UsbAudioStream *stream);
// Takes effect only while no transfers are prepared.
void UsbAudioStreamSetFramesPerUrb(UsbAudioStream *stream, ULONG framesPerUrb);

// The smallest UrbSize the machine sustains on this (render) stream, 1 to 10;
// 0 when it could not be measured.
ULONG UsbAudioStreamLatencyProbe(UsbAudioStream *stream);
