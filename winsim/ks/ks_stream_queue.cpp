// A pin's queue of stream frames: IOCTL_KS_WRITE_STREAM / IOCTL_KS_READ_STREAM
// IRPs carry one or more KSSTREAM_HEADERs (in the output buffer); each header
// becomes a frame whose data the minidriver reaches through a pool mapping.
// An IRP completes once all its frames are done, with DataUsed, OptionsFlags
// and the time stamps written back into the caller's headers (and the data,
// for reads); the mappings are freed then.
#include <cstring>
#include <vector>

#include "winsim/ks/ks_pin.h"

namespace winsim::ks {
namespace {

constexpr UCHAR kDeadMappingFill = 0xDB;

void FreeStreamIrp(StreamIrp *stream) {
  for (ULONG i = 0; i < stream->count; ++i) {
    Frame &frame = stream->frames[i];
    if (frame.mapping == nullptr) continue;
    // Poisoned before it goes, so a stale pointer reads garbage even
    // without the sanitizer (which reports the use after free itself).
    std::memset(frame.mapping, kDeadMappingFill, frame.mappingSize);
    ExFreePoolWithTag(frame.mapping, kStreamTag);
  }
  ExFreePoolWithTag(stream, kStreamTag);
}

// Writes the results back to the caller, then the mappings die with the IRP.
void Complete(StreamIrp *stream) {
  PIRP irp = stream->irp;
  for (ULONG i = 0; i < stream->count; ++i) {
    const Frame &frame = stream->frames[i];
    const KSSTREAM_HEADER &done = frame.header;
    PKSSTREAM_HEADER user = &stream->user[i];
    ULONG used = done.DataUsed <= frame.mappingSize ? done.DataUsed : frame.mappingSize;
    if (!stream->write && used > 0 && !stream->cancelled) std::memcpy(frame.userData, frame.mapping, used);
    user->DataUsed = stream->cancelled && !stream->write ? 0 : used;
    user->OptionsFlags = done.OptionsFlags;
    user->PresentationTime = done.PresentationTime;
    user->Duration = done.Duration;
  }
  irp->IoStatus.Status = stream->cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
  irp->IoStatus.Information = stream->cancelled ? 0 : stream->count * sizeof(KSSTREAM_HEADER);
  FreeStreamIrp(stream);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The IRP is looked up in the pin's list: one already on its way to
// completion is not there any more and is left alone.
void CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto *pin = static_cast<PinObject *>(irp->Tail.Overlay.DriverContext[1]);
  LIST_ENTRY completed;
  InitializeListHead(&completed);
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  StreamIrp *stream = nullptr;
  for (PLIST_ENTRY link = pin->irps.Flink; link != &pin->irps; link = link->Flink) {
    auto *queued = CONTAINING_RECORD(link, StreamIrp, link);
    if (queued->irp == irp) stream = queued;
  }
  std::vector<StreamPointerObject *> callbacks;
  if (stream != nullptr) {
    stream->cancelled = true;
    Frame *leading = pin->leading.frame;
    // An unlocked leading edge moves off; a locked one keeps its frame
    // until the minidriver lets go of it.
    if (leading != nullptr && leading->irp == stream && !pin->leading.locked) {
      pin->leading.frame = nullptr;
      leading->passed = true;
      ReleaseFrameLocked(pin, leading, &completed);
    }
    for (PLIST_ENTRY link = pin->clones.Flink; link != &pin->clones; link = link->Flink) {
      auto *clone = CONTAINING_RECORD(link, StreamPointerObject, link);
      if (clone->frame != nullptr && clone->frame->irp == stream && clone->cancelCallback != nullptr) {
        callbacks.push_back(clone);
      }
    }
    for (ULONG i = 0; i < stream->count; ++i) {
      Frame *frame = &stream->frames[i];
      if (frame->done) continue;
      frame->passed = true;  // done once the pointers still on it let go
      ++frame->refs;
      ReleaseFrameLocked(pin, frame, &completed);
    }
  }
  KeReleaseSpinLock(&pin->queueLock, irql);
  CompleteStreamIrps(&completed);
  // The minidriver's callback is expected to delete its clone.
  for (StreamPointerObject *clone : callbacks) clone->cancelCallback(&clone->pub);
}

// Validates the caller's headers and builds the frames with their mappings.
NTSTATUS BuildStreamIrp(PinObject *pin, PIRP irp, bool write, StreamIrp **built) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG bytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto *user = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
  if (user == nullptr || bytes < sizeof(KSSTREAM_HEADER) || bytes % sizeof(KSSTREAM_HEADER) != 0) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  ULONG count = bytes / sizeof(KSSTREAM_HEADER);
  size_t size = offsetof(StreamIrp, frames) + sizeof(Frame) * count;
  auto *stream = static_cast<StreamIrp *>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kStreamTag));
  if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(static_cast<void *>(stream), 0, size);
  stream->irp = irp;
  stream->user = user;
  stream->count = count;
  stream->pending = count;
  stream->write = write;
  // Each header is read once from the caller's memory and checked as copied.
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    Frame *frame = &stream->frames[i];
    frame->irp = stream;
    std::memcpy(&frame->header, &user[i], sizeof(KSSTREAM_HEADER));
    KSSTREAM_HEADER &header = frame->header;
    frame->userData = static_cast<PUCHAR>(header.Data);
    frame->mappingSize = header.FrameExtent;
    header.Data = nullptr;  // the minidriver sees the mapping, never the caller's buffer
    if (!write) header.DataUsed = 0;
    if (header.Size != sizeof(KSSTREAM_HEADER) || (write && header.DataUsed > header.FrameExtent)) {
      status = STATUS_INVALID_BUFFER_SIZE;
    } else if (header.FrameExtent > 0 && frame->userData == nullptr) {
      status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status) || header.FrameExtent == 0) continue;
    frame->mapping = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, header.FrameExtent, kStreamTag));
    if (frame->mapping == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (write) {
      std::memcpy(frame->mapping, frame->userData, header.FrameExtent);
    } else {
      std::memset(frame->mapping, 0, header.FrameExtent);
    }
    header.Data = frame->mapping;
  }
  if (!NT_SUCCESS(status)) {
    FreeStreamIrp(stream);
    return status;
  }
  (void)pin;
  *built = stream;
  return STATUS_SUCCESS;
}

}  // namespace

