// Parallel mode: the machine runs at the same time what Windows may run at
// the same time, and moves when things start by a seed, so races a driver
// ships show up here first.
//
// With it on, every queued work item starts at once on a worker of its own
// (the pool grows as needed), the PnP manager's actions run on a thread of
// their own, DPCs run on several DPC threads (processors), each USB bus
// completes transfers on several threads (one endpoint's transfers always
// on the same one, in order), work items and DPCs start after a small
// random delay of virtual time, and wake-ups that fall on one instant come
// in a random order. Everything random is drawn from the seed, so a run
// with a given seed repeats its virtual timeline as far as the order in
// which real threads reach the draws allows.
//
// Off (the default), the machine keeps its serial, fully deterministic
// behaviour. The Machine configures the mode at boot (MachineOptions).
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "winsim/sched/scheduler.h"

namespace winsim {

struct ParallelOptions {
  uint32_t seed = 1;
  // Start delays: zero half the time, else a quarter, half, three quarters
  // or the whole of the maximum. Few distinct values, so items queued
  // together still often start together.
  VTime workItemJitter = 400 * kTicksPerMicrosecond;
  VTime dpcJitter = 40 * kTicksPerMicrosecond;
  // Threads that run DPCs (processors).
  uint32_t dpcThreads = 2;
  // Threads per USB bus that complete transfers.
  uint32_t completionThreads = 2;
};

// Parallel mode with the seed QAV_PARALLEL_SEED names; none when it is unset
// or empty. Tests that can run either way take their options from here.
std::optional<ParallelOptions> ParallelOptionsFromEnvironment();

// Independent generators, so one consumer's draws do not shift another's.
enum class RandomStream : uint8_t { WorkItems, Dpcs, Wakes, Timers, Count };

class ParallelMode {
 public:
  static ParallelMode &Instance();

  // At boot, before any thread of the machine runs; nullopt turns it off.
  void Configure(const std::optional<ParallelOptions> &options);
  bool On() const;
  // Meaningful only while On().
  const ParallelOptions &Options() const { return m_options; }

  // Start delay of a work item or DPC queued now (0 when off).
  VTime WorkItemDelay();
  VTime DpcDelay();
  // A draw from the stream's generator.
  uint64_t Draw(RandomStream stream);
  // "parallel mode, seed n" for logs and bug-check reports; empty when off.
  std::string Describe() const;

 private:
  VTime Delay(RandomStream stream, VTime maximum);

  mutable std::mutex m_lock;
  bool m_on = false;
  ParallelOptions m_options;
  std::mt19937_64 m_random[static_cast<int>(RandomStream::Count)];
};

// Delay drawn from a maximum the way ParallelOptions describes.
VTime QuantisedDelay(uint64_t draw, VTime maximum);

}  // namespace winsim
