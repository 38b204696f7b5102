// Stream pointers: the pin's leading edge and its clones. Each pointer on a
// frame holds a reference to it; the leading edge passing a frame and the
// last reference going makes the frame done. Handing a stream pointer call
// anything but a live stream pointer stops the machine.
#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_pin.h"

namespace winsim::ks {

inline constexpr ULONG kPointerSignature = MAKEFOURCC_TAG('S', 'p', 't', 'r');
namespace {

StreamPointerObject *PointerOf(PKSSTREAM_POINTER pointer, const char *api, const std::source_location &site) {
  auto *object = reinterpret_cast<StreamPointerObject *>(pointer);
  if (pointer == nullptr || object->signature != kPointerSignature || PinOf(pointer->Pin) == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " of " + Hex(pointer) + ", which is no live stream pointer", site);
  }
  return object;
}

bool Reads(const PinObject *pin) { return pin->pub.DataFlow == KSPIN_DATAFLOW_OUT; }

// Points the public fields at the frame (or clears them).
void Expose(PinObject *pin, StreamPointerObject *pointer) {
  KSSTREAM_POINTER &pub = pointer->pub;
  Frame *frame = pointer->locked ? pointer->frame : nullptr;
  pub.StreamHeader = frame != nullptr ? &frame->header : nullptr;
  pub.OffsetIn = {};
  pub.OffsetOut = {};
  pub.Offset = Reads(pin) ? &pub.OffsetOut : &pub.OffsetIn;
  if (frame == nullptr) return;
  KSSTREAM_POINTER_OFFSET &offset = *pub.Offset;
  const KSSTREAM_HEADER &header = frame->header;
  ULONG size = Reads(pin) ? header.FrameExtent : header.DataUsed;
  if (pointer->offsetFrame != frame) {
    pointer->offsetFrame = frame;
    pointer->consumed = 0;
  }
  const ULONG consumed = pointer->consumed <= size ? pointer->consumed : size;
  offset.Data = frame->mapping != nullptr ? frame->mapping + consumed : nullptr;
  offset.Count = size;
  offset.Remaining = size - consumed;
}

void Lock(PinObject *pin, StreamPointerObject *pointer) {
  pointer->locked = pointer->frame != nullptr;
  Expose(pin, pointer);
}

// Moves the pointer to the next frame; the leading edge marks what it leaves
// as passed. Returns whether there is a next frame.
bool Advance(PinObject *pin, StreamPointerObject *pointer, LIST_ENTRY *completed) {
  Frame *frame = pointer->frame;
  if (frame == nullptr) return false;
  Frame *next = NextFrameLocked(pin, frame);
  if (pointer->leading) frame->passed = true;
  pointer->frame = next;
  pointer->offsetFrame = nullptr;
  pointer->consumed = 0;
  if (next != nullptr) ++next->refs;
  ReleaseFrameLocked(pin, frame, completed);
  return next != nullptr;
}

// A leading edge unlocked on a frame whose IRP was cancelled while it was
// locked lets go of it, so the IRP completes and the next lock finds the
// next live frame rather than the cancelled one.
void LeaveCancelledFrame(PinObject *pin, StreamPointerObject *pointer, LIST_ENTRY *completed) {
  Frame *frame = pointer->frame;
  if (!pointer->leading || frame == nullptr || !frame->irp->cancelled) return;
  pointer->frame = nullptr;
  pointer->offsetFrame = nullptr;
  pointer->consumed = 0;
  frame->passed = true;
  ReleaseFrameLocked(pin, frame, completed);
}

template <class Body>
auto WithQueue(PinObject *pin, Body body) {
  LIST_ENTRY completed;
  InitializeListHead(&completed);
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  auto result = body(&completed);
  KeReleaseSpinLock(&pin->queueLock, irql);
  CompleteStreamIrps(&completed);
  return result;
}

}  // namespace

}  // namespace winsim::ks

using namespace winsim::ks;

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State,
                                                   const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("KsPinGetLeadingEdgeStreamPointer", winsimSite);
  auto *pin = reinterpret_cast<PinObject *>(LiveObject(Pin, KsObjectTypePin, "KsPinGetLeadingEdgeStreamPointer",
                                                       winsimSite));
  if (pin == nullptr) return nullptr;
  return WithQueue(pin, [&](LIST_ENTRY *) -> PKSSTREAM_POINTER {
    StreamPointerObject *leading = &pin->leading;
    leading->signature = kPointerSignature;
    if (leading->frame == nullptr) {
      leading->offsetFrame = nullptr;
      leading->consumed = 0;
      leading->frame = FirstUnpassedLocked(pin);
      if (leading->frame != nullptr) ++leading->frame->refs;
    }
    if (leading->frame == nullptr) return nullptr;
    if (State == KSSTREAM_POINTER_STATE_LOCKED) Lock(pin, leading);
    return &leading->pub;
  });
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer, const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerLock", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  return WithQueue(pin, [&](LIST_ENTRY *) {
    if (pointer->frame == nullptr) return STATUS_DEVICE_NOT_READY;
    Lock(pin, pointer);
    return STATUS_SUCCESS;
  });
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject, const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerUnlock", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  WithQueue(pin, [&](LIST_ENTRY *completed) {
    if (!pointer->locked) {
      winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
               "KsStreamPointerUnlock of " + winsim::Hex(StreamPointer) + ", which is not locked", winsimSite);
    }
    pointer->locked = false;
    if (Eject) Advance(pin, pointer, completed);
    LeaveCancelledFrame(pin, pointer, completed);
    Expose(pin, pointer);
    return 0;
  });
}