Frame *NextFrameLocked(PinObject *pin, Frame *frame) {
  PLIST_ENTRY next = frame->link.Flink;
  return next == &pin->frames ? nullptr : CONTAINING_RECORD(next, Frame, link);
}

Frame *FirstUnpassedLocked(PinObject *pin) {
  for (PLIST_ENTRY link = pin->frames.Flink; link != &pin->frames; link = link->Flink) {
    Frame *frame = CONTAINING_RECORD(link, Frame, link);
    if (!frame->passed) return frame;
  }
  return nullptr;
}

void ReleaseFrameLocked(PinObject *pin, Frame *frame, LIST_ENTRY *completed) {
  (void)pin;
  if (frame->refs > 0) --frame->refs;
  if (frame->refs > 0 || !frame->passed || frame->done) return;
  frame->done = true;
  RemoveEntryList(&frame->link);
  InitializeListHead(&frame->link);
  StreamIrp *stream = frame->irp;
  if (--stream->pending > 0) return;
  RemoveEntryList(&stream->link);
  InsertTailList(completed, &stream->link);
}

void CompleteStreamIrps(LIST_ENTRY *completed) {
  while (!IsListEmpty(completed)) {
    auto *stream = CONTAINING_RECORD(RemoveHeadList(completed), StreamIrp, link);
    // Once the cancel routine is gone the IRP is ours; a cancel in progress
    // has already run (it completes nothing itself).
    IoSetCancelRoutine(stream->irp, nullptr);
    Complete(stream);
  }
}

NTSTATUS QueueStreamIrp(PinObject *pin, PIRP irp, bool write) {
  if (pin->pub.ResetState == KSRESET_BEGIN || pin->closing) return STATUS_DEVICE_NOT_READY;
  if (pin->pub.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  const bool pinWrites = pin->pub.DataFlow == KSPIN_DATAFLOW_IN;
  if (pinWrites != write) return STATUS_INVALID_DEVICE_REQUEST;
  StreamIrp *stream = nullptr;
  NTSTATUS status = BuildStreamIrp(pin, irp, write, &stream);
  if (!NT_SUCCESS(status)) return status;
  irp->Tail.Overlay.DriverContext[0] = stream;
  irp->Tail.Overlay.DriverContext[1] = pin;
  IoMarkIrpPending(irp);
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  InsertTailList(&pin->irps, &stream->link);
  for (ULONG i = 0; i < stream->count; ++i) InsertTailList(&pin->frames, &stream->frames[i].link);
  IoSetCancelRoutine(irp, CancelRoutine);
  bool cancelNow = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
  KeReleaseSpinLock(&pin->queueLock, irql);
  if (cancelNow) {
    IoAcquireCancelSpinLock(&irp->CancelIrql);
    CancelRoutine(nullptr, irp);
    return STATUS_PENDING;
  }
  if (!(pin->pub.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) && ProcessingAllowed(pin)) {
    AttemptProcessing(pin, false);
  }
  return STATUS_PENDING;
}

void FlushQueue(PinObject *pin, NTSTATUS status, PFILE_OBJECT fileObject) {
  (void)status;
  LIST_ENTRY completed;
  InitializeListHead(&completed);
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  PLIST_ENTRY link = pin->irps.Flink;
  while (link != &pin->irps) {
    auto *stream = CONTAINING_RECORD(link, StreamIrp, link);
    link = link->Flink;
    if (fileObject != nullptr && IoGetCurrentIrpStackLocation(stream->irp)->FileObject != fileObject) continue;
    stream->cancelled = true;
    for (ULONG i = 0; i < stream->count; ++i) {
      Frame *frame = &stream->frames[i];
      if (frame->done) continue;
      // An unlocked leading edge moves off and its reference is the one
      // released below. A locked one keeps its frame, and the frame its
      // IRP, until the minidriver unlocks it: the pass holding it may be
      // running on another thread right now.
      if (pin->leading.frame == frame && !pin->leading.locked) {
        pin->leading.frame = nullptr;
      } else {
        ++frame->refs;
      }
      frame->passed = true;
      ReleaseFrameLocked(pin, frame, &completed);
    }
  }
  KeReleaseSpinLock(&pin->queueLock, irql);
  CompleteStreamIrps(&completed);
}

NTSTATUS ResetState(PinObject *pin, KSRESET reset) {
  if (reset != KSRESET_BEGIN && reset != KSRESET_END) return STATUS_INVALID_PARAMETER;
  pin->pub.ResetState = reset;
  if (reset == KSRESET_BEGIN) {
    FlushQueue(pin, STATUS_CANCELLED);
    const KSPIN_DISPATCH *dispatch = DispatchOf(pin);
    if (dispatch != nullptr && dispatch->Reset != nullptr) dispatch->Reset(&pin->pub);
  }
  return STATUS_SUCCESS;
}

}  // namespace winsim::ks
