// Handing regions of the transfer buffer to the attached pins, and the pins
// table. pinLock keeps a pin from being detached (and freed by its owner)
// while a completion calls it; it is taken inside the StreamSync lock, never
// around it.
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/stream/packet_sizing.h"
#include "kerneldriver/stream/pin_operations.h"
#include "kerneldriver/stream/stream_internal.h"

namespace {

struct Region {
  PUCHAR start;
  ULONG length;
};

void ForEachPin(UsbAudioStream *stream, void (*call)(UsbAudioPin *, const Region &), const Region &region) {
  const ULONG used = QavMin(stream->pinSlotsUsed, kMaxStreamPins);
  for (ULONG i = 0; i < used; ++i) {
    if (stream->pins[i] != nullptr) call(stream->pins[i], region);
  }
}

void DropPending(UsbAudioPin *pin, const Region &) { pin->operations->dropPending(pin); }
void Queue(UsbAudioPin *pin, const Region &region) { pin->operations->queueRegion(pin, region.start, region.length); }
void Kick(UsbAudioPin *pin, const Region &) { pin->operations->kick(pin); }

// A packet whose status is an error carries no audio, whatever length the
// stack reports for it.
void DistributeCapture(UsbAudioStream *stream, IsoTransferSlot *slot) {
  const USBD_ISO_PACKET_DESCRIPTOR *packets = slot->urb->UrbIsochronousTransfer.IsoPacket;
  for (ULONG k = 0; k < slot->packetCount; ++k) {
    if (!USBD_SUCCESS(packets[k].Status)) continue;
    const ULONG offset = packets[k].Offset;
    if (offset >= slot->regionLength) continue;
    const ULONG length = QavMin(QavMin(packets[k].Length, stream->maxPacket), slot->regionLength - offset);
    if (length == 0) continue;
    ForEachPin(stream, Queue, Region{slot->region + offset, length});
  }
}

void QueueZeroed(UsbAudioStream *stream, const Region &region) {
  if (region.length == 0) return;
  QavZeroMemory(region.start, region.length);
  ForEachPin(stream, Queue, region);
}

// One URB's worth of render data, 2 ms into the URB after the completed one
// (whole slots further ahead for URBs of one or two frames).
struct RenderRegions {
  Region partA;  // length 0 when there is none
  Region partB;
};

RenderRegions RenderRegionsOf(UsbAudioStream *stream, const IsoTransferSlot *slot) {
  const RenderRegionPlan plan = PlanRenderRegions(slot->index, slot->packetCount, kIsoSlots);
  RenderRegions regions{};
  if (plan.hasPartA) {
    const IsoTransferSlot &a = stream->slots[plan.partASlot];
    const ULONG split = QavMin(a.splitOffset, a.transferLength);
    regions.partA = Region{a.region + split, a.transferLength - split};
  }
  const IsoTransferSlot &b = stream->slots[plan.partBSlot];
  regions.partB =
      Region{b.region, plan.partBWhole ? b.transferLength : QavMin(b.splitOffset, b.transferLength)};
  return regions;
}

void DistributeRender(UsbAudioStream *stream, const IsoTransferSlot *slot) {
  const RenderRegions regions = RenderRegionsOf(stream, slot);
  QueueZeroed(stream, regions.partA);
  QueueZeroed(stream, regions.partB);
}

}  // namespace

void StreamDistribute(IsoTransferSlot *slot) {
  UsbAudioStream *stream = slot->stream;
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  ForEachPin(stream, DropPending, Region{});
  if (slot->in) {
    DistributeCapture(stream, slot);
  } else {
    DistributeRender(stream, slot);
  }
  ForEachPin(stream, Kick, Region{});
  KeReleaseSpinLock(&stream->pinLock, irql);
}

void StreamSilenceAhead(IsoTransferSlot *slot) {
  if (slot->in || slot->index == kFeedbackSlotIndex) return;
  const RenderRegions regions = RenderRegionsOf(slot->stream, slot);
  if (regions.partA.length != 0) QavZeroMemory(regions.partA.start, regions.partA.length);
  if (regions.partB.length != 0) QavZeroMemory(regions.partB.start, regions.partB.length);
}

void StreamDropPinRegions(UsbAudioStream *stream) {
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  ForEachPin(stream, DropPending, Region{});
  KeReleaseSpinLock(&stream->pinLock, irql);
}

void StreamProcessAlone(IsoTransferSlot *slot) {
  UsbAudioStream *stream = slot->stream;
  if (!slot->in) {
    // Explicit feedback changes the rate from the feedback endpoint's
    // completions, which may run beside this one on another processor.
    const auto rate = static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&stream->samplesPerMicroframe), 0, 0));
    slot->transferLength = SizeRenderPackets(&stream->sampleAccumulator, rate,
                                             stream->bytesPerFrame, stream->maxPacket,
                                             slot->urb->UrbIsochronousTransfer.IsoPacket, slot->packetCount,
                                             &slot->splitOffset);
  }
  StreamDistribute(slot);
  StreamResubmit(slot, kForcedFrameNone);
}

NTSTATUS UsbAudioStreamAttachPin(UsbAudioStream *stream, UsbAudioPin *pin) {
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  for (ULONG i = 0; i < kMaxStreamPins; ++i) {
    if (stream->pins[i] != nullptr) continue;
    stream->pins[i] = pin;
    stream->pinSlotsUsed = QavMax(stream->pinSlotsUsed, i + 1);
    stream->pinCount++;
    status = STATUS_SUCCESS;
    break;
  }
  KeReleaseSpinLock(&stream->pinLock, irql);
  return status;
}

void UsbAudioStreamDetachPin(UsbAudioStream *stream, UsbAudioPin *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&stream->pinLock, &irql);
  for (ULONG i = 0; i < kMaxStreamPins; ++i) {
    if (pin == nullptr || stream->pins[i] != pin) continue;
    stream->pins[i] = nullptr;
    stream->pinCount--;
    break;
  }
  while (stream->pinSlotsUsed > 0 && stream->pins[stream->pinSlotsUsed - 1] == nullptr) stream->pinSlotsUsed--;
  KeReleaseSpinLock(&stream->pinLock, irql);
}
