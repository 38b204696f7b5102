// The pin object and its stream queue, shared by the pin's creation, its
// connection state, the stream queue, stream pointers and processing.
//
// Locking: the queue (frames, IRPs, stream pointers) is guarded by the pin's
// queue spin lock, never held while calling the minidriver; the pin's state
// and format by the filter's control mutex.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "winsim/ks/ks_mutexes.h"
#include "winsim/ks/ks_objects.h"

namespace winsim::ks {

struct StreamIrp;
struct StreamPointerObject;

// One KSSTREAM_HEADER of a queued stream IRP. The minidriver sees header,
// whose Data points into mapping: a pool copy of the caller's buffer that is
// freed when the IRP completes, so a pointer kept past completion is a use
// after free.
struct Frame {
  LIST_ENTRY link;  // PinObject::frames, in arrival order, until done
  StreamIrp *irp;
  KSSTREAM_HEADER header;
  PUCHAR mapping;
  ULONG mappingSize;  // the extent as captured: what mapping holds
  PUCHAR userData;    // the caller's buffer, as captured
  ULONG refs;   // stream pointers positioned on the frame
  bool passed;  // the leading edge has moved past it
  bool done;
};

struct StreamIrp {
  LIST_ENTRY link;  // PinObject::irps
  PIRP irp;
  PKSSTREAM_HEADER user;  // the caller's headers
  ULONG count;
  ULONG pending;  // frames not done yet
  bool write;
  bool cancelled;
  Frame frames[1];
};

struct StreamPointerObject {
  KSSTREAM_POINTER pub;
  LIST_ENTRY link;  // PinObject::clones
  Frame *frame;     // NULL when past the end of the queue
  // Bytes the pointer advanced within offsetFrame: locking it again on the
  // same frame resumes there, as on Windows.
  Frame *offsetFrame;
  ULONG consumed;
  bool locked;
  bool leading;
  PFNKSSTREAMPOINTER cancelCallback;
  ULONG signature;
};

struct PinObject {
  ObjectHeader header;
  KSPIN pub;
  FilterObject *filter;
  PFILE_OBJECT fileObject;
  KSPIN_LOCK queueLock;
  LIST_ENTRY frames;
  LIST_ENTRY irps;
  LIST_ENTRY clones;
  StreamPointerObject leading;
  // Processing: one pass at a time under the process mutex; a request while
  // a pass runs makes it run again.
  LONG processRequests;
  LONG processQueued;
  WORK_QUEUE_ITEM processItem;
  KEVENT processIdle;
  ULONG processCount;  // passes so far (for tests)
  BOOLEAN closing;
};
static_assert(offsetof(PinObject, pub) == kPublicOffset, "PinObject layout");

PinObject *PinOf(PKSPIN pin);
inline const KSPIN_DISPATCH *DispatchOf(const PinObject *pin) {
  return pin->pub.Descriptor != nullptr ? pin->pub.Descriptor->Dispatch : nullptr;
}
FilterRuntime *RuntimeOfPin(PinObject *pin);

// Whether a client's range and a pin's range agree on major format, sub
// format and specifier (a null GUID on either side matches anything).
bool RangeMatches(const KSDATARANGE &client, const KSDATARANGE &pin);

// Connection state (ks_connection.cpp): steps from the current state to
// target one state at a time, calling SetDeviceState for each; stops at the
// first failure. With the control mutex held.
NTSTATUS ChangeState(PinObject *pin, KSSTATE target);

// Stream queue (ks_stream_queue.cpp).
NTSTATUS QueueStreamIrp(PinObject *pin, PIRP irp, bool write);
// Completes (cancelled) every queued stream IRP, or those of fileObject.
void FlushQueue(PinObject *pin, NTSTATUS status, PFILE_OBJECT fileObject = nullptr);
NTSTATUS ResetState(PinObject *pin, KSRESET reset);
// A stream pointer leaves its frame; the frame may complete.
void ReleaseFrameLocked(PinObject *pin, Frame *frame, LIST_ENTRY *completed);
void CompleteStreamIrps(LIST_ENTRY *completed);
Frame *NextFrameLocked(PinObject *pin, Frame *frame);
Frame *FirstUnpassedLocked(PinObject *pin);

// Processing (ks_processing.cpp).
bool ProcessingAllowed(const PinObject *pin);
void AttemptProcessing(PinObject *pin, bool asynchronous);
void WaitProcessingIdle(PinObject *pin);

}  // namespace winsim::ks
