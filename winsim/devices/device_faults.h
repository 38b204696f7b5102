// Faults a test can make a simulated device commit, and how often each one
// fired. Knobs marked "next N" count down as they fire. The device holds
// these under its own lock: tests edit and read them through the device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "winsim/devices/descriptor_corruption.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

// Called under the device's lock; it must not call back into the device.
using RequestPredicate = std::function<bool(const usb::SetupPacket &)>;

// Any request with this bRequest of the standard type (e.g. SET_INTERFACE).
RequestPredicate MatchStandardRequest(uint8_t bRequest);
// A class request (CUR, RANGE …) to an entity's control selector.
RequestPredicate MatchEntityControl(uint8_t entity, uint8_t controlSelector);

struct FaultKnobs {
  RequestPredicate stallWhen;        // matching control requests are stalled
  uint32_t noReplyNext = 0;          // the next N control requests get no answer (bus time-out)
  uint32_t errorNext = 0;            // the next N control requests end in a bus error
  RequestPredicate neverFinishWhen;  // matching control requests are never finished (the host cancels them)
  uint32_t refuseSetInterfaceNext = 0;  // the next N SET_INTERFACE requests are stalled

  uint32_t dropIsoEvery = 0;            // every Nth isochronous packet is lost (Error); 0: off
  uint64_t dropFromMicroframe = 0;      // packets in [from, until) are lost
  uint64_t dropUntilMicroframe = 0;
  uint8_t dropEndpoint = 0;             // the endpoint both drops apply to; 0: every one

  // Every Nth isochronous IN data packet of garbleEndpoint (0: every IN data
  // endpoint) arrives damaged: a whole packet of garbage with a CRC error,
  // which the host reports with its length. 0: off.
  uint32_t garbleIsoInEvery = 0;
  uint8_t garbleEndpoint = 0;

  std::optional<Corruption> corruptConfiguration;  // GET_DESCRIPTOR(configuration) serves this corruption
  size_t corruptionTarget = kDefaultCorruptionTarget;
};

struct FaultCounts {
  uint64_t stalled = 0;
  uint64_t noReplies = 0;
  uint64_t errors = 0;
  uint64_t neverFinished = 0;
  uint64_t setInterfaceRefusals = 0;
  uint64_t isoDropped = 0;
  uint64_t isoGarbled = 0;
  uint64_t corruptConfigurationsServed = 0;

  bool operator==(const FaultCounts &) const = default;
};

class FaultInjector {
 public:
  FaultKnobs &Knobs() { return m_knobs; }
  // After the knobs changed: "every Nth" counts from the next packet.
  void Rearm() { m_isoSeen = m_isoInSeen = 0; }
  const FaultCounts &Counts() const { return m_counts; }

  // The answer a fault imposes on a control request, if one does.
  std::optional<usb::Handshake> OnControl(const usb::SetupPacket &setup);
  bool RefuseSetInterface();
  bool DropIso(uint8_t endpoint, uint64_t microframe);
  bool GarbleIsoIn(uint8_t endpoint);
  // The configuration bytes to serve: `good`, or its corruption.
  std::vector<uint8_t> Configuration(std::span<const uint8_t> good);

 private:
  FaultKnobs m_knobs;
  FaultCounts m_counts;
  uint64_t m_isoSeen = 0;
  uint64_t m_isoInSeen = 0;
};

}  // namespace winsim::devices
