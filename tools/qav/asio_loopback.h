// The round-trip measurement of `qav asio loopback`: a train of impulses
// played on one output, found again on the input that hears it. Every
// impulse has an amplitude of its own that survives a 16-bit converter, so
// each echo is matched to the impulse that made it, however long the trip.
// Frames count from the first frame of the first buffer switch, the same on
// both sides, so an echo's frame minus its impulse's frame is the round trip
// a host sees: from the sample it wrote to the sample it reads back.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qav {

class CImpulseTrain {
 public:
  // `count` impulses, the first at `first`, then every `spacing` frames.
  CImpulseTrain(uint64_t first, uint32_t spacing, uint32_t count);
  int32_t Sample(uint64_t frame) const;
  uint32_t Count() const { return m_count; }
  uint64_t Frame(uint32_t impulse) const { return m_first + uint64_t{impulse} * m_spacing; }
  // Impulse k's amplitude: (k + 1) << 20, so 2047 impulses at most.
  static constexpr uint32_t kMaxImpulses = 2047;
  static int32_t Amplitude(uint32_t impulse) { return static_cast<int32_t>((impulse + 1) << 20); }

 private:
  uint64_t m_first;
  uint32_t m_spacing;
  uint32_t m_count;
};

struct EchoFinding {
  uint32_t found = 0;     // impulses heard back
  uint32_t strays = 0;    // non-zero samples that are no impulse, or an impulse heard twice
  bool agree = false;     // every echo came back after the same number of frames
  int64_t delay = 0;      // that number (the first echo's when they disagree)
  int64_t minDelay = 0, maxDelay = 0;
  // Verdict in a few words, empty when the echoes were found and agree.
  std::string problem;
};

// Looks for the train's echoes in `heard` (frame t of the input). Impulses
// whose echo could not have arrived yet (frame + `longest` past the end)
// are not expected; at least `needed` echoes must be found.
EchoFinding FindEchoes(const CImpulseTrain &train, const std::vector<int32_t> &heard, uint64_t longest,
                       uint32_t needed);

}  // namespace qav
