// The capture side of the device: each IN packet carries the frames the
// device's clock produced in the packet's service interval, each channel
// taken from its source and encoded in the format's subslot.
#pragma once
#include <cstdint>
#include <map>
#include <optional>

#include "winsim/devices/capture_source.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

struct CaptureStats {
  bool active = false;
  uint32_t channels = 0;
  uint32_t subslot = 0;
  bool started = false;       // a packet with frames was produced in this run
  uint64_t firstSample = 0;   // device sample index of this run's first captured frame
  uint64_t packets = 0;       // device lifetime
  uint64_t frames = 0;
  uint64_t overflows = 0;     // packets whose frames did not fit the room or the endpoint
  uint64_t emptyPackets = 0;  // device lifetime: packets sent without frames
  uint64_t skippedFrames = 0; // device lifetime: frames the start's empty packets did not carry
};

class CaptureStream {
 public:
  // Every run begins with `emptyPackets` packets that carry nothing.
  void Configure(uint32_t emptyPackets) { m_emptyAtStart = emptyPackets; }
  void Start(uint32_t channels, uint32_t subslot, uint32_t maxPacketBytes);
  void Stop() { m_stats.active = false; }
  bool Active() const { return m_stats.active; }

  // Sources stay set across runs. By default channel c hears render channel c.
  void SetSource(uint32_t channel, CaptureSource source);
  void SetAllSources(CaptureSource source);

  // One IN packet with the frames [firstSample, firstSample + count).
  usb::TransferOutcome Produce(uint64_t firstSample, uint32_t count, uint8_t *buffer, uint32_t capacity,
                               const CaptureContext &context);

  const CaptureStats &Stats() const { return m_stats; }

 private:
  const CaptureSource &SourceOf(uint32_t channel);

  std::optional<CaptureSource> m_default;
  std::map<uint32_t, CaptureSource> m_sources;
  CaptureSource m_scratch;
  uint32_t m_maxPacketBytes = 0;
  uint32_t m_emptyAtStart = 0;
  uint64_t m_runPackets = 0;
  CaptureStats m_stats;
};

}  // namespace winsim::devices
