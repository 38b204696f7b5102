#include "kerneldriver/stream/stream_sync.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/stream_internal.h"

namespace {

// The holder is read without the lock by completions on other processors.
KIRQL Lock(StreamSync *sync) {
  KIRQL irql;
  KeAcquireSpinLock(&sync->lock, &irql);
  InterlockedExchangePointer(&sync->holder, PsGetCurrentThreadId());
  return irql;
}

void Unlock(StreamSync *sync, KIRQL irql) {
  InterlockedExchangePointer(&sync->holder, nullptr);
  KeReleaseSpinLock(&sync->lock, irql);
}

IsoTransferSlot *&PendingOf(StreamSync *sync, const UsbAudioStream *stream) {
  return UsbAudioStreamIsCapture(stream) ? sync->pendingCapture : sync->pendingRender;
}

UsbAudioStream *PartnerOf(const StreamSync *sync, const UsbAudioStream *stream) {
  return UsbAudioStreamIsCapture(stream) ? sync->render : sync->capture;
}

ULONG StartFrameOf(const IsoTransferSlot *slot) { return slot->urb->UrbIsochronousTransfer.StartFrame; }

// A waiting slot whose partner will not come: it goes on by itself.
void ReleaseAlone(IsoTransferSlot *slot) {
  StreamProcessAlone(slot);
  StreamCountIn(slot->stream);
}

void SizeRenderFromCapture(IsoTransferSlot *capture, IsoTransferSlot *render) {
  const UsbAudioStream *c = capture->stream;
  const UsbAudioStream *r = render->stream;
  ImplicitFeedbackSlots slots{};
  slots.capturePackets = capture->urb->UrbIsochronousTransfer.IsoPacket;
  slots.captureBuffer = capture->region;
  slots.captureCount = capture->packetCount;
  slots.captureBytesPerFrame = c->bytesPerFrame;
  slots.captureMaxPacket = c->maxPacket;
  slots.renderPackets = render->urb->UrbIsochronousTransfer.IsoPacket;
  slots.renderCount = render->packetCount;
  slots.renderBytesPerFrame = r->bytesPerFrame;
  slots.maxRenderFrames =
      render->packetCount != 0 && r->bytesPerFrame != 0 ? render->regionLength / render->packetCount / r->bytesPerFrame : 0;
  render->transferLength = SizeFromCapture(slots, &render->splitOffset);
}

void Pair(StreamSync *sync) {
  IsoTransferSlot *capture = sync->pendingCapture;
  IsoTransferSlot *render = sync->pendingRender;
  sync->pendingCapture = nullptr;
  sync->pendingRender = nullptr;
  SizeRenderFromCapture(capture, render);
  StreamDistribute(render);
  StreamDistribute(capture);
  const ULONG captureNext = capture->stream->nextStartFrame;
  const ULONG renderNext = render->stream->nextStartFrame;
  const ULONG start = FrameBefore(captureNext, renderNext) ? renderNext : captureNext;
  StreamResubmit(render, start);
  StreamResubmit(capture, start);
  StreamCountIn(render->stream);
  StreamCountIn(capture->stream);
}

}  // namespace

StreamSync *StreamSyncCreate(UsbAudioStream *capture, UsbAudioStream *render) {
  auto *sync = static_cast<StreamSync *>(QavAllocateNonPaged(sizeof(StreamSync), kTagObject));
  if (sync == nullptr) return nullptr;
  KeInitializeSpinLock(&sync->lock);
  capture->streamSync = sync;
  render->streamSync = sync;
  return sync;
}

void StreamSyncDestroy(StreamSync *sync) { QavFree(sync, kTagObject); }

bool StreamSyncHeldByCaller(const StreamSync *sync) {
  PVOID volatile *holder = &const_cast<StreamSync *>(sync)->holder;
  return InterlockedCompareExchangePointer(holder, nullptr, nullptr) == PsGetCurrentThreadId();
}

void StreamSyncStarted(StreamSync *sync, UsbAudioStream *stream) {
  const KIRQL irql = Lock(sync);
  (UsbAudioStreamIsCapture(stream) ? sync->capture : sync->render) = stream;
  PendingOf(sync, stream) = nullptr;
  Unlock(sync, irql);
}

void StreamSyncStopped(StreamSync *sync, UsbAudioStream *stream) {
  const KIRQL irql = Lock(sync);
  UsbAudioStream *&member = UsbAudioStreamIsCapture(stream) ? sync->capture : sync->render;
  if (member == stream) member = nullptr;
  IsoTransferSlot *own = PendingOf(sync, stream);
  PendingOf(sync, stream) = nullptr;
  UsbAudioStream *partner = PartnerOf(sync, stream);
  IsoTransferSlot *partnerSlot = partner != nullptr ? PendingOf(sync, partner) : nullptr;
  if (partner != nullptr) PendingOf(sync, partner) = nullptr;
  if (partnerSlot != nullptr) ReleaseAlone(partnerSlot);
  Unlock(sync, irql);
  // Last: the stream's Stop may return as soon as this slot is counted in.
  if (own != nullptr) StreamCountIn(stream);
}

bool StreamSyncUrbCompleted(StreamSync *sync, IsoTransferSlot *slot) {
  UsbAudioStream *stream = slot->stream;
  const KIRQL irql = Lock(sync);
  const bool member = (UsbAudioStreamIsCapture(stream) ? sync->capture : sync->render) == stream;
  UsbAudioStream *partner = PartnerOf(sync, stream);
  IsoTransferSlot *&pending = PendingOf(sync, stream);
  if (!member || partner == nullptr || !StreamRunning(partner)) {
    // No partner will come: a slot of ours still waiting goes first, alone.
    IsoTransferSlot *waiting = pending;
    pending = nullptr;
    if (waiting != nullptr) ReleaseAlone(waiting);
    Unlock(sync, irql);
    return false;
  }
  // Two of one direction in a row: the earlier lost its partner and goes on alone.
  if (pending != nullptr) ReleaseAlone(pending);
  pending = nullptr;
  // The two completions of one period may arrive in either order (on a
  // multiprocessor, each on its own processor): partners are the slots of
  // the same frames, never merely the next to arrive.
  IsoTransferSlot *&waiting = PendingOf(sync, partner);
  if (waiting != nullptr) {
    const LONG ahead = static_cast<LONG>(StartFrameOf(slot) - StartFrameOf(waiting));
    const LONG period = static_cast<LONG>(QavMax(stream->framesPerUrb, ULONG{1}));
    if (ahead <= -period) {
      // Ours is a period older than the partner's waiting slot: its own
      // partner will not come.
      Unlock(sync, irql);
      return false;
    }
    if (ahead >= period) {
      IsoTransferSlot *older = waiting;
      waiting = nullptr;
      ReleaseAlone(older);
    }
  }
  pending = slot;
  if (sync->pendingCapture != nullptr && sync->pendingRender != nullptr) Pair(sync);
  Unlock(sync, irql);
  return true;
}

void StreamLeavePairing(UsbAudioStream *stream) {
  StreamSync *sync = stream->streamSync;
  if (sync == nullptr || StreamSyncHeldByCaller(sync)) return;
  StreamSyncStopped(sync, stream);
}
