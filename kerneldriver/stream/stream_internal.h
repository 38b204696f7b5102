// What the streaming engine's files share with each other and nobody else:
// sending a slot, counting a URB out, distributing regions to pins and
// resubmitting. See audio_stream.h for the stream's contract.
#pragma once
#include "kerneldriver/stream/audio_stream.h"

inline constexpr ULONG kForcedFrameNone = 0;

// Bytes of an isochronous URB with `packets` packet descriptors.
constexpr ULONG IsoUrbSize(ULONG packets) {
  return static_cast<ULONG>(FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)) +
         packets * static_cast<ULONG>(sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

inline bool StreamRunning(UsbAudioStream *stream) {
  return InterlockedCompareExchange(&stream->running, 0, 0) != 0;
}
void StreamSetRunning(UsbAudioStream *stream, bool running);

// USB frame numbers wrap; `a` is before `b` when the signed distance says so.
inline bool FrameBefore(ULONG a, ULONG b) { return static_cast<LONG>(a - b) < 0; }

// The bus's current 1 ms frame number; false without a bus interface.
bool StreamCurrentFrame(const UsbAudioStream *stream, ULONG *frame);

// Sets up the slot's URB for `startFrame` (0: as soon as possible), counts
// it out and hands it to the USB stack. A URB that reached the stack is
// counted back in by its completion, even when it failed at once; one that
// never left (no lower device) is counted back in here.
NTSTATUS StreamSendSlot(IsoTransferSlot *slot, ULONG startFrame);
// A URB leaves: on the first one allReturned is cleared and the stream
// counts as active driver-wide.
void StreamCountOut(UsbAudioStream *stream);
// A URB is back: on the last one the stream's allReturned is signalled. The
// stream may be freed as soon as this returns; touch nothing after it.
void StreamCountIn(UsbAudioStream *stream);

// Frees slots and buffer without touching the device (destruction).
void StreamReleaseTransfers(UsbAudioStream *stream);

// Resends a completed data slot: at `forcedFrame` when that is still ahead,
// else at the stream's next start frame, skipping ahead when the stream has
// fallen behind. DISPATCH_LEVEL.
NTSTATUS StreamResubmit(IsoTransferSlot *slot, ULONG forcedFrame);
// Hands a completed slot's regions to the attached pins (see audio_stream.h).
void StreamDistribute(IsoTransferSlot *slot);
// A render slot of a stream that no longer runs: zeroes the regions its
// completion would have handed to the pins. The URBs still in flight then
// carry silence instead of the audio of their previous round (a stopped
// stream's URBs drain by going out on the bus). Does nothing for capture
// and feedback slots. DISPATCH_LEVEL; before the slot is counted in.
void StreamSilenceAhead(IsoTransferSlot *slot);
// Tells every attached pin to drop the regions it holds: the transfer
// buffer is about to be freed or replaced. Stream stopped; any IRQL up to
// DISPATCH_LEVEL.
void StreamDropPinRegions(UsbAudioStream *stream);
// Sizes a render slot from the accumulator (render only), distributes and
// resubmits it: the path of a stream without a partner.
void StreamProcessAlone(IsoTransferSlot *slot);

// The completion routine of every data and feedback URB.
IO_COMPLETION_ROUTINE StreamUrbCompleted;

// Queues the recovery work item unless it is queued already. DISPATCH_LEVEL.
void StreamQueueRecovery(UsbAudioStream *stream);

// Stop without the stream state lock: the recovery work item's, which the
// state lock's holders may be waiting for.
void StreamStopUnlocked(UsbAudioStream *stream);

// A completion that ended its stream (failure, cancellation, removal) takes
// it out of the implicit-feedback pairing at once, so the partner neither
// waits for it nor keeps a slot waiting. Run inside the pairing's own send
// (under its lock), it leaves that to the partner, which skips a member
// that no longer runs. DISPATCH_LEVEL.
void StreamLeavePairing(UsbAudioStream *stream);

// Resends the feedback read if it failed and waits: called by each data
// completion while the stream runs, so a failing endpoint is read at most
// once per URB period. DISPATCH_LEVEL.
void StreamRearmFeedback(UsbAudioStream *stream);