NTSTATUS KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed, BOOLEAN Eject,
                                       const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerAdvanceOffsets", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  return WithQueue(pin, [&](LIST_ENTRY *completed) {
    if (!pointer->locked || pointer->frame == nullptr) {
      winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
               "KsStreamPointerAdvanceOffsets of " + winsim::Hex(StreamPointer) + ", which is not locked on a frame",
               winsimSite);
    }
    const bool reads = pin->pub.DataFlow == KSPIN_DATAFLOW_OUT;
    ULONG used = reads ? OutUsed : InUsed;
    KSSTREAM_POINTER_OFFSET &offset = *StreamPointer->Offset;
    if (used > offset.Remaining) {
      winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
               "KsStreamPointerAdvanceOffsets by " + std::to_string(used) + " bytes with " +
                   std::to_string(offset.Remaining) + " remaining in the frame",
               winsimSite);
    }
    offset.Data += used;
    offset.Remaining -= used;
    pointer->consumed += used;
    if (reads) pointer->frame->header.DataUsed += used;
    if (offset.Remaining > 0 && !Eject) return STATUS_SUCCESS;
    if (Advance(pin, pointer, completed)) {
      Lock(pin, pointer);
      return STATUS_SUCCESS;
    }
    pointer->locked = false;
    Expose(pin, pointer);
    return STATUS_DEVICE_NOT_READY;
  });
}

void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                            BOOLEAN Eject, const std::source_location &winsimSite) {
  NTSTATUS status = KsStreamPointerAdvanceOffsets(StreamPointer, InUsed, OutUsed, Eject, winsimSite);
  if (status == STATUS_SUCCESS) KsStreamPointerUnlock(StreamPointer, FALSE, winsimSite);
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer, const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerAdvance", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  return WithQueue(pin, [&](LIST_ENTRY *completed) {
    bool more = Advance(pin, pointer, completed);
    if (pointer->locked && more) Lock(pin, pointer);
    if (!more) {
      pointer->locked = false;
      Expose(pin, pointer);
    }
    return more ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
  });
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback, ULONG ContextSize,
                              PKSSTREAM_POINTER *CloneStreamPointer, const std::source_location &winsimSite) {
  StreamPointerObject *source = PointerOf(StreamPointer, "KsStreamPointerClone", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  size_t size = sizeof(StreamPointerObject) + ContextSize;
  auto *clone = static_cast<StreamPointerObject *>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kStreamTag));
  if (clone == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(static_cast<void *>(clone), 0, size);
  clone->pub.Pin = StreamPointer->Pin;
  clone->pub.Context = ContextSize > 0 ? reinterpret_cast<PUCHAR>(clone + 1) : nullptr;
  clone->cancelCallback = CancelCallback;
  clone->signature = source->signature;
  return WithQueue(pin, [&](LIST_ENTRY *) {
    clone->frame = source->frame;
    clone->offsetFrame = source->offsetFrame;
    clone->consumed = source->consumed;
    if (clone->frame != nullptr) ++clone->frame->refs;
    InsertTailList(&pin->clones, &clone->link);
    if (source->locked) {
      clone->locked = true;
      clone->pub = source->pub;
      clone->pub.Context = ContextSize > 0 ? reinterpret_cast<PUCHAR>(clone + 1) : nullptr;
      clone->pub.Offset = source->pub.Offset == &source->pub.OffsetOut ? &clone->pub.OffsetOut : &clone->pub.OffsetIn;
      clone->pub.StreamHeader = &clone->frame->header;
    } else {
      Expose(pin, clone);
    }
    *CloneStreamPointer = &clone->pub;
    return STATUS_SUCCESS;
  });
}

void KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer, const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerDelete", winsimSite);
  if (pointer->leading) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
             "KsStreamPointerDelete of the leading edge " + winsim::Hex(StreamPointer) + ": only clones are deleted",
             winsimSite);
  }
  PinObject *pin = PinOf(StreamPointer->Pin);
  WithQueue(pin, [&](LIST_ENTRY *completed) {
    RemoveEntryList(&pointer->link);
    if (pointer->frame != nullptr) ReleaseFrameLocked(pin, pointer->frame, completed);
    pointer->signature = 0;
    return 0;
  });
  ExFreePoolWithTag(pointer, kStreamTag);
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin, const std::source_location &winsimSite) {
  auto *pin = reinterpret_cast<PinObject *>(LiveObject(Pin, KsObjectTypePin, "KsPinGetFirstCloneStreamPointer",
                                                       winsimSite));
  if (pin == nullptr) return nullptr;
  return WithQueue(pin, [&](LIST_ENTRY *) -> PKSSTREAM_POINTER {
    if (IsListEmpty(&pin->clones)) return nullptr;
    return &CONTAINING_RECORD(pin->clones.Flink, StreamPointerObject, link)->pub;
  });
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer, const std::source_location &winsimSite) {
  StreamPointerObject *pointer = PointerOf(StreamPointer, "KsStreamPointerGetNextClone", winsimSite);
  PinObject *pin = PinOf(StreamPointer->Pin);
  return WithQueue(pin, [&](LIST_ENTRY *) -> PKSSTREAM_POINTER {
    PLIST_ENTRY next = pointer->link.Flink;
    if (next == &pin->clones) return nullptr;
    return &CONTAINING_RECORD(next, StreamPointerObject, link)->pub;
  });
}
