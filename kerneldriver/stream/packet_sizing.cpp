#include "kerneldriver/stream/packet_sizing.h"

#include "kerneldriver/kernel_support.h"

namespace {

constexpr ULONG kMicroframesPerSecond = 8000;
constexpr ULONG kFixedPointShift = 16;
constexpr ULONG kFractionMask = 0xFFFF;
constexpr ULONG kPlausibleFraction = 10;  // a tenth of the nominal rate either way
constexpr ULONG kSmallUrbPackets = 8;
constexpr ULONG kSmallUrbSlotsAhead = 3;
constexpr ULONG kMicroframesPerFrame = 8;
constexpr UCHAR kMaxIsoIntervalExponent = 4;  // bInterval 4: every 8 microframes
constexpr ULONG kFeedbackValueBytes = 4;

ULONG SplitOffsetOf(const USBD_ISO_PACKET_DESCRIPTOR *packets, ULONG count, ULONG total) {
  return count > kRegionSplitPacket ? packets[kRegionSplitPacket].Offset : total;
}

}  // namespace

ULONG SamplesPerMicroframe(ULONG rate) {
  return static_cast<ULONG>((static_cast<ULONGLONG>(rate) << kFixedPointShift) / kMicroframesPerSecond);
}

ULONG SizeRenderPackets(ULONG *accumulator, ULONG samplesPerMicroframe, ULONG bytesPerFrame, ULONG maxPacket,
                        USBD_ISO_PACKET_DESCRIPTOR *packets, ULONG count, ULONG *splitOffset) {
  const ULONG maxFrames = bytesPerFrame != 0 ? maxPacket / bytesPerFrame : 0;
  ULONG offset = 0;
  for (ULONG i = 0; i < count; ++i) {
    *accumulator += samplesPerMicroframe;
    ULONG whole = *accumulator >> kFixedPointShift;
    *accumulator &= kFractionMask;
    packets[i].Offset = offset;
    packets[i].Length = QavMin(whole, maxFrames) * bytesPerFrame;
    offset += packets[i].Length;
  }
  *splitOffset = SplitOffsetOf(packets, count, offset);
  return offset;
}

bool FeedbackPlausible(ULONG value, ULONG nominalRate) {
  const ULONGLONG estimate = (static_cast<ULONGLONG>(value) * kMicroframesPerSecond) >> kFixedPointShift;
  const ULONGLONG nominal = nominalRate;
  const ULONGLONG distance = estimate > nominal ? estimate - nominal : nominal - estimate;
  return distance <= nominal / kPlausibleFraction;
}

bool FeedbackReadValue(const USBD_ISO_PACKET_DESCRIPTOR *packets, ULONG count, const UCHAR *buffer,
                       ULONG bufferLength, ULONG nominalRate, ULONG *value) {
  ULONGLONG sum = 0;
  ULONG usable = 0;
  for (ULONG i = 0; i < count; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR &packet = packets[i];
    if (!USBD_SUCCESS(packet.Status) || packet.Length < kFeedbackValueBytes) continue;
    if (packet.Offset > bufferLength || bufferLength - packet.Offset < kFeedbackValueBytes) continue;
    const ULONG candidate = QavReadLe32(buffer + packet.Offset);
    if (candidate == 0 || !FeedbackPlausible(candidate, nominalRate)) continue;
    sum += candidate;
    ++usable;
  }
  if (usable == 0) return false;
  *value = static_cast<ULONG>((sum + usable / 2) / usable);
  return true;
}

ULONG IsoPacketsPerFrame(UCHAR bInterval, bool highSpeed) {
  if (!highSpeed) return 1;
  const UCHAR exponent = QavMin(QavMax(bInterval, static_cast<UCHAR>(1)), kMaxIsoIntervalExponent);
  return kMicroframesPerFrame >> (exponent - 1);
}

ULONG ProbeBytesPerPacket(ULONG bytesPerFrame, ULONG rate, ULONG maxPacket) {
  if (bytesPerFrame == 0) return 0;
  const ULONG needed = rate / kMicroframesPerSecond + (rate % kMicroframesPerSecond != 0 ? 1 : 0);
  return QavMin(needed, maxPacket / bytesPerFrame) * bytesPerFrame;
}

RenderRegionPlan PlanRenderRegions(ULONG completedSlot, ULONG packetsPerUrb, ULONG slotCount) {
  RenderRegionPlan plan{};
  if (packetsPerUrb <= kSmallUrbPackets) {
    plan.partBSlot = (completedSlot + kSmallUrbSlotsAhead) % slotCount;
    plan.partBWhole = true;
    return plan;
  }
  plan.hasPartA = packetsPerUrb > kRegionSplitPacket;
  plan.partASlot = (completedSlot + 1) % slotCount;
  plan.partBSlot = (completedSlot + 2) % slotCount;
  plan.partBWhole = !plan.hasPartA;
  return plan;
}

ULONG SizeFromCapture(const ImplicitFeedbackSlots &slots, ULONG *splitOffset) {
  const ULONG count = QavMin(slots.captureCount, slots.renderCount);
  const ULONG captureMaxFrames = slots.captureBytesPerFrame != 0 ? slots.captureMaxPacket / slots.captureBytesPerFrame : 0;
  ULONG offset = 0;
  for (ULONG i = 0; i < count; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR &capture = slots.capturePackets[i];
    USBD_ISO_PACKET_DESCRIPTOR &render = slots.renderPackets[i];
    const bool damaged = !USBD_SUCCESS(capture.Status);
    ULONG n = !damaged && slots.captureBytesPerFrame != 0 ? capture.Length / slots.captureBytesPerFrame : 0;
    if (n == 0 || n > slots.maxRenderFrames) {
      n = slots.renderBytesPerFrame != 0 ? render.Length / slots.renderBytesPerFrame : 0;
      n = QavMin(QavMin(n, slots.maxRenderFrames), captureMaxFrames);
      const ULONG received = damaged ? 0 : QavMin(capture.Length, slots.captureMaxPacket);
      capture.Length = n * slots.captureBytesPerFrame;
      capture.Status = USBD_STATUS_SUCCESS;
      if (capture.Length > received) {
        QavZeroMemory(slots.captureBuffer + capture.Offset + received, capture.Length - received);
      }
    }
    render.Offset = offset;
    render.Length = n * slots.renderBytesPerFrame;
    offset += render.Length;
  }
  for (ULONG i = count; i < slots.renderCount; ++i) {
    slots.renderPackets[i].Offset = offset;
    slots.renderPackets[i].Length = 0;
  }
  *splitOffset = SplitOffsetOf(slots.renderPackets, slots.renderCount, offset);
  return offset;
}
