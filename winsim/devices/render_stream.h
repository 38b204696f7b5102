// The render side of the device: OUT packets are decoded into the FIFO, and
// the DAC, once the FIFO reached its start threshold, takes exactly the
// clock's samples every microframe; it does not wait for late data. Every
// microframe it cannot fill is an underrun microframe (silence is played in
// place of what is missing); after one the DAC either plays on or stops and
// waits for the start threshold again (RenderUnderrunPolicy), playing
// silence meanwhile. A push beyond the depth is an overrun (the excess is
// dropped). Counters run for the device's lifetime; the level extremes and
// the playback start belong to the current run.
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/devices/device_model.h"
#include "winsim/devices/render_fifo.h"

namespace winsim::devices {

struct RenderStats {
  bool active = false;   // an alternate setting with the data endpoint is selected
  bool playing = false;  // the DAC has started in this run
  uint32_t channels = 0;
  uint32_t subslot = 0;
  uint32_t fifoDepth = 0;
  uint32_t startThreshold = 0;
  uint32_t level = 0;
  uint32_t minLevel = 0;  // after each microframe's consumption, since playback started
  uint32_t maxLevel = 0;  // after each packet, since playback started
  uint64_t playbackStartSample = 0;  // device sample index of the first frame played in this run
  // The level after each microframe's consumption since playback started,
  // summed over the first kStartWindowMicroframes and over the whole run: a
  // rate-matching check compares the run's mean with the start's (a window,
  // so a packet per frame or per feedback interval does not bias it).
  static constexpr uint32_t kStartWindowMicroframes = 64;
  uint64_t startLevelSum = 0;
  uint64_t levelSum = 0;
  uint64_t levelCount = 0;

  double StartLevel() const {
    const uint64_t n = levelCount < kStartWindowMicroframes ? levelCount : kStartWindowMicroframes;
    return n == 0 ? 0.0 : static_cast<double>(startLevelSum) / n;
  }
  double MeanLevel() const { return levelCount == 0 ? 0.0 : static_cast<double>(levelSum) / levelCount; }

  uint64_t packets = 0;  // OUT packets received, violations included
  uint64_t framesReceived = 0;
  uint64_t packetSizeViolations = 0;  // not a whole number of frames, or larger than the endpoint allows
  uint64_t underrunEvents = 0;        // runs of microframes the FIFO could not fill
  uint64_t underrunMicroframes = 0;   // microframes the FIFO could not fill, re-priming ones included
  uint64_t missingFrames = 0;
  uint64_t reprimes = 0;              // times the DAC stopped after an underrun to wait for the threshold
  uint64_t overrunEvents = 0;  // packets that did not fit
  uint64_t droppedFrames = 0;
  uint64_t playedFrames = 0;  // silence of underruns included
};

class RenderStream {
 public:
  // The threshold: startFrames; else startMicroseconds at the stream's
  // rate (SetRate); else half the depth.
  void Configure(uint32_t depthFrames, uint32_t startFrames, uint32_t startMicroseconds, RenderUnderrunPolicy policy);
  // The rate the clock runs the stream at; a rate-scaled threshold follows it.
  void SetRate(uint32_t rate);

  void Start(uint32_t channels, uint32_t subslot, uint32_t maxPacketBytes);
  void Stop();
  bool Active() const { return m_stats.active; }
  bool Playing() const { return m_stats.playing; }
  uint32_t Channels() const { return m_stats.channels; }

  // One OUT packet.
  void Receive(const uint8_t *data, uint32_t length);
  // The DAC's share of one microframe: `count` frames from device sample
  // `firstSample` on. Returns them (count × channels samples), or null while
  // the DAC is not playing. Valid until the next call; the caller may convert
  // the frames in place.
  int32_t *Play(uint64_t firstSample, uint32_t count);

  const RenderStats &Stats() const { return m_stats; }

 private:
  bool WholeFrames(uint32_t length) const;
  void Begin(uint64_t firstSample);
  void UpdateThreshold();
  int32_t *Reprime(uint32_t count);

  RenderFifo m_fifo;
  std::vector<int32_t> m_decoded;
  std::vector<int32_t> m_output;
  uint32_t m_maxPacketBytes = 0;
  uint32_t m_startFrames = 0;
  uint32_t m_startMicroseconds = 0;
  uint32_t m_rate = 0;
  RenderUnderrunPolicy m_policy = RenderUnderrunPolicy::PlayOn;
  bool m_inUnderrun = false;
  bool m_repriming = false;  // stopped after an underrun, waiting for the threshold
  RenderStats m_stats;
};

}  // namespace winsim::devices
