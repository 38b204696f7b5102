// StreamSync: implicit feedback between a device's capture and render
// streams. The device's capture packets carry exactly the frames its clock
// produced in each microframe; the render packets of the same frames are
// sized to match, so the render FIFO can neither fill nor drain.
//
// Completed slots of the two streams meet here: the first waits as the
// pending slot of its direction until its partner of the other direction
// arrives, then both are sized, distributed and resubmitted on the same start
// frame. Partners cover the same frames (start frames less than a URB
// period apart): the two completions of a period arrive in either order,
// and a slot a period older than the other direction's waiting one has lost
// its partner and goes on alone. A waiting slot still counts as outstanding
// for its stream; it is counted in when it is resubmitted, or handed back
// when its stream stops.
// A member that no longer runs (a failed or cancelled URB ended it) is
// skipped: its partner goes on alone. Everything runs under the spin lock at
// DISPATCH_LEVEL.
#pragma once
#include "kerneldriver/stream/audio_stream.h"

struct StreamSync {
  KSPIN_LOCK lock;
  // Id of the thread holding `lock`: a completion the pairing's own send
  // ran inline (a URB refused at once) must not take it again.
  HANDLE volatile holder;
  UsbAudioStream *capture;  // members: streams started and not stopped
  UsbAudioStream *render;
  IsoTransferSlot *pendingCapture;
  IsoTransferSlot *pendingRender;
};

// Pairs the device's two streams; null when pool runs out. The streams keep
// a pointer to it until StreamSyncDestroy.
StreamSync *StreamSyncCreate(UsbAudioStream *capture, UsbAudioStream *render);
// Unlinks the streams and frees the object. The streams must be stopped.
void StreamSyncDestroy(StreamSync *sync);

void StreamSyncStarted(StreamSync *sync, UsbAudioStream *stream);
// Forgets the stream and hands its waiting slot back; the partner's waiting
// slot goes on alone. Also from a completion that ended the stream, unless
// it runs inside the pairing (StreamSyncHeldByCaller).
void StreamSyncStopped(StreamSync *sync, UsbAudioStream *stream);
// True when the calling thread holds the pairing's lock.
bool StreamSyncHeldByCaller(const StreamSync *sync);
// A data slot of a running member completed successfully. True when the
// pairing took it (it is resubmitted and counted in by the pairing); false
// when the stream has no partner running and goes on alone.
bool StreamSyncUrbCompleted(StreamSync *sync, IsoTransferSlot *slot);
