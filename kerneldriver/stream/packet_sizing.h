// The streaming engine's integer arithmetic, kept free of streams and URBs
// so it can be checked on its own: render packet sizes from the 16.16
// accumulator, the plausibility window of explicit feedback and the value a
// feedback read yields, packets per frame of an endpoint's interval, which
// slots a completion fills for render, the packet sizes of implicit feedback
// and of the latency probe. Pure functions; any IRQL.
#pragma once
#include "kerneldriver/kernel_headers.h"

inline constexpr ULONG kRegionSplitPacket = 16;  // render regions start 2 ms (16 microframes) into a URB

// Samples per microframe in 16.16 fixed point for a rate in Hz.
ULONG SamplesPerMicroframe(ULONG rate);

// Render packet sizes for one URB: for each packet the accumulator gains
// samplesPerMicroframe and gives up its whole samples (the fraction carries
// over). A packet never exceeds maxPacket: whole frames beyond it are
// dropped, not carried, so a too-high rate cannot overrun the slot. Offsets
// are the running sum from 0. Returns the total; *splitOffset receives the
// offset of packet 16 (the total when there are fewer than 17 packets).
ULONG SizeRenderPackets(ULONG *accumulator, ULONG samplesPerMicroframe, ULONG bytesPerFrame, ULONG maxPacket,
                        USBD_ISO_PACKET_DESCRIPTOR *packets, ULONG count, ULONG *splitOffset);

// A feedback value V (16.16 samples per microframe) is plausible when its
// rate (V × 8000) >> 16 lies within a tenth of the nominal rate.
bool FeedbackPlausible(ULONG value, ULONG nominalRate);

// The value of a feedback read: the mean, rounded to nearest, of its usable
// packets' values (a packet that succeeded, received at least 4 bytes lying
// inside the `bufferLength` bytes at `buffer`, and holds a non-zero plausible
// little-endian value). A device that measures its rate reports each packet
// over its own short interval, coarsely quantised; the intervals follow one
// another, so the mean is the rate over the whole read, where any single
// value (the newest, say) is off by up to a quantisation step and steers
// the device FIFO away from its start. False when no packet is usable.
bool FeedbackReadValue(const USBD_ISO_PACKET_DESCRIPTOR *packets, ULONG count, const UCHAR *buffer,
                         ULONG bufferLength, ULONG nominalRate, ULONG *value);

// Packets in one frame of an isochronous endpoint: a high-speed endpoint is
// served every 2^(bInterval - 1) microframes (bInterval 1 to 4 for
// isochronous; larger values are taken as 4, 0 as 1), so 8, 4, 2 or 1; a
// full-speed one once per frame. The USB stack takes only whole frames of
// packets.
ULONG IsoPacketsPerFrame(UCHAR bInterval, bool highSpeed);

// Room per packet of the latency probe: the whole frames one microframe at
// `rate` needs, rounded up, and no more than maxPacket holds. 0 when not
// even one frame fits.
ULONG ProbeBytesPerPacket(ULONG bytesPerFrame, ULONG rate, ULONG maxPacket);

// Where the render data of a completed slot goes: part A is the tail of one
// slot from packet 16 on, part B the head of another up to packet 16 (or
// all of it).
struct RenderRegionPlan {
  bool hasPartA;
  ULONG partASlot;
  ULONG partBSlot;
  bool partBWhole;
};
RenderRegionPlan PlanRenderRegions(ULONG completedSlot, ULONG packetsPerUrb, ULONG slotCount);

// Implicit feedback: each capture packet's frame count n becomes the render
// packet's. A count of 0 or above maxRenderFrames (a lost or implausible
// packet), or a packet whose status is an error (its bytes are not audio,
// whatever length it reports), is replaced by the render packet's previous
// count, and the capture packet is taken as carrying that many frames:
// bytes beyond what it validly received are zeroed and its status becomes
// success, so only silence, never stale or damaged data, reaches the pins.
// Capture lengths never exceed captureMaxPacket. Returns the render total;
// *splitOffset as above.
struct ImplicitFeedbackSlots {
  USBD_ISO_PACKET_DESCRIPTOR *capturePackets;
  PUCHAR captureBuffer;
  ULONG captureCount;
  ULONG captureBytesPerFrame;
  ULONG captureMaxPacket;
  USBD_ISO_PACKET_DESCRIPTOR *renderPackets;
  ULONG renderCount;
  ULONG renderBytesPerFrame;
  ULONG maxRenderFrames;
};
ULONG SizeFromCapture(const ImplicitFeedbackSlots &slots, ULONG *splitOffset);
