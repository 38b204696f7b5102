// How a stream reaches the audio pins attached to it: through the four
// operations every pin provides, and nothing else. The pin owns its region
// list; the stream only hands it pieces of its transfer buffer.
//
// All four are called from the stream's URB completion at DISPATCH_LEVEL and
// must neither allocate from a failing path nor wait.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct UsbAudioPin;

struct UsbAudioPinOperations {
  // Forget the region being filled or read and every region still queued:
  // the stream is about to reuse them.
  void (*dropPending)(UsbAudioPin *pin);
  // `length` bytes at `region` of the stream's transfer buffer: a capture pin
  // reads them, a render pin mixes its samples into them (the stream zeroed
  // them). The region stays valid until the next dropPending.
  void (*queueRegion)(UsbAudioPin *pin, PUCHAR region, ULONG length);
  // Let the pin process now, not asynchronously.
  void (*kick)(UsbAudioPin *pin);
  // Process id of the client that created the pin.
  HANDLE (*clientProcessId)(UsbAudioPin *pin);
};

// The head of every audio pin context; the pin's own state follows it.
struct UsbAudioPin {
  const UsbAudioPinOperations *operations;
};
